#!/usr/bin/env python3
"""Runs the whole program under Wine as deployment tools start it: with
options, watched by apphelper's probe, which lists every top-level window
of the program's process while it runs and reads its whole exit code.

1. Bad options: a quiet run with an unknown option fetches nothing, writes
   its log file and ends with 1639; without /quiet the usage box shows.
2. /quiet: no window at any moment; the setup started with /setupargs and
   waited for; the exit code is the setup's (above 255); files identical;
   the log file written.
3. Quiet failures, each with its code, its log file, no window and no page:
   the host refuses (403, with /noupload: nothing posted), a captive page
   (the log posted), a disk that fills up.
4. /passive: the window shows, closes by itself and the exit code is the
   setup's; a withdrawn release closes it by itself too, without a box.
5. /layout into a folder, a flipped part repaired by a second /layout that
   fetches only that part; with the host stopped, installs from the layout
   (started from it, and with /source from elsewhere) open no connection,
   leave identical files and start the setup; a layout part that is wrong
   while no host is reachable fails with the network's code.

Usage: program_deploy_test.py WINE_RUN PROGRAM HELPER WORK_DIR WINE_PREFIX
Environment (from the test-host fixture): VELTRA_TEST_CONTROL_PORT; the
program must be built for that fixture's host. VELTRA_TEST_FULL_MOUNT: a
disk of 1 MB (skipped without).
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from program_faults_test import Program  # noqa: E402
from program_test import (CAPTION, PART, RELEASE, SUBDIR, check, control,  # noqa: E402
                          crc_text, fresh_program_folder, put_release)

SETUP_CODE = 70001  # more than the low 8 bits a Linux parent sees
LOCAL_NAMES = {"Setup.exe": "Setup_R1.exe", "Data-1a.bin": "Data_R1-1a.bin"}


def wine_path(path):
    return "Z:" + str(path).replace("/", "\\")


def watch(program, exe, *options, timeout=400):
    """Runs the program with `options` under the probe: (exit code, windows)."""
    with tempfile.TemporaryFile() as out:
        subprocess.run([program.wine_run, program.helper, "watch", wine_path(exe), *options],
                       cwd=exe.parent, timeout=timeout, stdout=out, stderr=subprocess.DEVNULL)
        out.seek(0)
        lines = out.read().decode("utf-8", "replace").splitlines()
    windows = [line[7:] for line in lines if line.startswith("window ")]
    codes = [int(line[5:]) for line in lines if line.startswith("exit ")]
    return (codes[0] if codes else None), windows


def crc_info(files):
    """The CRC info put_release serves for `files`."""
    info = "Veltra release"
    for name, data in files.items():
        info += f";{name}\r\n{len(data)}\r\n"
        info += "".join(crc_text(data[o:o + PART]) + "\r\n" for o in range(0, len(data), PART))
    return info.encode()


def host_requests():
    return [r["target"].split("?")[0] for r in control("/host/requests", method="GET")]


def connections():
    return control("/host/counters", method="GET")["connections"]


def same_files(folder, files):
    return all((folder / LOCAL_NAMES[name]).read_bytes() == data for name, data in files.items())


def quiet_failure(program, exe, work, label, code, *extra, posted=True):
    """A quiet run that must fail with `code`: its log file's text."""
    control("/log/reset")
    log = work.parent / f"deploy_{label}.log"
    log.unlink(missing_ok=True)
    got, windows = watch(program, exe, "/quiet", "/log", wine_path(log), *extra)
    check(got == code, f"{label}: exit code {code} ({got})")
    check(not windows, f"{label}: no window ({windows})")
    text = log.read_text(errors="replace") if log.exists() else ""
    check("Not opened (unattended): https://" in text, f"{label}: log file written, no page opened")
    posts = control("/log/requests", method="GET")
    if posted:
        check(len(posts) == 1, f"{label}: log posted once ({len(posts)})")
    else:
        check(not posts and "not sent to the log service" in text,
              f"{label}: nothing posted, and the log says so")
    return text


