#!/usr/bin/env python3
"""Runs the whole program under Wine through a real proxy (squid), set as the
system's proxy in a Wine prefix of the test's own. The program's log goes to
the maker's own log service behind its nginx (scripts/services.sh), whose
database is counted.

1. The proxy asks for a sign-in and the user cancels the credential dialog:
   the run ends after that one question with a message that names the
   proxy's refusal and the host; logfile.txt names the 407, the proxy and
   the upload the proxy refused; the service stored nothing. A quiet run
   cannot ask: it ends with its own exit code, without a window, and its
   log file names the proxy.
2. The user signs in: asked once, the download goes on through the proxy
   with the sign-in (its access log names the user on every tunnel), the
   files are whole and the setup starts; the password is in no log.
3. A wrong password first: the second dialog says the last sign-in was
   refused; the right one then gets the CRC info (withdrawn, 404); at the
   close the log goes through the proxy with that sign-in, nobody is asked
   again, and the service stored it.
4. A proxy that asks for no sign-in: the program downloads through it as
   without one, and nobody is asked; a withdrawn release's log reaches the
   service through it, whole.
5. A proxy that refuses the download host with 403: the user is told at
   once that the network's proxy refused the host, after one request; the
   log names the proxy's answer and reaches the service.

Usage: program_proxy_test.py WINE_RUN PROGRAM HELPER WORK_DIR WINE_PREFIX SQUID_SCRIPT
Environment (from the test-host fixture): VELTRA_TEST_CONTROL_PORT,
VELTRA_TEST_HOST_ADDRESS; VELTRA_SERVICES, VELTRA_LOGSERVICE and
VELTRA_TEST_SUBNET for the log service. The program's log service is that
of slot 6.
"""
import atexit
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from program_deploy_test import watch, wine_path  # noqa: E402
from program_faults_test import Program  # noqa: E402
from program_test import (CAPTION, RELEASE, SUBDIR, check, control,  # noqa: E402
                          fresh_program_folder, put_release, requested, wait_for)

USER = "alice"
PASSWORD = "Pr0xy-Secret-7"
WITHDRAWN = "This version of Veltra can no longer be downloaded."
INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


class Proxy:
    def __init__(self, script, state, address, port):
        self.script, self.state, self.address, self.port = script, Path(state), address, port
        atexit.register(self.stop)

    def start(self, user=None, deny=None):
        args = [self.script, "start", str(self.state), self.address, str(self.port)]
        env = dict(os.environ, DENY_HOST=deny or "")
        subprocess.run(args + ([user] if user else []), input=(PASSWORD + "\n").encode(),
                       check=True, timeout=60, env=env)

    def stop(self):
        subprocess.run([self.script, "stop", str(self.state)], timeout=60)

    def log(self):
        path = self.state / "access.log"
        return path.read_text() if path.exists() else ""


class LogService:
    """The maker's log service behind its nginx, in slot 6 of the subnet."""

    def __init__(self, state):
        self.state = Path(state)
        self.services = os.environ["VELTRA_SERVICES"]
        atexit.register(self.stop)
        subprocess.run([self.services, "start", str(self.state), "--subnet",
                        os.environ["VELTRA_TEST_SUBNET"], "--slot", "6", "--logservice",
                        os.environ["VELTRA_LOGSERVICE"]], check=True, timeout=120)
        self.host = f"log6.s{os.environ['VELTRA_TEST_SUBNET']}.veltra.test"

    def stop(self):
        subprocess.run([self.services, "stop", str(self.state)], timeout=120)

    def stored(self):
        """Each stored upload's outcome and messages, in order."""
        with sqlite3.connect(self.state / "logs" / "logs.db") as db:
            uploads = db.execute("SELECT id, outcome FROM uploads ORDER BY id").fetchall()
            return [(outcome, [m for (m,) in db.execute(
                "SELECT message FROM records WHERE upload_id = ? ORDER BY idx", (upload,))])
                    for upload, outcome in uploads]


def withdraw():
    control("/host/fault", {"path": f"/{SUBDIR}/{RELEASE}.txt", "status": 404,
                            "body": "BlobNotFound"})


def sign_in_dialog(program, *answer):
    """Answers the program's sign-in dialog if one shows; its texts or None."""
    done = program.helper_run("signin", CAPTION, *answer)
    return done.stdout.decode("utf-8", "replace") if done.returncode == 0 else None


