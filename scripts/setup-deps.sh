#!/usr/bin/env bash
# Installs the Debian packages Orvel needs to build and test, when missing.
set -euo pipefail
pkgs=(build-essential cmake pkg-config libxml2-dev libgtest-dev libgmock-dev
      libbenchmark-dev iproute2 procps)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
