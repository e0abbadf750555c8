#!/usr/bin/env python3
"""The whole chain through a real blob storage server: a release published
and uploaded with the publisher, served by Azurite with a read signature,
downloaded by the program under Wine, its log stored by the log service.

1. A user closes the window mid-download; the next start fetches only what
   is missing (Azurite's own record of the requests shows no finished part
   served again), merges, starts the setup once in the program folder and
   removes the download folder.
2. A program built with a wrong signature is refused (403) on everything:
   it gives up with the support message box, sends the user to the support
   page, and its log reaches the log service without the signature.

Usage: e2e_test.py --build BUILD --state STATE --subnet S --slot N
BUILD is the main build (publisher, wine-run.sh, apphelper, samplesetup);
the program is built for the test's host and signatures in BUILD/e2e/program.
"""
import argparse
import getpass
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import mainjob  # noqa: E402

RELEASE = "Veltra_R1"
SUBDIR = "veltra-e2e"
CODE = "R1"
# Fixed, so that the program build does not change from run to run.
SAS_EXPIRY = "2099-12-31"


def check(condition, message):
    if not condition:
        print("FAILED:", message)
        sys.exit(1)
    print("ok:", message)


def served(debug_log):
    """GET counts per object path that Azurite has served."""
    counts = {}
    for _, method, path in mainjob.served(debug_log):
        if method == "GET":
            counts[path] = counts.get(path, 0) + 1
    return counts


def error_number(name):
    text = (mainjob.ROOT / "base" / "errorcodes.h").read_text()
    return int(re.search(name + r"\s*=\s*(-?\d+)", text).group(1))


class Chain:
    def __init__(self, args):
        self.build = Path(args.build).resolve()
        self.state = Path(args.state).resolve()
        self.work = self.build / "test-artifacts" / "e2e"
        self.host = mainjob.blob_host(args.subnet, args.slot)
        self.subnet, self.slot = args.subnet, args.slot
        self.publisher = self.build / "native" / "publisher" / "publisher"
        self.wine_run = self.build / "wine-run.sh"
        self.apphelper = self.build / "tests" / "apphelper.exe"
        self.appdata = mainjob.appdata_folder(self.build / "wineprefix", RELEASE)
        self.support_url = f"https://host{args.slot}.s{args.subnet}.veltra.test/support/"
        self.debug_log = self.state / "private" / "azurite-debug.log"

    def publish(self):
        shutil.rmtree(self.work, ignore_errors=True)
        release = self.work / "release"
        release.mkdir(parents=True)
        data = os.urandom(6 * mainjob.PART)
        (release / "Data-1a.bin").write_bytes(data)
        (release / "Docs-1c.pdf").write_bytes(os.urandom(1_234_567))
        shutil.copy(self.build / "tools" / "samplesetup" / "samplesetup.exe",
                    release / "Setup.exe")
        published = self.work / "published"
        mainjob.publisher_run(self.publisher, "publish", "--release", RELEASE, "--subdir",
                              SUBDIR, "--out", published, "--from", release)
        mainjob.upload_release(self.publisher, published, self.host, SUBDIR)
        self.read_sas = mainjob.make_sas(self.publisher, SUBDIR, SAS_EXPIRY)
        return release

    def program(self, sas, name):
        """The program built for the test's host with this signature."""
        tree = self.build / "e2e" / "program"
        mainjob.configure_program(tree, {
            "VELTRA_RELEASE_NAME": RELEASE, "VELTRA_HOST_NAME": self.host,
            "VELTRA_DEFAULT_HOST": self.host, "VELTRA_DOWNLOAD_SUBDIR": SUBDIR,
            "VELTRA_PRODUCT_CODE": CODE, "VELTRA_SAS": sas, "VELTRA_BUILD_TESTS": "OFF",
            "VELTRA_LOG_SERVICE_URL": mainjob.log_service_url(self.subnet, self.slot),
            "VELTRA_SUPPORT_URL": self.support_url})
        mainjob.build_targets(tree, "program")
        copy = self.work / name
        shutil.copy(tree / "app" / f"{RELEASE}_web.exe", copy)
        return copy

    def stored_logs(self):
        """The log service's uploads, oldest first."""
        return list(reversed(mainjob.stored_runs(self.subnet, self.slot, self.state)))

    def records(self, run):
        return mainjob.log_service_api(self.subnet, self.slot, self.state,
                                       f"/api/runs/{run['id']}")["records"]

    def start(self, program, folder, shots=None):
        return mainjob.ProgramRun(self.wine_run, program, folder, RELEASE, self.apphelper, shots)


