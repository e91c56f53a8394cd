#!/usr/bin/env python3
"""Times the updater against bsdtar and Info-ZIP unzip on the workloads that
bench_workloads.py made, and the raw limits of the same file system. The
updater runs twice per case: as built (ISA-L's inflate) and as built with
TAVO_ZLIB_INFLATE (zlib's), for the comparison.

Each measured case runs `runs` times, the tools taking turns; a case's figure
is the median of its wall-clock seconds and the largest peak resident set of
its processes (getrusage of the child). The updater always pauses 400 ms
after its wait for the host: that pause is subtracted from its time.
Usage: bench_measure.py <updater> <zlib updater> <tree_writer> <work dir>
                        <scratch dir> <runs> <runs for W3>
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

UPDATER_PAUSE = 0.400
GOALS_FRESH = {"W1": 0.8, "W2": 0.6, "W3": 0.6, "W4": 1.0}
GOALS_UPDATE = {"W1": 1.1, "W2": 0.8, "W3": 0.8, "W4": 1.1}
UPDATERS = ("updater", "updater zlib")
GOAL_RSS_MIB = 16.0


def timed(argv, capture=False):
    """Runs argv; returns (seconds, peak RSS in KiB, standard output).
    The peak comes from /usr/bin/time, a small process: a child forked from
    this Python process would report Python's own size as its peak."""
    out = subprocess.PIPE if capture else subprocess.DEVNULL
    rss_file = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"bench-rss-{os.getpid()}")
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv, stdout=out)
    spent = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit(f"failed ({proc.returncode}): {' '.join(argv)}")
    with open(rss_file) as f:
        rss = int(f.read().split()[-1])
    os.unlink(rss_file)
    return spent, rss, proc.stdout or b""


def tree_bytes(path):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


def prime(path, size):
    """Writes and deletes `size` bytes in the scratch file system. The guest
    hands memory that stayed free for about 2 s back to the host (virtio
    balloon page reporting), and touching it again costs the next writer up
    to a second of system time per GiB: a case run right after this gets
    memory that was just freed, whichever case ran before it."""
    block = bytes(1 << 20)
    with open(path, "wb") as f:
        for _ in range(size >> 20):
            f.write(block)
    os.unlink(path)


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def copy_tree(src, dst):
    shutil.rmtree(dst, ignore_errors=True)
    subprocess.run(["cp", "-a", src, dst], check=True)


def same_tree(a, b):
    return subprocess.run(["diff", "-rq", a, b], stdout=subprocess.DEVNULL).returncode == 0


class Bench:
    def __init__(self, updater, zlib_updater, writer, work, scratch):
        self.updater, self.zlib_updater = updater, zlib_updater
        self.writer, self.work, self.scratch = writer, work, scratch
        self.target = os.path.join(scratch, "target")
        self.copy = os.path.join(scratch, "copy")

    def cases(self, w):
        z = os.path.join(self.work, w + ".zip")
        tree = os.path.join(self.work, w + ".tree")
        t, c = self.target, self.copy
        upd = [self.updater, "--zip", z, "--hedef", t]
        upz = [self.zlib_updater, "--zip", z, "--hedef", t]
        tar = ["bsdtar", "-xf", z, "-C", t]
        unz = ["unzip", "-oq", z, "-d", t]
        empty = lambda: fresh_dir(t)
        installed = lambda: copy_tree(tree, t)
        # (scenario, tool, preparation, timed commands, seconds to subtract)
        return [
            ("fresh", "updater", empty, [upd], UPDATER_PAUSE),
            ("fresh", "updater zlib", empty, [upz], UPDATER_PAUSE),
            ("fresh", "bsdtar", empty, [tar], 0),
            ("fresh", "unzip", empty, [unz], 0),
            ("update", "updater", installed, [upd], UPDATER_PAUSE),
            ("update", "updater zlib", installed, [upz], UPDATER_PAUSE),
            ("update", "cp+bsdtar", installed, [["cp", "-a", t, c], tar], 0),
            ("update", "cp+unzip", installed, [["cp", "-a", t, c], unz], 0),
            ("raw", "read archive", lambda: None, [["cat", z]], 0),
            ("raw", "write tree", lambda: shutil.rmtree(t, ignore_errors=True),
             [[self.writer, tree, t]], 0),
            ("raw", "copy tree", lambda: shutil.rmtree(t, ignore_errors=True),
             [["cp", "-a", tree, t]], 0),
        ]

    def run_case(self, case, check_against=None, needs=0):
        scenario, tool, prepare, commands, subtract = case
        shutil.rmtree(self.copy, ignore_errors=True)
        prepare()
        prime(os.path.join(self.scratch, "prime"), needs)
        seconds, rss = 0.0, 0
        for argv in commands:
            spent, peak, text = timed(argv, capture=argv[0] == self.writer)
            # The tree writer times its own writing, without its listing.
            seconds += float(text) if text else spent
            rss = max(rss, peak)
        if check_against and tool in UPDATERS and not same_tree(check_against, self.target):
            raise SystemExit(f"{tool} result differs from the model tree ({scenario})")
        return seconds - subtract, rss

    def workload(self, w, runs):
        cases = self.cases(w)
        samples = {c[:2]: [] for c in cases}
        rss = {c[:2]: 0 for c in cases}
        tree = os.path.join(self.work, w + ".tree")
        # Room for a backup or copy of the tree and the new files.
        needs = 2 * tree_bytes(tree) + (64 << 20)
        for r in range(runs):
            for case in cases:
                s, m = self.run_case(case, tree if r == 0 else None, needs)
                samples[case[:2]].append(s)
                rss[case[:2]] = max(rss[case[:2]], m)
        shutil.rmtree(self.target, ignore_errors=True)
        shutil.rmtree(self.copy, ignore_errors=True)
        return {k: (statistics.median(v), rss[k] / 1024.0) for k, v in samples.items()}


