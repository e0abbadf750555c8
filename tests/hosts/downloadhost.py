"""The stand-in for the download host: serves objects over HTTPS (and plain
HTTP, to catch a client that follows a redirect there) and misbehaves
on request (status, truncation, reset, flipped bytes, stalls, changing bodies)."""

import base64
import os
import socket
import struct
import threading
import time

import httpio

# Large writes keep a 10,000,000-byte object to a handful of TLS writes.
WRITE_SIZE = 1 << 20


class Fault:
    """What to do to the next `count` requests of one object (all, if 0)."""

    def __init__(self, settings):
        self.count = int(settings.get("count", 0))
        self.status = int(settings.get("status", 0))
        self.headers = [list(h) for h in settings.get("headers", [])]
        self.body = _bytes_field(settings, "body")
        self.bodies = [base64.b64decode(b) for b in settings.get("bodies", [])]
        self.truncate_at = settings.get("truncate_at")
        self.reset_at = settings.get("reset_at")
        self.flip = [int(o) for o in settings.get("flip", [])]
        self.vary_offset = settings.get("vary_offset")
        self.stall_before_headers_ms = int(settings.get("stall_before_headers_ms", 0))
        self.stall_before_body_ms = int(settings.get("stall_before_body_ms", 0))
        self.stall_at = settings.get("stall_at")
        self.stall_ms = int(settings.get("stall_ms", 0))
        self.uses = 0


def _bytes_field(settings, name):
    if name + "_base64" in settings:
        return base64.b64decode(settings[name + "_base64"])
    if name in settings:
        return settings[name].encode("utf-8")
    return None


class DownloadHost:
    def __init__(self, root):
        self.root = root
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        with self.lock:
            self.objects = {}  # path -> bytes put through the control port
            self.aliases = {}  # path -> file name under root
            self.faults = {}
            self.requests = []
            self.bytes_sent = 0

    def put(self, path, data, file_name=None):
        with self.lock:
            if file_name:
                self.aliases[path] = file_name
                self.objects.pop(path, None)
            else:
                self.objects[path] = bytes(data)
                self.aliases.pop(path, None)

    def set_fault(self, path, settings):
        with self.lock:
            if len(settings) == 0:
                self.faults.pop(path, None)
            else:
                self.faults[path] = Fault(settings)

    def snapshot(self):
        with self.lock:
            return list(self.requests)

    def counters(self):
        with self.lock:
            return {"requests": len(self.requests), "bytes_sent": self.bytes_sent}

    def _load(self, path):
        if path in self.objects:
            return self.objects[path]
        name = self.aliases.get(path, path)
        full = os.path.realpath(os.path.join(self.root, name.lstrip("/")))
        if not full.startswith(os.path.realpath(self.root) + os.sep):
            return None
        try:
            with open(full, "rb") as f:
                return f.read()
        except OSError:
            return None

    def _take_fault(self, path):
        """The fault that applies to this request and its use number, or None."""
        with self.lock:
            fault = self.faults.get(path)
            if fault is None:
                return None, 0
            use = fault.uses
            fault.uses += 1
            if fault.count and fault.uses >= fault.count:
                del self.faults[path]
            return fault, use

    def handle(self, conn, peer, number, scheme="https"):
        rfile = conn.makefile("rb")
        while True:
            request = httpio.read_request(rfile)
            if request is None:
                return
            body = httpio.read_body(rfile, request)
            with self.lock:
                self.requests.append({
                    "method": request.method, "target": request.target,
                    "headers": request.headers, "body_length": len(body),
                    "connection": number, "scheme": scheme})
            if not self._answer(conn, request) or not request.keep_alive:
                # The reader holds a reference to the socket: release it so the
                # close that follows really closes (and resets, if asked).
                rfile.close()
                return

    def _answer(self, conn, request):
        """Sends one answer; False when the connection must not be reused."""
        path = request.path
        fault, use = self._take_fault(path)
        data = self._load(path)
        if fault is not None and fault.stall_before_headers_ms:
            time.sleep(fault.stall_before_headers_ms / 1000)
        if fault is not None and fault.status:
            body = fault.body or b""
            headers = fault.headers + [["Content-Length", str(len(body))],
                                       ["Content-Type", "text/plain"]]
            self._send(conn, httpio.response_head(fault.status, headers))
            if request.method != "HEAD":
                self._send(conn, body)
            return True
        if fault is not None and fault.bodies:
            data = fault.bodies[use % len(fault.bodies)]
        if data is None:
            body = b"Not found\n"
            self._send(conn, httpio.response_head(
                404, [["Content-Length", str(len(body))], ["Content-Type", "text/plain"]]))
            self._send(conn, body)
            return True
        if fault is not None and (fault.flip or fault.vary_offset is not None):
            data = bytearray(data)
            for offset in fault.flip:
                if offset < len(data):
                    data[offset] ^= 0xFF
            if fault.vary_offset is not None and fault.vary_offset < len(data):
                data[fault.vary_offset] ^= (use % 255) + 1
        end = len(data)
        cut = None
        if fault is not None:
            for name in ("truncate_at", "reset_at"):
                value = getattr(fault, name)
                if value is not None and value < end:
                    end, cut = int(value), name
        headers = [["Content-Length", str(len(data))],
                   ["Content-Type", "application/octet-stream"]]
        if fault is not None:
            headers += fault.headers
        if cut:
            headers.append(["Connection", "close"])
        self._send(conn, httpio.response_head(200, headers))
        if request.method == "HEAD":
            return True
        if fault is not None and fault.stall_before_body_ms:
            time.sleep(fault.stall_before_body_ms / 1000)
        view = memoryview(data)
        position = 0
        stall_at = fault.stall_at if fault is not None and fault.stall_ms else None
        while position < end:
            if stall_at is not None and position == stall_at:
                time.sleep(fault.stall_ms / 1000)
                stall_at = None
            stop = min(end, position + WRITE_SIZE)
            if stall_at is not None and position < stall_at < stop:
                stop = stall_at
            self._send(conn, view[position:stop])
            position = stop
        if cut == "reset_at":
            # Give the bytes before the reset time to reach the client; the
            # zero linger makes the close that follows send RST, not FIN.
            time.sleep(0.2)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return cut is None

    def _send(self, conn, data):
        conn.sendall(data)
        with self.lock:
            self.bytes_sent += len(data)
