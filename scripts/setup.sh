#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine, and
# nothing that is already there. Extra package names may be given, after
# options for apt-get install (e.g. --no-install-recommends).
#
# Other builds may be installing on the same machine: apt waits up to 15
# minutes for their lock instead of failing at once.
set -euo pipefail

options=()
while [ $# -gt 0 ] && [ "${1#--}" != "$1" ]; do
  options+=("$1")
  shift
done
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libssl-dev pkgconf "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  apt=("${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900)
  "${apt[@]}" update -qq
  "${apt[@]}" install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
fi
