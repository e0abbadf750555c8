#!/usr/bin/env python3
"""Runs the whole program under Wine where a run fails or closes badly.

1. Every request is refused with 403 (a wrong signature): the program gives
   up, the user answers the message, the window then says plainly that the
   download did not complete, with no read-out and no pause button; a close
   ends at once; the log reaches the log service although no download
   folder was ever made, and logfile.txt is written.
2. The release is withdrawn (404) and a file stands where the download
   folder belongs: the user is told so, the window closes by itself, the
   log goes out through the temporary folder and nothing of it stays.
3. A close while the log service takes the request and never answers ends
   within the upload's deadline, and logfile.txt records the abandoned
   upload. A close while the log service answers at once is timed.
4. A second start of the same release brings the first window to the front
   and ends without a request of its own.
5. A program folder too long for file paths: the user is told plainly what
   to do (under Wine, which takes long paths, the download just works).
   The check counts the longest name of the CRC info: one beyond what the
   system takes is told before anything is fetched.
6. Security software: a stand-in opens every new file without sharing for
   4 s as soon as it can, and another deletes the first finished part:
   the run waits them out, completes with identical files and starts the
   setup, and the debugger output names the waits.
7. A captive portal answers the first part with its sign-in page: every
   try is logged as a web page (with its title, never the signature) and
   the user is told plainly that the network replaces the download.
8. A captive portal answers every request with its page, the CRC info's
   too: the page is never taken for the CRC info; each try is logged with
   status, type and title, and the user gets the web-page message.
9. A close while a part's request is still being sent (the host has not
   answered yet): the stop is logged as the stop it is, nothing as an error,
   and no logfile.txt is written.
10. The download folder lies on a disk with room for only part of the
   compressed log: the log is not posted cut short; it goes out whole
   through the temporary folder (skipped where no disk can be mounted).

Usage: program_faults_test.py WINE_RUN PROGRAM HELPER WORK_DIR WINE_PREFIX
Environment (from the test-host fixture): VELTRA_TEST_CONTROL_PORT; the
program must be built for that fixture's host.
"""
import atexit
import base64
import gzip
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from program_test import (CAPTION, RELEASE, SUBDIR, check, control,  # noqa: E402
                          fresh_program_folder, put_release, requested, wait_for)

ERROR_TEXT_404 = ("This version of Veltra can no longer be downloaded.\r\nPlease download the "
                  "latest version you received in an e-mail message")


