#!/usr/bin/env python3
"""The log service under the field's load: uploads of a typical log (a run
that gave up, some sixty records, about 1.5 KB of gzip) at a fixed rate
through nginx over HTTPS, for the C++ service on SQLite and on PostgreSQL
(scripts/services.sh) and, for comparison, the old Python stand-in
(tests/hosts/filelogservice.py, which takes HTTPS itself). Prints per
service: uploads sent and answered 200, how many are stored, the answer
time's median, p99 and maximum (from each upload's scheduled time, so a
service that falls behind pays for the wait), and the service's memory at
the start and end of the load.

Usage: logservice_bench.py --logservice BINARY [--subnet S] [--rate 500] [--seconds 60]
"""
import argparse
import http.client
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "tools"))
sys.path.insert(0, str(ROOT / "scripts"))
import logclient  # noqa: E402
import mainjob  # noqa: E402

CA = Path("/var/lib/veltra-test-ca")
SLOT = 3
CONNECTIONS = 48


def rss_kb(pid):
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


class Load:
    """Uploads at fixed times over a pool of kept-alive HTTPS connections."""

    def __init__(self, host, port, body, rate, seconds):
        self.host, self.port, self.body = host, port, body
        self.rate, self.total = rate, rate * seconds
        self.next = 0
        self.lock = threading.Lock()
        self.results = []
        self.context = ssl.create_default_context(cafile=str(CA / "ca.pem"))

    def run(self, pid):
        self.start = time.monotonic() + 0.5
        memory = []
        threads = [threading.Thread(target=self.client) for _ in range(CONNECTIONS)]
        for t in threads:
            t.start()
        while any(t.is_alive() for t in threads):
            memory.append(rss_kb(pid))
            time.sleep(1)
        for t in threads:
            t.join()
        return memory

    def client(self):
        connection = None
        while True:
            with self.lock:
                i = self.next
                self.next += 1
            if i >= self.total:
                break
            due = self.start + i / self.rate
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            status = 0
            for _ in range(2):
                try:
                    if connection is None:
                        connection = http.client.HTTPSConnection(self.host, self.port,
                                                                 context=self.context, timeout=30)
                    connection.request("POST", logclient.UPLOAD_PATH, self.body,
                                       logclient.PROGRAM_HEADERS)
                    answer = connection.getresponse()
                    answer.read()
                    status = answer.status
                    if answer.getheader("Connection", "").lower() == "close":
                        connection.close()
                        connection = None
                    break
                except (OSError, http.client.HTTPException):
                    # A kept-alive connection the server closed: once more.
                    if connection:
                        connection.close()
                    connection = None
            with self.lock:
                self.results.append((status, time.monotonic() - due))


def figures(name, load, stored, memory):
    ok = sorted(latency for status, latency in load.results if status == 200)
    failed = len(load.results) - len(ok)

    def at(q):
        return ok[min(len(ok) - 1, int(q * len(ok)))] * 1000 if ok else float("nan")
    span = len(memory) // 6 or 1
    first = sum(memory[:span]) / span / 1024 if memory else 0
    last = sum(memory[-span:]) / span / 1024 if memory else 0
    print(f"{name:<28} {len(load.results):>6} {len(ok):>6} {failed:>5} {stored:>6} "
          f"{at(0.5):>7.1f} {at(0.99):>7.1f} {ok[-1] * 1000 if ok else 0:>8.1f} "
          f"{first:>7.1f} {last:>7.1f} {max(memory) / 1024 if memory else 0:>7.1f}", flush=True)


def cpp_service(args, work, postgres):
    state = work / ("postgres" if postgres else "sqlite")
    extra = ["--postgres"] if postgres else []
    subprocess.run([str(ROOT / "scripts" / "services.sh"), "start", str(state), "--subnet",
                    str(args.subnet), "--slot", str(SLOT), "--logservice", args.logservice,
                    "--log-rate", str(args.rate * 4), *extra], check=True)
    try:
        pid = int((state / "logservice.pid").read_text().split()[0])
        host = f"log{SLOT}.s{args.subnet}.veltra.test"
        load = Load(host, 8443, args.body, args.rate, args.seconds)
        memory = load.run(pid)
        stored = sum(row["runs"] for row in mainjob.log_service_api(
            args.subnet, SLOT, state, "/api/outcomes")["outcomes"])
        figures(f"C++, {'PostgreSQL' if postgres else 'SQLite'}, via nginx", load, stored, memory)
    finally:
        subprocess.run([str(ROOT / "scripts" / "services.sh"), "stop", str(state)], check=False)


def python_standin(args, work):
    store = work / "standin"
    address = f"127.0.{args.subnet}.{100 + SLOT}"
    process = subprocess.Popen(
        [sys.executable, str(ROOT / "tests" / "hosts" / "filelogservice.py"), "--address",
         address, "--port", "8443", "--cert", str(CA / "server.pem"), "--key",
         str(CA / "server.key"), "--store", str(store), "--lifetime", "900"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.time() + 30
        while time.time() < deadline:
            try:
                socket.create_connection((address, 8443), 1).close()
                break
            except OSError:
                time.sleep(0.1)
        load = Load(f"log{SLOT}.s{args.subnet}.veltra.test", 8443, args.body, args.rate,
                    args.seconds)
        memory = load.run(process.pid)
        figures("Python stand-in, own TLS", load, len(list(store.glob("*.json"))), memory)
    finally:
        process.terminate()
        process.wait(30)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--logservice", required=True)
    parser.add_argument("--subnet", type=int, default=19)
    parser.add_argument("--rate", type=int, default=500)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--only", choices=("sqlite", "postgres", "standin"))
    args = parser.parse_args()
    args.body = logclient.body_of(logclient.typical_log())
    work = Path(tempfile.mkdtemp(prefix="logservice-bench-"))
    # PostgreSQL runs as its own user, which must reach its data folder.
    work.chmod(0o755)
    print(f"{args.rate} uploads/s of {len(args.body)} bytes for {args.seconds} s, "
          f"{CONNECTIONS} kept-alive connections")
    print(f"{'service':<28} {'sent':>6} {'200':>6} {'other':>5} {'stored':>6} "
          f"{'p50 ms':>7} {'p99 ms':>7} {'max ms':>8} {'MB at':>7} {'MB end':>7} {'MB max':>7}")
    try:
        if args.only in (None, "sqlite"):
            cpp_service(args, work, False)
        if args.only in (None, "postgres"):
            cpp_service(args, work, True)
        if args.only in (None, "standin"):
            python_standin(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
