#!/bin/sh
# Runs every test suite: the format check, native, sanitizer build and
# fuzzing when present, then the Windows build under Wine.
set -eu
cd "$(dirname "$0")/.."
# A formatting slip fails the run at the end, after every suite has run.
formatted=0
scripts/format.sh --check || formatted=1
ctest --test-dir build/native --output-on-failure -j "$(nproc)"
for stage in scripts/test-sanitizers.sh scripts/test-windows.sh; do
  if [ -x "$stage" ]; then
    "$stage"
  fi
done
if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh 60
fi
exit "$formatted"
