#!/usr/bin/env python3
"""Runs the whole program under Wine against the test download host.

0. A copy named without a release (Veltra.exe) ends at once with code 0,
   after one log line on the debugger output.
1. A user closes the window while the second part of a file stalls on the
   host: the program stops, keeps the finished part, posts its compressed
   log to the log service and ends with code 0.
2. The next start fetches only what is missing, verifies, starts the setup
   and closes by itself; the download folder is gone afterwards, and with
   it the log, so nothing more is posted.

Usage: program_test.py WINE_RUN PROGRAM HELPER WORK_DIR WINE_PREFIX
Environment (from the test-host fixture): VELTRA_TEST_CONTROL_PORT,
VELTRA_TEST_HOST; the program must be built for that host.
"""
import base64
import gzip
import json
import os
import random
import shutil
import subprocess
import sys
import time
import urllib.request
import zlib
from pathlib import Path

PART = 10_000_000
RELEASE = "Veltra_R1"
SUBDIR = "veltra_r1"
CAPTION = RELEASE + " download manager"


def control(path, body=None, method="POST"):
    port = os.environ["VELTRA_TEST_CONTROL_PORT"]
    data = body if isinstance(body, (bytes, type(None))) else json.dumps(body).encode()
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data,
                                     method=method)
    with urllib.request.urlopen(request, timeout=30) as answer:
        return json.loads(answer.read() or b"null")


def crc_text(data):
    value = zlib.crc32(data)
    return str(value - (1 << 32) if value >= 1 << 31 else value)


def put_release(files):
    info = "Veltra release"
    for name, data in files.items():
        info += f";{name}\r\n{len(data)}\r\n"
        for offset in range(0, len(data), PART):
            piece = data[offset:offset + PART]
            info += crc_text(piece) + "\r\n"
            control(f"/host/put?path=/{SUBDIR}/{offset // PART}_{name}", piece)
    control(f"/host/put?path=/{SUBDIR}/{RELEASE}.txt", info.encode())


def requested(path):
    return sum(1 for r in control("/host/requests", method="GET")
               if r["target"].split("?")[0] == path)


def wait_for(condition, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    return condition()


def check(condition, message):
    if not condition:
        print("FAILED:", message)
        sys.exit(1)
    print("ok:", message)


def fresh_program_folder(program, work, prefix):
    """An empty program folder holding only the program, under its release
    name; returns the folder, the program's path and the download folder."""
    work = Path(work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    exe = work / f"{RELEASE}_web.exe"
    shutil.copy(program, exe)
    appdata = Path(prefix) / "drive_c" / "users" / os.environ.get("USER", "root") / \
        "AppData" / "Local" / RELEASE
    return work, exe, appdata


def main():
    wine_run, program, helper, work, prefix = sys.argv[1:6]
    work, exe, appdata = fresh_program_folder(program, work, prefix)
    shutil.rmtree(appdata, ignore_errors=True)

    nameless = work / "Veltra.exe"
    shutil.copy(program, nameless)
    run = subprocess.run([wine_run, str(nameless)], cwd=work, timeout=120, capture_output=True,
                         env=dict(os.environ, WINEDEBUG="warn+debugstr"))
    check(run.returncode == 0, f"exit code of a program without a release is 0 (was {run.returncode})")
    check(b"An unhandled exception occured. Application will be closedinvalid string position"
          in run.stderr, "start-up failure logged to the debugger output")

    setup = Path(helper).read_bytes()
    data = random.Random(7).randbytes(12_000_000)
    control("/host/reset")
    control("/log/reset")
    put_release({"Setup.exe": setup, "Data-1a.bin": data})
    # The second part of the data file stalls until the user has closed.
    control("/host/fault", {"path": f"/{SUBDIR}/1_Data-1a.bin", "stall_before_headers_ms": 60000})

    started = time.time()
    run = subprocess.Popen([wine_run, str(exe)], cwd=work)
    part0 = appdata / "Data_R1-1a.binpart0"
    check(wait_for(part0.exists, 120), "first part written while the second stalls")
    check(wait_for(lambda: requested(f"/{SUBDIR}/1_Data-1a.bin") > 0, 60),
          "second part requested")
    # What the user sees meanwhile, once the speed meter has reported, for a
    # person to look at.
    time.sleep(2.5)
    subprocess.run([wine_run, helper, "shot", CAPTION, "program_running.bmp"], cwd=work,
                   timeout=60)
    closing = time.time()
    subprocess.run([wine_run, helper, "close", CAPTION], check=True, timeout=60)
    code = run.wait(timeout=120)
    print(f"closed in {time.time() - closing:.1f} s")
    check(code == 0, f"exit code after a close is 0 (was {code})")
    check(part0.exists() and part0.stat().st_size == PART, "finished part kept")
    check(not (work / "Data_R1-1a.bin").exists(), "no final file from an unfinished download")
    posts = control("/log/requests", method="GET")
    check(len(posts) == 1 and posts[0]["target"] == "/Veltra/DownloadManager8.ashx",
          "log posted once at the close")
    body = base64.b64decode(posts[0]["body"])
    text = gzip.decompress(body[body.index(b"\x1f\x8b"):]).decode("utf-16-le")
    log = json.loads(text)
    check(isinstance(log, list) and len(log) > 0, f"posted log holds {len(log)} entries")
    check("sig=placeholder" not in text, "access signature not in the posted log")

    control("/host/fault", {"path": f"/{SUBDIR}/1_Data-1a.bin"})
    before = requested(f"/{SUBDIR}/0_Data-1a.bin")
    started = time.time()
    code = subprocess.run([wine_run, str(exe)], cwd=work, timeout=300).returncode
    print(f"second run took {time.time() - started:.1f} s")
    check(code == 0, f"exit code after the setup start is 0 (was {code})")
    check(requested(f"/{SUBDIR}/0_Data-1a.bin") == before, "finished part not fetched again")
    check((work / "Data_R1-1a.bin").read_bytes() == data, "data file complete and intact")
    check((work / "Setup_R1.exe").read_bytes() == setup, "setup file complete and intact")
    check(wait_for((work / "setup-ran.txt").exists, 60), "setup started in the program folder")
    check(not appdata.exists(), "download folder removed")
    check(len(control("/log/requests", method="GET")) == 1,
          "nothing posted after the setup was started")
    check(all(r["target"].endswith("?sv=placeholder&sig=placeholder")
              for r in control("/host/requests", method="GET")),
          "access signature on every request")


if __name__ == "__main__":
    main()