def cancelled_run(program, exe, work, appdata, proxy, proxy_name, service):
    shutil.rmtree(appdata, ignore_errors=True)
    (work / "logfile.txt").unlink(missing_ok=True)
    run = program.start(exe)
    shown = None
    deadline = time.time() + 120
    while shown is None and time.time() < deadline and run.poll() is None:
        shown = sign_in_dialog(program)
        time.sleep(0.3)
    check(shown is not None and proxy_name in shown,
          f"cancel: the credential dialog names the proxy ({shown!r})")
    text = program.answer_error(120)
    host = os.environ["VELTRA_TEST_HOST"]
    check(text is not None and text.startswith("Your network's proxy asks for a sign-in") and
          host in text and "407" in text,
          f"cancel: the user is told the proxy refused the host ({text!r})")
    check(sign_in_dialog(program) is None, "cancel: asked once")
    program.close_and_time()
    check(run.wait(timeout=60) == 0, "cancel: exit code 0")
    # Without the sign-in the log cannot pass the proxy either: support gets
    # it through the user, from logfile.txt.
    check(service.stored() == [], "cancel: no log got through the proxy")
    readable = (work / "logfile.txt").read_text(errors="replace")
    check("407" in readable and proxy_name in readable,
          "cancel: logfile.txt names the 407 and the proxy")
    check(f"FileUpload: the proxy {proxy_name} refused the connection to {service.host}" in
          readable, "cancel: logfile.txt names the upload the proxy refused")
    check(f" {USER} " not in proxy.log(), "cancel: nothing went through signed in")


def quiet_run(program, exe, work, appdata, proxy_name):
    shutil.rmtree(appdata, ignore_errors=True)
    log = work.parent / "program_proxy_quiet.log"
    log.unlink(missing_ok=True)
    code, windows = watch(program, exe, "/quiet", "/log", wine_path(log))
    check(code == 2005 and not windows,
          f"quiet: a proxy sign-in is needed, exit code 2005, no window ({code}, {windows})")
    check(proxy_name in log.read_text(errors="replace"), "quiet: the log file names the proxy")


def run_signing_in(program, exe, work, appdata, **options):
    """A fresh run to its end, answering every sign-in dialog with the
    user's sign-in; the exit code and how often the user was asked."""
    shutil.rmtree(appdata, ignore_errors=True)
    for name in ("Setup_R1.exe", "Data_R1-1a.bin", "setup-ran.txt"):
        (work / name).unlink(missing_ok=True)
    run = program.start(exe, **options)
    asked = 0
    deadline = time.time() + 300
    while run.poll() is None and time.time() < deadline:
        if sign_in_dialog(program, USER) is not None:
            asked += 1
        time.sleep(0.3)
    return run.wait(timeout=60), asked


def signed_in_run(program, exe, work, appdata, proxy, files, debug_file):
    with open(debug_file, "wb") as debug:
        code, asked = run_signing_in(program, exe, work, appdata, stderr=debug,
                                     env=dict(os.environ, WINEDEBUG="warn+debugstr"))
    check(asked == 1, f"sign-in: asked once ({asked})")
    check(code == 0, f"sign-in: exit code 0 ({code})")
    check((work / "Data_R1-1a.bin").read_bytes() == files["Data-1a.bin"] and
          (work / "Setup_R1.exe").read_bytes() == files["Setup.exe"],
          "sign-in: files whole and identical")
    check(wait_for((work / "setup-ran.txt").exists, 60), "sign-in: setup started")
    tunnels = [line for line in proxy.log().splitlines() if "TCP_TUNNEL/200" in line]
    # Wine keeps the tunnel open from request to request.
    check(tunnels and all(f" {USER} " in line for line in tunnels),
          f"sign-in: every tunnel through the proxy signed in as {USER} ({len(tunnels)})")
    check(PASSWORD.encode() not in Path(debug_file).read_bytes(),
          "sign-in: no password in the debugger output")


def open_proxy_run(program, exe, work, appdata, proxy, files):
    code, asked = run_signing_in(program, exe, work, appdata)
    check(code == 0 and asked == 0, "open proxy: nobody asked, exit code 0")
    check((work / "Data_R1-1a.bin").read_bytes() == files["Data-1a.bin"],
          "open proxy: files whole and identical")
    tunnels = [line for line in proxy.log().splitlines() if "TCP_TUNNEL/200" in line]
    check(len(tunnels) >= 1, f"open proxy: the download went through the proxy ({len(tunnels)})")


def withdrawn_run(program, exe, work, appdata, proxy, service, case, answers=()):
    """A run of a withdrawn release to its close, answering the sign-in
    dialogs with `answers` (user, password) in turn; the texts of the
    dialogs shown."""
    shutil.rmtree(appdata, ignore_errors=True)
    before = len(service.stored())
    run = program.start(exe)
    shown, answers = [], list(answers)
    deadline = time.time() + 180
    text = None
    while run.poll() is None and time.time() < deadline and text is None:
        if answers:
            user, password = answers[0]
            os.environ["VELTRA_TEST_PROXY_PASSWORD"] = password
            texts = sign_in_dialog(program, user)
            if texts is not None:
                shown.append(texts)
                answers.pop(0)
        answer = program.helper_run("answer")
        if answer.returncode == 0:
            text = answer.stdout.decode("utf-8")
        time.sleep(0.3)
    os.environ["VELTRA_TEST_PROXY_PASSWORD"] = PASSWORD
    check(text is not None and text.startswith(WITHDRAWN), f"{case}: told the release is gone")
    program.close_and_time()
    check(run.wait(timeout=60) == 0, f"{case}: exit code 0")
    check(sign_in_dialog(program) is None, f"{case}: nobody asked at the close")
    stored = service.stored()
    check(len(stored) == before + 1 and any(WITHDRAWN in m for m in stored[-1][1]) and
          stored[-1][0] == "withdrawn",
          f"{case}: the service stored the log, whole, once ({len(stored) - before})")
    uploads = [line for line in proxy.log().splitlines()
               if f"CONNECT {service.host}:8443" in line]
    check(uploads and "TCP_TUNNEL/200" in uploads[-1],
          f"{case}: the log went through the proxy's tunnel ({uploads[-1:]})")
    return shown, stored[-1][1], uploads[-1]


