#!/bin/sh
# Runs every test suite: the native one, then the Windows build under Wine.
set -eu
cd "$(dirname "$0")/.."
ctest --test-dir build/native --output-on-failure -j "$(nproc)"
if [ -x scripts/test-windows.sh ]; then
  scripts/test-windows.sh
fi