def bad_options(program, exe, work):
    control("/host/reset")
    control("/log/reset")
    log = work.parent / "deploy_bad.log"
    log.unlink(missing_ok=True)
    code, windows = watch(program, exe, "/quiet", "/log", wine_path(log), "/Bogus")
    check(code == 1639 and not windows, f"bad option, quiet: 1639 and no window ({code}, {windows})")
    check("Unknown option: /Bogus" in log.read_text(errors="replace"), "bad option: said in the log")
    # Not quiet: the usage box, answered as a user would.
    closer = subprocess.Popen(["sh", "-c", f"sleep 4; for i in $(seq 60); do "
                               f"'{program.wine_run}' '{program.helper}' close '{CAPTION}' "
                               f">/dev/null 2>&1 && break; sleep 1; done"])
    code, windows = watch(program, exe, "-LAYOUT")
    closer.wait(timeout=120)
    check(code == 1639 and any(w.startswith("#32770|" + CAPTION) for w in windows),
          f"value missing: usage box, 1639 ({code}, {windows})")
    check(not host_requests() and not control("/log/requests", method="GET"),
          "bad options: nothing fetched, nothing posted")


def quiet_runs(program, exe, work, files, appdata):
    control("/host/reset")
    control("/log/reset")
    put_release(files)
    shutil.rmtree(appdata, ignore_errors=True)
    log = work.parent / "deploy_quiet.log"
    code, windows = watch(program, exe, "/QUIET", "/log", wine_path(log), "/setupargs",
                          f"/S /exit={SETUP_CODE}")
    check(not windows, f"quiet: no window at any moment ({windows})")
    check(code == SETUP_CODE, f"quiet: exit code is the setup's, whole ({code})")
    check((work / "setup-ran.txt").read_text().strip() == f"ran /S /exit={SETUP_CODE}",
          "quiet: setup started once, with the given arguments")
    check(same_files(work, files), "quiet: files identical")
    check(log.exists() and "Message: " in log.read_text(errors="replace"),
          "quiet: log file written in logfile.txt's layout")

    for name in list(LOCAL_NAMES.values()) + ["setup-ran.txt"]:
        (work / name).unlink(missing_ok=True)
    control("/host/reset")
    put_release({"Setup.exe": b"MZ" + bytes(1000)})
    for path in (f"/{SUBDIR}/{RELEASE}.txt", f"/{SUBDIR}/0_Setup.exe"):
        control("/host/fault", {"path": path, "status": 403, "body": "AuthenticationFailed"})
    text = quiet_failure(program, exe, work, "host_refused", 2001, "/noupload", posted=False)
    check("Maximum download attempts exceeded" in text, "host refused: the give-up in the log")

    control("/host/reset")
    put_release({"Setup.exe": b"MZ" + bytes(5000)})
    page = "<!DOCTYPE html><html><head><title>Guest Wi-Fi</title></head><body>Sign in</body></html>"
    control("/host/fault", {"path": f"/{SUBDIR}/0_Setup.exe", "status": 200, "body": page})
    shutil.rmtree(appdata, ignore_errors=True)
    quiet_failure(program, exe, work, "web_page", 2004)

    mount = Path(os.environ.get("VELTRA_TEST_FULL_MOUNT", "/nonexistent"))
    if not os.path.ismount(mount):
        print("skipped: no disk that fills up")
        return
    control("/host/reset")
    put_release(files)
    shutil.rmtree(appdata, ignore_errors=True)
    folder = mount / RELEASE
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir()
    appdata.parent.mkdir(parents=True, exist_ok=True)
    appdata.symlink_to(folder)
    try:
        quiet_failure(program, exe, work, "disk_full", 2003)
    finally:
        appdata.unlink()
        shutil.rmtree(folder, ignore_errors=True)


def passive_runs(program, exe, work, files, appdata):
    control("/host/reset")
    put_release(files)
    for name in list(LOCAL_NAMES.values()) + ["setup-ran.txt"]:
        (work / name).unlink(missing_ok=True)
    code, windows = watch(program, exe, "/passive", "/setupargs", "/exit=4")
    check(code == 4 and any(w.startswith("#32770|" + CAPTION) for w in windows),
          f"passive: the window showed, the exit code is the setup's ({code})")
    check(same_files(work, files), "passive: files identical")

    control("/host/reset")
    control("/log/reset")
    shutil.rmtree(appdata, ignore_errors=True)
    code, windows = watch(program, exe, "-Passive")
    check(code == 2010, f"passive, release withdrawn: exit code 2010 ({code})")
    check(any(w.startswith("#32770|" + CAPTION) for w in windows) and
          not any(w.startswith("#32770|Error") for w in windows),
          f"passive: the dialog showed, no box, and it closed by itself ({windows})")


