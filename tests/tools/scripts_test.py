#!/usr/bin/env python3
"""The maker's scripts run as the main job runs them, as root, with what a
killed run leaves behind: pid files naming pids the system has given to
other processes, a folder path with blanks, a state folder named with a
trailing slash, an interrupted install. Real processes throughout: nginx
(scripts/nginx.sh) serving a release the publisher made, Xvfb, curl.

Usage: scripts_test.py PUBLISHER SUBNET"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts"))
import mainjob  # noqa: E402

PUBLISHER = sys.argv[1] if len(sys.argv) > 1 else "publisher"
SUBNET = int(sys.argv[2]) if len(sys.argv) > 2 else 10
CA_DIR = Path(os.environ.get("VELTRA_TEST_CA_DIR", "/var/lib/veltra-test-ca"))
SECRET = "scripts-test-secret-0123"


def alive(pid):
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return state != "Z"


def children(pid):
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[1] == str(pid):
            found.append(int(stat.parent.name))
    return found


class Scripts(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.TemporaryDirectory(prefix="scripts test ")
        self.work = Path(self.temp.name)
        # nginx's workers run as an unprivileged user, who must reach the files.
        self.work.chmod(0o755)
        self.bystander = subprocess.Popen(["sleep", "600"])

    def tearDown(self):
        self.bystander.kill()
        self.bystander.wait()
        self.temp.cleanup()

    def test_stale_pid_files_end_no_other_process(self):
        state = self.work / "services"
        xvfb = self.work / "xvfb"
        state.mkdir()
        xvfb.mkdir()
        pid = self.bystander.pid
        # An older run's files (the pid alone), and files whose start time
        # is another process's: the pid was given to our bystander since.
        for contents in (f"{pid}\n", f"{pid} 1\n"):
            (state / "azurite.pid").write_text(contents)
            (state / "logservice.pid").write_text(contents)
            (xvfb / "xvfb.pid").write_text(contents)
            subprocess.run([ROOT / "scripts" / "services.sh", "stop", state], check=True)
            subprocess.run([ROOT / "tests" / "wine" / "xvfb.sh", "stop", xvfb,
                            self.work / "prefix"], check=True)
            self.assertTrue(alive(pid), "a stale pid file ended another process: " + contents)
            self.assertFalse((state / "azurite.pid").exists())

        # nginx's own pid file holds the pid alone; the start's record beside
        # it, a start time that is another process's. The bystander even has
        # the master's command line.
        nginx_state = self.work / "nginx state"
        nginx_state.mkdir()
        lookalike = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)",
                                      "-c", f"{nginx_state}/nginx.conf"])
        try:
            (nginx_state / "nginx.pid").write_text(f"{lookalike.pid}\n")
            (nginx_state / "nginx.started").write_text(f"{lookalike.pid} 1\n")
            subprocess.run([ROOT / "scripts" / "nginx.sh", "stop", nginx_state], check=True)
            self.assertTrue(alive(lookalike.pid), "nginx.sh stop ended a reused pid")
            self.assertFalse((nginx_state / "nginx.pid").exists())
        finally:
            lookalike.kill()
            lookalike.wait()

        # The process a start wrote down is still ended by the stop.
        subprocess.run([ROOT / "tests" / "wine" / "xvfb.sh", "start", xvfb, self.work / "prefix"],
                       check=True)
        server = int((xvfb / "xvfb.pid").read_text().split()[0])
        self.assertTrue(alive(server))
        subprocess.run([ROOT / "tests" / "wine" / "xvfb.sh", "stop", xvfb, self.work / "prefix"],
                       check=True)
        self.assertTrue(mainjob.wait_for(lambda: not alive(server), 10), "Xvfb still runs")

    def test_nginx_serves_a_folder_with_blanks_and_stops(self):
        release = self.work / "release files"
        release.mkdir()
        (release / "Setup.exe").write_bytes(b"MZ" + os.urandom(5000))
        (release / "Game Data.pak").write_bytes(os.urandom(mainjob.PART + 777))
        www = self.work / "www root"
        subprocess.run([PUBLISHER, "publish", "--release", "Game_R1", "--subdir", "game-r1",
                        "--out", www, "--from", release], check=True, stderr=subprocess.DEVNULL)
        host, address, port = f"host4.s{SUBNET}.veltra.test", f"127.0.{SUBNET}.4", 9443
        block = self.work / "private" / "server.conf"
        block.parent.mkdir(mode=0o700)
        subprocess.run([PUBLISHER, "nginx-conf", "--root", www, "--server-name", host,
                        "--listen", f"{address}:{port}", "--cert", CA_DIR / "server.pem",
                        "--key", CA_DIR / "server.key", "--secret-file", "-", "--out", block],
                       input=SECRET, text=True, check=True)
        self.assertEqual(0o600, block.stat().st_mode & 0o777, "the block holds the secret")
        sas = subprocess.run([PUBLISHER, "nginx-sig", "--release", "Game_R1", "--subdir",
                              "game-r1", "--secret-file", "-", "--expiry", "2099-01-01"],
                             input=SECRET, capture_output=True, text=True, check=True).stdout.strip()
        state = self.work / "nginx state"
        subprocess.run([ROOT / "scripts" / "nginx.sh", "start", state, block], check=True)
        try:
            master = int((state / "nginx.pid").read_text())
            # A worker just forked is root until it drops to the worker user.
            def unprivileged():
                workers = children(master)
                return workers and all(os.stat(f"/proc/{w}").st_uid != 0 for w in workers)
            self.assertTrue(mainjob.wait_for(unprivileged, 10), "a worker runs as root")

            # Every object, its name escaped as the program escapes it.
            fetched, seconds = mainjob.curl_fetch(f"{host}:{port}", www, sas)
            self.assertEqual(sum(p.stat().st_size for p in www.rglob("*") if p.is_file()),
                             fetched, seconds)
            # A comparison that could not be made says so.
            fetched, why = mainjob.curl_fetch(f"{host}:{port}", www, sas[:-2] + "xx")
            self.assertIsNone(fetched)
            self.assertIn("did not come whole", why)
        finally:
            # Named with a trailing and a doubled slash, as a caller may.
            subprocess.run([ROOT / "scripts" / "nginx.sh", "stop", f"{state}//"], check=True)
        self.assertTrue(mainjob.wait_for(lambda: not alive(master), 10), "nginx still runs")

    @unittest.skipUnless(os.geteuid() == 0, "workers drop from root only")
    def test_nginx_refuses_a_folder_its_workers_cannot_read(self):
        closed = self.work / "closed"
        closed.mkdir(mode=0o700)
        closed.chmod(0o700)
        www = closed / "www"
        (self.work / "Setup.exe").write_bytes(b"MZ" + os.urandom(100))
        subprocess.run([PUBLISHER, "publish", "--release", "Game_R1", "--subdir", "game-r1",
                        "--out", www, self.work / "Setup.exe"], check=True,
                       stderr=subprocess.DEVNULL)
        host, address, port = f"host4.s{SUBNET}.veltra.test", f"127.0.{SUBNET}.4", 9444
        block = self.work / "server.conf"
        subprocess.run([PUBLISHER, "nginx-conf", "--root", www, "--server-name", host,
                        "--listen", f"{address}:{port}", "--cert", CA_DIR / "server.pem",
                        "--key", CA_DIR / "server.key", "--secret-file", "-", "--out", block],
                       input=SECRET, text=True, check=True)
        state = self.work / "nginx refused"
        started = subprocess.run([ROOT / "scripts" / "nginx.sh", "start", state, block],
                                 capture_output=True, text=True)
        try:
            self.assertNotEqual(0, started.returncode, "workers would serve as root")
            self.assertIn(f"{closed} is closed", started.stderr)
            self.assertIn("chmod", started.stderr)
            self.assertFalse((state / "nginx.pid").exists())
        finally:
            subprocess.run([ROOT / "scripts" / "nginx.sh", "stop", state], check=True)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"), "needs root and unshare")
    def test_interrupted_install_leaves_services_startable(self):
        # nginx "missing": /usr/sbin is an empty folder of the test's own in
        # a mount namespace of its own; apt-get is a stand-in that hangs
        # until the run is interrupted, as a person does with Ctrl-C.
        sbin = self.work / "sbin"
        fake = self.work / "bin"
        sbin.mkdir()
        fake.mkdir()
        (fake / "apt-get").write_text(f"#!/bin/sh\ntouch '{self.work}/apt-get-ran'\nexec sleep 60\n")
        (fake / "apt-get").chmod(0o755)
        script = (f"mount --bind '{sbin}' /usr/sbin && "
                  f"PATH='{fake}':/usr/local/bin:/usr/bin:/bin exec '{ROOT}/scripts/install-deps.sh'")
        run = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                                script], start_new_session=True, stdout=subprocess.DEVNULL)
        try:
            self.assertTrue(mainjob.wait_for((self.work / "apt-get-ran").exists, 60),
                            "install-deps.sh never reached the nginx install")
            self.assertTrue((sbin / "policy-rc.d").exists())
            os.killpg(run.pid, signal.SIGINT)
            run.wait(30)
        finally:
            if run.poll() is None:
                os.killpg(run.pid, signal.SIGKILL)
                run.wait()
        self.assertFalse((sbin / "policy-rc.d").exists(),
                         "policy-rc.d left behind refuses every service start")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
