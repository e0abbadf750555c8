"""A fault-injecting relay in front of a real HTTPS download host (nginx).

It takes the program's HTTPS requests, passes each on to the host over a
kept-alive HTTPS connection of its own, and streams the answer back, unless
a fault is planned for that request of that object. Python standard library
only; it runs outside Wine, in the test's own process.

    relay = FaultRelay("127.0.18.5", "host5.s18.veltra.test", "host6.s18.veltra.test",
                       cert, key)
    relay.fault("/veltra_r1/3_Data.bin", {"reset_at": 4_000_000})   # its next request
    relay.fault("/veltra_r1/Veltra_R1.txt", {"body": b"..."}, nth=2) # the one after
    relay.always({"status": 503})                                   # every request

A fault (one of):
  reset_at N      send N body bytes, then reset the connection (RST)
  truncate_at N   announce the whole length, send N body bytes, close (FIN)
  flip N          the body byte at offset N inverted
  status S        answer S at once; the host is never asked
  stall_at N, stall_ms T   pause T ms after N body bytes, then go on
  redirect_http   302 to the same host and target over plain HTTP
  body B          this body instead of the host's (the host is asked)
  hold EVENT      wait for the threading.Event, then answer 503; the host is
                  never asked (a request kept waiting until the test is done)

A host that ends an answer before its announced length makes the relay drop
the client's connection, as the host's own would be. stop() closes the
listeners and every connection under way: a host that goes down.

The relay counts the body bytes it served and notes every request: path,
fault applied, bytes sent. It also listens on port 80 of its address and
notes any plain-HTTP request there (answering 404): a redirect to plain HTTP
followed by the client shows up as one, with the signature in clear text.
"""
import http.client
import socket
import ssl
import struct
import threading
import time


