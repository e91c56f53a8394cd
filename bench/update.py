#!/usr/bin/env python3
"""Times updates over real releases (the workloads real.py made) on
tmpfs: the older release installed, the newer one's archive written over it
by the updater as built, by the updater as it was before (the baseline
build), by `bsdtar -xf` over the same tree, and by `cp -a` of the tree
(standing in for a backup) followed by bsdtar. disk.py runs the same
cases on the disk.

The cases take turns over the runs; a figure is the median of its runs, the
updater's 400 ms pause after its host wait subtracted. Run with --help for
the arguments.
"""
import json
import os
import shutil

from common import (bench_arguments, UPDATER_PAUSE, copy_tree, fs_type, holds_tree, prime,
                    real_names, run_commands, take_turns, tree_stats)

UPDATERS = ("updater", "updater (before)")


def describe(real_work, names):
    lines = ["| workload | what | older | newer | files | MB | archive MB | identical files | "
             "identical bytes |", "|---|---|---|---|---:|---:|---:|---:|---:|"]
    for name in names:
        with open(os.path.join(real_work, name, "meta.json")) as f:
            m = json.load(f)
        lines.append(f"| {name} | {m['about']} | {m['old']} | {m['new']} | {m['files']} | "
                     f"{m['bytes'] / 1e6:.1f} | {m['zip_bytes'] / 1e6:.1f} | "
                     f"{m['same_files'] / m['files']:.1%} | {m['same_bytes'] / m['bytes']:.1%} |")
    return lines


def update_cases(args, name, scratch):
    """The update cases of a real workload, with the target and the model of
    the result: (cases, installed tree, target, copy, model)."""
    d = os.path.join(args.work, name)
    old, z, model = (os.path.join(d, n) for n in ("old.tree", "new.zip", "new.tree"))
    t, c = os.path.join(scratch, "target"), os.path.join(scratch, "copy")
    tar = ["bsdtar", "-xf", z, "-C", t]
    updaters = [(tool, path) for tool, path in zip(UPDATERS, (args.updater, args.before)) if path]
    # (scenario, tool, preparation (the same for all here), timed commands, seconds to subtract)
    cases = [("update", tool, None, [[path, "--zip", z, "--hedef", t]], UPDATER_PAUSE)
             for tool, path in updaters]
    cases += [("update", "bsdtar", None, [tar], 0),
              ("update", "cp+bsdtar", None, [["cp", "-a", t, c], tar], 0)]
    return cases, old, t, c, model


def measure(args, name):
    cases, old, t, c, model = update_cases(args, name, args.scratch)
    needs = 2 * tree_stats(old)[1] + (64 << 20)

    def run_case(case, first):
        _, tool, _, commands, subtract = case
        shutil.rmtree(c, ignore_errors=True)
        copy_tree(old, t)
        prime(os.path.join(args.prime_dir, "prime"), needs)
        seconds, rss = run_commands(commands)
        if first and tool in UPDATERS and not holds_tree(model, t, old):
            raise SystemExit(f"{tool} result differs from the newer release ({name})")
        return seconds - subtract, rss

    result = take_turns(cases, args.runs, run_case)
    shutil.rmtree(t, ignore_errors=True)
    shutil.rmtree(c, ignore_errors=True)
    return result


def update_table(results):
    """results: [(workload, file system, {(scenario, tool): (s, MiB)})]."""
    lines = ["| workload | file system | tool | seconds | x bsdtar | x cp+bsdtar | peak RSS MiB |",
             "|---|---|---|---:|---:|---:|---:|"]
    for name, fs, res in results:
        tar, copied = res[("update", "bsdtar")][0], res[("update", "cp+bsdtar")][0]
        for (scenario, tool), (sec, mib) in res.items():
            if scenario == "update" and tool in UPDATERS + ("bsdtar", "cp+bsdtar"):
                lines.append(f"| {name} | {fs} | {tool} | {sec:.3f} | {sec / tar:.2f} | "
                             f"{sec / copied:.2f} | {mib:.1f} |")
    return lines


def main():
    p = bench_arguments(__doc__, 5)
    p.add_argument("--work", required=True, help="where real.py put the workloads")
    p.add_argument("--scratch", required=True, help="scratch directory (on tmpfs)")
    p.add_argument("--prime-dir", required=True, help="where to prime memory (tmpfs)")
    args = p.parse_args()
    names = real_names(args.only, args.work)
    if not names:
        return
    os.makedirs(args.scratch, exist_ok=True)
    fs = fs_type(args.scratch)
    results = []
    for name in names:
        print(f"measuring {name} on {fs} ({args.runs} runs)", flush=True)
        results.append((name, fs, measure(args, name)))
    print()
    print("\n".join(describe(args.work, names)))
    print()
    print("identical: files of the newer release found with the same bytes at the same "
          "path in the older one, and their share of its bytes.")
    print()
    print("\n".join(update_table(results)))
    print()
    print(f"Update over the older release; median of {args.runs} runs; the updater's 400 ms "
          "pause is subtracted. bsdtar extracts over the installed tree; cp+bsdtar first "
          "copies it (standing in for a backup).")


if __name__ == "__main__":
    main()
