#!/usr/bin/env python3
"""Runs the whole program under Wine against the maker's own nginx, serving
a release of 200 MB that the publisher made, with a secure_link signature.
The program is built for the fault relay (tests/hosts/faultrelay.py), which
passes every request on to nginx unless a fault is planned for it. Bytes
served are read from nginx's access log (which names no query, so no
signature).

1. Killed and restarted: the Windows process is ended from outside at ten
   seeded random moments (by bytes served, plus a random delay, so that some
   land in merges and checks), then allowed to finish. The final files are
   byte-identical, the setup is started once, and nginx served no more than
   the release and the parts in flight (VELTRA_PARTS_IN_FLIGHT) per kill,
   besides the CRC info requests (a kill in a merge costs no download: the
   parts stay until the file is whole). After every kill, each file under a
   part's name holds that part whole and right: parts cut short are only
   ever under temporary names.
2. One fault per part in turn, on parts that are in flight together (reset,
   truncated body, flipped byte, 503, stall, redirect to plain HTTP, and 503
   on all four tries of a later part), a second CRC info copy that differs, and
   another program deleting one part file and renaming another while a
   later part is held back. The user closes; the uploaded log names every
   fault and the watcher's record of each touched file. The next start
   completes with correct files, and nginx served no more than the release,
   the parts a fault or the other program cost, and the CRC info requests:
   no part was fetched again but those.

Usage: program_nginx_test.py WINE_RUN PROGRAM HELPER WORK_DIR WINE_PREFIX
       TESTHELPER [kills|faults]...
Environment: VELTRA_SOURCE, VELTRA_PUBLISHER, VELTRA_TEST_CA_DIR,
VELTRA_TEST_SUBNET, VELTRA_NGINX_SECRET, VELTRA_NGINX_EXPIRY,
VELTRA_RELEASE_NAME, VELTRA_DOWNLOAD_SUBDIR; VELTRA_KILL_SEED repeats a
kill run.
"""
import atexit
import base64
import gzip
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from pathlib import Path

here = Path(__file__).parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent / "hosts"))
sys.path.insert(0, str(here.parents[1] / "scripts"))
import mainjob  # noqa: E402
from faultrelay import FaultRelay  # noqa: E402
from program_test import PART, check, control, wait_for  # noqa: E402

RELEASE = os.environ["VELTRA_RELEASE_NAME"]
SUBDIR = os.environ["VELTRA_DOWNLOAD_SUBDIR"].lower()
CAPTION = RELEASE + " download manager"
# 200,000,000 bytes and more in 22 parts: whole parts, short last parts.
# "#" and "%" in a name reach nginx escaped: unescaped, "#" would cut the
# path and "%" start an escape.
FILES = [("Data-1a.bin", 95_000_001), ("Data-2a.bin", 64_999_999),
         ("Data #3 100%-3a.bin", 40_000_000),
         ("Setup.exe", 2_000_003)]
KILLS = 10
IN_FLIGHT = int(os.environ.get("VELTRA_PARTS_IN_FLIGHT", "1"))


def local_name(name):
    return mainjob.local_name(name, "R1")


def part_crcs(crc_info):
    """{local part file name: CRC-32} of every part the CRC info lists."""
    crcs = {}
    for piece in crc_info.decode("latin-1").split(";")[1:]:
        lines = [line for line in piece.split("\r\n") if line]
        for k, crc in enumerate(lines[2:]):
            crcs["%spart%d" % (local_name(lines[0]), k)] = int(crc) & 0xFFFFFFFF
    return crcs


