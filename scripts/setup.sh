#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine, and
# nothing that is already there. Extra package names may be given.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libssl-dev pkgconf "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
