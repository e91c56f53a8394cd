#!/bin/sh
# Benchmark (not a test): times the updater against bsdtar and Info-ZIP unzip
# and prints tables, also kept in build/bench/results.md. The updater runs as
# built and as it was before (build/bench-base), on
#  - synthetic workloads W1-W5 (bench/workloads.py): fresh and as an
#    update on tmpfs, beside the raw limits of the file system;
#  - real workloads, from one release of real software to the next
#    (bench/real.py; downloads and prepared trees are kept in
#    build/bench-cache): updates on tmpfs;
#  - all of them on the disk (build/bench-disk): updates, and what the
#    updater's flushes cost there.
# Workloads and scratch live on tmpfs (/dev/shm) when it has room, else under
# build/bench.
# BENCH_ONLY picks workloads: a comma-separated list of names (W1..W5,
#   deb-libreoffice, npm-date-fns, npm-typescript) or groups (synthetic, real).
# BENCH_PARTS picks parts: tmpfs, disk (both by default).
# BENCH_QUICK=1 runs each case once, to check that the bench works.
# BENCH_RUNS (5), BENCH_RUNS_W3 (3) and BENCH_RUNS_DISK (3, the disk cases)
# set the runs per case.
set -eu
cd "$(dirname "$0")/.."
start=$(date +%s)
# The real workloads are fetched with npm, which only the benchmark needs
# (a Node.js from elsewhere may bring it already).
if ! command -v npm >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
# The drivers import common.py: leave no byte-code beside the scripts.
export PYTHONDONTWRITEBYTECODE=1
if [ "${BENCH_QUICK:-0}" = 1 ]; then
  runs=${BENCH_RUNS:-1} runs_w3=${BENCH_RUNS_W3:-1} runs_disk=${BENCH_RUNS_DISK:-1}
else
  runs=${BENCH_RUNS:-5} runs_w3=${BENCH_RUNS_W3:-3} runs_disk=${BENCH_RUNS_DISK:-3}
fi
only=${BENCH_ONLY:-}
parts=${BENCH_PARTS:-tmpfs,disk}
part() { case ",$parts," in *",$1,"*) return 0 ;; *) return 1 ;; esac; }
need_kib=$((5 * 1024 * 1024))
# The updater as it was before this round of work: every table shows it
# beside the updater as built.
base_commit=204a594ae2a2f79f481b5a22a6c9b2790eda24cb

base=build/bench
if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] &&
   [ "$(df -Pk /dev/shm | awk 'NR == 2 { print $4 }')" -gt "$need_kib" ]; then
  base=/dev/shm/tavo_bench
fi
mkdir -p "$base" build/bench build/bench-disk
base=$(cd "$base" && pwd)
disk=$(pwd)/build/bench-disk
fs() { df --output=fstype "$1" | tail -n 1; }
echo "file system for workloads and scratch: $base ($(fs "$base"))"
echo "disk-backed scratch: $disk ($(fs "$disk"))"

# Workloads are kept between runs, under a name that changes with the
# generator; the real ones' downloads stay in build/bench-cache.
stamp=$(sha256sum bench/workloads.py | cut -c1-12)
work="$base/work-$stamp"
real_stamp=$(sha256sum bench/real.py | cut -c1-12)
real="$base/real-$real_stamp"
for old in "$base"/work-* "$base"/real-*; do
  [ -e "$old" ] && [ "$old" != "$work" ] && [ "$old" != "$real" ] && rm -rf "$old"
done
python3 bench/real.py build/bench-cache "$real" "$only"
synthetic=$(python3 -c 'import sys; sys.path.insert(0, "bench")
from common import SYNTHETIC, selected
print(" ".join(selected(sys.argv[1], SYNTHETIC)))' "$only")
[ -z "$synthetic" ] || python3 bench/workloads.py "$work" $synthetic

# The raw write limit's helper (tree_writer.cpp), built for the bench alone.
writer=build/bench/tree_writer
if part tmpfs && [ -n "$synthetic" ] && ! [ "$writer" -nt bench/tree_writer.cpp ]; then
  c++ -O2 -std=c++17 -Wall -o "$writer" bench/tree_writer.cpp
fi

# The baseline, built once from the commit's own tree.
before=""
if [ "$(cat build/bench-base/commit 2>/dev/null)" != "$base_commit" ]; then
  rm -rf build/bench-base
  if git cat-file -e "$base_commit^{commit}" 2>/dev/null; then
    echo "building the baseline updater ($base_commit) in build/bench-base"
    mkdir -p build/bench-base/src
    git archive "$base_commit" | tar -x -C build/bench-base/src
    cmake -S build/bench-base/src -B build/bench-base/build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTAVO_BUILD_TESTS=OFF >/dev/null
    cmake --build build/bench-base/build -j "$(nproc)" --target tavo_updater >/dev/null
    echo "$base_commit" >build/bench-base/commit
  else
    echo "baseline commit $base_commit is not in this clone: no \"updater (before)\" figures"
  fi
fi
[ -e build/bench-base/commit ] && before="--before=$(pwd)/build/bench-base/build/tavo_updater"

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
updater=$(pwd)/build/native/tavo_updater
: >build/bench/results.md
took() { echo "($1 took $(($(date +%s) - $2)) s)"; }
if part tmpfs && [ -n "$synthetic" ]; then
  t=$(date +%s)
  python3 bench/measure.py --updater="$updater" $before \
    --writer="$(pwd)/$writer" --work="$work" --scratch="$scratch/synthetic" \
    --runs="$runs" --runs-w3="$runs_w3" --only="$only" | tee -a build/bench/results.md
  took "synthetic workloads on tmpfs" "$t"
fi
if part tmpfs; then
  t=$(date +%s)
  python3 bench/update.py --updater="$updater" $before --work="$real" \
    --scratch="$scratch/real" --prime-dir="$scratch" --runs="$runs" --only="$only" |
    tee -a build/bench/results.md
  took "real workloads on tmpfs" "$t"
fi
if part disk; then
  t=$(date +%s)
  echo
  python3 bench/disk.py --updater="$updater" $before --synthetic-work="$work" \
    --real-work="$real" --disk="$disk/scratch" --prime-dir="$scratch" --runs="$runs_disk" \
    --only="$only" | tee -a build/bench/results.md
  took "disk" "$t"
fi
rm -rf "$scratch" "$disk"
echo
echo "make bench took $(($(date +%s) - start)) s; workloads kept in $work and $real" \
  "(rm -rf $base to free them), downloads in build/bench-cache"
