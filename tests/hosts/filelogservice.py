#!/usr/bin/env python3
"""The first log service of the main job, replaced by tools/logservice and
kept for the comparison in bench/logservice_bench.py.

Takes the download manager's log, posted over HTTPS to
/Veltra/DownloadManager8.ashx as gzip of UTF-16LE JSON, and stores each
upload decompressed as indented UTF-8 JSON, one file per upload
(NNNN.json, numbered in order of arrival), in the store folder. Anything
that looks like an access signature is blanked before it is stored or
printed: a log must never carry one. Python standard library only.

Usage: filelogservice.py --address A --port P --cert PEM --key KEY --store DIR
       [--lifetime SECONDS]
Stops on SIGTERM, and by itself after --lifetime seconds (default 3600), so
that an interrupted run leaves nothing behind for long.
"""
import argparse
import gzip
import json
import re
import signal
import ssl
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

LOG_PATH = "/Veltra/DownloadManager8.ashx"
# The query of a signed address, or a signature on its own.
SIGNATURE = re.compile(r"(\?sv=[^\s\"']*|sig=[^&\s\"']*)", re.IGNORECASE)
MAX_BODY = 64 * 1024 * 1024


def blank_signatures(value):
    if isinstance(value, str):
        return SIGNATURE.sub("<signature removed>", value)
    if isinstance(value, list):
        return [blank_signatures(v) for v in value]
    if isinstance(value, dict):
        return {k: blank_signatures(v) for k, v in value.items()}
    return value


def decode_log(body):
    """The JSON value of one upload, or raises ValueError."""
    try:
        text = gzip.decompress(body).decode("utf-16-le")
    except (OSError, EOFError, UnicodeDecodeError) as error:
        raise ValueError(f"not a gzip of UTF-16LE text: {error}") from None
    try:
        return json.loads(text.lstrip("\ufeff"))
    except json.JSONDecodeError as error:
        raise ValueError(f"not JSON: {error}") from None


class Store:
    def __init__(self, folder):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.lock = threading.Lock()
        self.count = len(list(self.folder.glob("*.json")))

    def add(self, value):
        text = json.dumps(blank_signatures(value), indent=2, ensure_ascii=False) + "\n"
        with self.lock:
            self.count += 1
            path = self.folder / f"{self.count:04d}.json"
        # Written under a temporary name, so a reader never sees half a log.
        partial = path.with_suffix(".partial")
        partial.write_text(text, encoding="utf-8")
        partial.rename(path)
        return path


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VeltraLogService"

    def answer(self, status, text):
        body = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        if self.path.split("?")[0] != LOG_PATH or not 0 < length <= MAX_BODY:
            self.close_connection = True
            self.answer(404 if self.path.split("?")[0] != LOG_PATH else 400, "Not taken")
            return
        body = self.rfile.read(length)
        try:
            path = self.server.store.add(decode_log(body))
        except ValueError as error:
            print(f"logservice: upload of {length} bytes refused: {error}", flush=True)
            self.answer(400, "Bad log")
            return
        print(f"logservice: stored {path}", flush=True)
        self.answer(200, "OK")

    def do_GET(self):
        self.answer(404, "Not found")

    def log_message(self, *args):
        # Request lines carry addresses; only what was stored is printed.
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, default=8443)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--store", required=True)
    parser.add_argument("--lifetime", type=float, default=3600)
    args = parser.parse_args()

    server = ThreadingHTTPServer((args.address, args.port), Handler)
    server.daemon_threads = True
    server.store = Store(args.store)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)

    def stop(*_):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    timer = threading.Timer(args.lifetime, stop)
    timer.daemon = True
    timer.start()
    print(f"logservice: https://{args.address}:{args.port}{LOG_PATH} -> {args.store}", flush=True)
    server.serve_forever(poll_interval=0.1)
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
