"""What the log service's tests, its browser test and its benchmark share:
bodies as the program makes them, a service of the test's own, requests."""
import base64
import gzip
import json
import os
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

UPLOAD_PATH = "/Veltra/DownloadManager8.ashx"
# The program's own headers, in the order it sends them.
PROGRAM_HEADERS = {"Content-Type": "application/octet-stream", "DownloadManagerVersion": "9.5",
                   "Method": "LogErrorInfo", "Release": "Veltra_R1 9.5.0.0",
                   "User-Agent": "Veltra Download Manager / 9.5"}
GIVE_UP = -32767


def check(condition, message):
    if not condition:
        print("FAILED:", message)
        sys.exit(1)
    print("ok:", message)


def record(index, message, number=0, name="", module="downloadmanager", line=0):
    return {"detailed_message": name, "error_number": number, "file": module,
            "line": line, "log_index": index, "message": message}


def body_of(records):
    """gzip of the UTF-16LE JSON text, written the way the program writes it."""
    text = json.dumps(records, separators=(", ", ": "), ensure_ascii=False)
    return gzip.compress(text.encode("utf-16-le"), compresslevel=9)


def typical_log(user="Bob Smith", outcome_record=None):
    """A run that gave up after failed parts: some sixty records."""
    folder = f"C:\\Users\\{user}\\AppData\\Local\\Veltra_R1"
    records = []
    for k in range(20):
        records.append(record(len(records), f"Opening connection: host4.veltra.test", line=101))
        records.append(record(len(records),
                              f"Download: veltra_r1/{k}_Data-1a.bin?sv=2024&sig=SeCrEt%3D",
                              12002, "ERROR_INTERNET_TIMEOUT", "filedownload", 77))
        records.append(record(len(records), f"Finished file: {folder}\\Data_R1-1a.binpart{k}"))
    records.append(outcome_record or record(
        len(records), "Maximum download attempts exceeded. If there are no network or file errors,"
        " it could be that the files are removed from disk after writing", GIVE_UP, "",
        "downloadmanager", 101))
    return records


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Service:
    """The log service on a loopback port of its own."""

    def __init__(self, binary, database, work, secret="dashboard-secret-of-the-test"):
        self.binary, self.database, self.work, self.secret = binary, database, Path(work), secret
        self.work.mkdir(parents=True, exist_ok=True)
        self.log_path = self.work / "service.log"
        (self.work / "secret").write_text(secret + "\n")
        os.chmod(self.work / "secret", 0o600)
        self.process = None
        self.port = free_port()

    def start(self, *extra):
        self.log = open(self.log_path, "a")
        self.process = subprocess.Popen(
            [str(self.binary), "--database", self.database, "--listen", f"127.0.0.1:{self.port}",
             "--secret-file", str(self.work / "secret"), "--lifetime", "900", *extra],
            stderr=self.log)
        deadline = time.time() + 30
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"the log service ended: {self.log_path.read_text()}")
            try:
                socket.create_connection(("127.0.0.1", self.port), 1).close()
                return self
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("the log service did not start")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(30)
        self.log.close()
        return self.process.returncode

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def upload(self, body, headers=None):
        return request(self.url(UPLOAD_PATH), body, PROGRAM_HEADERS if headers is None else headers)

    def api(self, path, secret=None):
        status, data = request(self.url(path), headers={
            "Authorization": "Bearer " + (self.secret if secret is None else secret)})
        return status, (json.loads(data) if status == 200 and path.find(".csv") < 0 and
                        data.startswith(b"{") else data)

    def log_lines(self):
        return self.log_path.read_text(encoding="utf-8", errors="replace").splitlines()


def sql(database, statement):
    """One statement on the service's database, behind the service's back."""
    if database.startswith("sqlite:"):
        import sqlite3
        with sqlite3.connect(database[len("sqlite:"):]) as db:
            db.execute(statement)
    else:
        subprocess.run(["psql", database[len("postgresql:"):], "-q", "-c", statement], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def request(url, body=None, headers=None, timeout=30):
    """(status, body bytes); an HTTP error status is an answer too."""
    req = urllib.request.Request(url, data=body, headers=headers or {},
                                 method="POST" if body is not None else "GET")
    try:
        with urllib.request.urlopen(req, timeout=timeout) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def basic(user, secret):
    return "Basic " + base64.b64encode(f"{user}:{secret}".encode()).decode()
