#!/usr/bin/env python3
"""Makes the benchmark's real workloads: pairs of adjacent releases of real
software, fetched from the package registries with their own clients
(`apt-get download`, `npm pack`) at pinned versions and checked against
pinned SHA-256 sums. The older release is unpacked as the installed tree,
the newer one becomes the update archive.

For each workload <name>, into <work dir>/<name>/:
  old.tree   the older release, as installed
  new.tree   the newer release (the model an update must produce)
  new.zip    the newer release as a ZIP archive: deflate, level 6, each
             directory's entry before its files, as archivers write them
  meta.json  versions, sizes and the share of identical files and bytes
Downloads and prepared workloads are kept in <cache dir> between runs; a
release that the registry no longer serves and the cache does not hold is
named in one line and its workload is left out.
Usage: real.py <cache dir> <work dir> [BENCH_ONLY's list]
(it also refuses a list that names no known workload, synthetic or real)
"""
import filecmp
import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

from common import SYNTHETIC, selected

# name: (what it is, how it is fetched, older files, newer files); a file is
# (package, version, SHA-256 of the downloaded .deb or .tgz).
WORKLOADS = {
    # A large application: big shared libraries (libmergedlo.so, 69 MB) and
    # about 2,000 resource files; a security update and the point release
    # that followed it.
    "deb-libreoffice": (
        "LibreOffice core + common (Debian 12)", "deb",
        [("libreoffice-core", "4:7.4.7-1+deb12u13",
          "0ac9ac28fd30b566f7ee1ffbfcf566ca86baa6147ff23c5c16d2df8252516a45"),
         ("libreoffice-common", "4:7.4.7-1+deb12u13",
          "b6df0358b17d7e35bfdb9b3a5bfe433a4f28c0e84ccbc4c281dfb4505f09ee65")],
        [("libreoffice-core", "4:7.4.7-1+deb12u14",
          "0f0bb000da8520b3b9a064e51c1c876e3aef56c9152078b5766685c812111267"),
         ("libreoffice-common", "4:7.4.7-1+deb12u14",
          "4b9008ca10ab355527fa4b8e01160c322699ea2bb7578594178b41afc1b04e0c")]),
    # Thousands of small files: 5,722 modules of a few KiB each.
    "npm-date-fns": (
        "date-fns (npm)", "npm",
        [("date-fns", "2.29.3", "32704d42d5df17f2e43c299b9da4cfd12f703ed7a0d4f215a0cc832955c4e36a")],
        [("date-fns", "2.30.0", "0a6899307d0887bb23b9b982068b4f4a6509e3075fc798ad0d8abe6b0dc2cc4e")]),
    # A patch release that changes a few large files: four bundles of
    # 2-9 MB out of 116 files.
    "npm-typescript": (
        "TypeScript (npm)", "npm",
        [("typescript", "5.4.4", "0a5b3b80f055936eef797431778bbb3c39c1a4d3fcdbea16f9ac9dc343454c48")],
        [("typescript", "5.4.5", "154fae77169f04155ac52d521ac59abb07c9be29ea3744732adbf9f14abb2440")]),
}
REGISTRY = {"deb": "Debian's archive", "npm": "the npm registry"}


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def run_quiet(argv, cwd=None):
    return subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True)


def download(kind, package, version, into, state):
    """Fetches one release into a scratch directory; returns the file's path
    or None. Debian's lists are refreshed once per run when a version is
    missing from them, since an old list can lack a version still served."""
    if kind == "npm":
        proc = run_quiet(["npm", "pack", "--silent", f"{package}@{version}",
                          "--pack-destination", into])
    else:
        proc = run_quiet(["apt-get", "download", "-q", f"{package}={version}"], cwd=into)
        if proc.returncode != 0 and not state.get("apt updated"):
            state["apt updated"] = True
            run_quiet(["apt-get", "update", "-qq"])
            proc = run_quiet(["apt-get", "download", "-q", f"{package}={version}"], cwd=into)
    found = glob.glob(os.path.join(into, "*.deb" if kind == "deb" else "*.tgz"))
    return found[0] if proc.returncode == 0 and len(found) == 1 else None


def fetched(cache, kind, release, state):
    """(path, None): the cached download of one release, fetched when
    missing; (None, reason) when it cannot be had."""
    package, version, digest = release
    ext = "deb" if kind == "deb" else "tgz"
    path = os.path.join(cache, "downloads", f"{package}_{version.replace(':', '%3a')}.{ext}")
    if os.path.exists(path):
        return path, None
    if kind == "npm" and shutil.which("npm") is None:
        return None, f"npm is not installed to fetch {package} {version}"
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with tempfile.TemporaryDirectory(dir=os.path.dirname(path)) as scratch:
        got = download(kind, package, version, scratch, state)
        if got is None:
            return None, f"{package} {version} is no longer served by {REGISTRY[kind]}"
        if sha256(got) != digest:
            return None, f"{package} {version} as served differs from its pinned SHA-256"
        os.replace(got, path)
    return path, None


