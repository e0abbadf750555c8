#!/usr/bin/env python3
"""The whole program under Wine, built to start only a setup signed by the
pinned signer, against a host that serves a CRC info matching whatever
setup it holds: someone who can write to the maker's storage.

The program file itself is signed by the test CA at build time:
`osslsigncode verify` accepts it, and it stays under 1,000,000 bytes.

Then, with the test CAs trusted in the prefix (the untrusted one never is):
the setup signed by the pinned certificate starts; a byte changed after
signing, an unsigned setup, a signer of another (trusted) CA, an expired
certificate (pinned, so only the chain refuses it), a chain to a root the
prefix does not trust (its root pinned, likewise), a chain that stops short
of any root, and a valid signature by a second certificate of the pinned CA
are each refused, and so is the pinned signer's setup with data hidden
inside its certificate table (Wine's WinVerifyTrust refuses bytes after the
table by itself, so that rule of the check is not shown here): the user is told plainly, the setup never
runs, the file stays, and the uploaded log names the file, the check that
failed and the signer; the real log service files that log under the setup
outcome, not as a close.

Usage: program_signature_test.py WINE_RUN PROGRAM HELPER WORK_DIR WINE_PREFIX CODESIGN_DIR
       [good|tampered|unsigned|other_ca|expired|untrusted|no_chain|second|hidden]...
Environment (from the test-host fixture): VELTRA_TEST_CONTROL_PORT;
VELTRA_LOGSERVICE: the log service's binary.
"""
import base64
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
sys.path.insert(0, str(Path(__file__).parent.parent / "tools"))
import logclient  # noqa: E402
import signedpe  # noqa: E402
from program_faults_test import Program, posted_log  # noqa: E402
from program_test import (CAPTION, check, control, fresh_program_folder,  # noqa: E402
                          put_release, wait_for)

REFUSED = ("The downloaded installer could not be verified, so it was not started.\r\nYou are "
           "now directed to our Support Center for help.")


def thumbprint(pem):
    out = subprocess.run(["openssl", "x509", "-in", str(pem), "-noout", "-fingerprint",
                          "-sha256"], check=True, capture_output=True, text=True).stdout
    return out.split("=", 1)[1].strip().replace(":", "")


def sign(source, certs, name, out, chain=None):
    """`chain`: a CA certificate the signature carries beside the signer's."""
    out.unlink(missing_ok=True)
    pem = certs / f"{name}.pem"
    if chain:
        pem = out.with_suffix(".chain.pem")
        pem.write_bytes((certs / f"{name}.pem").read_bytes() +
                        (certs / f"{chain}.pem").read_bytes())
    subprocess.run(["osslsigncode", "sign", "-certs", str(pem), "-key",
                    str(certs / f"{name}.key"), "-h", "sha256", "-in", str(source), "-out",
                    str(out)], check=True, stdout=subprocess.DEVNULL)
    return out.read_bytes()


def program_signed(program, certs):
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(certs / "ca.pem"), "-in",
                           str(program)], capture_output=True, text=True)
    check(done.returncode == 0 and "Signature verification: ok" in done.stdout,
          "the program file's signature verifies against the test CA")
    size = Path(program).stat().st_size
    check(size < 1_000_000, f"the signed program file stays small ({size} bytes)")


