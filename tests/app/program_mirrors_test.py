#!/usr/bin/env python3
"""Runs the whole program under Wine against two hosts of one release made
by the publisher: the maker's own nginx first (behind the fault relay,
tests/hosts/faultrelay.py, as in program_nginx_test.py) and a real blob
storage server (Azurite, after `publisher upload`) as the further host that
VELTRA_MIRRORS names. Each scenario is one run of the program, started with
/log so that its whole log is read whatever the run's end.

a. Both up: the files are byte-identical to the release, and both hosts
   together answered as many requests as the first host answers the same
   program built for it alone (ONE_HOST_PROGRAM): the CRC info's copies,
   now from both hosts, and every part once.
f. One host serves a CRC info with one part's CRC changed: the second
   host's copy, then the first's. The run names the host whose copy is not
   used, completes from the other and never takes a part from it but the
   one part that settles between the copies. With each host's copy wrong
   in its own way, the program gives up and writes no file.
b. The first host stopped before the start; c. stopped (nginx's fast stop,
   the relay's connections dropped) after some MB were served: both
   complete, and in (c) no more parts come twice than are in flight.
d. The first host answers 503 to everything (the relay), then 403 to
   everything (nginx with another secret, as for an expired signature):
   both complete from the second host.
e. Both hosts down: the program gives up with the support message as the
   one for the first host alone does with that host down, and its
   logfile.txt names both hosts.
Every completed run ends well within the 60 s a failing host rests: no run
waits for it.

Usage: program_mirrors_test.py WINE_RUN PROGRAM ONE_HOST_PROGRAM HELPER WORK_DIR
       WINE_PREFIX AZURITE_DIR [a|f|b|c|d|e]...
       program_mirrors_test.py mirror-entry PUBLISHER HOST CONTAINER
The second form prints the VELTRA_MIRRORS entry of the Azurite host, its
read signature made by the publisher, for the program's build.
Environment: as program_nginx_test.py.
"""
import atexit
import os
import re
import shutil
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent / "hosts"))
sys.path.insert(0, str(here.parents[1] / "scripts"))
import mainjob  # noqa: E402

# Far ahead and fixed: the build does not change from run to run.
MIRROR_EXPIRY = "2099-12-31"
AZURITE_SLOT = 4   # blob4: the test programs of slots 1 to 4 never use Azurite
CONTAINER = "veltra-mirrors"
# 88 MB in 11 parts: whole parts, short last parts.
FILES = [("Data-1a.bin", 50_000_001), ("Data-2a.bin", 34_999_999), ("Setup.exe", 3_000_003)]
# A try on a failing host costs milliseconds; waiting out its rest would
# cost a minute.
REST_SECONDS = 60


def mirror_entry(publisher, host, container):
    return "%s,%s,%s" % (host, container, mainjob.make_sas(publisher, container, MIRROR_EXPIRY))


if __name__ == "__main__" and sys.argv[1:2] == ["mirror-entry"]:
    print(mirror_entry(*sys.argv[2:5]))
    sys.exit(0)

import program_nginx_test as nginx_test  # noqa: E402
from faultrelay import FaultRelay  # noqa: E402
from mainjob import wait_for  # noqa: E402
from program_test import check  # noqa: E402

RELEASE, SUBDIR = nginx_test.RELEASE, nginx_test.SUBDIR
IN_FLIGHT = nginx_test.IN_FLIGHT
nginx_test.FILES = FILES


def tampered(crc_info, change=1):
    """The CRC info with the CRC of the second part of its first file
    changed (its bits of `change` flipped)."""
    pieces = crc_info.split(b";")
    lines = pieces[1].split(b"\r\n")
    # The name, the size, then a CRC per part.
    lines[3] = b"%d" % (int(lines[3]) ^ change)
    pieces[1] = b"\r\n".join(lines)
    return b";".join(pieces)


