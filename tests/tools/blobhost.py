"""A loopback blob host of the tests' own, plain HTTP on an ephemeral port,
that misbehaves on purpose: Put Blob, Get, Head and Delete Blob, Create
Container, List Blobs, each object's faults planned ahead (503, 500, a dropped
connection, a refusal, or an answer 201 for bytes it then loses)."""

import base64
import hashlib
import http.server
import threading
import urllib.parse
from xml.sax.saxutils import escape


class BlobHost(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, sas, address="127.0.0.1"):
        super().__init__((address, 0), BlobHandler)
        self.sas = sas
        self.lock = threading.Lock()
        self.blobs = {}          # path -> bytes
        self.containers = set()
        self.requests = []       # (method, path, status) in arrival order
        self.faults = {}         # path -> list of "503" | "500" | "drop" | "403" | "lose"
        self.bad_put = []        # puts without Content-MD5, blob type or the signature
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()

    @property
    def base(self):
        return "http://%s:%d" % self.server_address

    def puts(self):
        return [(path, status) for method, path, status in self.requests if method == "PUT"]

    def stop(self):
        self.shutdown()
        self.server_close()


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

    def record(self, path, status):
        with self.server.lock:
            self.server.requests.append((self.command, path, status))

    def missing(self, path):
        code = "BlobNotFound" if path.split("/")[1] in self.server.containers \
            else "ContainerNotFound"
        self.record(path, 404)
        self.answer(404, headers={"x-ms-error-code": code})

    def stored(self):
        """The path asked for and its blob; None (answered 404) when absent."""
        path, _ = self.split()
        with self.server.lock:
            blob = self.server.blobs.get(path)
        if blob is None:
            self.missing(path)
        else:
            self.record(path, 200)
        return blob

    def do_HEAD(self):
        blob = self.stored()
        if blob is not None:
            self.send_response(200)
            self.send_header("Content-Length", str(len(blob)))
            self.send_header("Content-MD5",
                             base64.b64encode(hashlib.md5(blob).digest()).decode())
            self.end_headers()

    def do_GET(self):
        path, query = self.split()
        if "comp=list" in query:
            return self.list_blobs(path.strip("/"))
        blob = self.stored()
        if blob is not None:
            self.answer(200, blob)

    def list_blobs(self, container):
        """List Blobs: every name in the container, in one page."""
        if container not in self.server.containers:
            return self.missing("/" + container)
        with self.server.lock:
            names = sorted(p[len(container) + 2:] for p in self.server.blobs
                           if p.startswith(f"/{container}/"))
        self.record("/" + container, 200)
        body = "".join(f"<Blob><Name>{escape(name)}</Name></Blob>" for name in names)
        self.answer(200, ('<?xml version="1.0" encoding="utf-8"?><EnumerationResults>'
                          f"<Blobs>{body}</Blobs><NextMarker /></EnumerationResults>").encode())

    def do_DELETE(self):
        path, _ = self.split()
        with self.server.lock:
            found = self.server.blobs.pop(path, None) is not None
        self.record(path, 202 if found else 404)
        self.answer(202 if found else 404)

    def do_PUT(self):
        path, query = self.split()
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        server = self.server
        with server.lock:
            if "restype=container" in query:
                status = 409 if path.strip("/") in server.containers else 201
                server.containers.add(path.strip("/"))
                server.requests.append(("PUT", path, status))
                return self.answer(status)
            fault = server.faults.get(path, [None]).pop(0) if server.faults.get(path) else None
            if fault is None and path.split("/")[1] not in server.containers:
                fault = "container"
            if fault in (None, "lose"):
                md5 = base64.b64encode(hashlib.md5(body).digest()).decode()
                if self.headers.get("Content-MD5") != md5 or \
                        self.headers.get("x-ms-blob-type") != "BlockBlob" or query != server.sas:
                    server.bad_put.append(path)
                if fault is None:
                    server.blobs[path] = body
            server.requests.append(("PUT", path, fault or 201))
        if fault == "drop":
            self.close_connection = True
            self.connection.shutdown(2)
        elif fault == "container":
            self.answer(404, headers={"x-ms-error-code": "ContainerNotFound"})
        elif fault and fault != "lose":
            self.answer(int(fault))
        else:
            self.answer(201)
