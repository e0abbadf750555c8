#!/usr/bin/env python3
"""The publisher run as a maker runs it against a release that users are
downloading: a loopback blob host of our own (blobhost.py) that fails on
purpose, and a published folder a web server serves, watched while it is
replaced. A live release never changes under its users: an upload that
would change it is refused before it writes anything, a replacement takes
the CRC info down first, the CRC info goes up only over parts the host
holds, and a re-publish switches the folder in one step or not at all."""

import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from blobhost import BlobHost

PUBLISHER = sys.argv[1] if len(sys.argv) > 1 else "publisher"
SAS = "?sv=2021-08-06&sr=c&sig=SECRET%2Bsig"
KEY = "c2VjcmV0IGFjY291bnQga2V5"
PART = 10_000_000


def run(*args, stdin=None):
    result = subprocess.run([PUBLISHER, *map(str, args)], input=stdin, capture_output=True,
                            text=True, timeout=300)
    return result.returncode, result.stdout + result.stderr


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def listing(folder):
    found = {}
    for parent, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(parent, name)
            found[os.path.relpath(path, folder)] = os.readlink(path) if os.path.islink(path) \
                else read(path)
    return found


class Release:
    """A release folder and where it is published."""

    def __init__(self, root, name, subdir):
        self.name, self.subdir = name, subdir
        self.src = os.path.join(root, "src-" + subdir)
        self.out = os.path.join(root, "out-" + subdir)
        os.mkdir(self.src)
        write(os.path.join(self.src, "Setup.exe"), b"MZ" + os.urandom(1000))
        write(os.path.join(self.src, "data.bin"), os.urandom(2 * PART + 54321))

    def publish(self, *extra):
        return run("publish", "--release", self.name, "--subdir", self.subdir, "--out", self.out,
                   "--from", self.src, *extra)

    def crc_info(self):
        return os.path.join(self.out, self.subdir, self.name + ".txt")


