#!/usr/bin/env python3
"""The download stack against nginx on loopback, a host fast enough to show
the client's own costs. A release of 500 MB (four files, short last parts)
is published by the publisher into a folder that an nginx of our own serves
with secure_link signatures (scripts/nginx.sh), and fetched in one run by
(1) curl, every part object over one connection (the reference);
(2) the bare WinINet loop of download_bench.exe, at several read sizes;
(3) the FileDownload workers one after another (part files written, CRCs
checked);
(4) the whole program, built for this host and signature: from its start to
the setup's start (merging and verification included), and, in a second run
closed by the user mid-download, from the close to its exit, with the log
service answering at once.
Prints wall time, MB/s, CPU seconds (the process and wineserver) and peak
resident memory of each, the median of the rounds. Then a release of 2,000
files of 1 KB, published and served the same way: the whole program from
its start to the setup's start against the bare loop fetching the same
objects, both timed from outside, and the difference per file."""

import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from download_bench import cpu_seconds, measure, persistent_wineserver  # noqa: E402
from resident import ResidentSampler  # noqa: E402

RELEASE = "Veltra_R1"
CAPTION = RELEASE + " download manager"
SUBDIR = "veltra_r1"
# Four files of 500,000,003 bytes in all: whole parts, short last parts.
FILES = [("Data-1a.bin", 200_000_000), ("Data-2a.bin", 150_000_003),
         ("Data-3a.bin", 99_999_999), ("Setup.exe", 50_000_001)]
SMALL_FILES = 2000
SMALL_SIZE = 1024
# A fixed secret and a far expiry: the signature is the same on every run.
SECRET = "bench-secret-0123456789"
EXPIRY = "2036-01-01"

# The setup is the tests' stand-in, which notes that it ran; a program runs
# with bytes appended to it.
MAKE_FILES = """
import os, random, sys
folder, setup = sys.argv[1:3]
rng = random.Random(12)
for entry in sys.argv[3:]:
    name, size = entry.rsplit("=", 1)
    left = int(size)
    with open(os.path.join(folder, name), "wb") as f:
        if name == "Setup.exe":
            head = open(setup, "rb").read()
            f.write(head)
            left -= len(head)
        while left:
            n = min(left, 1 << 22)
            f.write(rng.randbytes(n))
            left -= n
"""


def crc_info_objects(path):
    """(object path, CRC) of every part the CRC info lists."""
    text = open(path, "rb").read().decode("latin-1")
    objects = []
    for piece in text.split(";")[1:]:
        lines = piece.split("\r\n")
        while lines and not lines[-1]:
            lines.pop()
        if len(lines) < 2:
            continue
        for k, crc in enumerate(lines[2:]):
            objects.append(("/%s/%d_%s" % (SUBDIR, k, lines[0]), int(crc)))
    return objects


