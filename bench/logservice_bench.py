#!/usr/bin/env python3
"""The log service under the field's load: uploads of a typical log (a run
that gave up, some sixty records, about 1.5 KB of gzip) at a fixed rate
through nginx over HTTPS, each kept-alive connection from an address of its
own as users' uploads come, for the C++ service on SQLite and on PostgreSQL
(scripts/services.sh) and, for comparison, the old Python stand-in
(tests/hosts/filelogservice.py, which takes HTTPS itself). With --attack,
other addresses attack meanwhile: 250 connections from five addresses that
send a request head and trickle the body a byte every 3 s (opened again as
they are ended), and a few kilobytes of gzip that inflate to a JSON array
nested two million deep, five a second. Prints per service and run:
uploads sent and answered 200, how many are stored and how many answered
200 were lost, the answer time's median, p99 and maximum (from each
upload's scheduled time, so a service that falls behind pays for the
wait), and the service's memory at the start and end of the load; with
--runs N, the median of the N runs' figures after them.

Usage: logservice_bench.py --logservice BINARY [--subnet S] [--rate 500] [--seconds 60]
                           [--attack] [--runs 3] [--only sqlite|postgres|standin]
"""
import argparse
import gzip
import http.client
import multiprocessing
import shutil
import statistics
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


def source(subnet, k):
    """The k-th client address of the good load: 127.0.S.150 and on, free
    of every test host's address."""
    return (f"127.0.{subnet}.{150 + k}", 0)


class Attack:
    """Faults 2 and 3 of the field from addresses of their own: trickling
    bodies that hold connections, and nested-array bombs."""
    TRICKLERS = 250

    def __init__(self, host, port, subnet):
        self.host, self.port, self.subnet = host, port, subnet
        self.stop = multiprocessing.Event()
        self.results = multiprocessing.Queue()
        self.context = ssl.create_default_context(cafile=str(CA / "ca.pem"))
        self.head = (f"POST {logclient.UPLOAD_PATH} HTTP/1.1\r\nHost: {host}\r\n"
                     "Content-Length: 5000\r\n\r\n").encode()
        self.refused = 0  # not even connected
        self.ended = 0    # answered (429, 408, 502) or closed by the server
        self.bomb_statuses = {}

    def __enter__(self):
        # A process of its own: the good load's threads keep their
        # interpreter to themselves.
        self.process = multiprocessing.Process(target=self.attack)
        self.process.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.refused, self.ended, self.bomb_statuses = self.results.get(timeout=120)
        self.process.join()

    def attack(self):
        threads = [threading.Thread(target=self.trickle, args=(k,)) for k in range(5)]
        threads.append(threading.Thread(target=self.bombs))
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.results.put((self.refused, self.ended, self.bomb_statuses))

    def trickle(self, k):
        """50 connections from 127.0.S.(231 + k), each opened again when ended."""
        sockets = []
        while not self.stop.is_set():
            while len(sockets) < self.TRICKLERS // 5 and not self.stop.is_set():
                try:
                    raw = socket.create_connection(
                        (self.host, self.port), 5,
                        source_address=(f"127.0.{self.subnet}.{231 + k}", 0))
                    tls = self.context.wrap_socket(raw, server_hostname=self.host)
                    tls.sendall(self.head)
                    tls.settimeout(0.01)
                    sockets.append(tls)
                except OSError:
                    self.refused += 1
                    break
            if self.stop.wait(3):
                break
            alive = []
            for tls in sockets:
                try:
                    tls.send(b"x")
                    try:
                        if tls.recv(4096):
                            raise ConnectionError  # answered: 429, 408 or 502
                    except (socket.timeout, ssl.SSLWantReadError):
                        pass
                    alive.append(tls)
                except OSError:
                    self.ended += 1
                    tls.close()
            sockets = alive
        for tls in sockets:
            tls.close()

    def bombs(self):
        body = gzip.compress(("[" * 2_000_000 + "]" * 2_000_000).encode("utf-16-le"), 9)
        while not self.stop.wait(0.2):
            status = 0
            try:
                connection = http.client.HTTPSConnection(
                    self.host, self.port, context=self.context, timeout=30,
                    source_address=(f"127.0.{self.subnet}.236", 0))
                connection.request("POST", logclient.UPLOAD_PATH, body, logclient.PROGRAM_HEADERS)
                status = connection.getresponse().status
                connection.close()
            except (OSError, http.client.HTTPException):
                pass
            self.bomb_statuses[status] = self.bomb_statuses.get(status, 0) + 1


