#!/usr/bin/env python3
"""Two releases with the same file names uploaded into one container of a
real blob storage server (Azurite, over HTTPS with the test CA): the second
may never overwrite the parts the first one's live CRC info names, with
--replace or without, and the refusal names the release that holds them.
A replace of a release by its own name still goes through.
One release on several hosts: two blob services (two Azurites) and an nginx
serving the published folder, each checked by one verify; damage on one is
named with its host.

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
NGINX_HOST = mainjob.nginx_host(SUBNET, 3)


def free_port(address):
    with socket.socket() as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


def start_azurite(location):
    """An Azurite of its own in `location`, over HTTPS; (process, url)."""
    port = free_port(ADDRESS)
    azurite = subprocess.Popen(
        [AZURITE / "node_modules" / ".bin" / "azurite-blob", "--blobHost", ADDRESS,
         "--blobPort", str(port), "--cert", CA_DIR / "server.pem", "--key",
         CA_DIR / "server.key", "--location", location, "--silent", "--disableTelemetry"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def listening():
        try:
            socket.create_connection((ADDRESS, port), 1).close()
            return True
        except OSError:
            return False
    if not mainjob.wait_for(listening, 60):
        azurite.kill()
        raise RuntimeError("Azurite did not start")
    return azurite, f"https://{HOST}:{port}"


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
        # nginx's workers run as an unprivileged user, who must reach the files.
        work.chmod(0o755)
        cls.azurite, cls.url = start_azurite(work / "azurite")
        cls.container(cls.url, CONTAINER)
        cls.write_sas = mainjob.make_sas(PUBLISHER, CONTAINER, write=True)
        cls.read_sas = mainjob.make_sas(PUBLISHER, CONTAINER, mainjob.expiry_in(2))
        cls.work = work

    @staticmethod
    def container(url, name):
        code, _, err = publisher("container", "--account", mainjob.ACCOUNT, "--key-file", "-",
                                 "--container", name, "--url", url, stdin=mainjob.ACCOUNT_KEY)
        assert code == 0, err

    @classmethod
    def tearDownClass(cls):
        cls.azurite.terminate()
        cls.azurite.wait(30)
        cls.temp.cleanup()

    def published(self, name, release, seed, subdir=CONTAINER):
        src = self.work / f"src-{name}"
        src.mkdir()
        (src / "Setup.exe").write_bytes(b"MZ" + bytes([seed]) * 3000)
        (src / "data.pak").write_bytes(os.urandom(1_500_000))
        out = self.work / f"out-{name}"
        code, _, err = publisher("publish", "--release", release, "--subdir", subdir,
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

    def status(self, path, url=None, sas=None):
        probe = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                f"{url or self.url}/{path}{sas or self.read_sas}"],
                               capture_output=True, text=True)
        return int(probe.stdout or 0)

    def secret_file(self, name, value):
        path = self.work / "private" / name
        path.parent.mkdir(mode=0o700, exist_ok=True)
        path.write_text(value)
        path.chmod(0o600)
        return path

    def test_one_release_on_two_blob_services_and_nginx(self):
        spread = "spread"
        www = self.published("spread", "Spread_R1", 4, spread)
        mirror, mirror_url = start_azurite(self.work / "azurite-mirror")
        self.addCleanup(mirror.wait, 30)
        self.addCleanup(mirror.terminate)
        write = self.secret_file("write.sas", mainjob.make_sas(PUBLISHER, spread, write=True))
        read = self.secret_file("read.sas",
                                mainjob.make_sas(PUBLISHER, spread, mainjob.expiry_in(2)))
        upload = ["upload", "--dir", www, "--url", self.url, "--sas-file", write,
                  "--url", mirror_url, "--sas-file", write]

        # The mirror lacks the container: neither destination gets a byte.
        self.container(self.url, spread)
        code, _, err = publisher(*upload)
        self.assertEqual(1, code, err)
        self.assertIn(f"nothing was uploaded to any destination: {mirror_url} ", err)
        self.assertEqual(404, self.status(f"{spread}/0_data.pak", self.url, read.read_text()))
        self.container(mirror_url, spread)
        code, _, err = publisher(*upload)
        self.assertEqual(0, code, err)
        self.assertIn("complete on 2 of 2 destinations", err)

        # nginx serves the same published folder as the third host.
        secret = "blob-replace-secret-0123"
        block = self.work / "private" / "nginx.conf"
        address = f"127.0.{SUBNET}.3"
        port = free_port(address)
        nginx_url = f"https://{NGINX_HOST}:{port}"
        publisher("nginx-conf", "--root", www, "--server-name", NGINX_HOST, "--listen",
                  f"{address}:{port}", "--cert", CA_DIR / "server.pem", "--key",
                  CA_DIR / "server.key", "--secret-file", "-", "--out", block, stdin=secret)
        nginx_state = self.work / "nginx"
        subprocess.run([ROOT / "scripts" / "nginx.sh", "start", nginx_state, block], check=True)
        self.addCleanup(subprocess.run, [ROOT / "scripts" / "nginx.sh", "stop", nginx_state])
        _, sig, _ = publisher("nginx-sig", "--release", "Spread_R1", "--subdir", spread,
                              "--secret-file", "-", "--expiry", "2099-01-01", stdin=secret)
        nginx_sig = self.secret_file("nginx.sig", sig)
        verify = ["verify", "--release", "Spread_R1", "--subdir", spread, "--dir", www,
                  "--url", self.url, "--sas-file", read, "--url", mirror_url, "--sas-file", read,
                  "--url", nginx_url, "--sas-file", nginx_sig]
        code, _, err = publisher(*verify)
        self.assertEqual(0, code, err)

        # Other bytes of the same size in one part on the mirror.
        damaged = f"{spread}/0_data.pak"
        subprocess.run(["curl", "-sf", "-X", "PUT", "-H", "x-ms-blob-type: BlockBlob",
                        "--data-binary", "@-", f"{mirror_url}/{damaged}{write.read_text()}"],
                       input=os.urandom(1_500_000), check=True, stdout=subprocess.DEVNULL)
        code, _, err = publisher(*verify)
        self.assertEqual(1, code, err)
        lines = [line for line in err.splitlines() if ": /" in line]
        self.assertEqual([f"verify: {mirror_url}: /{damaged}: its CRC-32 differs from the CRC "
                          "info's"], lines, err)
        self.assertIn(f"hosts that differ from the published folder: {mirror_url}\n", err)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