def build_program(args, host, sas, source=None, folder_name="bench-program", defines=()):
    """The program of `source` (the benchmark's own by default) built for
    this host and signature, and the CMake `defines` given, in a build folder
    of its own (configured once; later runs rebuild only what changed)."""
    source = source or args.source
    folder = os.path.join(args.build, folder_name)
    subnet = args.subnet
    # A folder configured for another source tree (another --program-base)
    # is started afresh: CMake refuses to switch.
    cache = os.path.join(folder, "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache) as text:
            home = "CMAKE_HOME_DIRECTORY:INTERNAL=" + os.path.realpath(source)
            if home not in text.read().splitlines():
                shutil.rmtree(folder)
    subprocess.run([
        "cmake", "-S", source, "-B", folder,
        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake", "mingw-w64-x86_64.cmake"),
        "-DCMAKE_BUILD_TYPE=Release", "-DVELTRA_BUILD_TESTS=OFF",
        "-DVELTRA_HOST_NAME=" + host, "-DVELTRA_DEFAULT_HOST=" + host, "-DVELTRA_SAS=" + sas,
        "-DVELTRA_LOG_SERVICE_URL=https://log4.s%d.veltra.test:8443/Veltra/DownloadManager8.ashx"
        % subnet,
        "-DVELTRA_SUPPORT_URL=https://%s/support/" % host, *defines], check=True,
        stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--parallel", "2", "--target", "program"],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(folder, "app", RELEASE + "_web.exe")


def write_nginx_conf(args, www, host, address, block):
    """The publisher's nginx server block for `www`, served as `host` on
    `address`:443 with the test CA's certificate, into `block`."""
    ca_dir = os.environ.get("VELTRA_TEST_CA_DIR", "/var/lib/veltra-test-ca")
    subprocess.run([args.publisher, "nginx-conf", "--root", www, "--server-name", host,
                    "--listen", address + ":443",
                    "--cert", os.path.join(ca_dir, "server.pem"),
                    "--key", os.path.join(ca_dir, "server.key"),
                    "--secret", SECRET, "--out", block], check=True)


def publish_and_serve(args, src, www, block, host, address, state):
    """Publishes the files of `src` into `www` and (re)starts nginx serving
    it; returns the part objects, (path, CRC) each."""
    subprocess.run([args.publisher, "publish", "--release", RELEASE, "--subdir", SUBDIR,
                    "--out", www, "--from", src], check=True, stdout=subprocess.DEVNULL)
    write_nginx_conf(args, www, host, address, block)
    subprocess.run([os.path.join(args.source, "scripts", "nginx.sh"), "start", state, block],
                   check=True)
    return crc_info_objects(os.path.join(www, SUBDIR, RELEASE + ".txt"))


def small_files(args, work, host, address, state, sas, wine_run, bench, helper, exes, appdata,
                server):
    """The whole program's cost per file: a release of 2,000 files of 1 KB
    (and the setup), against the bare loop fetching the same objects. `exes`
    maps a name to a program, each in a folder of its own; all run in the
    same rounds."""
    src = os.path.join(work, "small-src")
    os.makedirs(src)
    for k in range(SMALL_FILES):
        with open(os.path.join(src, "f%04d-1a.bin" % k), "wb") as f:
            f.write(((b"%d " % k) * SMALL_SIZE)[:SMALL_SIZE])
    shutil.copy(helper, os.path.join(src, "Setup.exe"))
    objects = publish_and_serve(args, src, os.path.join(work, "small-www"),
                                os.path.join(work, "small.conf"), host, address, state)
    listing = os.path.join(work, "small-objects.txt")
    with open(listing, "w") as f:
        f.write("".join(path + "\n" for path, _ in objects))
    wine_listing = subprocess.run([wine_run, "winepath", "-w", listing], capture_output=True,
                                  text=True, check=True).stdout.strip()
    bare = []
    program = {name: [] for name in exes}
    last = {}
    access_log = os.path.join(state, "access.log")
    for _ in range(args.rounds):
        start = time.time()
        measure([wine_run, bench, "bare", host, sas, "64", "@" + wine_listing], server)
        bare.append(time.time() - start)
        for name, exe in exes.items():
            mark = os.path.getsize(access_log)
            r = run_program(wine_run, exe, os.path.dirname(exe), appdata, server)
            program[name].append(r["start_to_setup"])
            # The last field of each line is nginx's connection number.
            with open(access_log) as log:
                log.seek(mark)
                lines = log.read().splitlines()
            last[name] = (r, len(lines), len({line.split()[-1] for line in lines}))
    bare_s = sorted(bare)[len(bare) // 2]
    print("release of %d files of %d bytes and the setup (%d objects), median of %d rounds:"
          % (SMALL_FILES, SMALL_SIZE, len(objects), args.rounds))
    print("  bare loop %.1f s (each round: %s)" % (bare_s, ", ".join("%.1f" % b for b in bare)))
    for name, times in program.items():
        program_s = sorted(times)[len(times) // 2]
        r, requests, connections = last[name]
        print("  %s: start to the setup's start %.1f s (each round: %s); %.1f ms per file beyond "
              "the bare loop" % (name, program_s, ", ".join("%.1f" % t for t in times),
                                 1000 * (program_s - bare_s) / SMALL_FILES))
        print("    last run: %d requests over %d connections; CPU %.1f s, wineserver %.1f s" % (
            requests, connections, r["cpu"], r["server_cpu"]))


def wait_nohang(pid):
    """(finished, rusage) without blocking."""
    done, _, usage = os.wait4(pid, os.WNOHANG)
    return done == pid, usage


def run_program(wine_run, exe, folder, appdata, server, close_after_parts=0, helper=None,
                resident=False):
    """One run of the whole program in `folder`. Without close_after_parts:
    until it exits by itself after starting the setup; the setup's start is
    when the download folder goes, just before the program asks the shell to
    start it. With it: closed like a user once that many part files are
    there; the time from the close message to the exit. With `resident`, the
    listing of what it held resident at its peak, as "resident"."""
    for name in os.listdir(folder):
        if name != os.path.basename(exe):
            os.remove(os.path.join(folder, name))
    shutil.rmtree(appdata, ignore_errors=True)
    before = cpu_seconds(server)
    start = time.time()
    process = subprocess.Popen([wine_run, exe], cwd=folder, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    sampler = ResidentSampler(process.pid) if resident else None
    seen_folder = False
    setup_at = close_at = None
    while True:
        done, usage = wait_nohang(process.pid)
        now = time.time()
        if done:
            break
        if now - start > 900:
            process.kill()
            sys.exit("the program did not end within 15 minutes")
        if os.path.isdir(appdata):
            seen_folder = True
            if close_after_parts and close_at is None and sum(
                    "part" in name for name in os.listdir(appdata)) >= close_after_parts:
                subprocess.run([wine_run, helper, "close", CAPTION], check=True)
                close_at = time.time()
        elif seen_folder and setup_at is None and not close_after_parts:
            setup_at = now
        time.sleep(0.02)
    process.returncode = 0
    end = time.time()
    if close_after_parts and close_at is None:
        sys.exit("the program ended by itself after %.1f s (download folder %s) before it "
                 "could be closed mid-download" % (end - start, "seen" if seen_folder else
                                                   "never seen"))
    return {"start_to_setup": (setup_at or end) - start, "close_to_exit":
            end - close_at if close_at else None, "wall": end - start,
            "cpu": usage.ru_utime + usage.ru_stime,
            "server_cpu": cpu_seconds(server) - before, "rss_mb": usage.ru_maxrss / 1024.0,
            "resident": sampler}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--publisher", required=True)
    parser.add_argument("--subnet", type=int, default=19)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", help="comma-separated rows to measure (curl, bare, workers, "
                        "program, small: the 2,000 small files); all by default")
    parser.add_argument("--baseline", help="another build's download_bench.exe, whose workers "
                        "are measured in the same rounds as row 'workers-base'")
    parser.add_argument("--program-base", help="another source tree, whose program is built "
                        "and run in the same rounds as 'program-base', on the release and "
                        "on the small files")
    parser.add_argument("--in-flight", help="comma-separated numbers of parts in flight, each "
                        "a program of its own built from the benchmark's tree and run in the "
                        "same rounds as 'program-nN' (VELTRA_PARTS_IN_FLIGHT)")
    parser.add_argument("--steps", help="comma-separated letter sets of download_bench's steps "
                        "mode ('-' for none), each measured in the same rounds as a row "
                        "'steps LETTERS', with its median time per phase and object")
    args = parser.parse_args()
    only = set(args.only.split(",")) if args.only else {"curl", "bare", "workers", "program",
                                                         "small"}

    if not os.access(args.publisher, os.X_OK):
        print("skipped: no publisher at %s" % args.publisher)
        return
    ca_dir = os.environ.get("VELTRA_TEST_CA_DIR", "/var/lib/veltra-test-ca")
    host = "host4.s%d.veltra.test" % args.subnet
    address = "127.0.%d.4" % args.subnet
    nginx_sh = os.path.join(args.source, "scripts", "nginx.sh")
    args.build = os.path.abspath(args.build)
    prefix = os.path.join(args.build, "wineprefix")
    wine_run = os.path.join(args.build, "wine-run.sh")
    bench = os.path.join(args.build, "bench", "download_bench.exe")
    helper = os.path.join(args.build, "tests", "apphelper.exe")
    log_state = os.path.join(args.build, "bench-logservice")
    hostctl = os.path.join(args.source, "tests", "hosts", "hostctl.sh")
    xvfb = os.path.join(args.source, "tests", "wine", "xvfb.sh")
    xvfb_state = os.path.join(args.build, "xvfb")
    work = tempfile.mkdtemp(prefix="nginx_bench_")
    # nginx's workers, who are not root, serve from it.
    os.chmod(work, 0o755)
    state = os.path.join(work, "nginx")
    try:
        src = os.path.join(work, "src")
        www = os.path.join(work, "www")
        os.makedirs(src)
        subprocess.run([sys.executable, "-c", MAKE_FILES, src, helper]
                       + ["%s=%d" % f for f in FILES], check=True)
        total = sum(size for _, size in FILES)
        started = time.time()
        subprocess.run([args.publisher, "publish", "--release", RELEASE, "--subdir", SUBDIR,
                        "--out", www, "--from", src], check=True, stdout=subprocess.DEVNULL)
        print("published %d bytes in %.1f s" % (total, time.time() - started))
        block = os.path.join(work, "server.conf")
        write_nginx_conf(args, www, host, address, block)
        sas = subprocess.run([args.publisher, "nginx-sig", "--release", RELEASE,
                              "--subdir", SUBDIR, "--secret", SECRET, "--expiry", EXPIRY],
                             check=True, capture_output=True, text=True).stdout.strip()
        subprocess.run([nginx_sh, "start", state, block], check=True)
        objects = crc_info_objects(os.path.join(www, SUBDIR, RELEASE + ".txt"))
        base = "https://%s" % host

        def status(url):
            return subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", url],
                                  capture_output=True, text=True).stdout
        # The host refuses what a signature does not cover.
        print("nginx: %s with the signature, %s without, %s with another folder's" % (
            status(base + objects[0][0] + sas), status(base + objects[0][0]),
            status(base + "/other/x" + sas)))

        program = build_program(args, host, sas) if {"program", "small"} & only else None
        # The log service the program posts to at close, answering at once;
        # its download host (on another port) goes unused.
        if program:
            subprocess.run([hostctl, "start", log_state,
                            "--host-address", address, "--host-port", "4443",
                            "--log-address", "127.0.%d.104" % args.subnet,
                            "--control-port", str(20000 + args.subnet * 100 + 4),
                            "--cert", os.path.join(ca_dir, "server.pem"),
                            "--key", os.path.join(ca_dir, "server.key")], check=True)
        subprocess.run([xvfb, "start", xvfb_state, prefix], check=True)
        subprocess.run([wine_run, "--init"], check=True)
        server = persistent_wineserver(wine_run, prefix)
        out_dir = os.path.join(work, "parts")
        os.makedirs(out_dir)
        wine_out = subprocess.run([wine_run, "winepath", "-w", out_dir], capture_output=True,
                                  text=True, check=True).stdout.strip()
        program_dir = os.path.join(work, "program")
        os.makedirs(program_dir)
        exe = os.path.join(program_dir, RELEASE + "_web.exe")
        if program:
            shutil.copy(program, exe)
        exes = {"program": exe}
        if args.program_base and program:
            base_dir = os.path.join(work, "program-base")
            os.makedirs(base_dir)
            exes["program-base"] = os.path.join(base_dir, RELEASE + "_web.exe")
            shutil.copy(build_program(args, host, sas, os.path.abspath(args.program_base),
                                      "bench-program-base"), exes["program-base"])
        for n in args.in_flight.split(",") if args.in_flight and program else []:
            name = "program-n" + n
            os.makedirs(os.path.join(work, name))
            exes[name] = os.path.join(work, name, RELEASE + "_web.exe")
            shutil.copy(build_program(args, host, sas, folder_name="bench-" + name,
                                      defines=("-DVELTRA_PARTS_IN_FLIGHT=" + n,)), exes[name])
        appdata = os.path.join(prefix, "drive_c", "users", os.environ.get("USER", "root"),
                               "AppData", "Local", RELEASE)

        paths = [path for path, _ in objects]
        parts = ["%s=%d" % o for o in objects]
        commands = {}
        if "curl" in only:
            commands["curl"] = (["sh", "-c", "curl -sf " + " ".join(
                "'%s%s%s'" % (base, path, sas) for path in paths) + " >/dev/null"], None)
        if "bare" in only:
            for kib in (64, 512, 2048):
                commands["bare %dK" % kib] = (
                    [wine_run, bench, "bare", host, sas, str(kib)] + paths, server)
        if "workers" in only:
            commands["workers"] = ([wine_run, bench, "workers", host, sas, wine_out] + parts,
                                   server)
        for letters in args.steps.split(",") if args.steps else []:
            commands["steps " + letters] = ([wine_run, bench, "steps", host, sas, letters] + parts,
                                            server)
        if args.baseline:
            commands["workers-base"] = ([wine_run, os.path.abspath(args.baseline), "workers",
                                         host, sas, wine_out] + parts, server)
        # Interleaved rounds, the median of each: the figures of one round
        # swing with whatever else the machine is doing.
        runs = {name: [] for name in commands}
        resident = {}
        for _ in range(args.rounds):
            for name, (command, pid) in commands.items():
                start = time.time()
                # What the loop and the workers hold is listed in the first
                # round, for the program's listing to be set against.
                r = measure(command, pid, resident=not runs[name])
                if r["resident"]:
                    resident[name] = r["resident"]
                r["wall"] = time.time() - start
                # The Windows programs time their own transfers, without
                # Wine's start-up; curl is timed from outside.
                words = r["output"].split()
                r["rate"] = (float(words[-2]) if words[-1:] == ["MB/s"]
                             else total / 1e6 / r["wall"])
                runs[name].append(r)
            if "program" not in only:
                continue
            for name, program_exe in exes.items():
                # What the program holds is listed in the first round.
                r = run_program(wine_run, program_exe, os.path.dirname(program_exe), appdata,
                                server, resident=name not in runs)
                if r["resident"]:
                    resident[name] = r["resident"]
                r["wall"] = r["start_to_setup"]
                r["rate"] = total / 1e6 / r["wall"]
                runs.setdefault(name, []).append(r)
        # Every file arrived whole.
        for name, _ in FILES if "program" in only else []:
            local = name.replace(".exe", "_R1.exe") if name.endswith(".exe") else \
                name[:-7] + "_R1" + name[-7:]
            if not filecmp.cmp(os.path.join(src, name), os.path.join(program_dir, local),
                               shallow=False):
                sys.exit("the program's %s differs from the release's" % local)
        closes = sorted(run_program(wine_run, exe, program_dir, appdata, server,
                                    close_after_parts=3, helper=helper)["close_to_exit"]
                        for _ in range(args.rounds if "program" in only else 0))
        results = {}
        for name, rounds in runs.items():
            rounds.sort(key=lambda r: r["rate"])
            results[name] = rounds[len(rounds) // 2]

        print("release of %d bytes in %d objects from nginx, median of %d rounds" % (
            total, len(objects), args.rounds))
        print("%-14s %8s %8s %8s %12s %9s" % ("", "wall s", "MB/s", "CPU s", "wineserver s",
                                             "peak MB"))
        for name, r in results.items():
            print("%-14s %8.1f %8.1f %8.2f %12.2f %9.1f" % (
                name, r["wall"], r["rate"], r["cpu"], r["server_cpu"], r["rss_mb"]))
        bare = max((n for n in results if n.startswith("bare")), key=lambda n: results[n]["rate"],
                   default=None)
        for name, rounds in runs.items():
            if name.startswith("steps"):
                print("%s: %s (round of the median)" % (
                    name, rounds[len(rounds) // 2]["output"].splitlines()[0].split(": ", 1)[1]))
        for name in results:
            if bare and (name.startswith("program") or name.startswith("workers")):
                r, b = results[name], results[bare]
                print("%s / best bare loop (%s): throughput %.0f %%, peak memory %+.1f MB" % (
                    name, bare, 100 * r["rate"] / b["rate"], r["rss_mb"] - b["rss_mb"]))
        for name in ("workers", "program"):
            if bare and name in resident and bare in resident:
                print("%s against the best bare loop (%s), first round:" % (name, bare))
                print("\n".join(resident[name].report(resident[bare])))
        if "program" in only:
            print("program: start to the setup's start %.1f s; close to exit %s s (each round)"
                  % (results["program"]["start_to_setup"], ", ".join("%.2f" % c for c in closes)))
        if "small" in only:
            small_files(args, work, host, address, state, sas, wine_run, bench, helper, exes,
                        appdata, server)
    finally:
        subprocess.run([nginx_sh, "stop", state])
        subprocess.run([hostctl, "stop", log_state])
        subprocess.run([xvfb, "stop", xvfb_state, prefix])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
