#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine, and
# nothing that is already there. Extra package names may be given, after
# options for apt-get install (e.g. --no-install-recommends).
#
# A failed update of the package lists is tried again, and where the
# packages still cannot be installed it fails with a message that names them
# and the indexes that could not be fetched (ci_apt_install in
# scripts/lib/ci.sh). Other builds may be installing on the same machine:
# apt waits up to 15 minutes for their lock instead of failing at once.
set -euo pipefail
. "$(dirname "$0")/lib/ci.sh"

options=()
while [ $# -gt 0 ] && [ "${1#--}" != "$1" ]; do
  options+=("$1")
  shift
done
ci_apt_install "${options[@]}" cmake ninja-build g++ libgtest-dev libgmock-dev libssl-dev pkgconf \
  zlib1g-dev "$@"
