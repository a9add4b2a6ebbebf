#!/usr/bin/env bash
# Installs what Orvel needs, when missing, by purpose:
#   scripts/setup-deps.sh [GROUP...]      no GROUP: all of them
#   build    compiler, CMake, libxml2, ss and pkill for the scripts, and the
#            libraries the programs link:
#            libcurl + nlohmann-json (the agents' etcd client), cpp-httplib
#            (the monitor's page, the metrics listener), prometheus-cpp,
#            help2man (the man pages)
#   test     GoogleTest, and what the suite starts or reads: etcd, promtool
#            (Debian's prometheus), setsid; nginx, openssl, curl and python3
#            (standard HTTP and TLS in front)
#   browser  Chromium, Node.js and the npm package that drives it (the
#            monitor page test)
#   package  dpkg-dev (dpkg-shlibdeps for cpack -G DEB), and what the packaging
#            tests run: lintian, lexgrog (man-db), systemd-analyze (systemd)
#   memcheck valgrind
#   fuzz     clang with libFuzzer
#   bench    Google Benchmark, nginx (the HTTP baseline)
# Debian packages come through apt-get, as root or through sudo.
set -euo pipefail
cd "$(dirname "$0")/.."

groups=("$@")
((${#groups[@]})) || groups=(build test package browser memcheck fuzz bench)

pkgs=()
npm_browser=0
for g in "${groups[@]}"; do
  case $g in
    build) pkgs+=(build-essential cmake pkg-config libxml2-dev libcurl4-openssl-dev
                  nlohmann-json3-dev libcpp-httplib-dev prometheus-cpp-dev iproute2 procps
                  help2man) ;;
    test) pkgs+=(libgtest-dev libgmock-dev etcd-server prometheus util-linux nginx openssl curl
                 python3) ;;
    browser) pkgs+=(chromium)
             command -v node >/dev/null || pkgs+=(nodejs)
             command -v npm >/dev/null || pkgs+=(npm)
             npm_browser=1 ;;
    package) pkgs+=(dpkg-dev lintian man-db systemd) ;;
    memcheck) pkgs+=(valgrind) ;;
    fuzz) pkgs+=(clang libclang-rt-dev) ;;
    bench) pkgs+=(libbenchmark-dev nginx) ;;
    all) exec "$0" ;;
    *) echo "setup: unknown group '$g' (build test package browser memcheck fuzz bench)" >&2; exit 64 ;;
  esac
done

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
if ((npm_browser)) && [[ ! -d tests/browser/node_modules/playwright-core ]]; then
  echo "setup: installing playwright-core for the browser test"
  (cd tests/browser && npm install --no-audit --no-fund --silent) ||
    echo "setup: npm install failed; the browser test will be skipped"
fi