class Setup:
    """nginx serving the published release, the log service, the relay."""

    def __init__(self, work, helper):
        subnet = int(os.environ["VELTRA_TEST_SUBNET"])
        ca = Path(os.environ.get("VELTRA_TEST_CA_DIR", "/var/lib/veltra-test-ca"))
        self.source = Path(os.environ["VELTRA_SOURCE"])
        publisher = os.environ["VELTRA_PUBLISHER"]
        self.relay_name = "host5.s%d.veltra.test" % subnet
        nginx_name, nginx_address = "host6.s%d.veltra.test" % subnet, "127.0.%d.6" % subnet
        self.nginx_state = work / "nginx"
        self.log_state = work / "logservice"
        self.control_port = 20000 + 100 * subnet + 6
        os.environ["VELTRA_TEST_CONTROL_PORT"] = str(self.control_port)

        src = work / "src"
        # nginx's workers run as an unprivileged user, who may not reach the
        # build's folder (a checkout in a private folder): the published
        # folder lies in one of its own.
        www = self.www = Path(tempfile.mkdtemp(prefix="veltra-www-"))
        www.chmod(0o755)
        src.mkdir()
        rng = random.Random(12)
        for name, size in FILES:
            data = rng.randbytes(size)
            if name == "Setup.exe":
                head = Path(helper).read_bytes()
                data = head + data[len(head):]
            (src / name).write_bytes(data)
        self.total = sum((src / name).stat().st_size for name, _ in FILES)
        self.parts = sum((size + PART - 1) // PART for _, size in FILES)
        subprocess.run([publisher, "publish", "--release", RELEASE, "--subdir", SUBDIR,
                        "--out", str(www), "--from", str(src)], check=True,
                       stdout=subprocess.DEVNULL)
        self.src = src
        self.crc_info_path = "/%s/%s.txt" % (SUBDIR, RELEASE)
        self.crc_info = (www / SUBDIR / (RELEASE + ".txt")).read_bytes()
        block = work / "server.conf"
        subprocess.run([publisher, "nginx-conf", "--root", str(www), "--server-name", nginx_name,
                        "--listen", nginx_address + ":443", "--cert", str(ca / "server.pem"),
                        "--key", str(ca / "server.key"), "--out", str(block)],
                       check=True)  # the secret: VELTRA_NGINX_SECRET, from the environment
        atexit.register(self.stop)
        subprocess.run([str(self.source / "scripts" / "nginx.sh"), "start",
                        str(self.nginx_state), str(block)], check=True)
        # The log service the program posts to at a close; its download
        # host (beside nginx's address, on another port) goes unused.
        subprocess.run([str(self.source / "tests" / "hosts" / "hostctl.sh"), "start",
                        str(self.log_state), "--host-address", nginx_address,
                        "--host-port", "4443", "--log-address", "127.0.%d.106" % subnet,
                        "--control-port", str(self.control_port),
                        "--cert", str(ca / "server.pem"), "--key", str(ca / "server.key")],
                       check=True)
        self.relay = FaultRelay("127.0.%d.5" % subnet, self.relay_name, nginx_name,
                                str(ca / "server.pem"), str(ca / "server.key"))

    def stop(self):
        subprocess.run([str(self.source / "scripts" / "nginx.sh"), "stop",
                        str(self.nginx_state)])
        subprocess.run([str(self.source / "tests" / "hosts" / "hostctl.sh"), "stop",
                        str(self.log_state)])

    def access_log_mark(self):
        path = self.nginx_state / "access.log"
        return path.stat().st_size if path.exists() else 0

    def requests_per_part(self, mark):
        """{object path: requests nginx answered} of the parts since `mark`."""
        with open(self.nginx_state / "access.log", "rb") as log:
            log.seek(mark)
            lines = log.read().decode().splitlines()
        counts = {}
        for line in lines:
            # The path is logged unescaped and may hold blanks.
            path = line[line.index('"') + 1:line.rindex('"')].split(" ", 1)[1]
            if not path.endswith(".txt"):
                counts[path] = counts.get(path, 0) + 1
        return counts

    def served_since(self, mark):
        """(bytes of parts, bytes of CRC info, requests) nginx served."""
        with open(self.nginx_state / "access.log", "rb") as log:
            log.seek(mark)
            lines = log.read().decode().splitlines()
        check(not any("?" in line or "sig=" in line for line in lines),
              "no signature in nginx's access log")
        parts = crc = 0
        for line in lines:
            words = line.split()
            sent = int(words[-2])
            if words[4].rstrip('"').endswith(".txt"):
                crc += sent
            else:
                parts += sent
        return parts, crc, len(lines)


class Program:
    def __init__(self, wine_run, exe, helper, testhelper, prefix):
        self.wine_run, self.exe, self.helper, self.testhelper = wine_run, exe, helper, testhelper
        self.folder = exe.parent
        user = os.environ.get("USER", "root")
        self.appdata = Path(prefix) / "drive_c" / "users" / user / "AppData" / "Local" / RELEASE
        self.wine_appdata = "C:\\users\\%s\\AppData\\Local\\%s\\" % (user, RELEASE)
        self.run = None
        self.started = 0.0
        atexit.register(self.kill)

    def clean(self):
        shutil.rmtree(self.appdata, ignore_errors=True)
        for path in self.folder.iterdir():
            if path != self.exe:
                path.unlink()

    def start(self):
        # wine-run.sh execs wine, which becomes the Windows process itself:
        # a signal to this pid ends the program as TerminateProcess would.
        self.started = time.time()
        self.run = subprocess.Popen([self.wine_run, str(self.exe)], cwd=self.folder,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.run

    def kill(self):
        if self.run is not None and self.run.poll() is None:
            self.run.send_signal(signal.SIGKILL)
            self.run.wait()

    def helper_run(self, program, *args):
        return subprocess.run([self.wine_run, program, *args], cwd=self.folder, timeout=120,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def setup_starts(self):
        marker = self.folder / "setup-ran.txt"
        return len(marker.read_text().splitlines()) if marker.exists() else 0

    def phase(self):
        """Where the run is, as its files show."""
        if self.setup_starts():
            return "after the setup was started"
        parts = [p.name for p in self.appdata.glob("*part*")] if self.appdata.exists() else []
        finals = [(local_name(name), size) for name, size in FILES]
        for name, size in finals:
            # A merge writes under a name of its own and renames the file
            # once whole; the parts stay until then. One left by an earlier
            # kill counts only once this run writes to it again.
            try:
                if (self.folder / (name + ".merging")).stat().st_mtime >= self.started:
                    return "merging %s" % name
            except FileNotFoundError:
                pass
        if all((self.folder / name).exists() for name, _ in finals):
            return "checking the final files"
        return "downloading (%d part files on disk)" % len(parts)

    def parts_right(self, crcs):
        """Names of the files under a part's name that are not that part,
        whole and right."""
        wrong = []
        if self.appdata.exists():
            for path in self.appdata.iterdir():
                if path.name in crcs and zlib.crc32(path.read_bytes()) != crcs[path.name]:
                    wrong.append(path.name)
        return wrong

    def finals_whole(self, src):
        """A final file, whenever it is there, is the whole file: a process
        ended in a merge must not leave one that the next start takes for
        finished."""
        for name, _ in FILES:
            final = self.folder / local_name(name)
            if final.exists() and final.read_bytes() != (src / name).read_bytes():
                return False
        return True

    def files_intact(self, src):
        for name, _ in FILES:
            if (self.folder / local_name(name)).read_bytes() != (src / name).read_bytes():
                return False
        return True


def posted_log(post):
    body = base64.b64decode(post["body"])
    return gzip.decompress(body[body.index(b"\x1f\x8b"):]).decode("utf-16-le")


def kill_runs(setup, program):
    seed = int(os.environ.get("VELTRA_KILL_SEED", random.SystemRandom().randrange(1 << 32)))
    print("kill seed: %d (VELTRA_KILL_SEED=%d repeats it)" % (seed, seed))
    rng = random.Random(seed)
    crcs = part_crcs(setup.crc_info)
    # Moments by bytes served, below the release's size so that each lands
    # before the run could end; a random delay after each carries some into
    # the checks of parts already there. About a third wait on from there
    # for the next merge, so that kills land in merges too (not late in the
    # run, where the last merge may be over too soon to be seen).
    moments = sorted(rng.uniform(0.0, 0.98) * setup.total for _ in range(KILLS))
    delays = [rng.uniform(0.0, 0.25) for _ in range(KILLS)]
    in_merge = [rng.random() < 0.35 and moment < 0.7 * setup.total for moment in moments]
    program.clean()
    mark = setup.access_log_mark()
    relay_start = setup.relay.served()
    merges = 0
    after_setup = 0
    for moment, delay, merge in zip(moments, delays, in_merge):
        run = program.start()
        # Closely watched: the program takes a part in a few milliseconds.
        deadline = time.time() + 300
        while (setup.relay.served() - relay_start < moment and run.poll() is None
               and time.time() < deadline):
            time.sleep(0.002)
        if merge:
            # Until a merge is seen, or all merges are over.
            while (program.phase().startswith("downloading") and run.poll() is None
                   and time.time() < deadline):
                time.sleep(0.001)
            delay /= 10
        time.sleep(delay)
        check(run.poll() is None, "the run was still going when its kill came (%s, %.1f MB)" % (
            run.poll(), (setup.relay.served() - relay_start) / 1e6))
        where = program.phase()
        merges += where.startswith("merging")
        after_setup += where.startswith("after the setup")
        program.kill()
        check(program.finals_whole(setup.src), "no final file cut short by the kill (%s)" % where)
        wrong = program.parts_right(crcs)
        check(not wrong, "no part file cut short or wrong after the kill (%s)" % wrong)
        print("killed at %.1f MB served + %.2f s (%.1f MB served then): %s" % (
            moment / 1e6, delay, (setup.relay.served() - relay_start) / 1e6, where))
    started = time.time()
    run = program.start()
    check(run.wait(timeout=600) == 0, "the last run ends by itself")
    print("last run took %.1f s" % (time.time() - started))
    check(program.files_intact(setup.src), "final files byte-identical to the release")
    # A kill after the setup was started leaves complete, checked final
    # files; the next start checks them again and starts the setup again,
    # since nothing tells it that the first setup ran to its end.
    check(program.setup_starts() == 1 + after_setup,
          "setup started once by the last run (%d kills after a start)" % after_setup)
    parts, crc, requests = setup.served_since(mark)
    # Parts stay until their final file is written whole, so a kill in a
    # merge costs no download either: the parts in flight per kill at most.
    limit = setup.total + KILLS * IN_FLIGHT * PART
    print("kills (%d with a merge under way or cut short): nginx served %d bytes of parts "
          "(release %d, %.3f x) and %d bytes of CRC info in %d requests; limit %d for parts" % (
              merges, parts, setup.total, parts / setup.total, crc, requests, limit))
    check(parts <= limit, "bytes served within the release and the parts in flight per kill")


def faults_run(setup, program):
    relay = setup.relay
    control("/log/reset")
    program.clean()
    mark = setup.access_log_mark()
    relay_start = relay.served()
    data1 = "/%s/%%d_Data-1a.bin" % SUBDIR
    part1 = "Data_R1-1a.binpart%d"
    # Each fault and what the log says of it.
    # A reset reaches WinINet under Wine as a failed read or, inside TLS, as
    # an early end of the body: either way the try is logged and repeated.
    faults = [({"reset_at": 3_000_000}, [("InternetReadFile Failed for: ", part1 % 0),
                                         (part1 % 0 + " incorrect CRC",)]),
              ({"truncate_at": 5_000_000}, (part1 % 1 + " incorrect CRC",)),
              ({"flip": 1_234_567}, (part1 % 2 + " incorrect CRC",)),
              ({"status": 503}, ("Response status not 200, but 503",)),
              ({"stall_at": 2_000_000, "stall_ms": 3000}, None),
              ({"redirect_http": True}, ("refused a redirect of %s/ %s to http://" % (
                  setup.relay_name, data1 % 5),))]
    for k, (fault, _) in enumerate(faults):
        relay.fault(data1 % k, fault)
    # A later part is refused on every try: it alone is missing, and the
    # next start fetches it.
    for nth in range(1, 5):
        relay.fault(data1 % 7, {"status": 503}, nth=nth)
    # The first pair of CRC info copies disagrees.
    relay.fault(setup.crc_info_path, {"body": setup.crc_info + b"\r\n"}, nth=2)
    # The last part of the second file waits while another program deletes
    # one of its parts and renames another.
    hold = threading.Event()
    held = "/%s/6_Data-2a.bin" % SUBDIR
    relay.fault(held, {"hold": hold})
    requests_before = len(relay.requests)
    run = program.start()
    check(wait_for(lambda: any(r[0] == held for r in relay.requests[requests_before:]), 300),
          "the held part is asked for")
    # Only the held part is in flight from here on: the user's close cuts
    # short nothing else.
    others = [program.appdata / ("Data_R1-2a.binpart%d" % k) for k in range(6)]
    check(wait_for(lambda: all(p.exists() for p in others), 300),
          "every part of the second file but the held one is there")
    part = program.wine_appdata + "Data_R1-2a.binpart"
    check(program.helper_run(program.testhelper, "delete", part + "1").returncode == 0,
          "another program deletes a part file")
    check(program.helper_run(program.testhelper, "rename", part + "2",
                             part + "2.moved").returncode == 0,
          "another program renames a part file")
    time.sleep(1)
    check(program.helper_run(program.helper, "closewait", CAPTION).returncode == 0,
          "the user closes")
    hold.set()
    check(run.wait(timeout=60) == 0, "exit code 0 after the close")
    posts = control("/log/requests", method="GET")
    check(len(posts) == 1, "log posted at the close")
    log = posted_log(posts[0])
    (program.folder.parent / "faults_log.json").write_text(log)
    messages = [record["message"] for record in json.loads(log)]

    def names(*texts):
        return any(all(text in message for text in texts) for message in messages)
    for fault, texts in faults:
        if texts:
            either = texts if isinstance(texts, list) else [texts]
            check(any(names(*one) for one in either),
                  "uploaded log names the fault %s" % list(fault)[0])
    check(names("two copies of %s.txt differ" % RELEASE), "uploaded log names the differing copies")
    if IN_FLIGHT > 1:
        check(names("the host pushed back;", "parts at once for a while"),
              "uploaded log names the fall-back to fewer connections after the 503s")
    for k, verb in ((1, "deleted"), (2, "renamed")):
        check(names("Data_R1-2a.binpart%d was %s but it was not by the download manager" % (
            k, verb)), "uploaded log holds the watcher's record of the part file %s" % verb)
    check("sig=" not in log, "no signature in the uploaded log")
    check(not relay.plain_requests, "nothing went out over plain HTTP (%s)" % relay.plain_requests)

    run = program.start()
    check(run.wait(timeout=600) == 0, "the next start completes")
    check(program.files_intact(setup.src), "final files byte-identical to the release")
    check(program.setup_starts() == 1, "setup started once")
    parts, crc, requests = setup.served_since(mark)
    # Reset, truncated and flipped parts come twice; the deleted and the
    # renamed part too. A 503, a redirect and the held request reach no
    # host, and the stall costs nothing.
    limit = setup.total + 5 * PART
    print("faults: nginx served %d bytes of parts (release %d, %.3f x) and %d bytes of CRC info "
          "in %d requests; limit %d for parts; the relay served %d bytes" % (
              parts, setup.total, parts / setup.total, crc, requests, limit,
              relay.served() - relay_start))
    check(parts <= limit, "bytes served within the release and the faulted parts")
    again = sorted(path for path, count in setup.requests_per_part(mark).items() if count > 1)
    expected = sorted([data1 % k for k in (0, 1, 2)] +
                      ["/%s/%d_Data-2a.bin" % (SUBDIR, k) for k in (1, 2)])
    check(again == expected, "only the faulted, deleted and renamed parts fetched again (%s)" % again)


def main():
    wine_run, program_file, helper, work, prefix, testhelper = sys.argv[1:7]
    selected = sys.argv[7:] or ["kills", "faults"]
    work = Path(work)
    # A run cut short (a signal) may have left its servers behind.
    source = Path(os.environ["VELTRA_SOURCE"])
    subprocess.run([str(source / "scripts" / "nginx.sh"), "stop", str(work / "nginx")])
    subprocess.run([str(source / "tests" / "hosts" / "hostctl.sh"), "stop",
                    str(work / "logservice")])
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    setup = Setup(work, helper)
    folder = work / "program"
    folder.mkdir()
    exe = folder / (RELEASE + "_web.exe")
    shutil.copy(program_file, exe)
    program = Program(wine_run, exe, helper, testhelper, prefix)
    try:
        if "kills" in selected:
            kill_runs(setup, program)
        if "faults" in selected:
            faults_run(setup, program)
    finally:
        setup.relay.stop()
        program.clean()
        shutil.rmtree(setup.www, ignore_errors=True)
        shutil.rmtree(work / "src", ignore_errors=True)


if __name__ == "__main__":
    main()
