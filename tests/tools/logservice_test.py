#!/usr/bin/env python3
"""The maker's log service (tools/logservice) against what the field sends
it: the program's real uploads, and the abuse that broke the old stand-in.
Each fault is met while good uploads go on, and none of them loses one.

1. A real log is stored scrubbed (no profile user name, no signature), filed
   under the release of its header, with its outcome.
2. Idle connections and one that trickles its request hold up no upload;
   the trickler is cut off.
3. A gzip bomb, a truncated gzip, bytes that are not UTF-16LE, JSON that is
   no log: each a 4xx answer, one line in the service's log, nothing stored,
   and the service's memory stays small.
4. A Content-Length that is no number gets an answer, not silence.
5. Uploads at once each get their own row; a restart on the same database
   numbers on and overwrites nothing.
6. The dashboard's data needs the secret; retention deletes old uploads.

Usage: logservice_test.py LOGSERVICE WORK_DIR sqlite|postgresql:CONNINFO
"""
import gzip
import json
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import logclient  # noqa: E402
from logclient import body_of, check, record, typical_log  # noqa: E402


def raw(port, data, timeout=10):
    """The status line the service answers raw bytes with ('' for none)."""
    with socket.create_connection(("127.0.0.1", port), timeout) as s:
        s.sendall(data)
        answer = b""
        try:
            while b"\r\n" not in answer:
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
        except socket.timeout:
            pass
    return answer.split(b"\r\n")[0].decode("latin-1")


def runs(service):
    status, data = service.api("/api/runs?limit=10000")
    assert status == 200, status
    return data["runs"]