def refused_sign_in_run(program, exe, work, appdata, proxy, service):
    shown, _, upload = withdrawn_run(program, exe, work, appdata, proxy, service, "wrong password",
                                     [(USER, "not-the-password"), (USER, PASSWORD)])
    check(len(shown) == 2, f"wrong password: asked twice ({len(shown)})")
    check("refused" not in shown[0] and "refused the last sign-in" in shown[1],
          f"wrong password: the second dialog says the last sign-in was refused ({shown[1:]})")
    check(f" {USER} " in upload, "wrong password: the log went signed in")


def denied_run(program, exe, work, appdata, proxy, proxy_name, service):
    shutil.rmtree(appdata, ignore_errors=True)
    control("/host/reset")
    before = len(service.stored())
    run = program.start(exe)
    text = program.answer_error(120)
    host = os.environ["VELTRA_TEST_HOST"]
    check(text is not None and text.startswith("Your network's proxy or filter refused the "
                                               f"connection to {host} (403 Forbidden)"),
          f"denied: the user is told the proxy refused the host ({text!r})")
    program.close_and_time()
    check(run.wait(timeout=60) == 0, "denied: exit code 0")
    denied = [line for line in proxy.log().splitlines() if "TCP_DENIED/403" in line]
    check(len(denied) == 1 and not control("/host/requests", method="GET"),
          f"denied: one request, refused by the proxy ({len(denied)})")
    stored = service.stored()
    check(len(stored) == before + 1, "denied: the log reached the service")
    named = [m for m in stored[-1][1] if f"the proxy {proxy_name} refused the connection to "
             f"{host} with 403" in m]
    check(len(named) == 1, f"denied: the log names the proxy's answer once ({named})")


def main():
    wine_run, program_file, helper, work, prefix, squid = sys.argv[1:7]
    # The proxy is a setting of the whole prefix: a prefix of this test's own
    # keeps it from the other tests.
    os.environ["VELTRA_WINE_PREFIX"] = prefix
    os.environ["VELTRA_TEST_PROXY_PASSWORD"] = PASSWORD
    atexit.register(lambda: subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix)))
    check(subprocess.run([wine_run, "--init"], timeout=600).returncode == 0, "own Wine prefix")
    address = os.environ["VELTRA_TEST_HOST_ADDRESS"].rsplit(".", 1)[0] + ".7"
    # Not squid's usual port, where a system service of it may listen.
    proxy = Proxy(squid, Path(work).parent / "program_proxy_squid", address, 3131)
    proxy_name = f"{address}:3131"
    for value in (["ProxyEnable", "REG_DWORD", "1"], ["ProxyServer", "REG_SZ", proxy_name]):
        subprocess.run([wine_run, "reg", "add", INTERNET_SETTINGS, "/v", value[0], "/t", value[1],
                        "/d", value[2], "/f"], check=True, timeout=120, stdout=subprocess.DEVNULL)

    work, exe, appdata = fresh_program_folder(program_file, work, prefix)
    program = Program(wine_run, helper, work)
    files = {"Setup.exe": Path(helper).read_bytes(),
             "Data-1a.bin": random.Random(21).randbytes(12_000_000)}
    control("/host/reset")
    put_release(files)

    service = LogService(Path(work).parent / "program_proxy_services")

    proxy.start(USER)
    cancelled_run(program, exe, work, appdata, proxy, proxy_name, service)
    quiet_run(program, exe, work, appdata, proxy_name)
    signed_in_run(program, exe, work, appdata, proxy, files, work.parent / "program_proxy_debug.txt")
    proxy.start(USER)
    withdraw()
    refused_sign_in_run(program, exe, work, appdata, proxy, service)
    control("/host/reset")
    put_release(files)
    proxy.start()
    open_proxy_run(program, exe, work, appdata, proxy, files)
    withdraw()
    withdrawn_run(program, exe, work, appdata, proxy, service, "open proxy log")
    proxy.start(deny=os.environ["VELTRA_TEST_HOST"])
    denied_run(program, exe, work, appdata, proxy, proxy_name, service)


if __name__ == "__main__":
    main()
