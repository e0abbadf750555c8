#!/usr/bin/env python3
"""`publisher publish --setup-signers`: a release is published only when its
setup carries a signature the program built with those pins would accept,
and a refused release writes nothing. A signature timestamped by a trusted
timestamp service (one of our own, openssl ts behind a loopback HTTP
server) outlives its certificate, as on Windows; one without does not.

Usage: publisher_signature_test.py PUBLISHER CODESIGN_DIR PE_FILE
(CODESIGN_DIR from scripts/codesign-ca.sh; PE_FILE any Windows program.)"""
import datetime
import http.server
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

import signedpe

PUBLISHER, CERTS, PE = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3])


def thumbprint(name):
    return subprocess.run(["openssl", "x509", "-in", str(CERTS / f"{name}.pem"),
                           "-noout", "-fingerprint", "-sha256"], check=True, capture_output=True,
                          text=True).stdout.split("=", 1)[1].strip()


class TimestampService(http.server.ThreadingHTTPServer):
    """An RFC 3161 timestamp service on loopback, answering with openssl ts."""

    def __init__(self, folder):
        super().__init__(("127.0.0.1", 0), TimestampHandler)
        self.folder = folder
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        str(folder / "tsa.key"), "-out", str(folder / "tsa.pem"), "-days", "2",
                        "-subj", "/CN=Test Timestamp Service", "-addext",
                        "extendedKeyUsage=critical,timeStamping"],
                       check=True, capture_output=True)
        (folder / "tsa.serial").write_text("01\n")
        (folder / "tsa.cnf").write_text(
            "[tsa]\ndefault_tsa = test\n[test]\n"
            f"serial = {folder / 'tsa.serial'}\nsigner_cert = {folder / 'tsa.pem'}\n"
            f"signer_key = {folder / 'tsa.key'}\nsigner_digest = sha256\n"
            "default_policy = 1.2.3.4.1\ndigests = sha256\naccuracy = secs:1\n"
            "ess_cert_id_alg = sha256\n")
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def url(self):
        return f"http://127.0.0.1:{self.server_address[1]}/"


class TimestampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        with tempfile.TemporaryDirectory() as scratch:
            Path(scratch, "query").write_bytes(query)
            subprocess.run(["openssl", "ts", "-reply", "-config",
                            str(self.server.folder / "tsa.cnf"), "-queryfile",
                            f"{scratch}/query", "-out", f"{scratch}/reply"],
                           check=True, capture_output=True)
            reply = Path(scratch, "reply").read_bytes()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


def short_lived_signer(folder, seconds):
    """A code-signing certificate of the test CA that expires in `seconds`."""
    (folder / "index.txt").write_text("")
    (folder / "ca.cnf").write_text(
        f"[ca]\ndefault_ca = test\n[test]\ndatabase = {folder / 'index.txt'}\n"
        f"new_certs_dir = {folder}\nrand_serial = yes\ndefault_md = sha256\npolicy = any\n"
        "unique_subject = no\n[any]\ncommonName = supplied\n[code_signing]\n"
        "basicConstraints = critical,CA:FALSE\nkeyUsage = critical,digitalSignature\n"
        "extendedKeyUsage = codeSigning\n")
    subprocess.run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout",
                    str(folder / "short.key"), "-out", str(folder / "short.csr"), "-subj",
                    "/CN=Short-lived Signer"], check=True, capture_output=True)
    now = datetime.datetime.now(datetime.timezone.utc)
    stamp = "%Y%m%d%H%M%SZ"
    subprocess.run(["openssl", "ca", "-batch", "-notext", "-config", str(folder / "ca.cnf"),
                    "-cert", str(CERTS / "ca.pem"), "-keyfile", str(CERTS / "ca.key"),
                    "-extensions", "code_signing", "-in", str(folder / "short.csr"), "-out",
                    str(folder / "short.pem"), "-startdate",
                    (now - datetime.timedelta(minutes=1)).strftime(stamp), "-enddate",
                    (now + datetime.timedelta(seconds=seconds)).strftime(stamp)],
                   check=True, capture_output=True)
    return now + datetime.timedelta(seconds=seconds)