class Hosts:
    """nginx behind the relay (the first host), Azurite (the second), the
    log service, all serving the same published release."""

    def __init__(self, work, helper, azurite_dir):
        self.work = Path(work)
        subnet = int(os.environ["VELTRA_TEST_SUBNET"])
        self.ca = Path(os.environ.get("VELTRA_TEST_CA_DIR", "/var/lib/veltra-test-ca"))
        self.publisher = os.environ["VELTRA_PUBLISHER"]
        self.setup = nginx_test.Setup(self.work, helper)
        self.first = self.setup.relay_name
        self.second = mainjob.blob_host(subnet, AZURITE_SLOT)
        self.parts = self.setup.parts
        self.src = self.setup.src
        self.crc_info = self.setup.crc_info
        # The published folder under the container's name: Azurite's
        # containers take no "_".
        upload = self.work / "upload"
        shutil.copytree(self.setup.www / SUBDIR, upload / CONTAINER)
        self.azurite_dir = Path(azurite_dir)
        self.azurite_address = "127.0.%d.%d" % (subnet, 50 + AZURITE_SLOT)
        self.azurite = None
        atexit.register(self.second_down)
        self.start_azurite()
        mainjob.upload_release(self.publisher, upload, self.second, CONTAINER)
        self.write_sas = mainjob.make_sas(self.publisher, CONTAINER, write=True)

    # --- the first host

    def relay(self):
        return self.setup.relay

    def first_down(self, fast=False):
        """The relay's connections dropped, nothing listening; nginx
        stopped, at once (its fast stop) or as the maker's script does."""
        self.setup.relay.stop()
        pid_file = self.setup.nginx_state / "nginx.pid"
        if fast and pid_file.exists():
            pid = int(pid_file.read_text())
            os.kill(pid, 15)
            wait_for(lambda: not Path("/proc/%d" % pid).exists(), 10)
        subprocess.run([str(self.setup.source / "scripts" / "nginx.sh"), "stop",
                        str(self.setup.nginx_state)], check=True)

    def first_up(self, block=None):
        """nginx (with `block`, else the release's server block) and a
        fresh relay in front of it."""
        subprocess.run([str(self.setup.source / "scripts" / "nginx.sh"), "start",
                        str(self.setup.nginx_state), str(block or self.work / "server.conf")],
                       check=True)
        old = self.setup.relay
        if old.stopped.is_set():
            self.setup.relay = FaultRelay(old.address, old.host_name, old.upstream_name,
                                          str(self.ca / "server.pem"), str(self.ca / "server.key"))

    def rotated_secret_block(self):
        """The release's server block with another secret: the program's
        signature is refused (403) as an expired one is."""
        block = self.work / "server-rotated.conf"
        subnet = int(os.environ["VELTRA_TEST_SUBNET"])
        mainjob.publisher_run(self.publisher, "nginx-conf", "--root", self.setup.www,
                              "--server-name", self.setup.relay.upstream_name,
                              "--listen", "127.0.%d.6:443" % subnet,
                              "--cert", self.ca / "server.pem", "--key", self.ca / "server.key",
                              "--secret-file", "-", "--out", block,
                              stdin="another-secret-since-the-build")
        return block

    def first_crc_info(self, data):
        (self.setup.www / SUBDIR / (RELEASE + ".txt")).write_bytes(data)

    # --- the second host

    def start_azurite(self):
        """Azurite as scripts/services.sh starts it, on blob4's address, with
        a storage and a debug log of its own."""
        subprocess.run([str(self.setup.source / "scripts" / "services.sh"), "install",
                        str(self.azurite_dir)], check=True)
        state = self.work / "azurite"
        shutil.rmtree(state, ignore_errors=True)
        # The debug log holds every signed address.
        state.mkdir(mode=0o700)
        self.azurite_log = state / "debug.log"
        self.azurite = subprocess.Popen(
            ["timeout", "3600", str(self.azurite_dir / "node_modules" / ".bin" / "azurite-blob"),
             "--blobHost", self.azurite_address, "--blobPort", "443",
             "--cert", str(self.ca / "server.pem"), "--key", str(self.ca / "server.key"),
             "--location", str(state / "storage"), "--debug", str(self.azurite_log),
             "--disableTelemetry", "--silent"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # For the next run, should this one be killed before its end.
        (self.work.parent / (self.work.name + "-azurite.pid")).write_text(
            "%d %s" % (self.azurite.pid, self.azurite_address))

        def listening():
            try:
                socket.create_connection((self.azurite_address, 443), 1).close()
                return True
            except OSError:
                return False
        check(wait_for(listening, 60), "Azurite listens on %s" % self.second)

    def second_down(self):
        if self.azurite is not None and self.azurite.poll() is None:
            self.azurite.terminate()
            self.azurite.wait(30)

    def second_crc_info(self, data):
        """Replaces the CRC info blob on Azurite (Put Blob)."""
        request = urllib.request.Request(
            "https://%s/%s/%s.txt%s" % (self.second, CONTAINER, RELEASE, self.write_sas),
            data=data, method="PUT", headers={"x-ms-blob-type": "BlockBlob"})
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with opener.open(request, timeout=30) as answer:
            check(answer.status == 201, "CRC info replaced on %s" % self.second)

    # --- what the hosts served

    def mark(self):
        return (len(self.setup.relay.requests), self.setup.access_log_mark(),
                len(mainjob.served(self.azurite_log)), self.setup.relay)

    def served_since(self, mark):
        """{"relay": [(path, body bytes)], "nginx": [(path, status)],
        "azurite": [path]} since `mark`: the relay's requests (of the relay
        of the mark), nginx's and Azurite's GETs."""
        relay_mark, log_mark, azurite_mark, relay = mark
        with open(self.setup.nginx_state / "access.log", "rb") as log:
            log.seek(log_mark)
            lines = log.read().decode().splitlines()
        nginx = []
        for line in lines:
            request = line[line.index('"') + 1:line.rindex('"')].split(" ", 1)
            nginx.append((request[1], int(line[line.rindex('"') + 1:].split()[0])))
        return {"relay": [(path, sent) for path, _, sent in relay.requests[relay_mark:]],
                "nginx": nginx,
                "azurite": [path for _, method, path in
                            mainjob.served(self.azurite_log)[azurite_mark:] if method == "GET"]}

    def stop(self):
        self.second_down()
        self.setup.relay.stop()
        self.setup.stop()


class Program(nginx_test.Program):
    """The program in its folder, started with /log; support pages go to a
    stand-in for xdg-open that only notes them."""

    def __init__(self, wine_run, exe, helper, prefix, work):
        super().__init__(wine_run, exe, helper, helper, prefix)
        self.logs = Path(work) / "logs"
        self.logs.mkdir(exist_ok=True)
        opener = Path(work) / "bin"
        opener.mkdir(exist_ok=True)
        self.opened = Path(work) / "opened.txt"
        (opener / "xdg-open").write_text('#!/bin/sh\necho "$@" >> "%s"\n' % self.opened)
        (opener / "xdg-open").chmod(0o755)
        self.env = dict(os.environ, PATH="%s:%s" % (opener, os.environ["PATH"]))
        self.log = None

    def start(self, name="run"):
        self.log = self.logs / (name + ".txt")
        self.log.unlink(missing_ok=True)
        self.started = time.time()
        self.run = subprocess.Popen(
            [self.wine_run, str(self.exe), "/log", "Z:" + str(self.log).replace("/", "\\")],
            cwd=self.folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env)
        return self.run

    def any_final_file(self):
        return any((self.folder / nginx_test.local_name(name)).exists() for name, _ in FILES)

    def log_text(self):
        return self.log.read_text(encoding="utf-8", errors="replace") if self.log.exists() else ""


class Run:
    """One run of the program to its end, and what the hosts served."""

    def __init__(self, hosts, program, name, during=None, timeout=600):
        program.clean()
        mark = hosts.mark()
        run = program.start(name)
        if during:
            during(run)
        self.code = run.wait(timeout=timeout)
        self.seconds = time.time() - program.started
        self.name = name
        self.log = program.log_text()
        self.served = hosts.served_since(mark)
        self.intact = self.code == 0 and program.files_intact(hosts.src)
        # The setup notes its start itself, a moment after the program's end.
        if self.intact:
            wait_for(lambda: program.setup_starts() > 0, 60)
        self.setup_starts = program.setup_starts()
        part = lambda path: not path.endswith(".txt")  # noqa: E731
        # A part fetched: an answer with a body from the first host (the
        # relay counts what it sent), or a GET of Azurite's.
        first = [path for path, sent in self.served["relay"] if part(path) and sent > 0]
        second = [path for path in self.served["azurite"] if part(path)]
        self.first_parts, self.second_parts = first, second
        self.fetches = len(first) + len(second)
        # The hosts keep the release in folders of their own.
        names = [path.rsplit("/", 1)[-1] for path in first + second]
        self.refetched = len(names) - len(set(names))
        self.crc_requests = (sum(1 for path, _ in self.served["relay"] if not part(path)),
                             sum(1 for path in self.served["azurite"] if not part(path)))
        print("%s: exit code %s after %.1f s; parts from the first host %d, from the second %d, "
              "fetched again %d; CRC info requests %s" % (
                  name, self.code, self.seconds, len(first), len(second), self.refetched,
                  self.crc_requests))

    def logged(self, *texts):
        return all(text in self.log for text in texts)

    def completed(self):
        check(self.intact, "%s: completes, final files byte-identical to the release" % self.name)
        check(self.setup_starts == 1, "%s: setup started once" % self.name)
        check(self.log and "sig=" not in self.log, "%s: no host's signature in the log" % self.name)


def failed_twice(host):
    return "HostPool: %s failed 2 tries in a row" % host


def not_used(host, other):
    return "HostPool: %s is not used for this run: its %s.txt differs from the one of %s" % (
        host, RELEASE, other)


def both_up(hosts, program, one_host, alone_first=True):
    """The program built for the first host alone, and the one with both."""
    if alone_first:
        alone = Run(hosts, one_host, "a_one_host")
    run = Run(hosts, program, "a_both_up")
    if not alone_first:
        alone = Run(hosts, one_host, "a_one_host")
    alone.completed()
    run.completed()
    requests = len(run.served["nginx"]) + len(run.served["azurite"])
    check(requests == len(alone.served["nginx"]) and run.fetches == hosts.parts and
          run.refetched == 0 and sum(run.crc_requests) == sum(alone.crc_requests) and
          run.crc_requests[1] > 0,
          "a: both hosts together answered %d requests, as many as one host alone (%d: its CRC "
          "info copies %s, now from both hosts %s, and every part once)" % (
              requests, len(alone.served["nginx"]), alone.crc_requests, run.crc_requests))
    check("HostPool" not in run.log, "a: no host failed or left out")
    return alone, run


def run_with_tampered_copy(hosts, program, put, name):
    """A completed run with `put` serving a tampered CRC info on one host,
    the right one put back afterwards."""
    put(tampered(hosts.crc_info))
    try:
        run = Run(hosts, program, name)
    finally:
        put(hosts.crc_info)
    run.completed()
    return run


def crc_info_differs(hosts, program):
    wrong = tampered(hosts.crc_info)
    run = run_with_tampered_copy(hosts, program, hosts.second_crc_info, "f_second_copy_tampered")
    check(run.logged(not_used(hosts.second, hosts.first)),
          "f: the log names the second host as not used, its CRC info differing")
    check(len(run.second_parts) <= 1, "f: no part from the second host but the one that settles "
          "between the copies (%d)" % len(run.second_parts))

    run = run_with_tampered_copy(hosts, program, hosts.first_crc_info, "f_first_copy_tampered")
    check(run.logged(not_used(hosts.first, hosts.second)),
          "f: with the first host's copy tampered, the parts settle it: the log names the first "
          "host as not used")
    check(len(run.first_parts) <= 1 and len(run.second_parts) >= hosts.parts,
          "f: every part from the second host (%d), none from the first but the one that settles "
          "(%d)" % (len(run.second_parts), len(run.first_parts)))

    # Each host its own wrong copy: the part matches neither, and nothing is
    # taken from either.
    hosts.first_crc_info(wrong)
    hosts.second_crc_info(tampered(hosts.crc_info, 2))
    try:
        _, text = gives_up(program, "f_both_copies_tampered", "kExitFatal")
    finally:
        hosts.first_crc_info(hosts.crc_info)
        hosts.second_crc_info(hosts.crc_info)
    check("matches neither host's copy of %s.txt" % RELEASE in text,
          "f: with both copies wrong, the log says the part matches neither")


def first_stopped(hosts, program, base):
    hosts.first_down()
    try:
        run = Run(hosts, program, "b_first_stopped")
    finally:
        hosts.first_up()
    run.completed()
    check(run.logged(failed_twice(hosts.first)), "b: the log says the first host rests")
    check(len(run.second_parts) == hosts.parts, "b: every part from the second host")
    lost(run, base)
    return run


def first_stops_mid_run(hosts, program, base, stop_at=20_000_000):
    state = {}

    def stop_when_served(run):
        relay = hosts.relay()
        start = relay.served()
        deadline = time.time() + 300
        while relay.served() - start < stop_at and run.poll() is None and time.time() < deadline:
            time.sleep(0.002)
        state["running"] = run.poll() is None
        hosts.first_down(fast=True)
        state["served"] = relay.served() - start
    try:
        run = Run(hosts, program, "c_first_stops_mid_run", during=stop_when_served)
    finally:
        hosts.first_up()
    check(state["running"], "c: the first host stopped mid-run, after %.1f MB" % (
        state["served"] / 1e6))
    run.completed()
    check(run.second_parts, "c: the second host served the rest (%d parts)" % len(
        run.second_parts))
    check(run.refetched <= IN_FLIGHT, "c: parts fetched again (%d) no more than the parts in "
          "flight (%d)" % (run.refetched, IN_FLIGHT))
    lost(run, base)
    return run


def first_refuses(hosts, program, base):
    hosts.relay().always({"status": 503})
    try:
        run503 = Run(hosts, program, "d_first_503")
    finally:
        hosts.relay().always(None)
    run503.completed()
    check(run503.logged(failed_twice(hosts.first)) and len(run503.second_parts) == hosts.parts,
          "d: the first host answering 503 rests; every part from the second host")
    lost(run503, base)

    hosts.first_up(hosts.rotated_secret_block())
    try:
        run403 = Run(hosts, program, "d_first_403")
    finally:
        hosts.first_up()
    run403.completed()
    statuses = {status for _, status in run403.served["nginx"]}
    check(statuses == {403}, "d: nginx refused the first host's signature (%s)" % statuses)
    check(run403.logged(failed_twice(hosts.first)) and len(run403.second_parts) == hosts.parts,
          "d: the first host answering 403 rests; every part from the second host")
    lost(run403, base)
    return run503, run403


def lost(run, base):
    """Generous: a run that waited out a host's rest would lose a minute."""
    check(run.seconds - base.seconds < REST_SECONDS - 10,
          "%s: %.1f s, %.1f s more than with both hosts up: no rest waited out" % (
              run.name, run.seconds, run.seconds - base.seconds))


def gives_up(program, name, exit_code="kExitNetwork"):
    """Runs `program` until it gives up with the support message, answers
    it and waits for the end with `exit_code` (app/exitcodes.h); returns the
    seconds to the message and the log beside the program (logfile.txt)."""
    program.clean()
    program.opened.unlink(missing_ok=True)
    run = program.start(name)
    helper = lambda *args: subprocess.run(  # noqa: E731
        [program.wine_run, program.helper, *args], cwd=program.folder, timeout=120,
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=program.env)
    shot = program.folder.parent / (name + ".bmp")
    check(wait_for(lambda: helper("shot", "Error", str(shot)).returncode == 0, 300, step=0.5),
          "%s: the support message box shown" % name)
    seconds = time.time() - program.started
    answer = helper("answer")
    check(answer.returncode == 0 and answer.stdout.decode("utf-8").startswith(
        "Downloading setup failed."), "%s: the user answers the support message" % name)
    if not wait_for(lambda: run.poll() is not None, 5):
        helper("close", nginx_test.CAPTION)
    # Started with an option, the program ends with the run's exit code, of
    # which a Linux parent sees the low byte.
    expected = int(re.search(exit_code + r" = (\d+)", (
        mainjob.ROOT / "app" / "exitcodes.h").read_text()).group(1))
    code = run.wait(timeout=120)
    check(code == expected & 0xFF, "%s: the program ends with %s (%s)" % (name, exit_code, code))
    check(not program.any_final_file(), "%s: no file of the release beside the program" % name)
    logfile = program.folder / "logfile.txt"
    print("%s: the support message after %.1f s" % (name, seconds))
    return seconds, logfile.read_text(encoding="utf-8", errors="replace") \
        if logfile.exists() else ""


def both_down(hosts, program, one_host):
    """The program for the first host alone with that host down, then the
    one for both with both down."""
    hosts.first_down()
    alone, _ = gives_up(one_host, "e_one_host_down")
    hosts.second_down()
    seconds, text = gives_up(program, "e_both_down")
    check(all("Opening connection: " + host in text for host in (hosts.first, hosts.second)),
          "e: logfile.txt beside the program names both hosts")
    check("sig=" not in text, "e: no host's signature in logfile.txt")
    check(seconds - alone < REST_SECONDS - 10,
          "e: the support message after %.1f s, after %.1f s with a single host: no rest waited "
          "out" % (seconds, alone))


def stop_left_azurite(pid_file):
    """The Azurite a killed run left behind, if that process is still it."""
    try:
        pid, address = pid_file.read_text().split()
        command = Path("/proc/%s/cmdline" % pid).read_bytes().split(b"\0")
    except (OSError, ValueError):
        return
    if b"azurite-blob" in b" ".join(command) and address.encode() in command:
        os.kill(int(pid), 15)
        wait_for(lambda: not Path("/proc/%s" % pid).exists(), 30)


def prepare(wine_run, programs, helper, work, prefix, azurite_dir):
    """The hosts, and each of `programs` in a folder of its own in `work`,
    afresh."""
    work = Path(work)
    source = Path(os.environ["VELTRA_SOURCE"])
    # A run cut short (a signal) may have left its servers behind.
    subprocess.run([str(source / "scripts" / "nginx.sh"), "stop", str(work / "nginx")])
    subprocess.run([str(source / "tests" / "hosts" / "hostctl.sh"), "stop",
                    str(work / "logservice")])
    stop_left_azurite(work.parent / (work.name + "-azurite.pid"))
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    hosts = Hosts(work, helper, azurite_dir)
    made = []
    for k, program_file in enumerate(programs):
        folder = work / ("program%d" % k if k else "program")
        folder.mkdir()
        exe = folder / (RELEASE + "_web.exe")
        shutil.copy(program_file, exe)
        made.append(Program(wine_run, exe, helper, prefix, work))
    return hosts, made


def main():
    wine_run, program_file, one_host_file, helper, work, prefix, azurite_dir = sys.argv[1:8]
    selected = sys.argv[8:] or ["a", "f", "b", "c", "d", "e"]
    hosts, (program, one_host) = prepare(wine_run, [program_file, one_host_file], helper, work,
                                         prefix, azurite_dir)
    try:
        _, base = both_up(hosts, program, one_host)
        if "f" in selected:
            crc_info_differs(hosts, program)
        if "b" in selected:
            first_stopped(hosts, program, base)
        if "c" in selected:
            first_stops_mid_run(hosts, program, base)
        if "d" in selected:
            first_refuses(hosts, program, base)
        if "e" in selected:
            both_down(hosts, program, one_host)
    finally:
        for each in (program, one_host):
            each.kill()
            each.clean()
        hosts.stop()
        shutil.rmtree(hosts.setup.www, ignore_errors=True)
        for folder in ("src", "upload", "azurite"):
            shutil.rmtree(Path(work) / folder, ignore_errors=True)


if __name__ == "__main__":
    main()
