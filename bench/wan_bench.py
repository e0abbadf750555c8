#!/usr/bin/env python3
"""Clients side by side on lines with delay and loss. The line is the
packet-level delay line of ../shared/wan (namespaces wan-srv and wan-cli,
one forwarder with loss, a token bucket at the line rate behind a tail-drop
queue of 50 ms of the line, and a fixed delay). nginx (scripts/nginx.sh)
serves a release published by the publisher from wan-srv over HTTPS; in
wan-cli, one after another on each line, run:
  the program (this tree's, built for the line's host),
  the program of another tree (--program-base, e.g. main before a change),
  curl fetching every part object, one request each, on one connection,
  aria2c -x1 and aria2c -x4 -s4 -k10M fetching the release's largest file
  whole (a copy beside its parts).
Each client's goodput is the unique TCP payload the line delivered towards
the client over the time from its first SYN to its last payload packet, as
the forwarder counts them, as a share of the line's rate. The server's
congestion control is CUBIC unless --congestion bbr. Prints, for each line,
the median of the rounds per client. As root (namespaces)."""

import argparse
import contextlib
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from nginx_bench import EXPIRY, MAKE_FILES, RELEASE, SECRET, SUBDIR, build_program  # noqa: E402
from nginx_bench import run_program, write_nginx_conf  # noqa: E402
from shaped_bench import client_wineserver  # noqa: E402

SERVER_NS, CLIENT_NS = "wan-srv", "wan-cli"
SERVER_ADDRESS, CLIENT_ADDRESS = "10.77.0.1", "10.77.0.2"
# rate Mbit/s / round trip ms / loss per mille
LINES = "100/20/0,100/80/0,100/200/0,100/20/5,100/80/5,20/300/0"
CLIENTS = "program,program-base,curl,aria2-x1,aria2-x4"
DOCS_SIZE = 2_500_000
# A 1500-byte frame of 1514 bytes carries 1448 bytes of TCP payload.
PAYLOAD_SHARE = 1448 / 1514


class WanLine:
    """../shared/wan's line, driven through its wan.sh."""

    def __init__(self, wan_dir):
        self.script = os.path.join(wan_dir, "wan.sh")
        self.client = CLIENT_NS

    def up(self):
        names = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
        if SERVER_NS not in names or CLIENT_NS not in names:
            subprocess.run([self.script, "up"], check=True)

    def set(self, mbit, rtt, loss):
        subprocess.run([self.script, "line", str(mbit), str(rtt), str(loss), "50"], check=True)

    def congestion(self, algorithm):
        subprocess.run(["ip", "-n", SERVER_NS, "route", "replace", CLIENT_ADDRESS, "dev", "wans",
                        "congctl", algorithm], check=True)

    def reset(self):
        subprocess.run([self.script, "reset"], check=True)
        time.sleep(0.3)

    def goodput(self):
        """(unique payload bytes, seconds from the first SYN to the last
        payload) since the last reset."""
        time.sleep(0.3)
        text = subprocess.run([self.script, "stats"], check=True, capture_output=True,
                              text=True).stdout
        stats = dict(item.split("=", 1) for item in text.split() if "=" in item)
        first, last = int(stats["first_syn"]), int(stats["last_payload"])
        return int(stats["unique"]), (last - first) / 1e9 if last > first else 0.0

    def run(self, ns, *command, **kwargs):
        return subprocess.run(["ip", "netns", "exec", ns, *command], check=True, **kwargs)

    def stop(self):
        subprocess.run([self.script, "stop"])


def client_command(work, host):
    """A wrapper that runs its command in the client's namespace, where the
    download host's name means the server's end of the line."""
    hosts = os.path.join(work, "hosts")
    with open("/etc/hosts") as system, open(hosts, "w") as own:
        for entry in system:
            if host not in entry.split():
                own.write(entry)
        own.write("%s %s\n" % (SERVER_ADDRESS, host))
    wrapper = os.path.join(work, "in-client.sh")
    with open(wrapper, "w") as script:
        script.write("#!/bin/sh\nexec ip netns exec %s unshare -m sh -c "
                     "'mount --bind \"$0\" /etc/hosts && exec \"$@\"' %s \"$@\"\n"
                     % (CLIENT_NS, hosts))
    os.chmod(wrapper, 0o755)
    return wrapper


