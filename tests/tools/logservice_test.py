#!/usr/bin/env python3
"""The main job's log service (tools/logservice) as the program meets it:
a gzip of UTF-16LE JSON that names a signed address is stored as readable
UTF-8 JSON without the signature; a body that is no such log is refused
and stores nothing; logs arriving at once get a file each.

Usage: logservice_test.py CERT KEY WORK_DIR
"""
import gzip
import json
import shutil
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

SERVICE = Path(__file__).resolve().parents[2] / "tools" / "logservice" / "logservice.py"
PATH = "/Veltra/DownloadManager8.ashx"


def check(condition, message):
    if not condition:
        print("FAILED:", message)
        sys.exit(1)
    print("ok:", message)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def post(port, body):
    context = ssl.create_default_context()
    # The certificate names the test hosts, not 127.0.0.1.
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    request = urllib.request.Request(f"https://127.0.0.1:{port}{PATH}", data=body, method="POST",
                                     headers={"Content-Type": "application/octet-stream"})
    try:
        with urllib.request.urlopen(request, context=context, timeout=30) as answer:
            return answer.status
    except urllib.error.HTTPError as error:
        return error.code


def main():
    cert, key, work = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    shutil.rmtree(work, ignore_errors=True)
    store = work / "logs"
    port = free_port()
    service = subprocess.Popen([sys.executable, str(SERVICE), "--address", "127.0.0.1",
                                "--port", str(port), "--cert", cert, "--key", key,
                                "--store", str(store)], stdout=subprocess.PIPE, text=True)
    try:
        deadline = time.time() + 30
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), 1).close()
                break
            except OSError:
                time.sleep(0.1)
        entries = [{"message": "Opening connection: h/r/0_Data.bin?sv=2021-08-06&sig=SECRET%3D",
                    "error_number": 12029},
                   {"message": "Ä ö – ünïcode", "error_number": 0}]
        body = gzip.compress(json.dumps(entries).encode("utf-16-le"))
        check(post(port, body) == 200, "log taken")
        stored = sorted(store.glob("*.json"))
        check(len(stored) == 1, "one file for one upload")
        text = stored[0].read_text(encoding="utf-8")
        check("SECRET" not in text and "sig=" not in text, "signature not stored")
        value = json.loads(text)
        check(value[1] == entries[1] and value[0]["error_number"] == 12029,
              "stored as the JSON that was sent, in UTF-8")
        check(text.startswith("[\n  {"), "indented")

        check(post(port, b"not gzip at all") == 400, "a body that is no log is refused")
        check(post(port, gzip.compress(b"{\x00")) == 400, "a gzip of no JSON is refused")
        check(len(list(store.glob("*"))) == 1, "nothing stored for what was refused")

        statuses = []
        threads = [threading.Thread(target=lambda: statuses.append(post(port, body)))
                   for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        check(statuses == [200] * 8 and len(list(store.glob("*.json"))) == 9,
              "logs arriving at once each get their own file")
    finally:
        service.terminate()
        output, _ = service.communicate(timeout=30)
    check(service.returncode == 0 and "SECRET" not in output, "stops on SIGTERM, printed no signature")


if __name__ == "__main__":
    main()
