#!/usr/bin/env python3
"""Two releases with the same file names uploaded into one container of a
real blob storage server (Azurite, over HTTPS with the test CA): the second
may never overwrite the parts the first one's live CRC info names, with
--replace or without, and the refusal names the release that holds them.
A replace of a release by its own name still goes through.

Usage: blob_replace_test.py PUBLISHER AZURITE_DIR SUBNET
"""

import os
import socket
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
AZURITE = Path(sys.argv[2]) if len(sys.argv) > 2 else ROOT / "build" / "azurite"
SUBNET = sys.argv[3] if len(sys.argv) > 3 else "13"
CA_DIR = Path(os.environ.get("VELTRA_TEST_CA_DIR", "/var/lib/veltra-test-ca"))
# Slot 3's blob address: the test programs of slots 1 to 4 never use Azurite.
ADDRESS = f"127.0.{SUBNET}.53"
HOST = mainjob.blob_host(SUBNET, 3)
CONTAINER = "game"


def publisher(*args, stdin=None):
    result = subprocess.run([PUBLISHER, *map(str, args)], input=stdin, capture_output=True,
                            text=True, timeout=300)
    return result.returncode, result.stdout.strip(), result.stderr


class ReplaceInSharedContainer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        subprocess.run([ROOT / "scripts" / "services.sh", "install", AZURITE], check=True)
        cls.temp = tempfile.TemporaryDirectory()
        work = Path(cls.temp.name)
        with socket.socket() as probe:
            probe.bind((ADDRESS, 0))
            port = probe.getsockname()[1]
        cls.url = f"https://{HOST}:{port}"
        cls.azurite = subprocess.Popen(
            [AZURITE / "node_modules" / ".bin" / "azurite-blob", "--blobHost", ADDRESS,
             "--blobPort", str(port), "--cert", CA_DIR / "server.pem", "--key",
             CA_DIR / "server.key", "--location", work / "azurite", "--silent",
             "--disableTelemetry"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def listening():
            try:
                socket.create_connection((ADDRESS, port), 1).close()
                return True
            except OSError:
                return False
        if not mainjob.wait_for(listening, 60):
            cls.azurite.kill()
            raise RuntimeError("Azurite did not start")
        code, _, err = publisher("container", "--account", mainjob.ACCOUNT, "--key-file", "-",
                                 "--container", CONTAINER, "--url", cls.url,
                                 stdin=mainjob.ACCOUNT_KEY)
        assert code == 0, err
        cls.write_sas = mainjob.make_sas(PUBLISHER, CONTAINER, write=True)
        cls.read_sas = mainjob.make_sas(PUBLISHER, CONTAINER, mainjob.expiry_in(2))
        cls.work = work

    @classmethod
    def tearDownClass(cls):
        cls.azurite.terminate()
        cls.azurite.wait(30)
        cls.temp.cleanup()

    def published(self, name, release, seed):
        src = self.work / f"src-{name}"
        src.mkdir()
        (src / "Setup.exe").write_bytes(b"MZ" + bytes([seed]) * 3000)
        (src / "data.pak").write_bytes(os.urandom(1_500_000))
        out = self.work / f"out-{name}"
        code, _, err = publisher("publish", "--release", release, "--subdir", CONTAINER,
                                 "--out", out, "--from", src)
        self.assertEqual(0, code, err)
        return out

    def upload(self, out, *extra):
        return publisher("upload", "--dir", out, "--url", self.url, "--sas-file", "-", *extra,
                         stdin=self.write_sas)

    def verify(self, release):
        return publisher("verify", "--release", release, "--subdir", CONTAINER, "--url",
                         self.url, "--sas-file", "-", stdin=self.read_sas)

    def test_a_replace_touches_only_its_own_release(self):
        first = self.published("first", "Game_R1", 1)
        code, _, err = self.upload(first)
        self.assertEqual(0, code, err)

        # Another release, the same file names, the same folder.
        second = self.published("second", "Game_R2", 2)
        for extra in ((), ("--replace",)):
            code, _, err = self.upload(second, *extra)
            self.assertNotEqual(0, code, extra)
            self.assertIn("live release Game_R1", err, extra)
            self.assertNotIn("pass --replace", err, "advises what would break Game_R1")
            code, _, err = self.verify("Game_R1")
            self.assertEqual(0, code, f"Game_R1 broken after an upload {extra}: {err}")
        self.assertEqual(404, self.status(f"{CONTAINER}/Game_R2.txt"))

        # Game_R1 replaced by a new Game_R1: its own parts may change.
        again = self.published("again", "Game_R1", 3)
        code, _, err = self.upload(again)
        self.assertNotEqual(0, code, "a live release changed without --replace")
        code, _, err = self.upload(again, "--replace")
        self.assertEqual(0, code, err)
        code, _, err = self.verify("Game_R1")
        self.assertEqual(0, code, err)

    def status(self, path):
        probe = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                f"{self.url}/{path}{self.read_sas}"], capture_output=True,
                               text=True)
        return int(probe.stdout or 0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