def client_wine(work, in_client, wine_run):
    """A wine-run.sh whose programs run in the client's namespace: Wine
    resolves the host's name in the program's process."""
    wrapper = os.path.join(work, "wine-client.sh")
    with open(wrapper, "w") as script:
        script.write("#!/bin/sh\nexec %s %s \"$@\"\n" % (in_client, wine_run))
    os.chmod(wrapper, 0o755)
    return wrapper


def own_wine(build, folder):
    """A wine-run.sh like the build's, with a prefix and a virtual display of
    the benchmark's own: its wineserver lives in the client's namespace,
    which the tests' Wine programs must not share."""
    os.makedirs(folder, exist_ok=True)
    prefix, xvfb_state = os.path.join(folder, "wineprefix"), os.path.join(folder, "xvfb")
    with open(os.path.join(build, "wine-run.sh")) as source:
        text = source.read()
    text = text.replace(os.path.join(build, "wineprefix"), prefix)
    text = text.replace(os.path.join(build, "xvfb"), xvfb_state)
    wine_run = os.path.join(folder, "wine-run.sh")
    with open(wine_run, "w") as script:
        script.write(text)
    os.chmod(wine_run, 0o755)
    return wine_run, prefix, xvfb_state


def parse_lines(text):
    return [tuple(int(v) for v in item.split("/")) for item in text.split(",") if item]


