#!/usr/bin/env python3
"""Installs and updates on a disk-backed directory, and what durability
costs there. Times the fresh install (an empty directory) and the update (the
older tree installed, the archive written over it) of every workload with
  - the updater as built, flushing what it writes;
  - the same updater with every flush turned into a no-op: run with
    eatmydata's preload (libeatmydata.so), whose fsync, fdatasync, syncfs,
    sync_file_range, sync and msync return at once;
  - that no-flush run followed by one `sync -f <dir>`, the least that any
    install which ends on the disk can cost;
  - `bsdtar -xf` followed by one `sync -f <dir>`, a peer made durable the
    same way;
  - the updater as it was before (the baseline build, which does not flush);
  - for the real workloads' updates (real.py), also `bsdtar -xf` over the
    tree and `cp -a` of the tree followed by bsdtar, as update.py does on
    tmpfs.
Before the timed runs, each scenario runs once as built and once with the
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

from common import (bench_arguments, SYNTHETIC, UPDATER_PAUSE, fs_type, holds_tree, prime,
                    real_names, restore_tree, run_commands, selected, take_turns, tree_stats,
                    workload_paths)
from update import update_table

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


GOAL_DURABLE = 1.1
SCENARIOS = ("fresh", "update")


def measure(args, name, paths):
    old, z, model = paths
    t, c = os.path.join(args.disk, "target"), os.path.join(args.disk, "copy")
    upd = [args.updater, "--zip", z, "--hedef", t]
    tar = ["bsdtar", "-xf", z, "-C", t]
    sync = ["sync", "-f", t]
    # (scenario, tool, preparation (by scenario), timed commands, seconds to subtract)
    cases = []
    for scenario in SCENARIOS:
        cases += [(scenario, "updater", None, [upd], UPDATER_PAUSE),
                  (scenario, "no flush", None, [(upd, NO_FLUSH)], UPDATER_PAUSE),
                  (scenario, "no flush + sync -f", None, [(upd, NO_FLUSH), sync], UPDATER_PAUSE),
                  (scenario, "bsdtar + sync -f", None, [tar, sync], 0)]
        if args.before:
            cases.append((scenario, "updater (before)", None,
                          [[args.before, "--zip", z, "--hedef", t]], UPDATER_PAUSE))
    if name not in SYNTHETIC:
        cases += [("update", "bsdtar", None, [tar], 0),
                  ("update", "cp+bsdtar", None, [["cp", "-a", t, c], tar], 0)]
    needs = 2 * tree_stats(old)[1] + (64 << 20)

    def prepare(scenario):
        shutil.rmtree(c, ignore_errors=True)
        if scenario == "fresh":
            shutil.rmtree(t, ignore_errors=True)
            os.makedirs(t)
        else:
            restore_tree(old, t)
        subprocess.run(["sync", "-f", args.disk], check=True)

    def run_case(case, first):
        scenario, tool, _, commands, subtract = case
        prepare(scenario)
        prime(os.path.join(args.prime_dir, "prime"), needs)
        seconds, rss = run_commands(commands)
        if first and "tar" not in tool and not holds_tree(model, t,
                                                          old if scenario == "update" else None):
            raise SystemExit(f"{tool} result differs from the model tree ({name} {scenario})")
        return seconds - subtract, rss

    log = os.path.join(args.prime_dir, "flush-calls.log")
    calls = {}
    for scenario in SCENARIOS:
        prepare(scenario)
        as_built = flush_calls(upd, {}, log)
        prepare(scenario)
        calls[scenario] = (as_built, flush_calls(upd, NO_FLUSH, log))
    result = take_turns(cases, args.runs, run_case)
    shutil.rmtree(t, ignore_errors=True)
    shutil.rmtree(c, ignore_errors=True)
    return calls, result


def durable_row(name, scenario, files, calls, res):
    as_built, leaked = calls
    durable, rss = res[(scenario, "updater")]
    plain = res[(scenario, "no flush")][0]
    least = res[(scenario, "no flush + sync -f")][0]
    tar = res[(scenario, "bsdtar + sync -f")][0]
    before = res.get((scenario, "updater (before)"), (float("nan"), 0))[0]
    mark = " (!)" if leaked else ""
    row = (f"| {name} | {scenario} | {files} | {spell(as_built)} | {durable:.3f} | "
           f"{plain:.3f}{mark} | {least:.3f}{mark} | {tar:.3f} | {before:.3f} | "
           f"{durable / least:.2f} | {durable / tar:.2f} | "
           f"{(durable - plain) * 1000 / files:.3f} | {rss:.1f} |")
    verdict = (f"{name} {scenario}: durable {durable / least:.2f} x (no flush + sync -f) "
               f"(goal <= {GOAL_DURABLE:.1f})", durable / least <= GOAL_DURABLE and not leaked)
    return row, verdict


def main():
    p = bench_arguments(__doc__, 3)
    p.add_argument("--synthetic-work", required=True, help="where workloads.py put W1-W5")
    p.add_argument("--real-work", required=True, help="where real.py put its workloads")
    p.add_argument("--disk", required=True, help="scratch directory on a disk")
    p.add_argument("--prime-dir", required=True, help="where to prime memory (tmpfs)")
    args = p.parse_args()
    names = selected(args.only, SYNTHETIC) + real_names(args.only, args.real_work)
    os.makedirs(args.disk, exist_ok=True)
    fs = fs_type(args.disk)
    durable = ["| workload | scenario | files | flush calls as built | updater s | no flush s | "
               "no flush + sync -f s | bsdtar + sync -f s | updater (before) s | "
               "durable / (no flush + sync -f) | durable / (bsdtar + sync -f) | "
               "ms per file over no flush | peak RSS MiB |",
               "|---|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    updates, warnings, verdicts = [], [], []
    for name in names:
        paths = workload_paths(name, args.synthetic_work, args.real_work)
        if paths is None:
            continue
        print(f"measuring {name} on {fs} ({args.runs} runs)", flush=True)
        calls, res = measure(args, name, paths)
        files = tree_stats(paths[2])[0]
        for scenario in SCENARIOS:
            row, verdict = durable_row(name, scenario, files, calls[scenario], res)
            durable.append(row)
            verdicts.append(verdict)
            leaked = calls[scenario][1]
            if leaked:
                warnings.append(f"(!) {name} {scenario}: the preload let flush calls through "
                                f"({spell(leaked)}): its no-flush figures are not valid")
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
    print()
    for text, met in verdicts:
        print(f"{'met    ' if met else 'NOT MET'}  {text}")


if __name__ == "__main__":
    main()
