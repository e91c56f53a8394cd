#!/bin/sh
# Benchmark (not a test): times the updater against bsdtar and Info-ZIP unzip
# on generated workloads, beside the raw limits of the same file system, and
# prints a table. The updater runs as built (ISA-L's inflate) and as built
# with zlib's inflate (build/bench-zlib), side by side. Workloads and scratch
# live on tmpfs (/dev/shm) when it has room, else under build/bench.
# BENCH_RUNS and BENCH_RUNS_W3 set the runs per case (5 and 3). The table is
# also kept in build/bench/results.md.
set -eu
cd "$(dirname "$0")/.."
start=$(date +%s)
runs=${BENCH_RUNS:-5}
runs_w3=${BENCH_RUNS_W3:-3}
need_kib=$((5 * 1024 * 1024))

base=build/bench
if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] &&
   [ "$(df -Pk /dev/shm | awk 'NR == 2 { print $4 }')" -gt "$need_kib" ]; then
  base=/dev/shm/tavo_bench
fi
mkdir -p "$base" build/bench
base=$(cd "$base" && pwd)
echo "file system for workloads and scratch: $base ($(stat -f -c %T "$base"))"

# Workloads are kept between runs, under a name that changes with the generator.
stamp=$(sha256sum scripts/bench_workloads.py | cut -c1-12)
work="$base/work-$stamp"
for old in "$base"/work-*; do
  [ -e "$old" ] && [ "$old" != "$work" ] && rm -rf "$old"
done
python3 scripts/bench_workloads.py "$work"

# The same updater inflating with zlib, for the comparison.
cmake -S . -B build/bench-zlib -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVO_BUILD_TESTS=OFF \
  -DTAVO_ZLIB_INFLATE=ON >/dev/null
cmake --build build/bench-zlib -j "$(nproc)" --target tavo_updater >/dev/null

scratch="$base/scratch"
rm -rf "$scratch"
mkdir -p "$scratch"
# On a virtual machine, memory the guest touches for the first time costs
# several times more than memory it has used before: fill and free 4 GiB of
# tmpfs once, so that no run pays for it.
if [ "$(stat -f -c %T "$base")" = tmpfs ] &&
   [ "$(df -Pk "$base" | awk 'NR == 2 { print $4 }')" -gt $((6 * 1024 * 1024)) ]; then
  dd if=/dev/zero of="$scratch/warm" bs=1M count=4096 status=none
  rm -f "$scratch/warm"
fi
python3 scripts/bench_measure.py "$(pwd)/build/native/tavo_updater" \
  "$(pwd)/build/bench-zlib/tavo_updater" "$(pwd)/build/native/tree_writer" \
  "$work" "$scratch" "$runs" "$runs_w3" | tee build/bench/results.md
rm -rf "$scratch"

# The cost of flushing each backup copy and journal record (not done by the
# shipped updater), measured on the disk under build/, not on tmpfs.
cmake -S . -B build/bench-flush -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVO_BUILD_TESTS=OFF \
  -DTAVO_FLUSH=ON >/dev/null
cmake --build build/bench-flush -j "$(nproc)" --target tavo_updater >/dev/null
mkdir -p build/bench/disk
echo
echo "Flushing before each target is opened, on $(stat -f -c %T build/bench/disk):"
python3 scripts/bench_flush.py "$(pwd)/build/native/tavo_updater" \
  "$(pwd)/build/bench-flush/tavo_updater" "$work" "$(pwd)/build/bench/disk" \
  "${BENCH_RUNS_FLUSH:-3}" W2 W1 | tee -a build/bench/results.md
rm -rf build/bench/disk
echo
echo "make bench took $(($(date +%s) - start)) s; workloads kept in $work (rm -rf $base to free them)"
