#!/bin/sh
# Builds the libFuzzer target with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) into build/fuzz and runs it for SECONDS
# (default 60) on a corpus grown from the generated seed archives.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build/fuzz
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVO_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link $sanitize" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $sanitize" >/dev/null
cmake --build "$out" -j "$(nproc)" --target fuzz_install fuzz_seeds >/dev/null
rm -rf "$out/seeds"
mkdir -p "$out/seeds" "$out/corpus"
"$out/fuzz_seeds" "$out/seeds" >/dev/null
# Scratch installations on a memory file system where there is one.
[ -d /dev/shm ] && TMPDIR=/dev/shm && export TMPDIR
"$out/fuzz_install" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$out/" "$out/corpus" "$out/seeds" 2>"$out/fuzz.log" || {
  tail -n 60 "$out/fuzz.log" >&2
  exit 1
}
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/fuzz.log")
echo "fuzz_install: $runs executions in $seconds s, no promise broken"