def setups(helper, certs, work):
    """The setup as each case serves it; the signer each case should name
    (None: no signer) and what the log must say failed."""
    out = work / "signed.exe"
    good = sign(helper, certs, "signer", out)
    # A byte in the middle of the code, away from the signature's own bytes.
    tampered = bytearray(good)
    tampered[len(helper.read_bytes()) // 2] ^= 0x01
    return {
        "good": (good, "signer", None),
        "tampered": (bytes(tampered), "signer", "TRUST_E_BAD_DIGEST"),
        "unsigned": (helper.read_bytes(), None, "TRUST_E_NOSIGNATURE"),
        "other_ca": (sign(helper, certs, "other-signer", out), "other-signer",
                     "no pinned certificate"),
        "expired": (sign(helper, certs, "expired-signer", out), "expired-signer",
                    "CERT_E_EXPIRED"),
        # The whole chain in the signature: only the root's trust is missing.
        "untrusted": (sign(helper, certs, "untrusted-signer", out, chain="untrusted-ca"),
                      "untrusted-signer", "CERT_E_UNTRUSTEDROOT"),
        # Without it the chain stops short; Wine's policy lets that pass, the
        # chain's own error bits do not (CERT_TRUST_IS_PARTIAL_CHAIN).
        "no_chain": (sign(helper, certs, "untrusted-signer", out), "untrusted-signer",
                     "error bits 0x00010000"),
        "second": (sign(helper, certs, "second-signer", out), "second-signer",
                   "no pinned certificate"),
        # The signature's digest leaves its table out: WinVerifyTrust passes it.
        "hidden": (signedpe.hide_in_table(good, 65536), "signer",
                   "the certificate table holds %d bytes besides the signature"
                   % (65536 + signedpe.besides_signature(good))),
    }


def start_clean(program, exe, work, appdata, setup):
    control("/host/reset")
    control("/log/reset")
    put_release({"Setup.exe": setup})
    shutil.rmtree(appdata, ignore_errors=True)
    for name in ("setup-ran.txt", "Setup_R1.exe", "logfile.txt"):
        (work / name).unlink(missing_ok=True)
    return program.start(exe)


def good_run(program, exe, work, appdata, setup):
    run = start_clean(program, exe, work, appdata, setup)
    check(run.wait(timeout=300) == 0, "good: the run ends by itself")
    check(wait_for((work / "setup-ran.txt").exists, 60), "good: the pinned signer's setup started")
    check(not appdata.exists(), "good: download folder removed")
    check(len(control("/log/requests", method="GET")) == 0, "good: no log posted")


def refused_run(program, exe, work, appdata, case, setup, signer, failure, certs):
    run = start_clean(program, exe, work, appdata, setup)
    text = program.answer_error(240)
    check(text == REFUSED, f"{case}: the user is told plainly ({text!r})")
    check(wait_for(lambda: "did not complete" in program.controls().get(1008, (0, ""))[1], 30),
          f"{case}: the window says the download did not complete")
    if case == "tampered":
        program.helper_run("shot", CAPTION, "program_unverified.bmp")
    closed = program.close_and_time()
    check(closed is not None and run.wait(timeout=60) == 0, f"{case}: closed, exit code 0")
    time.sleep(1)
    check(not (work / "setup-ran.txt").exists(), f"{case}: the setup never ran")
    check((work / "Setup_R1.exe").read_bytes() == setup, f"{case}: the setup file stays")
    posts = control("/log/requests", method="GET")
    check(len(posts) == 1, f"{case}: the log is uploaded")
    entries = [e for e in json.loads(posted_log(posts[0])) if "is not started" in json.dumps(e)]
    check(len(entries) == 1, f"{case}: the log names the refused setup once")
    entry = json.dumps(entries[0], ensure_ascii=False)
    check("Setup_R1.exe is not started" in entry and failure in entry,
          f"{case}: the log names the file and the check ({failure})")
    if signer:
        subject = subprocess.run(["openssl", "x509", "-in", str(certs / f"{signer}.pem"),
                                  "-noout", "-subject"], capture_output=True,
                                 text=True).stdout
        cn = subject.split("CN = ", 1)[1].split(",")[0].strip()
        check(cn in entry and thumbprint(certs / f"{signer}.pem") in entry,
              f"{case}: the log names the signer ({cn})")
    else:
        check("no signer" in entry, f"{case}: the log says there was no signer")
    check("users" not in entry.lower() and "\\\\" not in entry,
          f"{case}: no folder path in the entry")
    check(b"is not started" in (work / "logfile.txt").read_bytes(),
          f"{case}: logfile.txt names the refusal")
    return base64.b64decode(posts[0]["body"])


def filed_outcome(service, body):
    """The outcome the real log service files the program's upload under."""
    before = {run["id"] for run in service.api("/api/runs?limit=1000")[1]["runs"]}
    status, _ = service.upload(body)
    runs = [run for run in service.api("/api/runs?limit=1000")[1]["runs"]
            if run["id"] not in before]
    return runs[0]["outcome"] if status == 200 and len(runs) == 1 else f"status {status}"


def main():
    wine_run, program_file, helper, work, prefix, certs = sys.argv[1:7]
    certs = Path(certs)
    work, exe, appdata = fresh_program_folder(program_file, work, prefix)
    program = Program(wine_run, helper, work)
    program_signed(program_file, certs)
    for ca in ("ca", "other-ca"):
        wine_path = "Z:" + str(certs / f"{ca}.pem").replace("/", "\\")
        check(program.helper_run("trustroot", wine_path).returncode == 0,
              f"{ca} trusted in the test prefix")
    cases = setups(Path(helper), certs, work)
    selected = sys.argv[7:] or list(cases)
    state = work.parent / "program_signature_logservice"
    shutil.rmtree(state, ignore_errors=True)
    service = logclient.Service(os.environ["VELTRA_LOGSERVICE"], f"sqlite:{state / 'logs.db'}",
                                state).start()
    try:
        for case in selected:
            setup, signer, failure = cases[case]
            if failure is None:
                good_run(program, exe, work, appdata, setup)
                continue
            body = refused_run(program, exe, work, appdata, case, setup, signer, failure, certs)
            outcome = filed_outcome(service, body)
            check(outcome == "setup", f"{case}: the log service files the run as setup ({outcome})")
    finally:
        service.stop()


if __name__ == "__main__":
    main()