class LiveReleaseOnABlobHost(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        self.host = BlobHost(SAS)

    def tearDown(self):
        self.host.stop()
        self.temp.cleanup()

    def upload(self, release, *extra):
        code, text = run("upload", "--dir", release.out, "--url", self.host.base, "--sas-file",
                         "-", "--plain-http-loopback", *extra, stdin=SAS)
        self.assertNotIn("SECRET", text)
        return code, text

    def verify(self, release):
        return run("verify", "--release", release.name, "--subdir", release.subdir, "--url",
                   self.host.base, "--sas-file", "-", "--plain-http-loopback", stdin=SAS)

    def container(self, name):
        code, text = run("container", "--account", "acct", "--container", name, "--url",
                         self.host.base, "--key-file", "-", "--plain-http-loopback", stdin=KEY)
        self.assertEqual(0, code, text)

    def test_a_live_release_never_changes_under_its_users(self):
        # A name that starts with digits and "_": its CRC info is no part.
        release = Release(self.temp.name, "2024_R1", "rel-live")
        code, text = release.publish()
        self.assertEqual(0, code, text)
        self.container("rel-live")
        code, text = self.upload(release)
        self.assertEqual(0, code, text)
        code, text = self.verify(release)
        self.assertEqual(0, code, text)
        first_crc_info = read(release.crc_info())

        # Version 2 under the same name, its part 2 refused by the host: the
        # upload refuses before it writes anything, the live release stays
        # whole.
        data = bytearray(read(os.path.join(release.src, "data.bin")))
        data[5] ^= 1
        data[PART + 5] ^= 1
        data[2 * PART + 5] ^= 1
        write(os.path.join(release.src, "data.bin"), bytes(data))
        code, text = release.publish("--replace")
        self.assertEqual(0, code, text)
        self.host.faults = {"/rel-live/2_data.bin": ["500"] * 20}
        self.host.requests.clear()
        code, text = self.upload(release)
        self.assertEqual(1, code, text)
        self.assertIn("new release name", text)
        self.assertEqual([], [r for r in self.host.requests if r[0] in ("PUT", "DELETE")])
        code, text = self.verify(release)
        self.assertEqual(0, code, "the live release is still whole: " + text)
        self.assertEqual(first_crc_info, self.host.blobs["/rel-live/2024_R1.txt"])

        # Replaced on purpose: the CRC info goes down before any part
        # changes, and stays down while a part fails.
        code, text = self.upload(release, "--replace")
        self.assertEqual(1, code, text)
        changes = [r for r in self.host.requests if r[0] in ("PUT", "DELETE")]
        self.assertEqual(("DELETE", "/rel-live/2024_R1.txt", 202), changes[0])
        self.assertIn("can no longer be downloaded", text)
        self.assertNotIn("/rel-live/2024_R1.txt", self.host.blobs)
        self.host.faults = {}
        code, text = self.upload(release, "--replace")
        self.assertEqual(0, code, text)
        self.assertEqual(read(release.crc_info()), self.host.blobs["/rel-live/2024_R1.txt"])
        code, text = self.verify(release)
        self.assertEqual(0, code, text)

    def test_crc_info_goes_up_only_over_parts_the_host_holds(self):
        release = Release(self.temp.name, "Rel_R2", "rel-two")
        code, text = release.publish()
        self.assertEqual(0, code, text)
        self.container("rel-two")

        # The host answers 201 for part 1 and loses it.
        self.host.faults = {"/rel-two/1_data.bin": ["lose"]}
        code, text = self.upload(release)
        self.assertEqual(1, code, text)
        self.assertIn("1_data.bin", text)
        self.assertNotIn("/rel-two/Rel_R2.txt", self.host.blobs)

        # The published folder lost a part its CRC info names: nothing is
        # asked of the host.
        os.unlink(os.path.join(release.out, "rel-two", "1_data.bin"))
        self.host.requests.clear()
        code, text = self.upload(release)
        self.assertEqual(1, code, text)
        self.assertIn("1_data.bin", text)
        self.assertEqual([], self.host.requests)
        self.assertNotIn("/rel-two/Rel_R2.txt", self.host.blobs)


class PublishedFolderServedByAWebServer(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        self.release = Release(self.temp.name, "Veltra_R1", "veltra-r1")
        code, text = self.release.publish()
        self.assertEqual(0, code, text)

    def tearDown(self):
        self.temp.cleanup()

    def verify_dir(self):
        return run("verify", "--release", self.release.name, "--subdir", self.release.subdir,
                   "--dir", self.release.out)

    def test_replacement_is_switched_in_at_once_or_not_at_all(self):
        release = self.release
        before = listing(release.out)
        code, text = release.publish()
        self.assertEqual(1, code, "a live release is not republished in place: " + text)
        self.assertIn("--replace", text)
        self.assertEqual(before, listing(release.out))

        # A reader of the CRC info, as a web server is, while it is replaced
        # with a bigger release: it is always there, old or new.
        write(os.path.join(release.src, "more.bin"), os.urandom(6 * PART))
        seen, missing, stop = set(), [], threading.Event()

        def watch():
            while not stop.is_set():
                try:
                    seen.add(read(release.crc_info()))
                except FileNotFoundError:
                    missing.append(time.time())

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            code, text = release.publish("--replace")
        finally:
            stop.set()
            watcher.join()
        self.assertEqual(0, code, text)
        self.assertEqual([], missing, "the CRC info was gone while the release was replaced")
        # The watcher may not have read again after the switch on a loaded
        # machine; what it read must still be the old or the new, whole.
        old_text, new_text = before["veltra-r1/Veltra_R1.txt"], read(release.crc_info())
        self.assertIn(old_text, seen)
        self.assertLessEqual(seen, {old_text, new_text})
        code, text = self.verify_dir()
        self.assertEqual(0, code, text)

        # A source rewritten in place while it is published: the publish
        # fails and the live release stays as it was.
        live = listing(release.out)
        big = os.path.join(release.src, "more.bin")
        os.truncate(big, 40 * PART)
        child = subprocess.Popen([PUBLISHER, "publish", "--release", release.name, "--subdir",
                                  release.subdir, "--out", release.out, "--from", release.src,
                                  "--replace"], stderr=subprocess.PIPE, text=True)
        staged = os.path.join(release.out, "veltra-r1.publish-tmp", "3_more.bin")
        while not os.path.exists(staged) and child.poll() is None:
            time.sleep(0.001)
        with open(big, "r+b") as f:
            f.write(b"rewritten")
        _, text = child.communicate(timeout=300)
        self.assertNotEqual(0, child.returncode, "a source that changed was published")
        self.assertIn("changed while the release was published", text)
        self.assertEqual(live, listing(release.out))

    def test_what_no_user_could_download_is_refused(self):
        release = self.release
        before = listing(release.out)
        empty = os.path.join(release.src, "empty.bin")
        write(empty, b"")
        code, text = release.publish("--replace")
        self.assertNotEqual(0, code, "an empty file, which the program never fetches")
        self.assertIn("empty", text)
        self.assertEqual(before, listing(release.out))
        os.unlink(empty)

        # A link in the source folder is not followed.
        secret = os.path.join(self.temp.name, "secret.txt")
        write(secret, b"not for the release")
        os.symlink(secret, os.path.join(release.src, "linked.bin"))
        code, text = release.publish("--replace")
        self.assertNotEqual(0, code, "a source that is a link")
        self.assertEqual(before, listing(release.out))
        os.unlink(os.path.join(release.src, "linked.bin"))

        # Links planted where the publisher writes: it writes through none.
        victim = os.path.join(self.temp.name, "victim.txt")
        write(victim, b"victim")
        victims = os.path.join(self.temp.name, "victims")
        os.mkdir(victims)
        write(os.path.join(victims, "keep.txt"), b"keep")
        fresh = Release(self.temp.name, "Veltra_R3", "veltra-r3")
        os.makedirs(os.path.join(fresh.out, "veltra-r3"))
        os.symlink(victim, os.path.join(fresh.out, "veltra-r3", "0_Setup.exe"))
        fresh.publish()
        self.assertEqual(b"victim", read(victim))
        os.unlink(os.path.join(fresh.out, "veltra-r3", "0_Setup.exe"))
        os.symlink(victims, os.path.join(fresh.out, "veltra-r3.publish-tmp"))
        code, text = fresh.publish()
        self.assertEqual(0, code, text)
        self.assertEqual(b"keep", read(os.path.join(victims, "keep.txt")))
        self.assertFalse(os.path.islink(os.path.join(fresh.out, "veltra-r3", "0_Setup.exe")))

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