def layout_runs(program, program_file, exe, work, files, appdata):
    control("/host/reset")
    control("/log/reset")
    put_release(files)
    shutil.rmtree(appdata, ignore_errors=True)
    layout = work.parent / "deploy_layout"
    (work / "setup-ran.txt").unlink(missing_ok=True)
    shutil.rmtree(layout, ignore_errors=True)
    log = work.parent / "deploy_layout.log"
    code, windows = watch(program, exe, "/quiet", "/layout", wine_path(layout), "/log",
                          wine_path(log))
    if code != 0:
        print(log.read_text(errors="replace")[-3000:])
    check(code == 0 and not windows, f"layout: made, exit code 0, no window ({code}, {windows})")
    check(same_files(layout, files), "layout: files identical")
    check((layout / f"{RELEASE}.txt").read_bytes() == crc_info(files),
          "layout: the host's CRC info beside the files")
    check((layout / exe.name).read_bytes() == Path(program_file).read_bytes(),
          "layout: the program beside its files")
    check(not (layout / "setup-ran.txt").exists() and not (work / "setup-ran.txt").exists(),
          "layout: nothing started")

    data = layout / LOCAL_NAMES["Data-1a.bin"]
    flipped = bytearray(data.read_bytes())
    flipped[PART + 5] ^= 0x40
    data.write_bytes(bytes(flipped))
    control("/host/reset")
    put_release(files)
    code, windows = watch(program, exe, "-quiet", "-layout", wine_path(layout))
    parts = [t for t in host_requests() if not t.endswith(".txt")]
    check(code == 0 and same_files(layout, files), f"layout repaired ({code})")
    check(parts == [f"/{SUBDIR}/1_Data-1a.bin"], f"layout repair fetched only that part ({parts})")

    # A reset listens again: first.
    control("/host/reset")
    control("/host/listen", {"listening": False})
    try:
        before = connections()
        code, windows = watch(program, layout / exe.name, "/quiet", "/setupargs", "/exit=3")
        check(code == 3 and not windows, f"from the layout: setup's code, no window ({code})")
        check((layout / "setup-ran.txt").read_text().strip() == "ran /exit=3",
              "from the layout: setup started in it")
        check(same_files(layout, files), "from the layout: layout unchanged")

        elsewhere = work.parent / "deploy_elsewhere"
        shutil.rmtree(elsewhere, ignore_errors=True)
        elsewhere.mkdir()
        shutil.copy(program_file, elsewhere / exe.name)
        code, windows = watch(program, elsewhere / exe.name, "/quiet", "/source", wine_path(layout))
        check(code == 0 and same_files(elsewhere, files) and (elsewhere / "setup-ran.txt").exists(),
              f"/source: files identical, setup started ({code})")
        check(connections() == before and not host_requests(),
              "installs from the layout: no connection, no request")

        data.write_bytes(bytes(flipped))
        shutil.rmtree(elsewhere, ignore_errors=True)
        elsewhere.mkdir()
        shutil.copy(program_file, elsewhere / exe.name)
        log = work.parent / "deploy_unreachable.log"
        code, windows = watch(program, elsewhere / exe.name, "/quiet", "/source",
                              wine_path(layout), "/log", wine_path(log))
        text = log.read_text(errors="replace")
        check(code == 2002 and not windows, f"wrong layout part, no host: network's code ({code})")
        check("1 left to the host" in text, "wrong layout part: the log names what was missing")
    finally:
        control("/host/listen", {"listening": True})
    shutil.rmtree(appdata, ignore_errors=True)


def main():
    wine_run, program_file, helper, work, prefix = sys.argv[1:6]
    work, exe, appdata = fresh_program_folder(program_file, work, prefix)
    program = Program(wine_run, helper, work)
    files = {"Setup.exe": Path(helper).read_bytes(),
             "Data-1a.bin": random.Random(32).randbytes(12_000_000)}
    cases = {
        "bad": lambda: bad_options(program, exe, work),
        "quiet": lambda: quiet_runs(program, exe, work, files, appdata),
        "passive": lambda: passive_runs(program, exe, work, files, appdata),
        "layout": lambda: layout_runs(program, program_file, exe, work, files, appdata),
    }
    for name in sys.argv[6:] or cases:
        cases[name]()


if __name__ == "__main__":
    main()