class FaultRelay:
    def __init__(self, address, host_name, upstream_name, cert, key, port=443, plain_port=80):
        self.address, self.host_name, self.upstream_name = address, host_name, upstream_name
        self.lock = threading.Lock()
        self.plans = {}          # path -> {request number: fault}
        self.every = None        # the fault of every request, before any planned
        self.clients = set()     # connections under way
        self.counts = {}         # path -> requests seen
        self.requests = []       # [path, fault or None, body bytes sent]
        self.plain_requests = []
        self.bytes_served = 0
        self.server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.server_context.load_cert_chain(cert, key)
        self.client_context = ssl.create_default_context()
        self.listener = socket.create_server((address, port), reuse_port=False, backlog=64)
        self.plain_listener = socket.create_server((address, plain_port), backlog=8)
        self.stopped = threading.Event()
        self.threads = [threading.Thread(target=self._accept, args=(self.listener, True),
                                         daemon=True),
                        threading.Thread(target=self._accept, args=(self.plain_listener, False),
                                         daemon=True)]
        for thread in self.threads:
            thread.start()

    def fault(self, path, fault, nth=1):
        """Plans `fault` for the `nth` request of `path` from now on (1: the
        next one)."""
        with self.lock:
            self.plans.setdefault(path, {})[self.counts.get(path, 0) + nth] = fault

    def always(self, fault):
        """`fault` for every request from now on; None ends it."""
        with self.lock:
            self.every = fault

    def served(self):
        with self.lock:
            return self.bytes_served

    def stop(self):
        self.stopped.set()
        for listener in (self.listener, self.plain_listener):
            # Wakes the accept under way, which would hold the address.
            try:
                listener.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            listener.close()
        with self.lock:
            clients = list(self.clients)
        for client in clients:
            try:
                client.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _accept(self, listener, secure):
        while not self.stopped.is_set():
            try:
                client, _ = listener.accept()
            except OSError:
                return
            target = self._serve if secure else self._serve_plain
            threading.Thread(target=target, args=(client,), daemon=True).start()

    def _serve_plain(self, client):
        with client:
            client.settimeout(10)
            head = _read_head(client.makefile("rb"))
            if head:
                with self.lock:
                    self.plain_requests.append(head[0].split(" ")[1].split("?")[0])
                client.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"
                               b"Connection: close\r\n\r\n")

    def _serve(self, raw):
        upstream = None
        try:
            raw.settimeout(300)
            with self.lock:
                self.clients.add(raw)
            if self.stopped.is_set():
                return
            client = self.server_context.wrap_socket(raw, server_side=True)
            reader = client.makefile("rb")
            while not self.stopped.is_set():
                head = _read_head(reader)
                if not head:
                    return
                method, target = head[0].split(" ")[:2]
                path = target.split("?")[0]
                with self.lock:
                    number = self.counts[path] = self.counts.get(path, 0) + 1
                    fault = self.every or self.plans.get(path, {}).pop(number, None)
                    record = [path, fault, 0]
                    self.requests.append(record)
                if fault and "hold" in fault:
                    # Waits for the test, then leaves without asking the host.
                    while not fault["hold"].wait(0.1):
                        if self.stopped.is_set():
                            return
                    _answer(client, 503, b"held")
                    return
                if fault and "status" in fault:
                    _answer(client, fault["status"], b"Service Unavailable")
                    continue
                if fault and "redirect_http" in fault:
                    location = "http://%s%s" % (self.host_name, target)
                    _answer(client, 302, b"", [("Location", location)])
                    continue
                if upstream is None:
                    upstream = http.client.HTTPSConnection(self.upstream_name, 443,
                                                           context=self.client_context,
                                                           timeout=60)
                headers = {"Host": self.upstream_name}
                for line in head[1:]:
                    name, _, value = line.partition(":")
                    if name.lower() in ("user-agent", "accept", "range"):
                        headers[name] = value.strip()
                upstream.request(method, target, headers=headers)
                answer = upstream.getresponse()
                if not self._relay_answer(client, answer, fault or {}, record):
                    return
        except (OSError, ssl.SSLError, http.client.HTTPException):
            return
        finally:
            if upstream is not None:
                upstream.close()
            with self.lock:
                self.clients.discard(raw)
            raw.close()

    def _relay_answer(self, client, answer, fault, record):
        """Streams the host's answer to the client with `fault` applied;
        False when the connection was ended on purpose."""
        body_override = fault.get("body")
        length = len(body_override) if body_override is not None else int(
            answer.getheader("Content-Length", "0"))
        head = "HTTP/1.1 %d %s\r\nContent-Length: %d\r\n" % (answer.status, answer.reason,
                                                              length)
        for name in ("Content-Type", "Last-Modified", "ETag"):
            if answer.getheader(name):
                head += "%s: %s\r\n" % (name, answer.getheader(name))
        client.sendall((head + "\r\n").encode("latin-1"))
        if body_override is not None:
            answer.read()
            self._send(client, body_override, record)
            return True
        cut = fault.get("reset_at", fault.get("truncate_at"))
        stall_at = fault.get("stall_at")
        flip = fault.get("flip")
        offset = 0
        while True:
            piece = answer.read(1 << 16)
            if not piece:
                # The host's connection ended before the whole body: the
                # client's ends too, or it would wait for the rest.
                return offset >= length
            if flip is not None and offset <= flip < offset + len(piece):
                piece = bytearray(piece)
                piece[flip - offset] ^= 0xFF
                piece = bytes(piece)
            if stall_at is not None and offset <= stall_at < offset + len(piece):
                split = stall_at - offset
                self._send(client, piece[:split], record)
                time.sleep(fault["stall_ms"] / 1000.0)
                piece = piece[split:]
                offset += split
                stall_at = None
            if cut is not None and offset + len(piece) >= cut:
                self._send(client, piece[:cut - offset], record)
                if "reset_at" in fault:
                    client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                      struct.pack("ii", 1, 0))
                    client.close()
                else:
                    client.shutdown(socket.SHUT_RDWR)
                return False
            self._send(client, piece, record)
            offset += len(piece)

    def _send(self, client, data, record):
        client.sendall(data)
        with self.lock:
            record[2] += len(data)
            self.bytes_served += len(data)


def _read_head(reader):
    lines = []
    while True:
        line = reader.readline(65536)
        if not line:
            return None
        line = line.decode("latin-1").rstrip("\r\n")
        if not line:
            return lines or None
        lines.append(line)


def _answer(client, status, body, headers=()):
    text = "HTTP/1.1 %d X\r\nContent-Length: %d\r\n" % (status, len(body))
    for name, value in headers:
        text += "%s: %s\r\n" % (name, value)
    client.sendall((text + "\r\n").encode("latin-1") + body)
