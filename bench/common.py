"""What the benchmark's measuring scripts share: running a timed command,
preparing scratch trees, priming memory, taking turns over runs, and picking
the workloads that BENCH_ONLY names.

A case is a record (scenario, tool, preparation, timed commands, seconds to
subtract); a timed command is an argv list, or a pair (argv, extra
environment). The cases of a workload take turns, run after run, so that a
slow spell of the shared machine falls on all of them alike; a case's figure
is the median of its runs, and its memory the largest peak of its runs.
"""
import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import time

# The updater always pauses 400 ms after its wait for the host: that pause
# is subtracted from its times.
UPDATER_PAUSE = 0.400
SYNTHETIC = ["W1", "W2", "W3", "W4", "W5"]


def timed(argv, capture=False, env=None):
    """Runs argv; returns (seconds, peak RSS in KiB, standard output).
    The peak comes from /usr/bin/time, a small process: a child forked from
    the Python driver would report the driver's own size as its peak."""
    out = subprocess.PIPE if capture else subprocess.DEVNULL
    rss_file = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"bench-rss-{os.getpid()}")
    full_env = dict(os.environ, **env) if env else None
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv, stdout=out,
                          env=full_env)
    spent = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit(f"failed ({proc.returncode}): {' '.join(argv)}")
    with open(rss_file) as f:
        rss = int(f.read().split()[-1])
    os.unlink(rss_file)
    return spent, rss, proc.stdout or b""


def run_commands(commands, capture_from=None):
    """Runs a case's timed commands one after the other; returns the sum of
    their seconds and the largest peak RSS in KiB. A command whose program
    is capture_from times itself and prints its seconds."""
    seconds, rss = 0.0, 0
    for command in commands:
        argv, env = command if isinstance(command, tuple) else (command, None)
        spent, peak, text = timed(argv, capture=argv[0] == capture_from, env=env)
        seconds += float(text) if text else spent
        rss = max(rss, peak)
    return seconds, rss


def tree_stats(path):
    """(files, bytes) of the regular files under path."""
    files = size = 0
    for d, _, names in os.walk(path):
        for name in names:
            files += 1
            size += os.path.getsize(os.path.join(d, name))
    return files, size


def prime(path, size):
    """Writes and deletes `size` bytes at path (on tmpfs where there is one).
    The guest hands memory that stayed free for about 2 s back to the host
    (virtio balloon page reporting), and touching it again costs the next
    writer up to a second of system time per GiB: a case run right after
    this gets memory that was just freed, whichever case ran before it."""
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


def restore_tree(src, dst):
    """Makes dst hold exactly src's tree again. An existing dst is copied
    over in place and pruned of what src lacks: on the disk that costs a
    third of deleting and copying the whole tree again."""
    if not os.path.isdir(dst):
        copy_tree(src, dst)
        return
    subprocess.run(["cp", "-a", os.path.join(src, "."), dst], check=True)
    for d, dirs, names in os.walk(dst):
        rel = os.path.relpath(d, dst)
        for name in list(dirs):
            if not os.path.isdir(os.path.join(src, rel, name)):
                shutil.rmtree(os.path.join(d, name))
                dirs.remove(name)
        for name in names:
            if not os.path.isfile(os.path.join(src, rel, name)):
                os.unlink(os.path.join(d, name))


def holds_tree(model, target, older=None):
    """True when every file of the model tree is in target with the same
    bytes, and target holds no other entry but those of the older tree (an
    update leaves the files it does not name): a backup left behind fails."""
    for d, _, names in os.walk(model):
        rel = os.path.relpath(d, model)
        for name in names:
            a, b = os.path.join(d, name), os.path.join(target, rel, name)
            if not os.path.isfile(b) or not filecmp.cmp(a, b, shallow=False):
                return False
    for d, dirs, names in os.walk(target):
        rel = os.path.relpath(d, target)
        for name in dirs + names:
            known = [os.path.join(t, rel, name) for t in (model, older) if t]
            if not any(os.path.lexists(k) for k in known):
                return False
    return True


def take_turns(cases, runs, run_case):
    """Runs every case `runs` times, the cases taking turns; run_case(case,
    first) returns (seconds, peak KiB). Returns {(scenario, tool): (median
    seconds, peak MiB)}."""
    samples = {c[:2]: [] for c in cases}
    rss = {c[:2]: 0 for c in cases}
    for r in range(runs):
        for case in cases:
            seconds, peak = run_case(case, r == 0)
            samples[case[:2]].append(seconds)
            rss[case[:2]] = max(rss[case[:2]], peak)
    return {k: (statistics.median(v), rss[k] / 1024.0) for k, v in samples.items()}


def selected(only, known):
    """The names of `known` that BENCH_ONLY's comma-separated list picks:
    names as they stand, "synthetic" for W1-W5, "real" for the others, all
    when the list is empty."""
    if not only:
        return list(known)
    picked = set()
    for word in only.split(","):
        word = word.strip()
        if word == "synthetic":
            picked.update(w for w in known if w in SYNTHETIC)
        elif word == "real":
            picked.update(w for w in known if w not in SYNTHETIC)
        elif word:
            picked.add(word)
    return [w for w in known if w in picked]


def fs_type(path):
    """The file system's name as mounted (ext4, tmpfs, ...)."""
    out = subprocess.run(["df", "--output=fstype", path], capture_output=True, text=True)
    return out.stdout.split()[-1]


def older_tree(tree):
    """The installation a synthetic workload updates: the same names and
    sizes, every file's last byte changed, so that every file changes (and
    each costs the updater its look for an identical file). Made once,
    beside the tree."""
    old = tree[:-len(".tree")] + ".old.tree"
    if not os.path.isdir(old):
        shutil.rmtree(old + ".part", ignore_errors=True)
        subprocess.run(["cp", "-a", tree, old + ".part"], check=True)
        for d, _, names in os.walk(old + ".part"):
            for name in names:
                path = os.path.join(d, name)
                st = os.stat(path)
                if st.st_size == 0:
                    continue
                with open(path, "r+b") as f:
                    f.seek(-1, os.SEEK_END)
                    last = f.read(1)
                    f.seek(-1, os.SEEK_END)
                    f.write(bytes([last[0] ^ 0xFF]))
                os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        os.rename(old + ".part", old)
    return old


def workload_paths(name, synthetic_work, real_work):
    """(installed tree, archive, model of the result) of a workload, or None
    when it was not made (a real workload whose release was not served)."""
    if name in SYNTHETIC:
        tree = os.path.join(synthetic_work, name + ".tree")
        return older_tree(tree), os.path.join(synthetic_work, name + ".zip"), tree
    d = os.path.join(real_work, name)
    if not os.path.exists(os.path.join(d, "meta.json")):
        return None
    return (os.path.join(d, "old.tree"), os.path.join(d, "new.zip"),
            os.path.join(d, "new.tree"))


def real_names(only, real_work):
    """The real workloads that BENCH_ONLY picks among those prepared."""
    known = sorted(os.listdir(real_work)) if os.path.isdir(real_work) else []
    return [n for n in selected(only, known)
            if os.path.exists(os.path.join(real_work, n, "meta.json"))]


def bench_arguments(doc, runs):
    """The parser of a bench driver, with the options every driver takes:
    the updater as built and as it was before, the runs and BENCH_ONLY."""
    p = argparse.ArgumentParser(description=doc.splitlines()[0])
    p.add_argument("--updater", required=True)
    p.add_argument("--before", help="the updater as it was before (the baseline build)")
    p.add_argument("--runs", type=int, default=runs)
    p.add_argument("--only", default="", help="BENCH_ONLY's list")
    return p