class SetupSigners(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="publisher_signature."))
        # Both test CAs stand for the roots a user's Windows trusts.
        self.roots = self.work / "roots.pem"
        self.roots.write_bytes((CERTS / "ca.pem").read_bytes() +
                               (CERTS / "other-ca.pem").read_bytes())

    def tearDown(self):
        shutil.rmtree(self.work)

    def setup_signed_by(self, signer, tamper=False, certs=CERTS, timestamp=None, hide=False):
        release = self.work / (f"{signer}{'-changed' if tamper else ''}"
                               f"{'-ts' if timestamp else ''}{'-hidden' if hide else ''}")
        shutil.rmtree(release, ignore_errors=True)
        release.mkdir()
        (release / "Data.bin").write_bytes(b"data" * 1000)
        setup = release / "Setup.exe"
        subprocess.run(["osslsigncode", "sign", "-certs", str(certs / f"{signer}.pem"), "-key",
                        str(certs / f"{signer}.key"), "-h", "sha256",
                        *(["-ts", timestamp] if timestamp else []), "-in", str(PE), "-out",
                        str(setup)], check=True, stdout=subprocess.DEVNULL)
        if tamper:
            data = bytearray(setup.read_bytes())
            data[len(data) // 3] ^= 1
            setup.write_bytes(data)
        if hide:
            setup.write_bytes(signedpe.hide_in_table(setup.read_bytes(), 65536))
        return release

    def publish(self, release, pins):
        out = self.work / "out"
        shutil.rmtree(out, ignore_errors=True)
        done = subprocess.run([PUBLISHER, "publish", "--release", "Veltra_R1", "--subdir",
                               "veltra_r1", "--out", str(out), "--from", str(release),
                               "--setup-signers", pins, "--trusted-roots", str(self.roots)],
                              capture_output=True, text=True)
        return done, out

    def test_pinned_signers_publish(self):
        # The signing certificate itself, or its CA (colons as openssl prints them).
        for pins in (thumbprint("signer"), "0" * 64 + "," + thumbprint("ca")):
            done, out = self.publish(self.setup_signed_by("signer"), pins)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue((out / "veltra_r1" / "Veltra_R1.txt").exists())

    def test_refused_setups_publish_nothing(self):
        pins = thumbprint("signer") + "," + thumbprint("expired-signer")
        padding = signedpe.besides_signature(
            (self.setup_signed_by("signer") / "Setup.exe").read_bytes())
        cases = {
            "changed after signing": (self.setup_signed_by("signer", tamper=True),
                                      "does not hold"),
            "expired certificate": (self.setup_signed_by("expired-signer"), "expired"),
            "another certificate of the same CA": (self.setup_signed_by("second-signer"),
                                                   "is not pinned"),
            "another CA": (self.setup_signed_by("other-signer"), "is not pinned"),
            "untrusted root": (self.setup_signed_by("untrusted-signer"), "does not hold"),
            # osslsigncode's verification passes it: the digest leaves the table out.
            "data hidden in the certificate table": (
                self.setup_signed_by("signer", hide=True),
                "the certificate table holds %d bytes besides the signature" % (65536 + padding)),
        }
        for case, (release, said) in cases.items():
            with self.subTest(case):
                done, out = self.publish(release, pins)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn("the program would refuse to start this setup", done.stderr)
                self.assertIn(said, done.stderr)
                self.assertFalse(out.exists(), "nothing written")
        unsigned = self.work / "unsigned"
        unsigned.mkdir()
        shutil.copy(PE, unsigned / "Setup.exe")
        done, out = self.publish(unsigned, pins)
        self.assertIn("No signature found", done.stderr)
        self.assertFalse(out.exists())

    def test_timestamp_outlives_the_certificate(self):
        service = TimestampService(self.work)
        try:
            # Roots: the test CA and the timestamp service's own certificate.
            self.roots.write_bytes(self.roots.read_bytes() + (self.work / "tsa.pem").read_bytes())
            expiry = short_lived_signer(self.work, seconds=6)
            stamped = self.setup_signed_by("short", certs=self.work, timestamp=service.url())
            plain = self.setup_signed_by("short", certs=self.work)
            self.assertLess(datetime.datetime.now(datetime.timezone.utc), expiry,
                            "both signed while the certificate was valid")
            while datetime.datetime.now(datetime.timezone.utc) <= expiry:
                time.sleep(0.5)
            done, _ = self.publish(stamped, thumbprint("ca"))
            self.assertEqual(done.returncode, 0, done.stderr)
            done, out = self.publish(plain, thumbprint("ca"))
            self.assertEqual(done.returncode, 1, done.stderr)
            self.assertIn("expired", done.stderr)
            self.assertFalse(out.exists())
        finally:
            service.shutdown()
            service.server_close()

    def test_pins_must_be_thumbprints(self):
        done, out = self.publish(self.setup_signed_by("signer"), thumbprint("signer")[:-3])
        self.assertEqual(done.returncode, 1)
        self.assertIn("--setup-signers", done.stderr)
        self.assertFalse(out.exists())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