def peak_memory_kb(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def stored_real_log(service):
    status, _ = service.upload(body_of(typical_log()))
    check(status == 200, "a real log is taken")
    listed = runs(service)
    check(len(listed) == 1 and listed[0]["release"] == "Veltra_R1" and
          listed[0]["version"] == "9.5.0.0" and listed[0]["outcome"] == "gave_up" and
          listed[0]["records"] == 61 and listed[0]["errors"] == 21,
          f"filed under its release and version, outcome gave_up ({listed})")
    status, run = service.api(f"/api/runs/{listed[0]['id']}")
    text = json.dumps(run)
    check(status == 200 and "Bob Smith" not in text and "SeCrEt" not in text and
          "sig=" not in text.lower() and "Users\\\\<user>\\\\AppData" in text,
          "stored without the user's name or the signature")
    # Either slash, any case, a name without a folder after it.
    mixed = [record(0, "Unable to create c:/USERS/alice/Downloads/x", 5),
             record(1, "cannot write C:\\users\\alice"),
             record(2, "Not enough free space for D:/Users/eve/Temp", 112),
             record(3, 'quotes " braces {}, commas\\ and NULL', 0, "{\"x\"}")]
    check(service.upload(body_of(mixed))[0] == 200, "a log with other paths is taken")
    status, run = service.api(f"/api/runs/{runs(service)[0]['id']}")
    messages = [r["message"] for r in run["records"]]
    check(messages == ["Unable to create c:/USERS/<user>/Downloads/x", "cannot write C:\\users\\<user>",
                       "Not enough free space for D:/Users/<user>/Temp",
                       'quotes " braces {}, commas\\ and NULL'] and
          run["records"][3]["detailed_message"] == '{"x"}' and
          run["run"]["outcome"] == "save_failure", f"every profile name scrubbed ({messages})")


# Where a Windows log holds a user's name or a signature, in each stored
# field: the private words must not survive anywhere.
PRIVATE_FORMS = [
    "C:\\Users\\Bob Smith\\AppData\\Local\\Veltra_R1\\part.0",
    "cannot write C:\\Users\\Bob Smith",
    "c:/users/Bob Smith/Downloads/Veltra_R1_web.exe",
    "C:\\Documents and Settings\\Bob Smith\\Local Settings\\Temp\\x",
    "\\Users\\Bob Smith\\AppData (no drive letter)",
    "\\\\?\\C:\\Users\\Bob Smith\\AppData\\x",
    "\\\\fileserver\\profiles$\\Users\\Bob Smith\\Desktop",
    "file:///C:/Users/Bob%20Smith/Downloads/x.exe",
    "C%3A%5CUsers%5CBob%20Smith%5CAppData",
    "https://host/veltra_r1/0_Setup.exe?sv=2021-08-06&sig=SeCrEt%2Bsig",
    "https%3A%2F%2Fhost%2Fx%3Fsv%3D2021-08-06%26sig%3DSeCrEt",
    "/veltra_r1/Veltra_R1.txt?se=1898726400&sig=SeCrEt",
    "request sig%3DSeCrEt failed",
]


def scrubbing_table(service):
    records = []
    for form in PRIVATE_FORMS:
        records.append(record(len(records), form, 0, form, form))
    headers = dict(logclient.PROGRAM_HEADERS, Release="C:\\Users\\Bob Smith\\Veltra_R1 9.5?sig=SeCrEt")
    check(service.upload(body_of(records), headers)[0] == 200, "a log of private forms is taken")
    headers = dict(logclient.PROGRAM_HEADERS, Release="Veltra_R1",
                   DownloadManagerVersion="9.5 C:\\Users\\Bob")
    check(service.upload(body_of(records[:1]), headers)[0] == 200, "one with a private version")
    for run in runs(service)[:2]:
        text = json.dumps(service.api(f"/api/runs/{run['id']}")[1])
        leaks = [word for word in ("Bob", "Smith", "SeCrEt") if word in text]
        check(not leaks and "<user>" in text, f"every stored field scrubbed (left: {leaks})")


def abandoned_work(service):
    """A request whose client has gone is dropped from the queue, not done."""
    # Near the inflation cap: a worker takes a while over each.
    big = [record(k, f"Finished file: part {k} " + "x" * 150, 0, "", "filedownload", k)
           for k in range(12000)]
    body = body_of(big)
    head = (f"POST {logclient.UPLOAD_PATH} HTTP/1.1\r\nHost: x\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode()
    before = len(runs(service))
    lines_before = len(service.log_lines())

    def impatient():
        with socket.create_connection(("127.0.0.1", service.port)) as s:
            s.sendall(head + body)
            time.sleep(0.3)
    threads = [threading.Thread(target=impatient) for _ in range(20)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    dropped = lambda: [line for line in service.log_lines()[lines_before:]
                       if "its client left while it waited" in line]
    deadline = time.time() + 120
    while time.time() < deadline and len(dropped()) + len(runs(service)) - before < 20:
        time.sleep(0.5)
    stored = len(runs(service)) - before
    check(dropped() and stored + len(dropped()) == 20,
          f"work of clients that left is dropped ({stored} stored, {len(dropped())} dropped)")


def private_files(binary, work, database):
    if database.startswith("sqlite:"):
        db = Path(database[len("sqlite:"):])
        for path in [db] + list(db.parent.glob(db.name + "-*")):
            check(path.stat().st_mode & 0o077 == 0, f"{path.name} is the service's alone")
    shared = work / "shared-secret"
    shared.write_text("a secret others can read\n")
    shared.chmod(0o644)
    try:
        ended = subprocess.run([str(binary), "--database", database, "--listen", "127.0.0.1:0",
                                "--secret-file", str(shared)], capture_output=True, text=True,
                               timeout=20)
        check(ended.returncode == 2 and "chmod 600" in ended.stderr,
              "a secret file others may read is refused")
    except subprocess.TimeoutExpired:
        check(False, "a secret file others may read is refused")


def postgres_restart(service, database):
    """PostgreSQL restarted under the service: 5xx while it is away, never
    200, and back to 200 without restarting the service."""
    conninfo = dict(item.split("=", 1) for item in database[len("postgresql:"):].split())
    postgres = [str(Path(__file__).resolve().parents[2] / "scripts" / "postgres.sh"),
                "stop", conninfo["host"]]
    before = len(runs(service))
    subprocess.run(postgres, check=True, stdout=subprocess.DEVNULL)
    try:
        statuses = [service.upload(body_of(typical_log()))[0] for _ in range(3)]
        check(all(500 <= s < 600 for s in statuses), f"uploads while it is away: {statuses}")
        check(500 <= service.api("/api/runs")[0] < 600, "the dashboard while it is away: 5xx")
    finally:
        postgres[1] = "start"
        subprocess.run(postgres, check=True, stdout=subprocess.DEVNULL)
    statuses = [service.upload(body_of(typical_log()))[0] for _ in range(20)]
    check(statuses == [200] * 20, f"uploads once it is back: {statuses}")
    check(len(runs(service)) == before + 20, "each upload answered 200 is stored")


def slow_and_idle_clients(service):
    idle = [socket.create_connection(("127.0.0.1", service.port)) for _ in range(40)]
    trickler = socket.create_connection(("127.0.0.1", service.port))
    trickler.sendall(b"POST " + logclient.UPLOAD_PATH.encode() + b" HTTP/1.1\r\nHost: x\r\n")
    half_body = socket.create_connection(("127.0.0.1", service.port))
    half_body.sendall(b"POST " + logclient.UPLOAD_PATH.encode() +
                      b" HTTP/1.1\r\nHost: x\r\nContent-Length: 5000\r\n\r\nabc")
    before = len(runs(service))
    started = time.time()
    slowest = 0
    stop = threading.Event()

    def trickle():
        while not stop.wait(1):
            try:
                trickler.send(b"X")
            except OSError:
                return
    thread = threading.Thread(target=trickle)
    thread.start()
    try:
        for _ in range(10):
            t = time.time()
            check_status = service.upload(body_of(typical_log()), )[0]
            slowest = max(slowest, time.time() - t)
            if check_status != 200:
                break
        check(check_status == 200 and slowest < 5 and len(runs(service)) == before + 10,
              f"40 idle, a trickling and a half-sent connection hold up no upload "
              f"(slowest {slowest:.2f} s)")
        # The trickler never completes its head: it is cut off, whatever its pace.
        trickler.settimeout(30)
        try:
            ended = trickler.recv(100) == b""
        except OSError:
            ended = True
        check(ended and time.time() - started < 30, "the trickling connection is cut off")
    finally:
        stop.set()
        thread.join()
        for s in idle + [trickler, half_body]:
            s.close()


def refused_bodies(service):
    before = len(runs(service))
    lines_before = len(service.log_lines())
    zeros = gzip.compress(b"\0" * (200 * 1024 * 1024), compresslevel=9)
    good = body_of(typical_log())
    cases = [
        ("a gzip bomb (200 MB of zeros)", zeros, 413),
        ("a truncated gzip", good[:len(good) // 2], 400),
        ("bytes that are not gzip", b"not gzip at all", 400),
        ("an odd number of bytes", gzip.compress(b"[]\0"), 422),
        ("an unpaired surrogate", gzip.compress("[".encode("utf-16-le") + b"\x00\xd8" +
                                                "]".encode("utf-16-le")), 422),
        ("UTF-8 instead of UTF-16LE", gzip.compress(json.dumps(typical_log()).encode()), 422),
        ("JSON that is no log", gzip.compress('{"a": 1}'.encode("utf-16-le")), 422),
        ("records without their members", gzip.compress('[{"message": "x"}]'.encode("utf-16-le")),
         422),
        # A few kilobytes that cost a worker half a second and hundreds of
        # megabytes if read whole.
        ("an array nested two million deep",
         gzip.compress(("[" * 2_000_000 + "]" * 2_000_000).encode("utf-16-le"), 9), 422),
    ]
    results = {}
    lock = threading.Lock()

    def send(name, body):
        status = service.upload(body)[0]
        with lock:
            results[name] = status
    # All at once, with good uploads among them.
    threads = [threading.Thread(target=send, args=(name, body)) for name, body, _ in cases]
    threads += [threading.Thread(target=send, args=(f"good {k}", good)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for name, _, status in cases:
        check(results[name] == status, f"{name}: answered {results[name]} (expected {status})")
    check(all(results[f"good {k}"] == 200 for k in range(4)), "the good uploads among them taken")
    check(len(runs(service)) == before + 4, "nothing stored for the refused ones")
    lines = service.log_lines()[lines_before:]
    refused = [line for line in lines if "refused an upload" in line]
    check(len(refused) == len(cases), f"one line in the service's log for each ({len(refused)})")
    check(any("nested too deep" in line for line in refused), "the deep array refused unread")
    peak = peak_memory_kb(service.process.pid)
    check(peak < 120 * 1024, f"the bomb never expanded in memory (peak {peak // 1024} MB)")


def bad_lengths(service):
    path = logclient.UPLOAD_PATH.encode()
    head = b"POST " + path + b" HTTP/1.1\r\nHost: x\r\n"
    for value in (b"12abc", b"-1", b" ", b"99999999999999999999"):
        status = raw(service.port, head + b"Content-Length: " + value + b"\r\n\r\n")
        check(status.startswith("HTTP/1.1 400"), f"Content-Length {value!r}: {status}")
    status = raw(service.port, head + b"Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd")
    check(status.startswith("HTTP/1.1 400"), f"two Content-Lengths: {status}")
    status = raw(service.port, head + b"Content-Length: 50000000\r\n\r\n")
    check(status.startswith("HTTP/1.1 413"), f"a body over the cap, refused before it is sent: {status}")
    status = raw(service.port, head + b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n")
    check(status.startswith("HTTP/1.1 411"), f"a chunked body: {status}")
    # A bare line feed ends a header line for some readers only: a request
    # smuggled inside a value.
    status = raw(service.port, b"GET /dashboard HTTP/1.1\r\nHost: x\r\nX-Note: a\nb: c\r\n\r\n")
    check(status.startswith("HTTP/1.1 400"), f"a bare line feed in a header value: {status}")


def numbering(service, database):
    statuses = []
    lock = threading.Lock()

    def send():
        status = service.upload(body_of(typical_log()))[0]
        with lock:
            statuses.append(status)
    before = runs(service)
    threads = [threading.Thread(target=send) for _ in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    after = runs(service)
    ids = [r["id"] for r in after]
    check(statuses == [200] * 16 and len(after) == len(before) + 16 and len(set(ids)) == len(ids),
          "uploads at once each get a row of their own")
    first = service.api(f"/api/runs/{ids[-1]}")[1]
    check(service.stop() == 0, "stops on SIGTERM")
    service.start()
    check(service.upload(body_of([record(0, "after the restart", 2)]))[0] == 200,
          "taken after a restart on the same database")
    again = runs(service)
    check(len(again) == len(after) + 1 and again[0]["id"] > max(ids) and
          service.api(f"/api/runs/{ids[-1]}")[1] == first,
          "a restart numbers on and overwrites no earlier upload")


def dashboard_access(service):
    check(service.api("/api/runs", secret="")[0] == 401, "no secret: 401")
    check(service.api("/api/runs", secret="wrong-secret-of-the-same")[0] == 401, "a wrong secret: 401")
    status, _ = logclient.request(service.url("/dashboard"))
    check(status == 401, "the page without the secret: 401")
    status, _ = logclient.request(service.url("/dashboard"),
                                  headers={"Authorization": logclient.basic("maker", service.secret)})
    check(status == 200, "the page with the secret as password")
    status, csv = service.api("/api/errors.csv")
    check(status == 200 and csv.splitlines()[0] == b'"number","name","count","runs","example"' and
          b'"12002","ERROR_INTERNET_TIMEOUT"' in csv, "CSV export of the top errors")


def retention(service, database):
    service.stop()
    logclient.sql(database, "INSERT INTO uploads (received, day, release, version, outcome, record_count, "
                  "error_count) VALUES (1000, '1970-01-01', 'Veltra_R0', '1', 'closed', 0, 0)")
    service.start()
    # The housekeeper deletes beside the serving, from the start on.
    deadline = time.time() + 30
    while time.time() < deadline and [r for r in runs(service) if r["release"] == "Veltra_R0"]:
        time.sleep(0.2)
    check(not [r for r in runs(service) if r["release"] == "Veltra_R0"] and len(runs(service)) > 0,
          "uploads past the retention deleted at start, the rest kept")


def main():
    binary, work, database = sys.argv[1], Path(sys.argv[2]), sys.argv[3]
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    if database == "sqlite":
        database = f"sqlite:{work / 'logs.db'}"
    else:
        # The tables of an earlier run of the same server go first.
        logclient.sql(database, "DROP TABLE IF EXISTS uploads, records")
    service = logclient.Service(binary, database, work).start()
    try:
        stored_real_log(service)
        scrubbing_table(service)
        slow_and_idle_clients(service)
        refused_bodies(service)
        bad_lengths(service)
        numbering(service, database)
        dashboard_access(service)
        retention(service, database)
        if database.startswith("postgresql:"):
            postgres_restart(service, database)
        service.stop()
        service.start("--workers", "1")
        abandoned_work(service)
    finally:
        service.stop()
    private_files(binary, work, database)
    text = "\n".join(service.log_lines())
    check("SeCrEt" not in text and "Bob Smith" not in text and service.secret not in text,
          "the service's log holds no signature, user name or secret")


if __name__ == "__main__":
    main()
