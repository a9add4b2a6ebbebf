#!/usr/bin/env bash
# Runs the monitor page test in headless Chromium; exits 77 (skipped) when the
# browser or the npm package is not installed ("scripts/setup-deps.sh browser"
# installs both), or when Node.js is too old for the driver.
set -u
here=$(cd "$(dirname "$0")" && pwd)
monitor=$1
shot=${2:-${TMPDIR:-/tmp}/orvel-pelmmon-page.png}
if ! command -v node >/dev/null || [[ ! -x ${CHROMIUM:-/usr/bin/chromium} ]] ||
   [[ ! -d $here/node_modules/playwright-core ]]; then
  echo "skipped: needs node, chromium and tests/browser/node_modules (run scripts/setup-deps.sh browser)"
  exit 77
fi
# playwright-core 1.x runs on Node.js 18 and later.
node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
if ((node_major < 18)); then
  echo "skipped: Node.js $(node --version 2>/dev/null) is too old for playwright-core (needs 18 or later)"
  exit 77
fi
exec node "$here/pelmmon_page_test.js" "$monitor" "$shot"
