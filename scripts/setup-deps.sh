#!/usr/bin/env bash
# Installs what Orvel needs to build and test, when missing: Debian packages
# (compiler, CMake, libxml2, GoogleTest, Google Benchmark, clang for fuzzing,
# libcurl, nlohmann-json and etcd for the agents that share registrations,
# cpp-httplib for the monitor's page and the metrics listener,
# prometheus-cpp for the metrics and prometheus for promtool, Chromium and Node.js for the monitor
# page test) and the npm package the
# browser test drives Chromium with.
set -euo pipefail
cd "$(dirname "$0")/.."
pkgs=(build-essential cmake pkg-config libxml2-dev libgtest-dev libgmock-dev
      libbenchmark-dev iproute2 procps util-linux clang libclang-rt-dev chromium valgrind
      libcurl4-openssl-dev nlohmann-json3-dev etcd-server libcpp-httplib-dev
      prometheus-cpp-dev prometheus)
command -v node >/dev/null || pkgs+=(nodejs)
command -v npm >/dev/null || pkgs+=(npm)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO=sudo
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [[ ! -d tests/browser/node_modules/playwright-core ]]; then
  echo "setup: installing playwright-core for the browser test"
  (cd tests/browser && npm install --no-audit --no-fund --silent) ||
    echo "setup: npm install failed; the browser test will be skipped"
fi
