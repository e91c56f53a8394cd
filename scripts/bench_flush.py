#!/usr/bin/env python3
"""The cost of flushing: times the update case (the workload's tree
installed, the archive written over it) with the updater as shipped and with
the build that forces each backup copy and each journal record to the disk
before the target is opened (TAVO_FLUSH). The target lives on a disk
directory, not tmpfs, where flushing costs nothing. The page cache is
written out before each run, so that a run pays only for its own flushes.
Usage: bench_flush.py <updater> <flushing updater> <work dir> <disk dir> <runs> W...
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

UPDATER_PAUSE = 0.400


def one_run(updater, zip_path, tree, target):
    shutil.rmtree(target, ignore_errors=True)
    subprocess.run(["cp", "-a", tree, target], check=True)
    os.sync()
    start = time.perf_counter()
    proc = subprocess.run([updater, "--zip", zip_path, "--hedef", target],
                          stdout=subprocess.DEVNULL)
    spent = time.perf_counter() - start - UPDATER_PAUSE
    if proc.returncode != 0:
        raise SystemExit(f"{updater} failed with {proc.returncode}")
    return spent


def main():
    updater, flushing, work, disk, runs = sys.argv[1:6]
    target = os.path.join(disk, "target")
    os.makedirs(disk, exist_ok=True)
    print("| workload | files replaced | as shipped (s) | flushing (s) | cost per file (ms) |")
    print("|---|---:|---:|---:|---:|")
    for w in sys.argv[6:]:
        tree, zip_path = os.path.join(work, w + ".tree"), os.path.join(work, w + ".zip")
        files = sum(len(f) for _, _, f in os.walk(tree))
        times = {updater: [], flushing: []}
        for _ in range(int(runs)):
            for program in times:
                times[program].append(one_run(program, zip_path, tree, target))
        plain, flushed = (statistics.median(times[p]) for p in (updater, flushing))
        print(f"| {w} | {files} | {plain:.2f} | {flushed:.2f} | "
              f"{(flushed - plain) * 1000 / files:.2f} |", flush=True)
    shutil.rmtree(target, ignore_errors=True)


if __name__ == "__main__":
    main()
