#!/usr/bin/env python3
"""The publisher's upload and live verify against a loopback blob host of
our own that misbehaves on purpose: a 503, a dropped connection, a missing
container, a part refused for good. Plain HTTP; the real emulator is the
end-to-end tests' business."""

import base64
import hashlib
import http.server
import os
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.parse

PUBLISHER = sys.argv[1] if len(sys.argv) > 1 else "publisher"
SAS = "?sv=2021-08-06&sig=SECRET%2Bsig"
PART = 10_000_000


class BlobHost(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), BlobHandler)
        self.lock = threading.Lock()
        self.blobs = {}          # path -> bytes
        self.containers = set()
        self.puts = []           # (path, status) in arrival order
        self.faults = {}         # path -> list of "503" | "drop" | "403" for the next PUTs
        self.bad_md5 = []

    @property
    def base(self):
        return "http://127.0.0.1:%d" % self.server_address[1]


class BlobHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body=b"", headers=None):
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def split(self):
        # Blob names as the service stores them: unescaped.
        path, _, query = self.path.partition("?")
        return urllib.parse.unquote(path), "?" + query

    def do_HEAD(self):
        path, _ = self.split()
        with self.server.lock:
            blob = self.server.blobs.get(path)
        if blob is None:
            self.answer(404, headers={"x-ms-error-code": "BlobNotFound"})
        else:
            self.send_response(200)
            self.send_header("Content-Length", str(len(blob)))
            self.send_header("Content-MD5", base64.b64encode(hashlib.md5(blob).digest()).decode())
            self.end_headers()

    def do_GET(self):
        path, _ = self.split()
        with self.server.lock:
            blob = self.server.blobs.get(path)
        self.answer(404) if blob is None else self.answer(200, blob)

    def do_PUT(self):
        path, query = self.split()
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        server = self.server
        with server.lock:
            if "restype=container" in query:
                server.containers.add(path.strip("/"))
                return self.answer(201)
            fault = server.faults.get(path, [None]).pop(0) if server.faults.get(path) else None
            if fault is None and path.split("/")[1] not in server.containers:
                fault = "container"
            if fault is None:
                md5 = base64.b64encode(hashlib.md5(body).digest()).decode()
                if self.headers.get("Content-MD5") != md5 or \
                        self.headers.get("x-ms-blob-type") != "BlockBlob" or query != SAS:
                    server.bad_md5.append(path)
                server.blobs[path] = body
            server.puts.append((path, fault or 201))
        if fault == "drop":
            self.close_connection = True
            self.connection.shutdown(2)
        elif fault == "container":
            self.answer(404, headers={"x-ms-error-code": "ContainerNotFound"})
        elif fault:
            self.answer(int(fault))
        else:
            self.answer(201)


def run(*args):
    result = subprocess.run([PUBLISHER, *args], capture_output=True, text=True, timeout=300)
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
        self.host = BlobHost()
        threading.Thread(target=self.host.serve_forever, daemon=True).start()

    def tearDown(self):
        self.host.shutdown()
        self.host.server_close()
        self.temp.cleanup()

    def upload(self):
        code, text = run("upload", "--dir", self.out, "--url", self.host.base, "--sas", SAS,
                         "--jobs", "3")
        self.assertNotIn("SECRET", text)
        return code, text

    def test_faults_retried_parts_first_then_skipped(self):
        self.host.faults = {"/rel-one/0_data-one.bin": ["503"], "/rel-one/1_data-one.bin": ["drop"]}
        code, text = self.upload()
        self.assertEqual(0, code, text)
        published = {}
        for folder, _, names in os.walk(self.out):
            for name in names:
                with open(os.path.join(folder, name), "rb") as f:
                    published["/" + os.path.relpath(os.path.join(folder, name), self.out)] = f.read()
        self.assertEqual(published, self.host.blobs)
        self.assertEqual([], self.host.bad_md5, "Content-MD5, blob type and signature on each Put")
        self.assertIn(("/rel-one/0_data-one.bin", "503"), self.host.puts)
        self.assertIn(("/rel-one/1_data-one.bin", "drop"), self.host.puts)
        stored = [path for path, status in self.host.puts if status == 201]
        self.assertEqual("/rel-one/Rel_R1.txt", stored[-1], "the CRC info last")
        self.assertEqual(1, [p for p, _ in self.host.puts].count("/rel-one/Rel_R1.txt"))

        # Everything there with the same size and MD5: nothing is put again,
        # except the one object that differs.
        self.host.puts.clear()
        self.host.blobs["/rel-one/0_Setup.exe"] = b"other"
        code, text = self.upload()
        self.assertEqual(0, code, text)
        self.assertEqual([("/rel-one/0_Setup.exe", 201)], self.host.puts)

        # The live host against the CRC info: all there, then one part corrupt.
        verify = ("verify", "--release", "Rel_R1", "--subdir", "Rel-One", "--url", self.host.base,
                  "--sas", SAS)
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
        os.unlink(os.path.join(self.out, "rel-one", "Rel_R1.txt"))
        code, text = self.upload()
        self.assertEqual(1, code, text)
        self.assertEqual([], self.host.puts)

    def test_part_refused_keeps_crc_info_back(self):
        self.host.containers.add("rel-one")
        self.host.faults = {"/rel-one/1_data-one.bin": ["403"] * 10}
        code, text = self.upload()
        self.assertEqual(1, code, text)
        self.assertIn("1_data-one.bin", text)
        self.assertNotIn("/rel-one/Rel_R1.txt", [path for path, _ in self.host.puts])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
