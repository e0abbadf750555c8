#!/usr/bin/env python3
"""Secrets and signatures as the publisher and the main job handle them: no
secret on a command line other users see (the argument forms warn), no
secret file others may read, a write signature of one container that lives
hours, no signature in clear over plain HTTP, no date that does not exist.
"""

import datetime
import os
import stat
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import mainjob  # noqa: E402
from blobhost import BlobHost  # noqa: E402

PUBLISHER = sys.argv[1] if len(sys.argv) > 1 else "publisher"
KEY = mainjob.ACCOUNT_KEY
NGINX_SECRET = "nginx-secret-of-the-test"


def run(*args, stdin=None, env=None):
    result = subprocess.run([PUBLISHER, *map(str, args)], input=stdin, capture_output=True,
                            text=True, timeout=60, env=env)
    return result.returncode, result.stdout.strip(), result.stderr


class Secrets(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        self.work = Path(self.temp.name)

    def tearDown(self):
        self.temp.cleanup()

    def test_secrets_stay_off_command_lines_and_out_of_shared_files(self):
        sas = ("sas", "--account", "acct", "--container", "rel-one", "--expiry", "2099-01-01")
        # From standard input, a file of its owner's alone, the environment:
        # the same signature each time, no warning.
        code, from_stdin, err = run(*sas, "--key-file", "-", stdin=KEY + "\n")
        self.assertEqual(0, code, err)
        self.assertEqual("", err)
        key_file = self.work / "key"
        key_file.write_text(KEY)
        key_file.chmod(0o600)
        self.assertEqual((0, from_stdin, ""), run(*sas, "--key-file", key_file))
        env = dict(os.environ, VELTRA_ACCOUNT_KEY=KEY)
        self.assertEqual((0, from_stdin, ""), run(*sas, env=env))
        # On the command line: it works, and says who can see it.
        code, out, err = run(*sas, "--key", KEY)
        self.assertEqual((0, from_stdin), (code, out))
        self.assertIn("warning", err)
        # A secret file others may read is refused.
        key_file.chmod(0o644)
        code, out, err = run(*sas, "--key-file", key_file)
        self.assertNotEqual(0, code)
        self.assertIn("chmod 600", err)
        self.assertEqual("", out)

        # nginx-conf's file holds the secret: its owner's alone, written
        # through no link planted at its name.
        victim = self.work / "victim.conf"
        victim.write_text("victim")
        block = self.work / "server.conf"
        block.symlink_to(victim)
        code, _, err = run("nginx-conf", "--root", self.work / "www", "--server-name", "h.test",
                           "--cert", "c.pem", "--key", "k.pem", "--secret-file", "-", "--out",
                           block, stdin=NGINX_SECRET)
        self.assertEqual(0, code, err)
        self.assertEqual(0o600, stat.S_IMODE(block.lstat().st_mode))
        self.assertFalse(block.is_symlink())
        self.assertEqual("victim", victim.read_text())

    def test_the_main_job_passes_no_secret_on_a_command_line(self):
        # A stand-in publisher that records how it was called.
        calls = self.work / "calls"
        fake = self.work / "publisher"
        fake.write_text(f"#!/bin/sh\n{{ printf '%s\\n' \"$*\"; printf 'stdin: '; cat; echo; }} "
                        f">>'{calls}'\necho '?sv=x&sig=WRITESIGNATURE'\n")
        fake.chmod(0o755)
        mainjob.upload_release(fake, self.work / "published", "blob.test", "rel-one")
        mainjob.make_sas(fake, "rel-one", "2099-01-01")
        os.environ["VELTRA_TEST_CA_DIR"] = str(self.work)
        try:
            mainjob.serve_with_nginx(fake, self.work / "published", "h.test", "127.0.0.1",
                                     self.work / "state", "Rel_R1", "rel-one", 1)
        except subprocess.CalledProcessError:
            pass  # no nginx started for a stand-in's server block
        lines = calls.read_text().splitlines()
        arguments = [line for line in lines if not line.startswith("stdin: ")]
        self.assertGreaterEqual(len(arguments), 5, lines)
        for line in arguments:
            self.assertNotIn(KEY, line)
            self.assertNotIn("WRITESIGNATURE", line)
            self.assertNotIn("--secret ", line)
        self.assertTrue(any(KEY in line for line in lines if line.startswith("stdin: ")))

    def test_write_signature_covers_one_container_for_hours(self):
        code, out, err = run("sas", "--account", "acct", "--container", "rel-one", "--write",
                             "--key-file", "-", stdin=KEY)
        self.assertEqual(0, code, err)
        query = urllib.parse.parse_qs(out.lstrip("?"))
        self.assertEqual(["c"], query["sr"], "a service signature of the container")
        self.assertNotIn("ss", query, "no account signature")
        expiry = datetime.datetime.fromisoformat(query["se"][0].replace("Z", "+00:00"))
        hours = (expiry - datetime.datetime.now(datetime.timezone.utc)).total_seconds() / 3600
        self.assertTrue(1 < hours <= 8, hours)
        far = (datetime.date.today() + datetime.timedelta(days=30)).isoformat()
        code, out, err = run("sas", "--account", "acct", "--container", "rel-one", "--write",
                             "--expiry", far, "--key-file", "-", stdin=KEY)
        self.assertNotEqual(0, code, "a write signature for a month")
        self.assertEqual("", out)

    def test_signatures_travel_only_over_https(self):
        host = BlobHost("?sig=SECRET")
        try:
            out = self.work / "out"
            src = self.work / "Setup.exe"
            src.write_bytes(b"MZ")
            self.assertEqual(0, run("publish", "--release", "Rel_R1", "--subdir", "rel-one",
                                    "--out", out, src)[0])
            for command in (("upload", "--dir", out), ("verify", "--release", "Rel_R1",
                                                        "--subdir", "rel-one")):
                code, _, err = run(*command, "--url", host.base, "--sas-file", "-",
                                   stdin="?sig=SECRET")
                self.assertNotEqual(0, code, command)
                self.assertIn("https://", err)
            # The loopback allowance is for loopback only.
            code, _, err = run("upload", "--dir", out, "--url", "http://127.evil.test:80",
                               "--sas-file", "-", "--plain-http-loopback", stdin="?sig=SECRET")
            self.assertNotEqual(0, code)
            # Several destinations: each is checked before any gets a request,
            # and one signature (the environment's) is not sent to them all.
            sas_file = self.work / "write.sas"
            sas_file.write_text("?sig=SECRET")
            sas_file.chmod(0o600)
            two = ("upload", "--dir", out, "--url", host.base, "--url", "http://127.evil.test:80",
                   "--plain-http-loopback")
            code, _, err = run(*two, "--sas-file", sas_file, "--sas-file", sas_file)
            self.assertEqual(2, code, err)
            code, _, err = run(*two, env=dict(os.environ, VELTRA_SAS="?sig=SECRET"))
            self.assertIn("give each its own --sas-file", err)
            # One place named twice, in other spellings.
            code, _, err = run("upload", "--dir", out, "--url", host.base,
                               "--url", host.base + "/", "--sas-file", sas_file,
                               "--sas-file", sas_file, "--plain-http-loopback")
            self.assertEqual(2, code, err)
            self.assertIn("is named twice", err)
            self.assertEqual([], host.requests, "a signature went out in clear")
        finally:
            host.stop()

    def test_loopback_allowance_reads_the_host_the_request_goes_to(self):
        # A test host's name on an address of this subnet: not a loopback
        # address by its spelling, so plain http may not go there.
        subnet = os.environ.get("VELTRA_TEST_SUBNET", "13")
        host = BlobHost("?sig=SECRET", f"127.0.{subnet}.206")
        try:
            out = self.work / "out"
            src = self.work / "Setup.exe"
            src.write_bytes(b"MZ")
            self.assertEqual(0, run("publish", "--release", "Rel_R1", "--subdir", "rel-one",
                                    "--out", out, src)[0])
            port = host.server_address[1]
            target = f"untrusted6.s{subnet}.veltra.test:{port}"
            for url in (f"http://localhost:1@{target}/", f"http://127.0.0.1:1@{target}",
                        f"http://[::1]@{target}/"):
                for command in (("upload", "--dir", out),
                                ("verify", "--release", "Rel_R1", "--subdir", "rel-one"),
                                ("container", "--account", "acct", "--container", "rel-one",
                                 "--key-file", "-")):
                    code, _, err = run(*command, "--url", url, "--sas-file", "-",
                                       "--plain-http-loopback", stdin="?sig=SECRET") \
                        if command[0] != "container" else \
                        run(*command, "--url", url, "--plain-http-loopback", stdin=KEY)
                    self.assertNotEqual(0, code, (url, command))
                    self.assertIn(f"not \"untrusted6.s{subnet}.veltra.test\"", err)
            self.assertEqual([], host.requests, "a signature went out in clear")
        finally:
            host.stop()

    def test_secret_file_that_is_no_file_is_refused(self):
        # A FIFO nobody writes to would hold the publisher forever.
        fifo = self.work / "key"
        os.mkfifo(fifo, 0o600)
        code, out, err = run("sas", "--account", "acct", "--container", "rel-one",
                             "--expiry", "2030-01-01", "--key-file", fifo)
        self.assertNotEqual(0, code)
        self.assertEqual("", out)
        self.assertIn("not a regular file", err)

    def test_dates_that_do_not_exist_are_refused(self):
        def sas(*dates):
            return run("sas", "--account", "acct", "--container", "rel-one", "--key-file", "-",
                       *dates, stdin=KEY)

        def sig(*args):
            return run("nginx-sig", "--release", "Rel_R1", "--secret-file", "-", *args,
                       stdin=NGINX_SECRET)

        for refused in (sas("--expiry", "2030-13-45"), sas("--expiry", "2031-02-29"),
                        sas("--expiry", "2030-01-01T24:00:00Z"),
                        sas("--start", "2031-01-02", "--expiry", "2031-01-01"),
                        sig("--subdir", "rel-one", "--expiry", "2030-02-31"),
                        sig("--expiry", "2030-01-01")):
            self.assertNotEqual(0, refused[0], refused)
            self.assertEqual("", refused[1])
        self.assertEqual(0, sas("--expiry", "2032-02-29")[0], "a leap day exists")
        code, out, err = sig("--subdir", "rel-one", "--expiry", "2030-03-03")
        self.assertEqual(0, code, err)
        self.assertIn("se=1898726400&", out)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