class Load:
    """Uploads at fixed times over a pool of kept-alive HTTPS connections."""

    def __init__(self, host, port, body, rate, seconds, subnet=None):
        self.host, self.port, self.body, self.subnet = host, port, body, subnet
        self.rate, self.total = rate, rate * seconds
        self.next = 0
        self.lock = threading.Lock()
        self.results = []
        self.context = ssl.create_default_context(cafile=str(CA / "ca.pem"))

    def run(self, pid):
        self.start = time.monotonic() + 0.5
        memory = []
        threads = [threading.Thread(target=self.client, args=(k,)) for k in range(CONNECTIONS)]
        for t in threads:
            t.start()
        while any(t.is_alive() for t in threads):
            memory.append(rss_kb(pid))
            time.sleep(1)
        for t in threads:
            t.join()
        return memory

    def client(self, k):
        connection = None
        address = source(self.subnet, k) if self.subnet is not None else None
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
                        connection = http.client.HTTPSConnection(
                            self.host, self.port, context=self.context, timeout=30,
                            source_address=address)
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
    """Prints one run's line; returns its figures."""
    ok = sorted(latency for status, latency in load.results if status == 200)
    failed = len(load.results) - len(ok)

    def at(q):
        return ok[min(len(ok) - 1, int(q * len(ok)))] * 1000 if ok else float("nan")
    span = len(memory) // 6 or 1
    row = {"sent": len(load.results), "200": len(ok), "other": failed, "stored": stored,
           "lost": max(len(ok) - stored, 0) if stored >= 0 else -1,
           "p50": at(0.5), "p99": at(0.99), "max": ok[-1] * 1000 if ok else 0,
           "MB at": sum(memory[:span]) / span / 1024 if memory else 0,
           "MB end": sum(memory[-span:]) / span / 1024 if memory else 0,
           "MB max": max(memory) / 1024 if memory else 0}
    print_row(name, row)
    return row


COLUMNS = (("sent", "{:>6}"), ("200", "{:>6}"), ("other", "{:>5}"), ("stored", "{:>6}"),
           ("lost", "{:>4}"), ("p50", "{:>7.1f}"), ("p99", "{:>7.1f}"), ("max", "{:>8.1f}"),
           ("MB at", "{:>7.1f}"), ("MB end", "{:>7.1f}"), ("MB max", "{:>7.1f}"))


def print_row(name, row):
    print(f"{name:<34} " + " ".join(form.format(row[key]) for key, form in COLUMNS), flush=True)


def median_row(rows):
    return {key: statistics.median(row[key] for row in rows) for key, _ in COLUMNS}


def cpp_service(args, work, postgres):
    state = work / ("postgres" if postgres else "sqlite")
    extra = ["--postgres"] if postgres else []
    subprocess.run([str(ROOT / "scripts" / "services.sh"), "start", str(state), "--subnet",
                    str(args.subnet), "--slot", str(SLOT), "--logservice", args.logservice,
                    "--log-rate", str(args.rate * 4), *extra], check=True)
    try:
        pid = int((state / "logservice.pid").read_text().split()[0])
        host = f"log{SLOT}.s{args.subnet}.veltra.test"

        def stored():
            return sum(row["runs"] for row in mainjob.log_service_api(
                args.subnet, SLOT, state, "/api/outcomes")["outcomes"])
        # PostgreSQL's database outlives a start of the services.
        before = stored()
        load = Load(host, 8443, args.body, args.rate, args.seconds, args.subnet)
        if args.attack:
            with Attack(host, 8443, args.subnet) as attack:
                memory = load.run(pid)
            print(f"  attack: trickling connections ended by the server {attack.ended}, "
                  f"not connected {attack.refused}; bombs answered "
                  f"{dict(sorted(attack.bomb_statuses.items()))}")
        else:
            memory = load.run(pid)
        return figures(f"C++, {'PostgreSQL' if postgres else 'SQLite'}, via nginx"
                       + (", attacked" if args.attack else ""), load, stored() - before, memory)
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
        return figures("Python stand-in, own TLS", load, len(list(store.glob("*.json"))), memory)
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
    parser.add_argument("--attack", action="store_true",
                        help="slow bodies and nested-array bombs from other addresses meanwhile")
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    args.body = logclient.body_of(logclient.typical_log())
    work = Path(tempfile.mkdtemp(prefix="logservice-bench-"))
    # PostgreSQL runs as its own user, which must reach its data folder.
    work.chmod(0o755)
    print(f"{args.rate} uploads/s of {len(args.body)} bytes for {args.seconds} s, "
          f"{CONNECTIONS} kept-alive connections")
    print(f"{'service':<34} {'sent':>6} {'200':>6} {'other':>5} {'stored':>6} {'lost':>4} "
          f"{'p50 ms':>7} {'p99 ms':>7} {'max ms':>8} {'MB at':>7} {'MB end':>7} {'MB max':>7}")
    runs = {}
    try:
        for _ in range(args.runs):
            if args.only in (None, "sqlite"):
                runs.setdefault("C++, SQLite", []).append(cpp_service(args, work, False))
            if args.only in (None, "postgres"):
                runs.setdefault("C++, PostgreSQL", []).append(cpp_service(args, work, True))
            if args.only in (None, "standin"):
                runs.setdefault("Python stand-in", []).append(python_standin(args, work))
        if args.runs > 1:
            print(f"median of {args.runs} runs:")
            for name, rows in runs.items():
                print_row(name, median_row(rows))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
