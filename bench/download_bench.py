#!/usr/bin/env python3
"""Serves 20 objects of 10,000,000 bytes from the test download host and
fetches them, in one run, (1) with FileDownload workers one after another,
(2) with a bare WinINet read loop that discards the bytes, and (3) with curl.
Prints MB/s, CPU seconds (the process and wineserver) and peak resident
memory of each, and the ratios."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from resident import ResidentSampler  # noqa: E402

COUNT = 20
ROUNDS = 3
SIZE = 10_000_000

MAKE_OBJECTS = """
import os, random, sys, zlib
root, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(7)
for i in range(count):
    data = rng.randbytes(size)
    with open(os.path.join(root, "obj%d" % i), "wb") as f:
        f.write(data)
    print(zlib.crc32(data))
"""


def wineserver_pid(prefix):
    """The wineserver of this prefix: its working folder is the prefix's
    server folder, named after the prefix's device and inode."""
    st = os.stat(prefix)
    wanted = "server-%x-%x" % (st.st_dev, st.st_ino)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/cwd" % pid).endswith(wanted):
                return int(pid)
        except OSError:
            pass
    return None


def persistent_wineserver(wine_run, prefix):
    """Starts a wineserver for the prefix that outlives each program, so that
    its CPU time can be read around each run; returns its pid."""
    env = dict(os.environ, WINEPREFIX=prefix)
    subprocess.run(["wineserver", "-k"], env=env)
    subprocess.run(["wineserver", "-w"], env=env)
    subprocess.run(["wineserver", "-p"], env=env, check=True)
    subprocess.run([wine_run, "cmd", "/c", "exit"], check=True)
    return wineserver_pid(prefix)


def cpu_seconds(pid):
    if pid is None:
        return 0.0
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(command, server_pid, env=None, resident=False):
    """Runs the command; with `resident`, also samples what it holds
    resident (bench/resident.py), as "resident"."""
    before = cpu_seconds(server_pid)
    process = subprocess.Popen(command, stdout=subprocess.PIPE, env=env)
    sampler = ResidentSampler(process.pid) if resident else None
    output = process.stdout.read().decode()
    _, status, usage = os.wait4(process.pid, 0)
    if status != 0:
        sys.exit("failed: %s\n%s" % (" ".join(command), output))
    return {
        "output": output.strip(),
        "cpu": usage.ru_utime + usage.ru_stime,
        "server_cpu": cpu_seconds(server_pid) - before,
        "rss_mb": usage.ru_maxrss / 1024.0,
        "resident": sampler,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--subnet", type=int, default=19)
    args = parser.parse_args()

    hostctl = os.path.join(args.source, "tests", "hosts", "hostctl.sh")
    ca_dir = os.environ.get("VELTRA_TEST_CA_DIR", "/var/lib/veltra-test-ca")
    host = "host4.s%d.veltra.test" % args.subnet
    state = tempfile.mkdtemp(prefix="download_bench_")
    out_dir = tempfile.mkdtemp(prefix="download_bench_out_")
    args.build = os.path.abspath(args.build)
    prefix = os.path.join(args.build, "wineprefix")
    wine_run = os.path.join(args.build, "wine-run.sh")
    bench = os.path.join(args.build, "bench", "download_bench.exe")
    try:
        root = os.path.join(state, "root", "bench")
        os.makedirs(root)
        # Made by a child process, so that this one stays small: a child
        # forked from a large process would report that size as its peak.
        crcs = [int(c) for c in subprocess.run(
            [sys.executable, "-c", MAKE_OBJECTS, root, str(COUNT), str(SIZE)],
            capture_output=True, text=True, check=True).stdout.split()]
        subprocess.run([hostctl, "start", state,
                        "--host-address", "127.0.%d.4" % args.subnet,
                        "--log-address", "127.0.%d.104" % args.subnet,
                        "--control-port", str(20000 + args.subnet * 100 + 4),
                        "--cert", os.path.join(ca_dir, "server.pem"),
                        "--key", os.path.join(ca_dir, "server.key")], check=True)
        subprocess.run([wine_run, "--init"], check=True)
        server = persistent_wineserver(wine_run, prefix)

        wine_out = subprocess.run([wine_run, "winepath", "-w", out_dir], capture_output=True,
                                  text=True, check=True).stdout.strip()
        commands = {
            "workers": ([wine_run, bench, "workers", host, "-", wine_out]
                        + ["/bench/obj%d=%d" % (i, c) for i, c in enumerate(crcs)], server),
            "bare": ([wine_run, bench, "bare", host, "-", "512"]
                     + ["/bench/obj%d" % i for i in range(COUNT)], server),
        }
        curl = shutil.which("curl")
        if curl:
            commands["curl"] = (["sh", "-c", ";".join(
                '"%s" -sf -o /dev/null https://%s/bench/obj%d' % (curl, host, i)
                for i in range(COUNT))], None)
        # Interleaved rounds, the median of each: the figures of one round
        # swing with whatever else the machine is doing.
        runs = {name: [] for name in commands}
        for _ in range(ROUNDS):
            for name, (command, pid) in commands.items():
                start = time.time()
                r = measure(command, pid)
                # The Windows program times its own transfers, without
                # Wine's start-up; curl is timed from outside.
                words = r["output"].split()
                r["rate"] = (float(words[-2]) if words[-1:] == ["MB/s"]
                             else COUNT * SIZE / 1e6 / (time.time() - start))
                runs[name].append(r)
        results = {}
        for name, rounds in runs.items():
            rounds.sort(key=lambda r: r["rate"])
            results[name] = rounds[len(rounds) // 2]

        def rate(name):
            return results[name]["rate"]

        print("median of %d rounds" % ROUNDS)
        print("%-8s %10s %10s %12s %10s" % ("", "MB/s", "CPU s", "wineserver s", "peak MB"))
        for name, r in results.items():
            print("%-8s %10.1f %10.2f %12.2f %10.1f" % (name, rate(name), r["cpu"], r["server_cpu"],
                                                        r["rss_mb"]))
        w, b = results["workers"], results["bare"]
        print("workers / bare: throughput %.0f %%, CPU %.2fx, peak memory %+.1f MB" % (
            100 * rate("workers") / rate("bare"),
            (w["cpu"] + w["server_cpu"]) / max(b["cpu"] + b["server_cpu"], 1e-9),
            w["rss_mb"] - b["rss_mb"]))
    finally:
        subprocess.run([hostctl, "stop", state])
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix))
        shutil.rmtree(state, ignore_errors=True)
        shutil.rmtree(out_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
