#!/usr/bin/env python3
"""`publisher publish --setup-signers`: a release is published only when its
setup carries a signature the program built with those pins would accept,
and a refused release writes nothing.

Usage: publisher_signature_test.py PUBLISHER CODESIGN_DIR PE_FILE
(CODESIGN_DIR from scripts/codesign-ca.sh; PE_FILE any Windows program.)"""
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

PUBLISHER, CERTS, PE = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3])


def thumbprint(name):
    return subprocess.run(["openssl", "x509", "-in", str(CERTS / f"{name}.pem"),
                           "-noout", "-fingerprint", "-sha256"], check=True, capture_output=True,
                          text=True).stdout.split("=", 1)[1].strip()


class SetupSigners(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="publisher_signature."))
        # Both test CAs stand for the roots a user's Windows trusts.
        self.roots = self.work / "roots.pem"
        self.roots.write_bytes((CERTS / "ca.pem").read_bytes() +
                               (CERTS / "other-ca.pem").read_bytes())

    def tearDown(self):
        shutil.rmtree(self.work)

    def setup_signed_by(self, signer, tamper=False):
        release = self.work / f"{signer}{'-changed' if tamper else ''}"
        shutil.rmtree(release, ignore_errors=True)
        release.mkdir()
        (release / "Data.bin").write_bytes(b"data" * 1000)
        setup = release / "Setup.exe"
        subprocess.run(["osslsigncode", "sign", "-certs", str(CERTS / f"{signer}.pem"), "-key",
                        str(CERTS / f"{signer}.key"), "-h", "sha256", "-in", str(PE), "-out",
                        str(setup)], check=True, stdout=subprocess.DEVNULL)
        if tamper:
            data = bytearray(setup.read_bytes())
            data[len(data) // 3] ^= 1
            setup.write_bytes(data)
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
        cases = {
            "changed after signing": (self.setup_signed_by("signer", tamper=True),
                                      "does not hold"),
            "expired certificate": (self.setup_signed_by("expired-signer"), "expired"),
            "another certificate of the same CA": (self.setup_signed_by("second-signer"),
                                                   "is not pinned"),
            "another CA": (self.setup_signed_by("other-signer"), "is not pinned"),
            "untrusted root": (self.setup_signed_by("untrusted-signer"), "does not hold"),
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

    def test_pins_must_be_thumbprints(self):
        done, out = self.publish(self.setup_signed_by("signer"), thumbprint("signer")[:-3])
        self.assertEqual(done.returncode, 1)
        self.assertIn("--setup-signers", done.stderr)
        self.assertFalse(out.exists())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