class ServerTrace:
    """With --trace: the server's view of each connection to the client
    (ss in wan-srv, every 100 ms) while a client runs, printed afterwards as
    the rate of each connection per half second with its congestion window,
    so that a slow start, a tail or a connection held back shows where it
    is."""

    STEP = 0.5

    def __init__(self):
        self.samples, self.done, self.thread = [], threading.Event(), None

    def __enter__(self):
        self.samples.clear()
        self.done.clear()
        self.thread = threading.Thread(target=self.sample)
        self.thread.start()
        return self

    def __exit__(self, *_):
        self.done.set()
        self.thread.join()

    def sample(self):
        while not self.done.wait(0.1):
            text = subprocess.run(["ip", "netns", "exec", SERVER_NS, "ss", "-tinH", "state",
                                   "established", "dst", CLIENT_ADDRESS],
                                  capture_output=True, text=True).stdout
            port, now = None, time.monotonic()
            for line in text.splitlines():
                if not line[:1].isspace():
                    port = line.split()[-1].rsplit(":", 1)[-1]
                    continue
                acked = re.search(r"bytes_acked:(\d+)", line)
                cwnd = re.search(r"cwnd:(\d+)", line)
                if port and acked and cwnd:
                    self.samples.append((now, port, int(acked.group(1)), int(cwnd.group(1))))

    def print(self):
        if not self.samples:
            return
        start = self.samples[0][0]
        ports = list(dict.fromkeys(port for _, port, _, _ in self.samples))
        last, rows = {}, {}
        for now, port, acked, cwnd in self.samples:
            step = int((now - start) / self.STEP)
            cell = rows.setdefault(step, {}).setdefault(port, [0, cwnd])
            cell[0] += acked - last.get(port, acked)
            cell[1] = cwnd
            last[port] = acked
        print("    s    all Mbit/s | each connection: Mbit/s (congestion window, packets)")
        for step in range(max(rows) + 1):
            cells = rows.get(step, {})
            mbit = {port: cells[port][0] * 8 / self.STEP / 1e6 for port in cells}
            print("  %5.1f %8.1f | %s" % (step * self.STEP, sum(mbit.values()), " ".join(
                "%6.1f (%4d)" % (mbit[port], cells[port][1]) if port in cells else " " * 13
                for port in ports)))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--publisher", required=True)
    parser.add_argument("--subnet", type=int, default=18,
                        help="subnet of the host name the program is built for")
    parser.add_argument("--wan", default=None, help="the delay line's folder (wan.sh)")
    parser.add_argument("--lines", default=LINES, help="MBIT/RTT_MS/LOSS_PERMILLE,...")
    parser.add_argument("--megabytes", type=int, default=200, help="size of the release")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--congestion", default="cubic", choices=["cubic", "bbr"],
                        help="the server's congestion control")
    parser.add_argument("--clients", default=CLIENTS)
    parser.add_argument("--program-base", help="another source tree whose program runs as "
                        "'program-base'")
    parser.add_argument("--in-flight", default="",
                        help="comma-separated numbers of parts in flight, each built into a "
                        "program of its own that runs as 'program-nN' (VELTRA_PARTS_IN_FLIGHT)")
    parser.add_argument("--trace", action="store_true",
                        help="print the server's view of each program run's connections")
    args = parser.parse_args()
    # A stop from outside still takes the servers and the line down.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if os.geteuid() != 0:
        print("skipped: network namespaces need root")
        return
    args.build = os.path.abspath(args.build)
    wan_dir = args.wan or os.path.join(os.path.dirname(os.path.abspath(args.source)), "shared",
                                       "wan")
    if not os.path.exists(os.path.join(wan_dir, "wan.sh")):
        print("skipped: no delay line in %s (--wan)" % wan_dir)
        return
    clients = args.clients.split(",")
    if "program-base" in clients and not args.program_base:
        clients.remove("program-base")
    variants = ["program-n%d" % int(n) for n in args.in_flight.split(",") if n]
    clients[1:1] = variants
    ca_dir = os.environ.get("VELTRA_TEST_CA_DIR", "/var/lib/veltra-test-ca")
    host = "host4.s%d.veltra.test" % args.subnet
    nginx_sh = os.path.join(args.source, "scripts", "nginx.sh")
    wine_run, prefix, xvfb_state = own_wine(args.build, os.path.join(args.build, "wan-bench"))
    helper = os.path.join(args.build, "tests", "apphelper.exe")
    xvfb = os.path.join(args.source, "tests", "wine", "xvfb.sh")
    appdata = os.path.join(prefix, "drive_c", "users", os.environ.get("USER", "root"),
                           "AppData", "Local", RELEASE)
    line = WanLine(wan_dir)
    work = tempfile.mkdtemp(prefix="wan_bench_")
    state = os.path.join(work, "nginx")
    results = {}
    try:
        sas = subprocess.run([args.publisher, "nginx-sig", "--release", RELEASE,
                              "--subdir", SUBDIR, "--secret", SECRET, "--expiry", EXPIRY],
                             check=True, capture_output=True, text=True).stdout.strip()
        exes = {}
        builds = [("program", None, "bench-program", ()),
                  ("program-base", args.program_base, "bench-program-base", ())]
        builds += [(name, None, "bench-" + name,
                    ("-DVELTRA_PARTS_IN_FLIGHT=" + name[len("program-n"):],))
                   for name in variants]
        for name, source, folder, defines in builds:
            if name not in clients:
                continue
            place = os.path.join(work, name)
            os.makedirs(place)
            exes[name] = os.path.join(place, RELEASE + "_web.exe")
            shutil.copy(build_program(args, host, sas, source and os.path.abspath(source),
                                      folder, defines), exes[name])
        line.up()
        in_client = client_command(work, host)

        total = args.megabytes * 1_000_000
        setup_size = os.path.getsize(helper) + 1
        big = total - DOCS_SIZE - setup_size
        files = [("Data-1a.bin", big), ("Docs-1b.pdf", DOCS_SIZE), ("Setup.exe", setup_size)]
        src, www = os.path.join(work, "src"), os.path.join(work, "www")
        os.makedirs(src)
        subprocess.run([sys.executable, "-c", MAKE_FILES, src, helper]
                       + ["%s=%d" % f for f in files], check=True)
        subprocess.run([args.publisher, "publish", "--release", RELEASE, "--subdir", SUBDIR,
                        "--out", www, "--from", src], check=True, stdout=subprocess.DEVNULL)
        # The largest file whole, for the clients that split one file.
        shutil.move(os.path.join(src, "Data-1a.bin"), os.path.join(www, SUBDIR, "whole.bin"))
        shutil.rmtree(src)
        parts = sorted(name for name in os.listdir(os.path.join(www, SUBDIR))
                       if name != "whole.bin" and not name.endswith(".txt"))
        block = os.path.join(work, "server.conf")
        write_nginx_conf(args, www, host, SERVER_ADDRESS, block)
        line.run(SERVER_NS, nginx_sh, "start", state, block)
        line.congestion(args.congestion)
        base_url = "https://%s/%s/" % (host, SUBDIR)
        ca = os.path.join(ca_dir, "ca.pem")
        if not os.path.exists(ca):
            ca = "/etc/ssl/certs/ca-certificates.crt"
        out = os.path.join(work, "out")

        if exes:
            subprocess.run([xvfb, "start", xvfb_state, prefix], check=True)
            subprocess.run([wine_run, "--init"], check=True)
            server = client_wineserver(line, wine_run, prefix)

        def fetch(client):
            """Runs one client to its end; the bytes it was meant to get."""
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            if client in exes:
                trace = ServerTrace()
                with trace if args.trace else contextlib.nullcontext():
                    run_program(client_wine(work, in_client, wine_run), exes[client],
                                os.path.dirname(exes[client]), appdata, server)
                trace.print()
                return total
            if client == "curl":
                command = [in_client, "curl", "-sS", "--fail", "--cacert", ca]
                for name in parts:
                    command += ["-o", os.path.join(out, name), base_url + name + sas]
                subprocess.run(command, check=True)
                return sum(os.path.getsize(os.path.join(out, name)) for name in parts)
            split = ["-x4", "-s4", "-k10M"] if client == "aria2-x4" else ["-x1", "-s1"]
            subprocess.run([in_client, "aria2c", "-q", "--ca-certificate=" + ca,
                            "--file-allocation=none", "--allow-overwrite=true", *split,
                            "-d", out, "-o", "whole.bin", base_url + "whole.bin" + sas],
                           check=True)
            return os.path.getsize(os.path.join(out, "whole.bin"))

        for mbit, rtt, loss in parse_lines(args.lines):
            line.set(mbit, rtt, loss)
            for _ in range(args.rounds):
                # Interleaved, so that the machine's load falls on all alike.
                for client in clients:
                    line.reset()
                    fetch(client)
                    unique, seconds = line.goodput()
                    share = 100 * unique * 8 / seconds / (mbit * 1e6) if seconds else 0
                    results.setdefault((mbit, rtt, loss), {}).setdefault(client, []).append(
                        (share, unique, seconds))
                    print("  %d Mbit/s %d ms %.1f %% loss, %s: %.1f %% of the line "
                          "(%d bytes in %.1f s)" % (mbit, rtt, loss / 10, client, share, unique,
                                                    seconds), flush=True)
    finally:
        subprocess.run(["ip", "netns", "exec", SERVER_NS, nginx_sh, "stop", state])
        if os.path.exists(xvfb_state):
            subprocess.run([xvfb, "stop", xvfb_state, prefix])
        line.stop()
        shutil.rmtree(work, ignore_errors=True)

    print("goodput as a share of the line, median of %d round(s), %d MB, server %s; at most "
          "%.1f %% of a line is TCP payload" % (args.rounds, args.megabytes,
                                                args.congestion.upper(), 100 * PAYLOAD_SHARE))
    print("%-24s" % "line" + "".join("%14s" % c for c in clients))
    for (mbit, rtt, loss), by_client in results.items():
        label = "%d Mbit/s %d ms %.1f %%" % (mbit, rtt, loss / 10)
        print("%-24s" % label + "".join(
            "%13.1f%%" % statistics.median(s for s, _, _ in by_client.get(c, [(0, 0, 0)]))
            for c in clients))


if __name__ == "__main__":
    main()
