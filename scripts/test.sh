#!/usr/bin/env bash
# Builds the library, the stand-in host and partner and the tests in build/
# (configured afresh on a new checkout, brought up to date otherwise), and
# runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2
