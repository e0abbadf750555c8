#!/usr/bin/env python3
"""The whole program on a shaped line. The benchmark makes two network
namespaces joined by a veth pair: nginx (scripts/nginx.sh) serves a release
published by the publisher from one, through a token bucket (tbf) on its
end of the link at the line rate, with a bucket of 10 ms of the line (at
least 16 KiB), as a DSL or cable modem's shaper holds; the program runs under Wine in the
other, where the download host's name points across the link. Wine's
sockets are made by wineserver, so the prefix's wineserver runs in the
client's namespace too (the programs reach it through its socket file, as
they reach the X server). For each
line rate it prints the program's goodput (the release's bytes over the
download phase, from the start of its first request, as nginx logged it,
to the moment the line fell idle for good: nginx logs a request as done when
its last bytes are in the socket's buffer, which at these rates holds
seconds of the line) and the speed the dialog's read-out showed last
before the download ended (read from the window by bench/readout_watch.exe),
each as a share of the line rate. Each release is sized for about 40 s of
its line. As root: namespaces and qdiscs need it."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from download_bench import wineserver_pid  # noqa: E402
from nginx_bench import (CAPTION, EXPIRY, MAKE_FILES, RELEASE, SECRET, SUBDIR,  # noqa: E402
                         build_program, run_program, write_nginx_conf)

# A 1500-byte MTU frame of 1514 bytes carries 1448 bytes of TCP payload
# (timestamps on): the most any client gets out of the line.
PAYLOAD_SHARE = 1448 / 1514
SECONDS = 40
DOCS_SIZE = 2_500_000


class Line:
    """The two namespaces and the shaped link between them."""

    def __init__(self, subnet):
        self.server = "veltra-bench%d-srv" % subnet
        self.client = "veltra-bench%d-cli" % subnet
        self.server_address = "10.254.%d.1" % subnet
        self.client_address = "10.254.%d.2" % subnet
        self.link = "vb%ds" % subnet

    def make(self):
        self.remove()
        for ns in (self.server, self.client):
            subprocess.run(["ip", "netns", "add", ns], check=True)
            self.run(ns, "ip", "link", "set", "lo", "up")
        subprocess.run(["ip", "link", "add", self.link, "netns", self.server, "type", "veth",
                        "peer", "name", "vbc", "netns", self.client], check=True)
        for ns, dev, address in ((self.server, self.link, self.server_address),
                                 (self.client, "vbc", self.client_address)):
            self.run(ns, "ip", "addr", "add", address + "/30", "dev", dev)
            self.run(ns, "ip", "link", "set", dev, "up")

    def shape(self, mbit):
        rate = mbit * 125_000
        # 10 ms of the line, but at least 16 KiB: ten full frames, and more
        # than the line earns in one tick of a 250 Hz kernel clock.
        burst = max(rate // 100, 16 * 1024)
        self.run(self.server, "tc", "qdisc", "replace", "dev", self.link, "root", "tbf",
                 "rate", "%dmbit" % mbit, "burst", str(burst), "latency", "50ms")

    def run(self, ns, *command, **kwargs):
        return subprocess.run(["ip", "netns", "exec", ns, *command], check=True, **kwargs)

    def remove(self):
        for ns in (self.server, self.client):
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)


def client_wine(work, line, wine_run, host):
    """A wine-run.sh that runs its program in the client's namespace, where
    the download host's name means the server's end of the link."""
    hosts = os.path.join(work, "hosts")
    with open("/etc/hosts") as system, open(hosts, "w") as own:
        for entry in system:
            if host not in entry.split():
                own.write(entry)
        own.write("%s %s\n" % (line.server_address, host))
    wrapper = os.path.join(work, "wine-client.sh")
    with open(wrapper, "w") as script:
        # Each step execs the next: the pid the caller waits on is Wine's.
        script.write("#!/bin/sh\nexec ip netns exec %s unshare -m sh -c "
                     "'mount --bind \"$0\" /etc/hosts && exec \"$@\"' %s %s \"$@\"\n"
                     % (line.client, hosts, wine_run))
    os.chmod(wrapper, 0o755)
    return wrapper


def client_wineserver(line, wine_run, prefix):
    """The prefix's wineserver, started in the client's namespace, where
    every socket of a Wine program is made; it outlives each program, so that
    its CPU time can be read. Returns its pid."""
    env = dict(os.environ, WINEPREFIX=prefix)
    subprocess.run(["wineserver", "-k"], env=env)
    subprocess.run(["wineserver", "-w"], env=env)
    line.run(line.client, "wineserver", "-p", env=env)
    subprocess.run([wine_run, "cmd", "/c", "exit"], check=True)
    return wineserver_pid(prefix)


class ReadoutWatch:
    """readout_watch.exe's lines, each with the time it arrived."""

    def __init__(self, wine_run, watcher):
        self.lines = []
        self.process = subprocess.Popen([wine_run, watcher, CAPTION, "120"],
                                        stdout=subprocess.PIPE, text=True)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for text in self.process.stdout:
            self.lines.append((time.time(), text.strip()))

    def speeds(self, until):
        """(time, kB/s) of every speed shown up to `until`."""
        self.process.wait(timeout=60)
        self.thread.join()
        found = []
        for when, text in self.lines:
            match = re.search(r"(\d+) kB/s", text)
            if match and when <= until and int(match.group(1)) > 0:
                found.append((when, int(match.group(1))))
        return found