class Program:
    def __init__(self, wine_run, helper, work):
        self.wine_run, self.helper, self.work = wine_run, helper, work
        self.runs = []
        # A failed check leaves no program behind to answer the next start.
        atexit.register(lambda: [run.kill() for run in self.runs if run.poll() is None])

    def start(self, exe, **options):
        run = subprocess.Popen([self.wine_run, str(exe)], cwd=exe.parent, **options)
        self.runs.append(run)
        return run

    def helper_run(self, *args, timeout=60):
        # Output through a file, not a pipe: Wine's own service processes,
        # when a helper happens to start them, keep a pipe open for minutes.
        with tempfile.TemporaryFile() as out:
            done = subprocess.run([self.wine_run, self.helper, *args], cwd=self.work,
                                  timeout=timeout, stdout=out, stderr=subprocess.DEVNULL)
            out.seek(0)
            done.stdout = out.read()
        return done

    def answer_error(self, seconds):
        """Presses OK in the program's error box once one shows; its text."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            answer = self.helper_run("answer")
            if answer.returncode == 0:
                return answer.stdout.decode("utf-8")
            time.sleep(0.5)
        return None

    def controls(self):
        out = self.helper_run("controls", CAPTION).stdout.decode("utf-8", "replace")
        shown = {}
        for line in out.splitlines():
            parts = line.split(" ", 2)
            shown[int(parts[0])] = (parts[1] == "1", parts[2] if len(parts) > 2 else "")
        return shown

    def close_and_time(self):
        done = self.helper_run("closewait", CAPTION, timeout=600)
        return int(done.stdout.strip()) if done.returncode == 0 else None


def posted_log(post):
    body = base64.b64decode(post["body"])
    return gzip.decompress(body[body.index(b"\x1f\x8b"):]).decode("utf-16-le")


def temporary_logs(prefix):
    temp = Path(prefix) / "drive_c" / "users" / os.environ.get("USER", "root") / "AppData" / \
        "Local" / "Temp"
    return sorted(p.name for p in temp.glob("vlg*.tmp"))


def given_up_run(program, exe, work, appdata, prefix):
    control("/host/reset")
    control("/log/reset")
    put_release({"Setup.exe": b"MZ" + bytes(1000)})
    for path in (f"/{SUBDIR}/{RELEASE}.txt", f"/{SUBDIR}/0_Setup.exe"):
        control("/host/fault", {"path": path, "status": 403, "body": "AuthenticationFailed"})
    shutil.rmtree(appdata, ignore_errors=True)
    (work / "logfile.txt").unlink(missing_ok=True)
    temp_before = temporary_logs(prefix)

    run = program.start(exe)
    text = program.answer_error(240)
    check(text == "Downloading setup failed.\rYou are now directed to our Support Center for help.",
          f"give-up message shown ({text!r})")
    check(wait_for(lambda: "did not complete" in program.controls().get(1008, (0, ""))[1], 30),
          "window says the download did not complete")
    time.sleep(2.5)
    shown = program.controls()
    check(not shown[1014][0] and not shown[1005][0] and not shown[1002][0],
          "no pause button, read-out or bar after the give-up")
    check(not shown[1015][0], "no tip after the give-up")
    program.helper_run("shot", CAPTION, "program_failed.bmp")
    check(len(control("/log/requests", method="GET")) == 0, "nothing posted before the close")
    closed = program.close_and_time()
    check(closed is not None and closed < 8000,
          f"close after the give-up ends at once ({closed} ms)")
    check(run.wait(timeout=60) == 0, "exit code 0")
    posts = control("/log/requests", method="GET")
    check(len(posts) == 1, "log posted although no download folder was made")
    check("Maximum download attempts exceeded" in posted_log(posts[0]),
          "posted log holds the give-up")
    readable = (work / "logfile.txt").read_bytes()
    check(b"Maximum download attempts exceeded" in readable, "logfile.txt holds the give-up")
    check(not appdata.exists(), "no download folder left behind")
    check(temporary_logs(prefix) == temp_before, "no temporary log left behind")


def withdrawn_run(program, exe, work, appdata, prefix):
    control("/host/reset")
    control("/log/reset")
    shutil.rmtree(appdata, ignore_errors=True)
    appdata.parent.mkdir(parents=True, exist_ok=True)
    appdata.write_bytes(b"in the way")
    (work / "logfile.txt").unlink(missing_ok=True)
    temp_before = temporary_logs(prefix)

    run = program.start(exe)
    text = program.answer_error(120)
    check(text == ERROR_TEXT_404, f"withdrawn release shown to the user ({text!r})")
    check(run.wait(timeout=60) == 0, "window closes by itself, exit code 0")
    posts = control("/log/requests", method="GET")
    check(len(posts) == 1 and "can no longer be downloaded" in posted_log(posts[0]),
          "log of the withdrawn release posted")
    check(b"can no longer be downloaded" in (work / "logfile.txt").read_bytes(),
          "logfile.txt written")
    check(appdata.read_bytes() == b"in the way", "the file in the way untouched")
    check(temporary_logs(prefix) == temp_before, "no temporary log left behind")
    appdata.unlink()


def start_stalled(program, exe, work, appdata, data):
    control("/host/reset")
    put_release({"Setup.exe": b"MZ" + bytes(1000), "Data-1a.bin": data})
    control("/host/fault", {"path": f"/{SUBDIR}/1_Data-1a.bin", "stall_before_headers_ms": 120000})
    shutil.rmtree(appdata, ignore_errors=True)
    run = program.start(exe)
    check(wait_for(lambda: any(r["target"].startswith(f"/{SUBDIR}/1_Data-1a.bin")
                               for r in control("/host/requests", method="GET")), 120),
          "second part requested, and stalls")
    return run


def close_runs(program, exe, work, appdata):
    data = random.Random(3).randbytes(11_000_000)
    control("/log/reset")
    control("/log/behaviour", {"stall_before_answer_ms": 600000})
    (work / "logfile.txt").unlink(missing_ok=True)
    run = start_stalled(program, exe, work, appdata, data)
    closed = program.close_and_time()
    check(closed is not None and closed < 30000,
          f"close with a log service that never answers ends ({closed} ms)")
    check(run.wait(timeout=60) == 0, "exit code 0")
    check(b"upload abandoned" in (work / "logfile.txt").read_bytes(),
          "logfile.txt records the abandoned upload")

    control("/log/reset")
    times = []
    for _ in range(3):
        run = start_stalled(program, exe, work, appdata, data)
        time.sleep(2.5)
        times.append(program.close_and_time())
        run.wait(timeout=60)
    print("close request to process end, log service answering at once (ms):", times)
    check(all(t is not None and t < 10000 for t in times), "every normal close ends")
    check(len(control("/log/requests", method="GET")) == 3, "each close posted its log")


def second_start(program, exe, work, appdata):
    data = random.Random(4).randbytes(11_000_000)
    control("/log/reset")
    first = start_stalled(program, exe, work, appdata, data)
    check(wait_for(lambda: program.helper_run("minimize", CAPTION).returncode == 0, 30),
          "first window minimized")
    crc_requests = sum(1 for r in control("/host/requests", method="GET")
                       if r["target"].startswith(f"/{SUBDIR}/{RELEASE}.txt"))
    code = subprocess.run([program.wine_run, str(exe)], cwd=work, timeout=60).returncode
    check(code == 0, "second start ends by itself with code 0")
    check(first.poll() is None, "first run goes on")
    check(wait_for(lambda: program.helper_run("front", CAPTION).returncode == 0, 10),
          "first window restored and in front")
    check(sum(1 for r in control("/host/requests", method="GET")
              if r["target"].startswith(f"/{SUBDIR}/{RELEASE}.txt")) == crc_requests,
          "second start fetched nothing")
    program.close_and_time()
    check(first.wait(timeout=60) == 0, "first run closes normally")


def long_folder(program, exe_source, work, appdata):
    control("/host/reset")
    control("/log/reset")
    setup = Path(program.helper).read_bytes()
    put_release({"Setup.exe": setup})
    shutil.rmtree(appdata, ignore_errors=True)
    deep = work
    # 250 characters of folder below the work folder's own path.
    wine_folder_length = len("C:\\") + len(str(work)) + 4
    while wine_folder_length < 250:
        deep = deep / ("d" * 40)
        wine_folder_length += 41
    deep.mkdir(parents=True)
    exe = deep / f"{RELEASE}_web.exe"
    shutil.copy(exe_source, exe)
    # Whatever the program starts must not hold the test's output open.
    run = program.start(exe, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 240
    text = None
    while time.time() < deadline and run.poll() is None and text is None:
        answer = program.helper_run("answer")
        if answer.returncode == 0:
            text = answer.stdout.decode("utf-8")
        time.sleep(0.5)
    if text is not None and "too long" in text:
        # A system that cannot take the paths: the user is told what to do.
        check("shorter path" in text, f"long folder: user told to move the program ({text!r})")
        program.close_and_time()
    elif text is not None:
        # Wine takes the long paths but its shell does not start a program
        # from there, not even by its short path: the user is told where the
        # setup is, and the folder is opened.
        check(text.startswith("Unable to start setup. You can start it manually by executing "
                              "the file ") and "Setup_R1.exe" in text,
              f"long folder: user told to start the setup by hand ({text[:90]!r}...)")
        check((deep / "Setup_R1.exe").read_bytes() == setup,
              "long folder: setup saved in the long folder")
        check(run.wait(timeout=60) == 0, "long folder: run ended by itself")
        # The Explorer window on the folder, by its long or its short name.
        time.sleep(2)
        program.helper_run("closetitled", "dddd")
        program.helper_run("closetitled", "DDDD")
    else:
        check(run.wait(timeout=60) == 0, "long folder: run ended normally")
        check((deep / "Setup_R1.exe").read_bytes() == setup,
              "long folder: setup saved in the long folder")
        check(wait_for((deep / "setup-ran.txt").exists, 60), "long folder: setup started")
    shutil.rmtree(work / ("d" * 40), ignore_errors=True)


def long_name(program, exe, work, appdata):
    control("/host/reset")
    control("/log/reset")
    name = "D" * 250 + "-1a.bin"
    put_release({"Setup.exe": b"MZ" + bytes(1000), name: b"x" * 1000})
    shutil.rmtree(appdata, ignore_errors=True)
    run = program.start(exe)
    text = program.answer_error(120)
    check(text is not None and "too long" in text,
          f"long name: the user is told at the start ({text!r})")
    check(not any(r["target"].startswith(f"/{SUBDIR}/0_")
                  for r in control("/host/requests", method="GET")), "long name: no part fetched")
    program.close_and_time()
    check(run.wait(timeout=60) == 0, "long name: exit code 0")


def wine_path(path):
    return "Z:" + str(path).replace("/", "\\")


def scanner_run(program, exe, work, appdata):
    control("/host/reset")
    control("/log/reset")
    # Two whole parts, fetched side by side and done at about the same time:
    # the one not deleted is still held when the next attempt checks it.
    files = {"Setup.exe": Path(program.helper).read_bytes(),
             "Data-1a.bin": random.Random(8).randbytes(20_000_000)}
    put_release(files)
    shutil.rmtree(appdata, ignore_errors=True)
    # Watched from the start, as a scanner watches the whole disk.
    appdata.mkdir(parents=True)
    for name in ("Setup_R1.exe", "Data_R1-1a.bin", "setup-ran.txt", "logfile.txt"):
        (work / name).unlink(missing_ok=True)
    scanned, deleted, debug = (work.parent / f"scanner_{n}.txt" for n in ("held", "deleted", "debug"))
    with open(scanned, "wb") as scan_out, open(deleted, "wb") as delete_out, \
            open(debug, "wb") as debug_out:
        helpers = [
            subprocess.Popen([program.wine_run, program.helper, "scan", "4000", "300",
                              wine_path(appdata), wine_path(work)], cwd=work, stdout=scan_out),
            subprocess.Popen([program.wine_run, program.helper, "deletepart", "300",
                              wine_path(appdata)], cwd=work, stdout=delete_out)]
        time.sleep(3)
        run = program.start(exe, stderr=debug_out, env=dict(os.environ, WINEDEBUG="warn+debugstr"))
        try:
            code = run.wait(timeout=300)
        finally:
            for helper in helpers:
                helper.kill()
                helper.wait()
    held = scanned.read_text(errors="replace")
    print(held, deleted.read_text(errors="replace"))
    check(code == 0, f"scanner: exit code 0 ({code})")
    check("part1" in held and "Setup_R1.exe" in held, "scanner: held the parts and the setup")
    check("deleted" in deleted.read_text(), "scanner: the first part deleted once written")
    check((work / "Data_R1-1a.bin").read_bytes() == files["Data-1a.bin"] and
          (work / "Setup_R1.exe").read_bytes() == files["Setup.exe"],
          "scanner: files whole and identical")
    check(wait_for((work / "setup-ran.txt").exists, 60), "scanner: setup started")
    check(not appdata.exists(), "scanner: download folder removed")
    waits = [line for line in debug.read_text(errors="replace").splitlines()
             if "held by another program; waited" in line]
    print("\n".join(waits))
    # Which file the scanner still holds when the program reaches it (a part, the
    # merged file or the setup) depends on the machine's load; one of them is.
    check(any("part" in line or "Setup_R1.exe" in line or "Data_R1-1a.bin:" in line
              for line in waits), "scanner: a wait for a held file logged")


def web_page_run(program, exe, work, appdata):
    control("/host/reset")
    control("/log/reset")
    put_release({"Setup.exe": b"MZ" + bytes(5000), "Data-1a.bin": bytes(3000)})
    page = ("\ufeff\r\n<!DOCTYPE html>\n<html><head><title>\n  Guest Wi-Fi: please sign in\n"
            "to continue</title></head><body>Accept the terms</body></html>")
    # Labelled text/plain: known by its body.
    control("/host/fault", {"path": f"/{SUBDIR}/0_Setup.exe", "status": 200, "body": page})
    shutil.rmtree(appdata, ignore_errors=True)
    run = program.start(exe)
    text = program.answer_error(240)
    check(text is not None and text.startswith("Your network answers the download with a web page"),
          f"web page: the user is told the network replaces the download ({text!r})")
    program.close_and_time()
    check(run.wait(timeout=60) == 0, "web page: exit code 0")
    check(requested(f"/{SUBDIR}/0_Setup.exe") == 4 and requested(f"/{SUBDIR}/0_Data-1a.bin") == 0,
          "web page: the first part tried four times, nothing more fetched")
    posts = control("/log/requests", method="GET")
    log = posted_log(posts[0]) if posts else ""
    records = [r["message"] for r in json.loads(log or "[]")
               if "answered with a web page instead of the file" in r["message"]]
    check(len(records) == 4 and all('title "Guest Wi-Fi: please sign in"' in r and "status 200" in r
                                    and "text/plain" in r for r in records),
          f"web page: every try logged with status, type and title ({records[:1]})")
    check("sig=" not in log and "incorrect CRC" not in log,
          "web page: no signature, no CRC error in the log")


def portal_run(program, exe, work, appdata):
    control("/host/reset")
    control("/log/reset")
    put_release({"Setup.exe": b"MZ" + bytes(5000)})
    page = "<html><head><title>Hotel Wi-Fi sign-in</title></head><body>Welcome</body></html>"
    for path in (f"/{SUBDIR}/{RELEASE}.txt", f"/{SUBDIR}/0_Setup.exe"):
        # Labelled text/plain: known by its body.
        control("/host/fault", {"path": path, "status": 200, "body": page})
    shutil.rmtree(appdata, ignore_errors=True)
    run = program.start(exe)
    text = program.answer_error(240)
    check(text is not None and text.startswith("Your network answers the download with a web page"),
          f"portal: the user is told the network replaces the download ({text!r})")
    program.close_and_time()
    check(run.wait(timeout=60) == 0, "portal: exit code 0")
    tries = requested(f"/{SUBDIR}/{RELEASE}.txt")
    posts = control("/log/requests", method="GET")
    log = json.loads(posted_log(posts[0])) if posts else []
    pages = [r["message"] for r in log if "answered with a web page instead of the file" in
             r["message"]]
    check(tries == 4 and len(pages) == 4 and
          all(f"{RELEASE}.txt" in m and "status 200" in m and "text/plain" in m and
              'title "Hotel Wi-Fi sign-in"' in m for m in pages),
          f"portal: each of the {tries} tries of the CRC info logged as the page ({pages[:1]})")
    check(not any("Download succesful" in r["message"] for r in log),
          "portal: the page was never taken for the CRC info")


def close_while_sending(program, exe, work, appdata):
    control("/log/reset")
    # Files of earlier cases would meet the verification, not the close.
    for name in ("logfile.txt", "Setup_R1.exe", "Data_R1-1a.bin"):
        (work / name).unlink(missing_ok=True)
    run = start_stalled(program, exe, work, appdata, random.Random(5).randbytes(11_000_000))
    time.sleep(1)
    program.close_and_time()
    check(run.wait(timeout=60) == 0, "close while sending: exit code 0")
    posts = control("/log/requests", method="GET")
    log = json.loads(posted_log(posts[0])) if posts else []
    check(any("1_Data-1a.bin stopped while the request was being sent" in r["message"] and
              r["error_number"] == 0 for r in log),
          "close while sending: the stop logged as information")
    errors = [r for r in log if r["error_number"] != 0]
    check(not errors, f"close while sending: no error logged ({errors[:2]})")
    check(not (work / "logfile.txt").exists(), "close while sending: no logfile.txt")


def full_disk_log(program, exe, work, appdata, prefix):
    mount = Path(os.environ.get("VELTRA_TEST_FULL_MOUNT", "/nonexistent"))
    if not os.path.ismount(mount):
        print("skipped: no disk that fills up (mounting needs root)")
        return
    control("/host/reset")
    control("/log/reset")
    put_release({"Setup.exe": b"MZ" + bytes(1000)})
    # Random text in every 403's logged headers: the compressed log is
    # bigger than the room left below (Wine reads header lines of up to
    # about 1400 characters).
    noise = random.Random(6)
    headers = [[f"X-Noise-{i}", base64.b64encode(noise.randbytes(750)).decode()]
               for i in range(10)]
    for path in (f"/{SUBDIR}/{RELEASE}.txt", f"/{SUBDIR}/0_Setup.exe"):
        control("/host/fault", {"path": path, "status": 403, "body": "AuthenticationFailed",
                                "headers": headers})
    shutil.rmtree(appdata, ignore_errors=True)
    folder = mount / RELEASE
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir()
    appdata.parent.mkdir(parents=True, exist_ok=True)
    appdata.symlink_to(folder)
    filler = mount / "filler"
    room = os.statvfs(mount).f_bavail * os.statvfs(mount).f_frsize
    filler.write_bytes(bytes(room - 4096))
    (work / "logfile.txt").unlink(missing_ok=True)
    temp_before = temporary_logs(prefix)
    try:
        run = program.start(exe)
        text = program.answer_error(240)
        check(text is not None and "Support Center" in text, "full disk: the run gave up")
        program.close_and_time()
        check(run.wait(timeout=60) == 0, "full disk: exit code 0")
        posts = control("/log/requests", method="GET")
        check(len(posts) == 1, "full disk: log posted once")
        try:
            log = posted_log(posts[0])
        except (EOFError, OSError, ValueError) as error:
            log = f"unreadable: {error}"
        check("Maximum download attempts exceeded" in log, "full disk: the posted log is whole")
        check(b"unable to write the whole log" in (work / "logfile.txt").read_bytes(),
              "full disk: logfile.txt names the log that could not be written")
        check(temporary_logs(prefix) == temp_before, "full disk: no temporary log left behind")
    finally:
        appdata.unlink()
        shutil.rmtree(folder, ignore_errors=True)
        filler.unlink()


def main():
    wine_run, program_file, helper, work, prefix = sys.argv[1:6]
    work, exe, appdata = fresh_program_folder(program_file, work, prefix)
    program = Program(wine_run, helper, work)
    cases = {
        "given_up": lambda: given_up_run(program, exe, work, appdata, prefix),
        "withdrawn": lambda: withdrawn_run(program, exe, work, appdata, prefix),
        "close": lambda: close_runs(program, exe, work, appdata),
        "second": lambda: second_start(program, exe, work, appdata),
        "long": lambda: long_folder(program, program_file, work, appdata),
        "long_name": lambda: long_name(program, exe, work, appdata),
        "scanner": lambda: scanner_run(program, exe, work, appdata),
        "web_page": lambda: web_page_run(program, exe, work, appdata),
        "portal": lambda: portal_run(program, exe, work, appdata),
        "close_sending": lambda: close_while_sending(program, exe, work, appdata),
        "full_log": lambda: full_disk_log(program, exe, work, appdata, prefix),
    }
    for name in sys.argv[6:] or cases:
        cases[name]()


if __name__ == "__main__":
    main()
