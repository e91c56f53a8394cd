#!/bin/sh
# Native build with tests; the updater ends up at build/native/tavo_updater.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVO_BUILD_TESTS=ON >/dev/null
cmake --build build/native -j "$(nproc)"
