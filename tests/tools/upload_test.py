#!/usr/bin/env python3
"""The publisher's upload and live verify against a loopback blob host of
our own that misbehaves on purpose: a 503, a dropped connection, a missing
container, a part refused for good. Plain HTTP, allowed for loopback by
--plain-http-loopback; the real emulator is the end-to-end tests'
business."""

import os
import subprocess
import sys
import tempfile
import unittest

from blobhost import BlobHost

PUBLISHER = sys.argv[1] if len(sys.argv) > 1 else "publisher"
SAS = "?sv=2021-08-06&sig=SECRET%2Bsig"
KEY = "c2VjcmV0IGFjY291bnQga2V5"
PART = 10_000_000


def run(*args, stdin=None):
    result = subprocess.run([PUBLISHER, *args], input=stdin, capture_output=True, text=True,
                            timeout=300)
    return result.returncode, result.stdout + result.stderr


class UploadTest(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        src = os.path.join(self.temp.name, "src")
        os.mkdir(src)
        # A name with "#" and "%" goes up escaped, and is stored as named.
        self.files = {"Setup.exe": b"MZ" * 7, "data-one.bin": os.urandom(PART + 12345),
                      "data #2 100%.bin": b"odd name"}
        for name, data in self.files.items():
            with open(os.path.join(src, name), "wb") as f:
                f.write(data)
        self.out = os.path.join(self.temp.name, "out")
        code, text = run("publish", "--release", "Rel_R1", "--subdir", "rel-one",
                         "--out", self.out, "--from", src)
        self.assertEqual(0, code, text)
        self.host = BlobHost(SAS)

    def tearDown(self):
        self.host.stop()
        self.temp.cleanup()

    def upload(self):
        code, text = run("upload", "--dir", self.out, "--url", self.host.base, "--sas-file", "-",
                         "--jobs", "3", "--plain-http-loopback", stdin=SAS + "\n")
        self.assertNotIn("SECRET", text)
        return code, text

    def make_container(self):
        code, text = run("container", "--account", "acct", "--container", "rel-one", "--url",
                         self.host.base, "--key-file", "-", "--plain-http-loopback", stdin=KEY)
        self.assertEqual(0, code, text)

    def test_faults_retried_parts_first_then_skipped(self):
        # No container: nothing is put, and the maker is told to make it.
        code, text = self.upload()
        self.assertEqual(1, code, text)
        self.assertIn("container does not exist", text)
        self.assertEqual([], self.host.puts())
        self.make_container()
        self.host.requests.clear()

        self.host.faults = {"/rel-one/0_data-one.bin": ["503"], "/rel-one/1_data-one.bin": ["drop"]}
        code, text = self.upload()
        self.assertEqual(0, code, text)
        published = {}
        for folder, _, names in os.walk(self.out):
            for name in names:
                with open(os.path.join(folder, name), "rb") as f:
                    published["/" + os.path.relpath(os.path.join(folder, name), self.out)] = f.read()
        self.assertEqual(published, self.host.blobs)
        self.assertEqual([], self.host.bad_put, "Content-MD5, blob type and signature on each Put")
        self.assertIn(("/rel-one/0_data-one.bin", "503"), self.host.puts())
        self.assertIn(("/rel-one/1_data-one.bin", "drop"), self.host.puts())
        stored = [path for path, status in self.host.puts() if status == 201]
        self.assertEqual("/rel-one/Rel_R1.txt", stored[-1], "the CRC info last")
        self.assertEqual(1, [p for p, _ in self.host.puts()].count("/rel-one/Rel_R1.txt"))

        # Everything there with the same size and MD5: nothing is put again,
        # except the one object that the live CRC info names with the
        # published bytes, which the host has damaged.
        self.host.requests.clear()
        self.host.blobs["/rel-one/0_Setup.exe"] = b"other"
        code, text = self.upload()
        self.assertEqual(0, code, text)
        self.assertEqual([("/rel-one/0_Setup.exe", 201)], self.host.puts())

        # The live host against the CRC info: all there, then one part corrupt.
        verify = ("verify", "--release", "Rel_R1", "--subdir", "Rel-One", "--url", self.host.base,
                  "--sas", SAS, "--plain-http-loopback")
        code, text = run(*verify)
        self.assertEqual(0, code, text)
        blob = bytearray(self.host.blobs["/rel-one/1_data-one.bin"])
        blob[100] ^= 1
        self.host.blobs["/rel-one/1_data-one.bin"] = bytes(blob)
        code, text = run(*verify)
        self.assertEqual(1, code, text)
        self.assertIn("1_data-one.bin", text)
        self.assertNotIn("SECRET", text)

    def test_unfinished_publish_is_not_uploaded(self):
        # A count that is not wholly a number is refused, not read as "4".
        code, text = run("upload", "--dir", self.out, "--url", self.host.base, "--sas-file", "-",
                         "--jobs", "4x", "--plain-http-loopback", stdin=SAS)
        self.assertEqual(2, code, text)
        os.unlink(os.path.join(self.out, "rel-one", "Rel_R1.txt"))
        code, text = self.upload()
        self.assertEqual(1, code, text)
        self.assertEqual([], self.host.requests)

    def test_part_refused_keeps_crc_info_back(self):
        self.host.containers.add("rel-one")
        self.host.faults = {"/rel-one/1_data-one.bin": ["403"] * 10}
        code, text = self.upload()
        self.assertEqual(1, code, text)
        self.assertIn("1_data-one.bin", text)
        self.assertNotIn("/rel-one/Rel_R1.txt", [path for path, _ in self.host.puts()])

        # Two destinations: the one that refuses is named in every line about
        # it and gets no CRC info; the other gets the release whole.
        mirror = BlobHost(SAS)
        self.addCleanup(mirror.stop)
        mirror.containers.add("rel-one")
        with tempfile.NamedTemporaryFile("w") as sas:
            sas.write(SAS)
            sas.flush()
            code, text = run("upload", "--dir", self.out, "--url", self.host.base, "--sas-file",
                             sas.name, "--url", mirror.base, "--sas-file", sas.name,
                             "--plain-http-loopback")
        self.assertEqual(1, code, text)
        self.assertIn(f"upload: {self.host.base}: rel-one/1_data-one.bin: answered 403", text)
        self.assertIn(f"upload: {self.host.base}: NOT complete", text)
        self.assertIn(f"upload: {mirror.base}: complete: 4 parts", text)
        self.assertIn("upload: complete on 1 of 2 destinations", text)
        self.assertIn(("/rel-one/Rel_R1.txt", 201), mirror.puts())
        self.assertNotIn("/rel-one/Rel_R1.txt", [path for path, _ in self.host.puts()])
        self.assertNotIn("SECRET", text)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
