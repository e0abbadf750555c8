#!/usr/bin/env python3
"""The log service behind its nginx (scripts/services.sh) while other
addresses attack it: 250 connections from five addresses that send a
request head and trickle the body a byte every few seconds, and a few
kilobytes of gzip that inflate to a JSON array nested two million deep,
five a second from another. Good uploads from a third address are all answered 200 and
stored; the trickling connections that got in are ended within the whole
request's deadline, and the database's folder is the service's alone.

Usage: lognginx_test.py LOGSERVICE WORK_DIR SUBNET
"""
import gzip
import http.client
import json
import shutil
import socket
import ssl
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "tools"))
import logclient  # noqa: E402
from logclient import body_of, check, typical_log  # noqa: E402

CA = Path("/var/lib/veltra-test-ca")
# Beyond the slots the test programs, the end-to-end tests and run.sh take:
# its addresses are this test's alone. The name is nginx's only.
SLOT = 7
TRICKLERS = 250


def tls_context():
    context = ssl.create_default_context(cafile=str(CA / "ca.pem"))
    # The certificate names log1..log6; the address is what matters here.
    context.check_hostname = False
    return context


class Attack:
    """The trickling connections and the nested-array uploads."""

    def __init__(self, address, subnet):
        self.address, self.subnet = address, subnet
        self.stop = threading.Event()
        self.tricklers = []
        self.ended_at = {}  # trickler index -> seconds after its head when it ended
        self.bomb_statuses = []
        self.threads = []

    def start(self):
        context = tls_context()
        head = (f"POST {logclient.UPLOAD_PATH} HTTP/1.1\r\nHost: x\r\n"
                f"Content-Type: application/octet-stream\r\nContent-Length: 5000\r\n\r\n").encode()
        # Five addresses, each within the request rate nginx allows one.
        for k in range(TRICKLERS):
            raw = socket.create_connection((self.address, 8443), 10,
                                           source_address=(f"127.0.{self.subnet}.{231 + k % 5}", 0))
            tls = context.wrap_socket(raw)
            tls.sendall(head)
            tls.setblocking(False)
            self.tricklers.append((tls, time.monotonic()))
        for target in (self.trickle, self.bombs):
            thread = threading.Thread(target=target)
            thread.start()
            self.threads.append(thread)

    def trickle(self):
        while not self.stop.wait(3):
            for k, (tls, started) in enumerate(self.tricklers):
                if k in self.ended_at:
                    continue
                try:
                    if tls.recv(4096) == b"":
                        raise ConnectionError
                    self.ended_at[k] = time.monotonic() - started
                    continue
                except ssl.SSLWantReadError:
                    pass
                except OSError:
                    self.ended_at[k] = time.monotonic() - started
                    continue
                try:
                    tls.send(b"x")
                except (ssl.SSLWantWriteError, BlockingIOError):
                    pass
                except OSError:
                    self.ended_at[k] = time.monotonic() - started

    def bombs(self):
        body = gzip.compress(("[" * 2_000_000 + "]" * 2_000_000).encode("utf-16-le"), 9)
        context = tls_context()
        while not self.stop.wait(0.2):
            try:
                connection = http.client.HTTPSConnection(
                    self.address, 8443, context=context, timeout=30,
                    source_address=(f"127.0.{self.subnet}.236", 0))
                connection.request("POST", logclient.UPLOAD_PATH, body, logclient.PROGRAM_HEADERS)
                self.bomb_statuses.append(connection.getresponse().status)
                connection.close()
            except (OSError, http.client.HTTPException):
                self.bomb_statuses.append(0)

    def end(self):
        self.stop.set()
        for thread in self.threads:
            thread.join()
        for tls, _ in self.tricklers:
            tls.close()


def good_uploads(address, subnet, count):
    statuses, slowest = [], 0.0
    context = tls_context()
    for _ in range(count):
        started = time.monotonic()
        try:
            connection = http.client.HTTPSConnection(
                address, 8443, context=context, timeout=15,
                source_address=(f"127.0.{subnet}.237", 0))
            connection.request("POST", logclient.UPLOAD_PATH, body_of(typical_log()),
                               logclient.PROGRAM_HEADERS)
            statuses.append(connection.getresponse().status)
            connection.close()
        except (OSError, http.client.HTTPException) as error:
            statuses.append(str(error))
        slowest = max(slowest, time.monotonic() - started)
        time.sleep(0.2)
    return statuses, slowest


def main():
    binary, work, subnet = sys.argv[1], Path(sys.argv[2]), int(sys.argv[3])
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    state = work / "services"
    address = f"127.0.{subnet}.{100 + SLOT}"
    services = str(ROOT / "scripts" / "services.sh")
    subprocess.run([services, "start", str(state), "--subnet", str(subnet), "--slot", str(SLOT),
                    "--logservice", binary], check=True)
    attack = Attack(address, subnet)
    try:
        check((state / "logs").stat().st_mode & 0o077 == 0, "the database's folder is private")
        attack.start()
        statuses, slowest = good_uploads(address, subnet, 40)
        check(statuses == [200] * 40,
              f"good uploads from another address all taken under the attack ({statuses})")
        # The ones that got in end within the whole request's deadline (10 s,
        # with the trickle's step and a loaded machine's slack).
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and len(attack.ended_at) < TRICKLERS:
            time.sleep(1)
        longest = max(attack.ended_at.values(), default=0)
        check(len(attack.ended_at) == TRICKLERS and longest < 30,
              f"every trickling connection ended ({len(attack.ended_at)} of {TRICKLERS}, "
              f"the longest after {longest:.0f} s)")
        check(attack.bomb_statuses and all(s in (422, 429) for s in attack.bomb_statuses),
              f"the nested arrays refused ({sorted(set(attack.bomb_statuses))})")
    finally:
        attack.end()
        # Straight from the service, behind nginx's back.
        secret = (state / "private" / "dashboard-secret").read_text().strip()
        status, data = logclient.request(f"http://{address}:9080/api/outcomes",
                                         headers={"Authorization": "Bearer " + secret})
        stored = sum(row["runs"] for row in json.loads(data)["outcomes"]) if status == 200 else -1
        subprocess.run([services, "stop", str(state)])
    check(stored == 40, f"each upload answered 200 stored ({stored})")


if __name__ == "__main__":
    main()
