#!/usr/bin/env python3
"""Updates on a disk-backed directory, and what durability costs there.
Times the update case (the older tree installed, the archive written over
it) of every workload with
  - the updater as built, flushing what it writes;
  - the same updater with every flush turned into a no-op: run with
    eatmydata's preload (libeatmydata.so), whose fsync, fdatasync, syncfs,
    sync_file_range, sync and msync return at once;
  - that no-flush run followed by one `sync -f <dir>`, the least that any
    update which ends on the disk can cost;
  - the updater as it was before (the baseline build, which does not flush);
  - for the real workloads (bench_real.py), also `bsdtar -xf` over the tree
    and `cp -a` of the tree followed by bsdtar, as bench_update.py does on
    tmpfs.
Before the timed runs, each workload runs once as built and once with the
preload under strace, counting the flush calls that reach the kernel: the
no-flush figures count only when the preload let none through.

The page cache is written out before each case, so that a case pays only for
what it writes itself. The cases take turns over the runs; a figure is the
median of its runs, the updater's 400 ms pause subtracted. Note that sync -f
and the updater's syncfs also write out whatever else is waiting for the same
file system. Run with --help for the arguments.
"""
import collections
import os
import re
import shutil
import subprocess

from bench_common import (bench_arguments, SYNTHETIC, UPDATER_PAUSE, fs_type, holds_tree, prime,
                          real_names, restore_tree, run_commands, selected, take_turns, tree_stats,
                          workload_paths)
from bench_update import update_table

NO_FLUSH = {"LD_PRELOAD": "libeatmydata.so"}
FLUSH_CALLS = ["fsync", "fdatasync", "syncfs", "sync_file_range", "sync", "msync"]
SHORT = {"sync_file_range": "sfr"}


def flush_calls(argv, env, log):
    """Runs argv under strace; returns {system call: count} of the flush
    calls that reached the kernel, in the process and its children."""
    trace = ["strace", "-f", "--seccomp-bpf", "-qq", "-e", "trace=" + ",".join(FLUSH_CALLS),
             "-o", log]
    subprocess.run(trace + argv, env=dict(os.environ, **env), stdout=subprocess.DEVNULL,
                   check=True)
    counts = collections.Counter()
    with open(log) as f:
        for line in f:
            m = re.match(r"(?:\d+\s+)?(\w+)\(", line)
            if m and m.group(1) in FLUSH_CALLS:
                counts[m.group(1)] += 1
    os.unlink(log)
    return counts


def spell(counts):
    return ", ".join(f"{SHORT.get(k, k)} {v}" for k, v in sorted(counts.items())) or "none"


def measure(args, name, paths):
    old, z, model = paths
    t, c = os.path.join(args.disk, "target"), os.path.join(args.disk, "copy")
    upd = [args.updater, "--zip", z, "--hedef", t]
    tar = ["bsdtar", "-xf", z, "-C", t]
    # (scenario, tool, preparation (the same for all), timed commands, seconds to subtract)
    cases = [("update", "updater", None, [upd], UPDATER_PAUSE),
             ("update", "no flush", None, [(upd, NO_FLUSH)], UPDATER_PAUSE),
             ("update", "no flush + sync -f", None, [(upd, NO_FLUSH), ["sync", "-f", t]],
              UPDATER_PAUSE)]
    if args.before:
        cases.append(("update", "updater (before)", None,
                      [[args.before, "--zip", z, "--hedef", t]], UPDATER_PAUSE))
    if name not in SYNTHETIC:
        cases += [("update", "bsdtar", None, [tar], 0),
                  ("update", "cp+bsdtar", None, [["cp", "-a", t, c], tar], 0)]
    needs = 2 * tree_stats(old)[1] + (64 << 20)

    def install():
        shutil.rmtree(c, ignore_errors=True)
        restore_tree(old, t)
        subprocess.run(["sync", "-f", args.disk], check=True)

    def run_case(case, first):
        _, tool, _, commands, subtract = case
        install()
        prime(os.path.join(args.prime_dir, "prime"), needs)
        seconds, rss = run_commands(commands)
        if first and "tar" not in tool and not holds_tree(model, t, old):
            raise SystemExit(f"{tool} result differs from the model tree ({name})")
        return seconds - subtract, rss

    log = os.path.join(args.prime_dir, "flush-calls.log")
    install()
    as_built = flush_calls(upd, {}, log)
    install()
    leaked = flush_calls(upd, NO_FLUSH, log)
    result = take_turns(cases, args.runs, run_case)
    shutil.rmtree(t, ignore_errors=True)
    shutil.rmtree(c, ignore_errors=True)
    return as_built, leaked, result


def durable_row(name, files, as_built, leaked, res):
    durable, rss = res[("update", "updater")]
    plain = res[("update", "no flush")][0]
    least = res[("update", "no flush + sync -f")][0]
    before = res.get(("update", "updater (before)"), (float("nan"), 0))[0]
    mark = " (!)" if leaked else ""
    return (f"| {name} | {files} | {spell(as_built)} | {durable:.3f} | {plain:.3f}{mark} | "
            f"{least:.3f}{mark} | {before:.3f} | {durable / least:.2f} | "
            f"{(durable - plain) * 1000 / files:.3f} | {rss:.1f} |")


def main():
    p = bench_arguments(__doc__, 3)
    p.add_argument("--synthetic-work", required=True, help="where bench_workloads.py put W1-W4")
    p.add_argument("--real-work", required=True, help="where bench_real.py put its workloads")
    p.add_argument("--disk", required=True, help="scratch directory on a disk")
    p.add_argument("--prime-dir", required=True, help="where to prime memory (tmpfs)")
    args = p.parse_args()
    names = selected(args.only, SYNTHETIC) + real_names(args.only, args.real_work)
    os.makedirs(args.disk, exist_ok=True)
    fs = fs_type(args.disk)
    durable = ["| workload | files | flush calls as built | updater s | no flush s | "
               "no flush + sync -f s | updater (before) s | durable / (no flush + sync -f) | "
               "ms per file over no flush | peak RSS MiB |",
               "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|"]
    updates, warnings = [], []
    for name in names:
        paths = workload_paths(name, args.synthetic_work, args.real_work)
        if paths is None:
            continue
        print(f"measuring {name} on {fs} ({args.runs} runs)", flush=True)
        as_built, leaked, res = measure(args, name, paths)
        durable.append(durable_row(name, tree_stats(paths[2])[0], as_built, leaked, res))
        if leaked:
            warnings.append(f"(!) {name}: the preload let flush calls through ({spell(leaked)}): "
                            "its no-flush figures are not valid")
        if name not in SYNTHETIC:
            updates.append((name, fs, res))
    if updates:
        print()
        print("\n".join(update_table(updates)))
        print()
        print(f"Update over the older release on {fs} ({args.disk}); median of {args.runs} "
              "runs; the updater's 400 ms pause is subtracted, its flushes count. The page "
              "cache is written out before each case.")
    print()
    print("\n".join(durable))
    print()
    print(f"On {fs}; median of {args.runs} runs; the updater's 400 ms pause is subtracted. "
          "no flush: the same updater with eatmydata's preload; sfr: sync_file_range.")
    for text in warnings:
        print(text)


if __name__ == "__main__":
    main()