def table(results):
    lines = ["| workload | scenario | tool | seconds | x bsdtar | x raw limit | peak RSS MiB |",
             "|---|---|---|---:|---:|---:|---:|"]
    verdicts = []
    for w, res in results.items():
        raw = {k[1]: v[0] for k, v in res.items() if k[0] == "raw"}
        limit = {"fresh": raw["read archive"] + raw["write tree"],
                 "update": raw["read archive"] + raw["write tree"] + raw["copy tree"]}
        base = {"fresh": res[("fresh", "bsdtar")][0], "update": res[("update", "cp+bsdtar")][0]}
        for (scenario, tool), (sec, mib) in res.items():
            if scenario == "raw":
                lines.append(f"| {w} | raw | {tool} | {sec:.3f} | | | {mib:.1f} |")
                continue
            ratio, to_raw = sec / base[scenario], sec / limit[scenario]
            lines.append(f"| {w} | {scenario} | {tool} | {sec:.3f} | {ratio:.2f} | "
                         f"{to_raw:.2f} | {mib:.1f} |")
            if tool == "updater":
                goal = (GOALS_FRESH if scenario == "fresh" else GOALS_UPDATE)[w]
                verdicts.append((f"{w} {scenario}: {ratio:.2f} x {'bsdtar' if scenario == 'fresh' else 'cp -a + bsdtar'} (goal <= {goal:.2f})", ratio <= goal))
                verdicts.append((f"{w} {scenario}: peak RSS {mib:.1f} MiB (goal < {GOAL_RSS_MIB:.0f})", mib < GOAL_RSS_MIB))
    return lines, verdicts


def comparison(results):
    """zlib's inflate beside ISA-L's: the updater's seconds with each, and
    each as a ratio to the peers' baseline (bsdtar, or cp -a + bsdtar)."""
    lines = ["| workload | scenario | zlib s | ISA-L s | ISA-L / zlib | zlib x bsdtar | "
             "ISA-L x bsdtar | zlib RSS MiB | ISA-L RSS MiB |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    for w, res in results.items():
        for scenario, peer in (("fresh", "bsdtar"), ("update", "cp+bsdtar")):
            base = res[(scenario, peer)][0]
            zs, zm = res[(scenario, "updater zlib")]
            isa, im = res[(scenario, "updater")]
            lines.append(f"| {w} | {scenario} | {zs:.3f} | {isa:.3f} | {isa / zs:.2f} | "
                         f"{zs / base:.2f} | {isa / base:.2f} | {zm:.1f} | {im:.1f} |")
    return lines


def main():
    updater, zlib_updater, writer, work, scratch, runs, runs_w3 = sys.argv[1:8]
    bench = Bench(updater, zlib_updater, writer, work, scratch)
    results = {}
    for w in ["W1", "W2", "W3", "W4"]:
        n = int(runs_w3) if w == "W3" else int(runs)
        print(f"measuring {w} ({n} runs)", flush=True)
        results[w] = bench.workload(w, n)
    lines, verdicts = table(results)
    print()
    print("\n".join(lines))
    print()
    print(f"Median of {runs} runs ({runs_w3} for W3); the updater's fixed 400 ms pause "
          "after the host wait is subtracted from its times.")
    print("x raw limit: fresh = read archive + write tree; update = those + copy tree.")
    print("updater: inflate with ISA-L (the default build); updater zlib: built with "
          "TAVO_ZLIB_INFLATE=ON.")
    print()
    print("\n".join(comparison(results)))
    print()
    print("x bsdtar: for an update, x (cp -a + bsdtar).")
    print()
    for text, met in verdicts:
        print(f"{'met    ' if met else 'NOT MET'}  {text}")


if __name__ == "__main__":
    main()
