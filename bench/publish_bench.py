#!/usr/bin/env python3
"""Publishing a release of 1 GB against reading the same files and writing
the same bytes with cat, side by side in one run.

Both read from the page cache (the files were just written) and write to
the same disk. A third line copies the same files into the same
10,000,000-byte part objects in the kernel, without a CRC: what writing a
hundred files instead of four costs by itself. They take turns, several rounds, each after a sync; the best
and the median wall time count, and the CPU seconds show what each costs
the machine, which varies less than wall time on a shared one.
Usage: publish_bench.py PUBLISHER WORKDIR"""

import os
import shutil
import statistics
import subprocess
import sys
import time

ROUNDS = 5
SIZES = {"data-1.bin": 400_000_000, "data-2.bin": 305_000_000,
         "data-3.bin": 250_500_000, "Setup.exe": 44_500_000}


# The kernel copy of cat (copy_file_range), cut into part objects.
COPY_PARTS = """
import os, sys
src, out = sys.argv[1], sys.argv[2]
for name in sorted(os.listdir(src)):
    fd = os.open(os.path.join(src, name), os.O_RDONLY)
    size = os.fstat(fd).st_size
    for k, start in enumerate(range(0, size, 10_000_000)):
        part = os.open(os.path.join(out, f"{k}_{name}"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        left, offset = min(10_000_000, size - start), start
        while left:
            copied = os.copy_file_range(fd, part, left, offset)
            offset, left = offset + copied, left - copied
        os.close(part)
    os.close(fd)
"""


def timed(command, stdout=subprocess.DEVNULL):
    """Wall seconds and CPU seconds (user + system) of one command."""
    os.sync()
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=stdout, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{command[0]} failed")
    return wall, usage.ru_utime + usage.ru_stime


def main():
    publisher, work = sys.argv[1], os.path.join(sys.argv[2], "publish-bench")
    shutil.rmtree(work, ignore_errors=True)
    src, copies, out = (os.path.join(work, name) for name in ("src", "cat", "out"))
    os.makedirs(src)
    block = os.urandom(1 << 20)
    for name, size in SIZES.items():
        with open(os.path.join(src, name), "wb") as f:
            for offset in range(0, size, len(block)):
                f.write(block[:min(len(block), size - offset)])
    total = sum(SIZES.values())
    files = sorted(os.listdir(src))

    results = {"cat": [], "parts": [], "publish": []}
    try:
        for _ in range(ROUNDS):
            shutil.rmtree(copies, ignore_errors=True)
            os.makedirs(copies)
            # One cat per file, as a maker would copy them; the shell's own
            # cost is part of it.
            script = "; ".join(f"cat '{src}/{f}' > '{copies}/{f}'" for f in files)
            results["cat"].append(timed(["sh", "-c", script]))
            shutil.rmtree(copies, ignore_errors=True)
            os.makedirs(copies)
            results["parts"].append(timed([sys.executable, "-c", COPY_PARTS, src, copies]))
            shutil.rmtree(copies, ignore_errors=True)
            shutil.rmtree(out, ignore_errors=True)
            results["publish"].append(timed([publisher, "publish", "--release", "Bench_R1",
                                             "--subdir", "bench", "--out", out, "--from", src]))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"Release of {total / 1e6:.0f} MB in {len(SIZES)} files, {ROUNDS} rounds "
          f"(wall s / CPU s per round)")
    for name, runs in results.items():
        print(f"  {name:8} " + "  ".join(f"{w:.2f}/{c:.2f}" for w, c in runs))
    for label, pick in (("best", min), ("median", statistics.median)):
        cat, parts, pub = (pick(w for w, _ in results[name]) for name in ("cat", "parts", "publish"))
        print(f"  {label:6}  cat {total / 1e6 / cat:7.1f} MB/s   parts {total / 1e6 / parts:7.1f} MB/s"
              f"   publish {total / 1e6 / pub:7.1f} MB/s   publish at {100 * cat / pub:.0f} % of "
              f"cat's speed (goal >= 80 %), {100 * parts / pub:.0f} % of the part copy's")
    cpu = {name: statistics.median(c for _, c in runs) for name, runs in results.items()}
    print(f"  CPU s   cat {cpu['cat']:.2f}   parts {cpu['parts']:.2f}   publish {cpu['publish']:.2f}"
          f" (medians; publish also reads every byte once for its CRC)")


if __name__ == "__main__":
    main()
