#!/usr/bin/env bash
# The README's first command: installs what is missing, builds the library
# and the tarvelo program in build/, and signs a demo channel on through the
# library as a queue manager and the partner sign-on service would.
# Arguments are passed on to "tarvelo demo" (see "tarvelo demo --help").
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "building the library and the tarvelo program in build/ ..."
cmake --build build --target tarvelo_tool
exec build/tools/tarvelo demo "$@"
