#!/usr/bin/env python3
"""Whole runs of the download manager against the test download host:

1. a release of 2,000 files of 1 KB: the run's seconds next to the same
   parts fetched by bare FileDownload workers, and the difference per file
   (what the manager adds to each file: waiting, merging, verifying);
2. releases of 10,000,000-byte parts, one part per file: 10 parts, 50 parts,
   and 50 parts of which 20 come corrupt for all four tries of their worker
   (fetched whole in the next attempt): the peak memory of each run."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
import zlib

SMALL_FILES = 2000
SMALL_SIZE = 1024
PART = 10_000_000
FAILING = 20


class Host:
    def __init__(self, port):
        self.base = "http://127.0.0.1:%d" % port

    def post(self, path, data=b""):
        with urllib.request.urlopen(self.base + path, data=data) as answer:
            return json.loads(answer.read())

    def put(self, path, data):
        self.post("/host/put?path=" + path, data)

    def put_file(self, path, name):
        self.post("/host/put?path=%s&file=%s" % (path, name))

    def fault(self, path, **fault):
        self.post("/host/fault", json.dumps(dict(path=path, **fault)).encode())


def crc_line(data):
    crc = zlib.crc32(data)
    return str(crc - (1 << 32) if crc >= 1 << 31 else crc)


def crc_info(records):
    """records: (name, size, [part crc lines])"""
    return ("Veltra release" + "".join(
        ";%s\r\n%d\r\n%s" % (name, size, "".join(c + "\r\n" for c in crcs))
        for name, size, crcs in records)).encode()


def subnet_of(build):
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        found = re.search(r"^VELTRA_TEST_SUBNET:\w+=(\d+)$", cache.read(), re.M)
    return int(found.group(1)) if found else 10


def run(command):
    output = subprocess.run(command, capture_output=True, text=True)
    if output.returncode != 0:
        sys.exit("failed: %s\n%s%s" % (" ".join(command), output.stdout, output.stderr))
    return output.stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--compare", help="another build's release_bench.exe: its figures are "
                        "printed first, each beside this build's")
    parser.add_argument("--only", choices=("files", "memory"), help="run one of the two")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    subnet = subnet_of(args.build)
    slot = 4
    host_name = "host%d.s%d.veltra.test" % (slot, subnet)
    control_port = 20000 + 100 * subnet + slot
    ca_dir = os.environ.get("VELTRA_TEST_CA_DIR", "/var/lib/veltra-test-ca")
    hostctl = os.path.join(args.source, "tests", "hosts", "hostctl.sh")
    wine_run = os.path.join(args.build, "wine-run.sh")
    benches = [("this build", os.path.join(args.build, "bench", "release_bench.exe"))]
    if args.compare:
        benches.insert(0, ("compared", os.path.abspath(args.compare)))
    state = tempfile.mkdtemp(prefix="release_bench_")
    try:
        root = os.path.join(state, "root")
        os.makedirs(root)
        subprocess.run([hostctl, "start", state,
                        "--host-address", "127.0.%d.%d" % (subnet, slot),
                        "--log-address", "127.0.%d.%d" % (subnet, 100 + slot),
                        "--control-port", str(control_port),
                        "--cert", os.path.join(ca_dir, "server.pem"),
                        "--key", os.path.join(ca_dir, "server.key")], check=True)
        host = Host(control_port)
        run([wine_run, "--init"])
        setup = b"MZ" + bytes(SMALL_SIZE - 2)

        if args.only != "memory":
            small_files(host, host_name, wine_run, benches, setup)
        if args.only != "files":
            memory(host, host_name, wine_run, benches, setup, root)
    finally:
        subprocess.run([hostctl, "stop", state])
        shutil.rmtree(state, ignore_errors=True)


def small_files(host, host_name, wine_run, benches, setup):
    """The run's time per small file, next to the workers' alone."""
    records = []
    for k in range(SMALL_FILES):
        data = (b"%d " % k) * (SMALL_SIZE // 2)
        data = data[:SMALL_SIZE]
        host.put("/files/0_f%d-1a.bin" % k, data)
        records.append(("f%d-1a.bin" % k, len(data), [crc_line(data)]))
    host.put("/files/0_Setup.exe", setup)
    records.append(("Setup.exe", len(setup), [crc_line(setup)]))
    host.put("/files/R1.txt", crc_info(records))
    print("Release of %d files of %d bytes" % (SMALL_FILES, SMALL_SIZE))
    for label, bench in benches:
        manager_line = run([wine_run, bench, "run", host_name, "files"])
        workers_line = run([wine_run, bench, "workers", host_name, "files",
                            str(SMALL_FILES), str(SMALL_SIZE)])
        manager_s = float(re.search(r"in ([\d.]+) s", manager_line).group(1))
        workers_s = float(re.search(r"in ([\d.]+) s", workers_line).group(1))
        print("  %s:" % label)
        print("    manager run:   %s" % manager_line)
        print("    workers alone: %s" % workers_line)
        print("    per file: run %.1f ms, workers alone %.1f ms, the manager adds %.1f ms" % (
            1000 * manager_s / SMALL_FILES, 1000 * workers_s / SMALL_FILES,
            1000 * (manager_s - workers_s) / SMALL_FILES))


def memory(host, host_name, wine_run, benches, setup, root):
    """The peak memory of runs of 10,000,000-byte parts, some failing."""
    big = []
    for k in range(50):
        data = os.urandom(PART)
        with open(os.path.join(root, "p%d" % k), "wb") as f:
            f.write(data)
        big.append(crc_line(data))
    # Every other part fails, for all four tries of its worker.
    for name, parts, failing in (("mem10", 10, 0), ("mem50", 50, 0),
                                 ("memfail", 50, FAILING)):
        records = []
        for k in range(parts):
            path = "/%s/0_p%d-1a.bin" % (name, k)
            host.put_file(path, "p%d" % k)
            records.append(("p%d-1a.bin" % k, PART, [big[k]]))
        host.put("/%s/0_Setup.exe" % name, setup)
        records.append(("Setup.exe", len(setup), [crc_line(setup)]))
        host.put("/%s/R1.txt" % name, crc_info(records))
        print("%d parts, %d of them failing once:" % (parts, failing))
        for label, bench in benches:
            # The host counts its uses of a fault: each run gets fresh ones.
            for k in range(0, 2 * failing, 2):
                host.fault("/%s/0_p%d-1a.bin" % (name, k), count=4, flip=[PART // 2])
            print("  %-10s %s" % (label + ":", run([wine_run, bench, "run", host_name,
                                                      name])))


if __name__ == "__main__":
    main()
