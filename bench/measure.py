#!/usr/bin/env python3
"""Times the updater against bsdtar and Info-ZIP unzip on the synthetic
workloads that workloads.py made (W1-W5), and the raw limits of the
same file system. The updater runs as built and as it was before (the
baseline build).

Each measured case runs `runs` times, the tools taking turns; a case's figure
is the median of its wall-clock seconds and the largest peak resident set of
its processes. The updater's 400 ms pause after its host wait is subtracted.
Run with --help for the arguments.
"""
import os
import shutil

from common import (bench_arguments, SYNTHETIC, UPDATER_PAUSE, copy_tree, fresh_dir, holds_tree,
                    older_tree, prime, run_commands, selected, take_turns, tree_stats)

GOALS_FRESH = {"W1": 0.8, "W2": 0.6, "W3": 0.6, "W4": 1.0}
GOALS_UPDATE = {"W1": 1.1, "W2": 0.8, "W3": 0.8, "W4": 1.1}
UPDATERS = ("updater", "updater (before)")
GOAL_RSS_MIB = 16.0


def cases(args, w):
    z = os.path.join(args.work, w + ".zip")
    tree = os.path.join(args.work, w + ".tree")
    t, c = os.path.join(args.scratch, "target"), os.path.join(args.scratch, "copy")
    tar = ["bsdtar", "-xf", z, "-C", t]
    unz = ["unzip", "-oq", z, "-d", t]
    empty = lambda: fresh_dir(t)
    old = older_tree(tree)
    installed = lambda: copy_tree(old, t)
    updaters = [("updater", args.updater), ("updater (before)", args.before)]
    updaters = [(name, path) for name, path in updaters if path]
    # (scenario, tool, preparation, timed commands, seconds to subtract)
    result = [("fresh", name, empty, [[path, "--zip", z, "--hedef", t]], UPDATER_PAUSE)
              for name, path in updaters]
    result += [("fresh", "bsdtar", empty, [tar], 0), ("fresh", "unzip", empty, [unz], 0)]
    result += [("update", name, installed, [[path, "--zip", z, "--hedef", t]], UPDATER_PAUSE)
               for name, path in updaters]
    result += [
        ("update", "bsdtar", installed, [tar], 0),
        ("update", "cp+bsdtar", installed, [["cp", "-a", t, c], tar], 0),
        ("update", "cp+unzip", installed, [["cp", "-a", t, c], unz], 0),
        ("raw", "read archive", lambda: None, [["cat", z]], 0),
        ("raw", "write tree", lambda: shutil.rmtree(t, ignore_errors=True),
         [[args.writer, tree, t]], 0),
        ("raw", "copy tree", lambda: shutil.rmtree(t, ignore_errors=True),
         [["cp", "-a", tree, t]], 0),
    ]
    return result


def workload(args, w, runs):
    tree = os.path.join(args.work, w + ".tree")
    target, copy = os.path.join(args.scratch, "target"), os.path.join(args.scratch, "copy")
    # Room for a backup or copy of the tree and the new files.
    needs = 2 * tree_stats(tree)[1] + (64 << 20)

    def run_case(case, first):
        scenario, tool, prepare, commands, subtract = case
        shutil.rmtree(copy, ignore_errors=True)
        prepare()
        prime(os.path.join(args.scratch, "prime"), needs)
        seconds, rss = run_commands(commands, capture_from=args.writer)
        if first and tool in UPDATERS and not holds_tree(tree, target):
            raise SystemExit(f"{tool} result differs from the model tree ({w} {scenario})")
        return seconds - subtract, rss

    result = take_turns(cases(args, w), runs, run_case)
    shutil.rmtree(target, ignore_errors=True)
    shutil.rmtree(copy, ignore_errors=True)
    return result


def table(results):
    lines = ["| workload | scenario | tool | seconds | x bsdtar | x cp+bsdtar | x raw limit | "
             "peak RSS MiB |", "|---|---|---|---:|---:|---:|---:|---:|"]
    verdicts = []
    for w, res in results.items():
        raw = {k[1]: v[0] for k, v in res.items() if k[0] == "raw"}
        limit = {"fresh": raw["read archive"] + raw["write tree"],
                 "update": raw["read archive"] + raw["write tree"] + raw["copy tree"]}
        for (scenario, tool), (sec, mib) in res.items():
            if scenario == "raw":
                lines.append(f"| {w} | raw | {tool} | {sec:.3f} | | | | {mib:.1f} |")
                continue
            ratio = sec / res[(scenario, "bsdtar")][0]
            copied = f"{sec / res[('update', 'cp+bsdtar')][0]:.2f}" if scenario == "update" else ""
            lines.append(f"| {w} | {scenario} | {tool} | {sec:.3f} | {ratio:.2f} | {copied} | "
                         f"{sec / limit[scenario]:.2f} | {mib:.1f} |")
            goal = (GOALS_FRESH if scenario == "fresh" else GOALS_UPDATE).get(w)
            if tool == "updater" and goal is not None:
                peer = "bsdtar" if scenario == "fresh" else "cp -a + bsdtar"
                versus = ratio if scenario == "fresh" else float(copied)
                verdicts.append((f"{w} {scenario}: {versus:.2f} x {peer} (goal <= {goal:.2f})",
                                 versus <= goal))
                verdicts.append((f"{w} {scenario}: peak RSS {mib:.1f} MiB "
                                 f"(goal < {GOAL_RSS_MIB:.0f})", mib < GOAL_RSS_MIB))
    return lines, verdicts


def main():
    p = bench_arguments(__doc__, 5)
    p.add_argument("--writer", required=True, help="tree_writer")
    p.add_argument("--work", required=True, help="where workloads.py put W1-W5")
    p.add_argument("--scratch", required=True)
    p.add_argument("--runs-w3", type=int, default=3)
    args = p.parse_args()
    os.makedirs(args.scratch, exist_ok=True)
    results = {}
    for w in selected(args.only, SYNTHETIC):
        n = args.runs_w3 if w == "W3" else args.runs
        print(f"measuring {w} ({n} runs)", flush=True)
        results[w] = workload(args, w, n)
    if not results:
        return
    lines, verdicts = table(results)
    print()
    print("\n".join(lines))
    print()
    print(f"Median of {args.runs} runs ({args.runs_w3} for W3); the updater's fixed 400 ms "
          "pause after the host wait is subtracted from its times.")
    print("update: bsdtar extracts over the installed tree; cp+ first copies the tree "
          "(standing in for a backup).")
    print("x raw limit: fresh = read archive + write tree; update = those + copy tree.")
    print("updater: as built; updater (before): the baseline build.")
    print()
    for text, met in verdicts:
        print(f"{'met    ' if met else 'NOT MET'}  {text}")


if __name__ == "__main__":
    main()
