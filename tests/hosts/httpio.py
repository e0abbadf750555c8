"""Just enough HTTP/1.1 to read a request with its headers in the order they
arrived and to write answers byte by byte as a test asks for them."""

import http.client

MAX_LINE = 65536


class Request:
    def __init__(self, method, target, version, headers):
        self.method = method
        self.target = target
        self.version = version
        self.headers = headers  # [name, value] pairs in the order received

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    @property
    def path(self):
        return self.target.split("?", 1)[0]

    @property
    def keep_alive(self):
        connection = (self.header("Connection") or "").lower()
        if self.version == "HTTP/1.0":
            return connection == "keep-alive"
        return connection != "close"


def read_request(rfile):
    """The next request head on the connection, or None when the peer closed."""
    line = rfile.readline(MAX_LINE)
    while line in (b"\r\n", b"\n"):
        line = rfile.readline(MAX_LINE)
    if not line:
        return None
    parts = line.decode("latin-1").rstrip("\r\n").split(" ")
    if len(parts) != 3:
        raise ValueError("bad request line")
    headers = []
    while True:
        line = rfile.readline(MAX_LINE)
        if not line:
            raise ValueError("connection closed inside the headers")
        if line in (b"\r\n", b"\n"):
            break
        text = line.decode("latin-1").rstrip("\r\n")
        if text[:1] in (" ", "\t") and headers:
            headers[-1][1] += " " + text.strip()
            continue
        name, _, value = text.partition(":")
        headers.append([name, value.strip()])
    return Request(parts[0], parts[1], parts[2], headers)


def read_body(rfile, request, chunk_hook=None):
    """The request body (Content-Length or chunked). chunk_hook(bytes_so_far)
    is called after each piece so a test can stall in the middle."""
    body = bytearray()
    if (request.header("Transfer-Encoding") or "").lower() == "chunked":
        while True:
            size = int(rfile.readline(MAX_LINE).split(b";")[0].strip(), 16)
            if size == 0:
                while rfile.readline(MAX_LINE) not in (b"\r\n", b"\n", b""):
                    pass
                return bytes(body)
            body += _read_exactly(rfile, size)
            rfile.readline(MAX_LINE)
            if chunk_hook:
                chunk_hook(len(body))
    length = int(request.header("Content-Length") or 0)
    while len(body) < length:
        piece = rfile.read1(min(65536, length - len(body)))
        if not piece:
            raise ValueError("connection closed inside the body")
        body += piece
        if chunk_hook:
            chunk_hook(len(body))
    return bytes(body)


def _read_exactly(rfile, size):
    data = rfile.read(size)
    if len(data) != size:
        raise ValueError("connection closed inside a chunk")
    return data


def response_head(status, headers):
    reason = http.client.responses.get(status, "Status")
    lines = ["HTTP/1.1 %d %s" % (status, reason)]
    lines += ["%s: %s" % (name, value) for name, value in headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
