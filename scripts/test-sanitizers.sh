#!/bin/sh
# Builds the native tree with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/sanitize and runs its test suites there: every finding aborts.
set -eu
cd "$(dirname "$0")/.."
out=build/sanitize
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVO_BUILD_TESTS=ON \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$out" -j "$(nproc)" >/dev/null
ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$out" --output-on-failure -j "$(nproc)"
