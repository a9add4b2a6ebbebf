#!/usr/bin/env bash
# Runs the monitor page test in headless Chromium; exits 77 (skipped) when the
# browser or the npm package is not installed (scripts/setup-deps.sh installs both).
set -u
here=$(cd "$(dirname "$0")" && pwd)
monitor=$1
shot=${2:-${TMPDIR:-/tmp}/orvel-pelmmon-page.png}
if ! command -v node >/dev/null || [[ ! -x ${CHROMIUM:-/usr/bin/chromium} ]] ||
   [[ ! -d $here/node_modules/playwright-core ]]; then
  echo "skipped: needs node, chromium and tests/browser/node_modules (run scripts/setup-deps.sh)"
  exit 77
fi
exec node "$here/pelmmon_page_test.js" "$monitor" "$shot"