def unpack(kind, files, tree):
    """Unpacks the release's packages into one tree and keeps only its
    directories and regular files: the updater installs nothing else."""
    os.makedirs(tree)
    for path in files:
        if kind == "deb":
            subprocess.run(["dpkg-deb", "-x", path, tree], check=True)
        else:
            subprocess.run(["tar", "-xzf", path, "-C", tree, "--strip-components=1",
                            "--no-same-owner"], check=True)
    for d, dirs, names in os.walk(tree):
        for name in dirs + names:
            p = os.path.join(d, name)
            if os.path.islink(p) or not (os.path.isdir(p) or os.path.isfile(p)):
                os.unlink(p)
    if kind == "npm":
        # A package tarball holds no directory entries: give the directories
        # its files' time rather than the time of this unpacking.
        stamp = max(os.path.getmtime(os.path.join(d, n))
                    for d, _, names in os.walk(tree) for n in names)
        for d, _, _ in os.walk(tree):
            os.utime(d, (stamp, stamp))


def write_zip(tree, path):
    """Deflates the tree into path: each directory's entry, then its files,
    then its subdirectories, in name order; modes and times from the tree."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=6,
                         strict_timestamps=False) as z:
        for d, dirs, names in os.walk(tree):
            dirs.sort()
            rel = os.path.relpath(d, tree)
            if rel != ".":
                z.write(d, rel)
            for name in sorted(names):
                z.write(os.path.join(d, name), os.path.normpath(os.path.join(rel, name)))


def compare(old, new):
    """Files and bytes of the newer tree, and how many of each are
    identical (same path, same bytes) in the older one."""
    files = size = same_files = same_bytes = 0
    for d, _, names in os.walk(new):
        rel = os.path.relpath(d, new)
        for name in names:
            n, o = os.path.join(d, name), os.path.join(old, rel, name)
            length = os.path.getsize(n)
            files, size = files + 1, size + length
            if os.path.isfile(o) and filecmp.cmp(o, n, shallow=False):
                same_files, same_bytes = same_files + 1, same_bytes + length
    return {"files": files, "bytes": size, "same_files": same_files, "same_bytes": same_bytes}


def prepare(cache, stamp, name, state):
    """The prepared workload in the cache, made when missing; None when a
    release cannot be fetched."""
    about, kind, old, new = WORKLOADS[name]
    done = os.path.join(cache, f"prepared-{stamp}", name)
    if os.path.exists(os.path.join(done, "meta.json")):
        return done
    downloads = {}
    for side, releases in (("old", old), ("new", new)):
        got = [fetched(cache, kind, r, state) for r in releases]
        reasons = [reason for _, reason in got if reason]
        if reasons:
            print(f"skipping {name}: {'; '.join(reasons)}", flush=True)
            return None
        downloads[side] = [path for path, _ in got]
    print(f"preparing {name}", flush=True)
    part = done + ".part"
    shutil.rmtree(part, ignore_errors=True)
    for side in ("old", "new"):
        unpack(kind, downloads[side], os.path.join(part, side + ".tree"))
    write_zip(os.path.join(part, "new.tree"), os.path.join(part, "new.zip"))
    meta = compare(os.path.join(part, "old.tree"), os.path.join(part, "new.tree"))
    meta.update(about=about, old=" + ".join(f"{p} {v}" for p, v, _ in old),
                new=" + ".join(f"{p} {v}" for p, v, _ in new),
                zip_bytes=os.path.getsize(os.path.join(part, "new.zip")))
    with open(os.path.join(part, "meta.json"), "w") as f:
        json.dump(meta, f, indent=1)
    os.rename(part, done)
    return done


def main():
    cache, work = sys.argv[1:3]
    only = sys.argv[3] if len(sys.argv) > 3 else ""
    known = SYNTHETIC + list(WORKLOADS) + ["synthetic", "real"]
    unknown = [w for w in only.split(",") if w.strip() and w.strip() not in known]
    if unknown:
        raise SystemExit(f"BENCH_ONLY names no workload {', '.join(unknown)}; "
                         f"known: {', '.join(known)}")
    names = [n for n in selected(only, SYNTHETIC + list(WORKLOADS)) if n in WORKLOADS]
    with open(__file__, "rb") as f:
        stamp = hashlib.sha256(f.read()).hexdigest()[:12]
    # Prepared workloads from an older version of this script are remade.
    for old in glob.glob(os.path.join(cache, "prepared-*")):
        if not old.endswith(stamp):
            shutil.rmtree(old)
    state = {}
    for name in names:
        done = prepare(cache, stamp, name, state)
        target = os.path.join(work, name)
        if done and not os.path.exists(os.path.join(target, "meta.json")):
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(work, exist_ok=True)
            subprocess.run(["cp", "-a", done, target + ".part"], check=True)
            os.rename(target + ".part", target)


if __name__ == "__main__":
    main()
