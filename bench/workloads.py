#!/usr/bin/env python3
"""Makes the benchmark's workloads, the same bytes on every run.

For each workload: a tree <out>/<name>.tree and its archive <out>/<name>.zip.
  W1  10,000 files of 1-16 KiB in a three-level tree (text and code)
  W2  about 300 files, about 150 MiB: a few large binaries, many small files
  W3  one 512 MiB binary
  W4  the tree of W2, stored without compression
  W5  50,000 files of 30-50 bytes in 100 directories
Usage: workloads.py <out dir> [W1 W2 W3 W4 W5]
"""
import os
import random
import sys
import zipfile

KIB = 1024
MIB = 1024 * KIB
STAMP = (2024, 5, 17, 10, 30, 0)
BLOCK = 4 * KIB


def corpora(rnd):
    """Text-like and machine-code-like material to slice file contents from."""
    words = ["".join(rnd.choice("etaoinshrdlucmfwypvbgkjqxz")
                     for _ in range(rnd.randint(2, 10))) for _ in range(3000)]
    # Word frequencies fall off as in natural language.
    freq = [1 / (i + 1) for i in range(len(words))]
    lines, size = [], 0
    while size < 2 * MIB:
        line = " ".join(rnd.choices(words, weights=freq, k=rnd.randint(3, 14)))
        lines.append(line)
        size += len(line) + 1
    text = ("\n".join(lines) + "\n").encode()
    # Compiled code: instructions of 1-7 bytes from a vocabulary, common ones
    # far more often than rare ones.
    ops = [rnd.randbytes(rnd.randint(1, 7)) for _ in range(1500)]
    freq = [1 / (i + 1) for i in range(len(ops))]
    code = b"".join(rnd.choices(ops, weights=freq, k=800000))[:2 * MIB]
    return text, code


def slice_of(rnd, corpus, size):
    start = rnd.randrange(len(corpus) - size)
    return corpus[start:start + size]


def binary(rnd, text, code, size):
    """A binary with realistic mixed compressibility: code, tables, strings,
    embedded compressed resources."""
    parts, left = [], size
    while left > 0:
        n = min(BLOCK, left)
        kind = rnd.random()
        if kind < 0.50:
            parts.append(slice_of(rnd, code, n))
        elif kind < 0.70:
            parts.append(rnd.randbytes(n))
        elif kind < 0.85:
            parts.append(slice_of(rnd, text, n))
        else:
            table = bytearray(n)
            for i in range(0, n, 64):
                table[i:i + 4] = rnd.randbytes(4)
            parts.append(bytes(table))
        left -= n
    return b"".join(parts)


def small_file(rnd, text, code, size):
    kind = rnd.random()
    if kind < 0.55:
        return slice_of(rnd, text, size)
    if kind < 0.85:
        return binary(rnd, text, code, size)
    return rnd.randbytes(size)  # images and other packed resources


def w1(rnd, text, code):
    files = []
    for a in range(10):
        for b in range(10):
            for c in range(10):
                for f in range(10):
                    size = rnd.randint(1 * KIB, 16 * KIB)
                    name = f"mod{a}/pkg{b}/res{c}/file{f}.dat"
                    files.append((name, small_file(rnd, text, code, size)))
    return files


def w2(rnd, text, code):
    files = []
    for i, mib in enumerate([40, 28, 18, 12, 8, 5]):
        files.append((f"bin/module{i}.dll", binary(rnd, text, code, mib * MIB)))
    for i in range(200):
        size = rnd.randint(1 * KIB, 64 * KIB)
        files.append((f"share/doc/part{i % 8}/page{i}.txt", slice_of(rnd, text, size)))
    for i in range(94):
        size = rnd.randint(16 * KIB, 512 * KIB)
        files.append((f"share/res/set{i % 5}/item{i}.bin", small_file(rnd, text, code, size)))
    return files


def w3(rnd, text, code):
    return [("data/big.pak", binary(rnd, text, code, 512 * MIB))]


def w5(rnd, text, code):
    return [(f"dir{d:02}/entry{f:03}.txt", slice_of(rnd, text, rnd.randint(30, 50)))
            for d in range(100) for f in range(500)]


def directories(names):
    seen, result = set(), []
    for name in names:
        parts = name.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i]) + "/"
            if d not in seen:
                seen.add(d)
                result.append(d)
    return result


def write_tree(root, files):
    for name, data in files:
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o644)


def write_zip(path, files, method):
    # Directory entries first, as archivers write them, then the files.
    tmp = path + ".part"
    with zipfile.ZipFile(tmp, "w", compression=method, compresslevel=6) as z:
        written = set()
        for name, data in files:
            for d in directories([name]):
                if d not in written:
                    written.add(d)
                    info = zipfile.ZipInfo(d, STAMP)
                    info.external_attr = (0o40755 << 16) | 0x10
                    z.writestr(info, b"")
            info = zipfile.ZipInfo(name, STAMP)
            info.external_attr = 0o100644 << 16
            info.compress_type = method
            z.writestr(info, data)
    os.replace(tmp, path)


def make(out, name):
    makers = {"W1": (w1, zipfile.ZIP_DEFLATED), "W2": (w2, zipfile.ZIP_DEFLATED),
              "W3": (w3, zipfile.ZIP_DEFLATED), "W4": (w2, zipfile.ZIP_STORED),
              "W5": (w5, zipfile.ZIP_DEFLATED)}
    maker, method = makers[name]
    seed = "W2" if name == "W4" else name
    rnd = random.Random(seed)
    text, code = corpora(rnd)
    files = maker(rnd, text, code)
    tree = os.path.join(out, name + ".tree")
    if not os.path.isdir(tree):
        write_tree(tree + ".part", files)
        os.rename(tree + ".part", tree)
    write_zip(os.path.join(out, name + ".zip"), files, method)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name in sys.argv[2:] or ["W1", "W2", "W3", "W4", "W5"]:
        if not os.path.exists(os.path.join(out, name + ".zip")):
            print(f"making {name}", flush=True)
            make(out, name)


if __name__ == "__main__":
    main()