class LinkWatch:
    """The bytes the server's end of the link has sent, every 50 ms, each
    reading with the time it arrived."""

    STEP = 0.05

    def __init__(self, line):
        self.samples = []
        counter = "/sys/class/net/%s/statistics/tx_bytes" % line.link
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", line.server, "sh", "-c",
             "while :; do cat %s; sleep %s; done" % (counter, self.STEP)],
            stdout=subprocess.PIPE, text=True)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for text in self.process.stdout:
            self.samples.append((time.time(), int(text)))

    def last_busy(self, rate):
        """The last moment the line ran at more than half its rate: when the
        download's last bytes went through."""
        self.process.terminate()
        self.process.wait()
        self.thread.join()
        end = None
        for (t0, b0), (t1, b1) in zip(self.samples, self.samples[1:]):
            if b1 - b0 > rate * (t1 - t0) / 2:
                end = t1
        return end


def first_request(timing_log):
    """(start of the first request, bytes of parts served) from nginx's
    timing log."""
    start, sent = None, 0
    with open(timing_log) as log:
        for entry in log:
            msec, took, _, status, size, uri = entry.split()
            began = float(msec) - float(took)
            start = began if start is None else min(start, began)
            if not uri.endswith(".txt") and status == "200":
                sent += int(size)
    return start, sent


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--publisher", required=True)
    parser.add_argument("--subnet", type=int, default=19)
    parser.add_argument("--rates", default="8,50", help="line rates in Mbit/s")
    parser.add_argument("--seconds", type=int, default=SECONDS,
                        help="about how long each download takes")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: network namespaces need root")
        return
    args.build = os.path.abspath(args.build)
    host = "host4.s%d.veltra.test" % args.subnet
    nginx_sh = os.path.join(args.source, "scripts", "nginx.sh")
    prefix = os.path.join(args.build, "wineprefix")
    wine_run = os.path.join(args.build, "wine-run.sh")
    helper = os.path.join(args.build, "tests", "apphelper.exe")
    watcher = os.path.join(args.build, "bench", "readout_watch.exe")
    xvfb = os.path.join(args.source, "tests", "wine", "xvfb.sh")
    xvfb_state = os.path.join(args.build, "xvfb")
    appdata = os.path.join(prefix, "drive_c", "users", os.environ.get("USER", "root"),
                           "AppData", "Local", RELEASE)
    line = Line(args.subnet)
    work = tempfile.mkdtemp(prefix="shaped_bench_")
    # nginx's workers, who are not root, serve from it.
    os.chmod(work, 0o755)
    state = os.path.join(work, "nginx")
    results = []
    try:
        sas = subprocess.run([args.publisher, "nginx-sig", "--release", RELEASE,
                              "--subdir", SUBDIR, "--secret", SECRET, "--expiry", EXPIRY],
                             check=True, capture_output=True, text=True).stdout.strip()
        program = build_program(args, host, sas)
        try:
            line.make()
        except subprocess.CalledProcessError:
            print("skipped: this machine does not allow network namespaces and veth links")
            return
        client_run = client_wine(work, line, wine_run, host)
        subprocess.run([xvfb, "start", xvfb_state, prefix], check=True)
        subprocess.run([wine_run, "--init"], check=True)
        server = client_wineserver(line, wine_run, prefix)
        program_dir = os.path.join(work, "program")
        os.makedirs(program_dir)
        exe = os.path.join(program_dir, RELEASE + "_web.exe")
        shutil.copy(program, exe)

        for mbit in (int(r) for r in args.rates.split(",")):
            rate = mbit * 125_000
            total = int(rate * PAYLOAD_SHARE * args.seconds)
            # The setup is the tests' stand-in, with a byte appended.
            setup_size = os.path.getsize(helper) + 1
            files = [("Data-1a.bin", total - DOCS_SIZE - setup_size),
                     ("Docs-1b.pdf", DOCS_SIZE), ("Setup.exe", setup_size)]
            src, www = os.path.join(work, "src%d" % mbit), os.path.join(work, "www%d" % mbit)
            os.makedirs(src)
            subprocess.run([sys.executable, "-c", MAKE_FILES, src, helper]
                           + ["%s=%d" % f for f in files], check=True)
            subprocess.run([args.publisher, "publish", "--release", RELEASE, "--subdir", SUBDIR,
                            "--out", www, "--from", src], check=True, stdout=subprocess.DEVNULL)
            shutil.rmtree(src)
            block = os.path.join(work, "server%d.conf" % mbit)
            write_nginx_conf(args, www, host, line.server_address, block)
            shutil.rmtree(state, ignore_errors=True)
            line.run(line.server, nginx_sh, "start", state, block)
            line.shape(mbit)

            link = LinkWatch(line)
            watch = ReadoutWatch(wine_run, watcher)
            r = run_program(client_run, exe, program_dir, appdata, server)
            subprocess.run([nginx_sh, "stop", state], check=True)
            end = link.last_busy(rate)
            start, sent = first_request(os.path.join(state, "timing.log"))
            if end is None or start is None:
                sys.exit("nothing went through the line at %d Mbit/s" % mbit)
            speeds = watch.speeds(end)
            phase = end - start
            results.append((mbit, total, sent, phase, r["start_to_setup"],
                            speeds[-1][1] if speeds else 0, len(speeds)))
            shutil.rmtree(www)
    finally:
        subprocess.run([nginx_sh, "stop", state])
        subprocess.run([xvfb, "stop", xvfb_state, prefix])
        line.remove()
        shutil.rmtree(work, ignore_errors=True)

    print("the whole program through a line shaped by tbf; at most %.1f %% of a line is TCP "
          "payload (1500-byte MTU)" % (100 * PAYLOAD_SHARE))
    print("%-9s %12s %12s %10s %12s %10s %11s %10s %12s" % (
        "line", "release B", "served B", "download s", "goodput", "of line", "read-out",
        "of line", "of goodput"))
    for mbit, total, sent, phase, wall, shown, count in results:
        rate = mbit * 125_000
        goodput = total / phase
        print("%3d Mbit/s %12d %12d %10.1f %7.0f kB/s %8.1f %% %6d kB/s %8.1f %% %10.1f %%" % (
            mbit, total, sent, phase, goodput / 1024, 100 * goodput / rate, shown,
            100 * shown * 1024 / rate, 100 * shown * 1024 / goodput))
    for mbit, _, _, phase, wall, _, count in results:
        print("%d Mbit/s: program start to the setup's start %.1f s; %d speeds shown" % (
            mbit, wall, count))


if __name__ == "__main__":
    main()