def resume_and_complete(chain, release, program):
    folder = chain.work / "program"
    shutil.rmtree(chain.appdata, ignore_errors=True)
    logs_before = len(chain.stored_logs())
    run = chain.start(program, folder)
    # Several parts are fetched at once and come in quickly from loopback:
    # the close follows the first part under way, so that it lands before
    # the file is whole.
    check(mainjob.wait_for(lambda: any(chain.appdata.glob("Data_R1-1a.binpart*.tmp")), 300,
                           step=0.02),
          "first part under way")
    check(run.close(), "window closed as a user would")
    check(run.wait(120) == 0, "program ended with code 0 after the close")
    kept = {p.name for p in chain.appdata.glob("Data_R1-1a.binpart*")
            if p.stat().st_size == mainjob.PART}
    check(len(kept) < 6, f"closed mid-download: {len(kept)} of 6 parts finished")
    check(not (folder / "Data_R1-1a.bin").exists(), "no final file from the unfinished download")
    logs = chain.stored_logs()
    check(len(logs) == logs_before + 1 and logs[-1]["outcome"] == "closed" and
          logs[-1]["release"] == RELEASE, "the closed run's log was stored, filed as closed")
    served_first = served(chain.debug_log)

    run = chain.start(program, folder)
    code = run.wait(900)
    check(code == 0, f"second start completed and ended with code 0 (was {code})")
    served_second = served(chain.debug_log)
    again = [f"{k}_Data-1a.bin" for k in range(6)
             if f"Data_R1-1a.binpart{k}" in kept and
             served_second.get(f"/{SUBDIR}/{k}_Data-1a.bin", 0) !=
             served_first.get(f"/{SUBDIR}/{k}_Data-1a.bin", 0)]
    check(not again, f"no finished part served again (served again: {again})")
    missing = [k for k in range(6) if f"Data_R1-1a.binpart{k}" not in kept and
               served_second.get(f"/{SUBDIR}/{k}_Data-1a.bin", 0) ==
               served_first.get(f"/{SUBDIR}/{k}_Data-1a.bin", 0)]
    check(not missing, "every unfinished part fetched by the second start")
    check(mainjob.check_final_files(release, folder, CODE) == [],
          "final files identical to the release's")
    record = folder / "Setup_R1.started.txt"
    check(mainjob.wait_for(record.exists, 60), "setup started")
    time.sleep(2)
    lines = record.read_text(encoding="utf-8").splitlines()
    check(len(lines) == 1 and lines[0].endswith(str(folder).replace("/", "\\")),
          f"setup started once, in the program folder ({lines})")
    check(not chain.appdata.exists(), "download folder removed")
    check(run.helper("close", "Veltra setup") == 0, "the setup's window closed")


def wrong_signature(chain, program):
    folder = chain.work / "refused"
    shutil.rmtree(chain.appdata, ignore_errors=True)
    logs_before = len(chain.stored_logs())
    # Wine hands web addresses to xdg-open; this one only notes them.
    opener = chain.work / "bin"
    opener.mkdir(exist_ok=True)
    opened = chain.work / "opened.txt"
    (opener / "xdg-open").write_text(f'#!/bin/sh\necho "$@" >> "{opened}"\n')
    (opener / "xdg-open").chmod(0o755)
    os.environ["PATH"] = f"{opener}:{os.environ['PATH']}"

    run = chain.start(program, folder, shots=chain.work / "screenshots")
    check(mainjob.wait_for(lambda: run.shot("Error", "support-message.bmp"), 600, step=1),
          "support message box shown")
    answer = subprocess.run([str(chain.wine_run), str(chain.apphelper), "answer"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
    check(answer.returncode == 0 and answer.stdout.decode("utf-8") ==
          "Downloading setup failed.\rYou are now directed to our Support Center for help.",
          "the user answers the support message")
    check(mainjob.wait_for(opened.exists, 60) and
          opened.read_text().strip() == chain.support_url, "support page opened")
    if run.wait(5) is None:
        check(run.close(), "window closed by the user")
    check(run.wait(120) == 0, "program ended with code 0")
    logs = chain.stored_logs()
    check(len(logs) == logs_before + 1, "log stored by the log service")
    check(logs[-1]["outcome"] == "gave_up" and logs[-1]["release"] == RELEASE,
          f"the dashboard shows the failed run as given up ({logs[-1]})")
    entries = chain.records(logs[-1])
    text = json.dumps(entries)
    numbers = {entry.get("error_number") for entry in entries}
    check(error_number("DL_MANAGER_MAX_ATTEMPTS_EXCEEDED") in numbers,
          "the log records the give-up")
    check("sig=" not in text.lower() and "?sv=" not in text, "no signature in the stored log")
    check(not re.search(r"users[\\\\/]+" + re.escape(getpass.getuser()), text, re.IGNORECASE),
          "no profile user name in the stored log")
    check(not [name for name in ("Data_R1-1a.bin", "Docs_R1-1c.pdf", "Setup_R1.exe")
               if (folder / name).exists()], "no file of the release beside the program")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--state", required=True)
    parser.add_argument("--subnet", type=int, required=True)
    parser.add_argument("--slot", type=int, required=True)
    chain = Chain(parser.parse_args())
    release = chain.publish()
    good = chain.program(chain.read_sas, "good.exe")
    # A well-formed signature that is not the right one.
    bad = chain.program(re.sub(r"sig=[^&]*", "sig=" + "A" * 43 + "%3D", chain.read_sas),
                        "wrong-signature.exe")
    resume_and_complete(chain, release, good)
    wrong_signature(chain, bad)


if __name__ == "__main__":
    main()
