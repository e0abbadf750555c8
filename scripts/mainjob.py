#!/usr/bin/env python3
"""The main job's steps after the build: make (or take) a release, publish
it, put it on the blob storage emulator (or serve it with an nginx of the
run's own, the maker's own host), build the program for it, run the program
under Wine, check what it produced and print a summary.

scripts/run.sh calls `mainjob.py run`; the end-to-end tests import the
steps. The access signature is handed to child processes through files and
standard input only where a tool allows it, and is never printed.
"""
import argparse
import atexit
import datetime
import json
import os
import random
import re
import secrets
import shutil
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request
from pathlib import Path

PART = 10_000_000
# Azurite's account, the same on every installation; the real service's
# account key comes from the maker's portal instead.
ACCOUNT = "devstoreaccount1"
ACCOUNT_KEY = ("Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/"
               "K1SZFPTOtr/KBHBeksoGMGw==")
ROOT = Path(__file__).resolve().parent.parent


def blob_host(subnet, slot):
    return f"{ACCOUNT}.blob{slot}.s{subnet}.veltra.test"


def nginx_host(subnet, slot):
    return f"host{slot}.s{subnet}.veltra.test"


def log_service_url(subnet, slot):
    return f"https://log{slot}.s{subnet}.veltra.test:8443/Veltra/DownloadManager8.ashx"


def dashboard_url(subnet, slot):
    return f"https://log{slot}.s{subnet}.veltra.test:8443/dashboard"


def log_service_api(subnet, slot, state, path):
    """A JSON answer of the log service's dashboard API, through its nginx;
    the secret comes from the services' private folder."""
    secret = (Path(state) / "private" / "dashboard-secret").read_text().strip()
    request = urllib.request.Request(f"https://log{slot}.s{subnet}.veltra.test:8443{path}",
                                     headers={"Authorization": "Bearer " + secret})
    # Loopback only: a proxy of the environment must not see the secret.
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(request, timeout=30) as answer:
        return json.loads(answer.read())


def dashboard_picture(subnet, slot, state, folder):
    """A picture of the log service's dashboard in `folder`, taken by headless
    Chromium (scripts/dashboard_picture.py, on Debian's python3, which has
    Selenium) from the service itself on its loopback address. Its path, or
    why there is none."""
    shot = Path(folder) / "dashboard.png"
    try:
        result = subprocess.run(
            ["/usr/bin/python3", str(ROOT / "scripts" / "dashboard_picture.py"),
             f"http://127.0.{subnet}.{100 + slot}:9080",
             str(Path(state) / "private" / "dashboard-secret"), str(shot)],
            capture_output=True, text=True, timeout=180)
    except subprocess.TimeoutExpired:
        return "none: the browser did not finish in 3 minutes"
    if result.returncode == 0:
        return str(shot)
    return "none: " + ((result.stderr.strip().splitlines() or ["the browser failed"])[-1])


def stored_runs(subnet, slot, state):
    """The uploads the log service holds, newest first."""
    return log_service_api(subnet, slot, state, "/api/runs?limit=10000")["runs"]


def local_name(host_name, product_code):
    """The name the program gives a file of the release beside itself: the
    product code goes before ".exe", or before the last seven characters."""
    keep = 4 if ".exe" in host_name else 7
    return host_name[:-keep] + "_" + product_code + host_name[-keep:]


def make_sample_release(folder, setup_program):
    """About 100 MB in four files: one of whole parts only, one with a short
    last part, one smaller than a part, and the setup program."""
    folder = Path(folder)
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    generator = random.Random(11)
    sizes = {"Data-1a.bin": 5 * PART, "Data-1b.bin": 4 * PART + 5_500_000,
             "Docs-1c.pdf": 2_500_000}
    for name, size in sizes.items():
        (folder / name).write_bytes(generator.randbytes(size))
    shutil.copy(setup_program, folder / "Setup.exe")
    return folder


def sign_setup(setup, certs):
    """Signs the sample's setup with the test CA's signer in place; returns
    the thumbprint the program pins: the CA's, so that a renewed signer
    would still do."""
    signed = setup.with_suffix(".signed")
    signed.unlink(missing_ok=True)
    subprocess.run(["osslsigncode", "sign", "-certs", str(certs / "signer.pem"), "-key",
                    str(certs / "signer.key"), "-h", "sha256", "-n", "Veltra sample setup",
                    "-in", str(setup), "-out", str(signed)], check=True,
                   stdout=subprocess.DEVNULL)
    signed.replace(setup)
    return subprocess.run([str(ROOT / "scripts" / "codesign-ca.sh"), "thumbprint",
                           str(certs / "ca.pem")], check=True, capture_output=True,
                          text=True).stdout.strip()


def publisher_run(publisher, *args, stdin=None):
    """Runs the publisher; its messages pass through, its stdout is returned
    (only `sas` prints anything there, and that is never shown)."""
    result = subprocess.run([str(publisher), *map(str, args)], input=stdin,
                            stdout=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"publisher {args[0]} failed with exit code {result.returncode}")
    return result.stdout.strip()


def expiry_in(days):
    return (datetime.datetime.now(datetime.timezone.utc) +
            datetime.timedelta(days=days)).strftime("%Y-%m-%d")


def make_sas(publisher, container, expiry=None, write=False):
    """A read signature of the container until `expiry`, or a write signature
    of it for the next hours. The account key goes on standard input."""
    args = ["sas", "--account", ACCOUNT, "--key-file", "-", "--container", container]
    args += ["--write"] if write else ["--expiry", expiry]
    return publisher_run(publisher, *args, stdin=ACCOUNT_KEY)


def upload_release(publisher, published, host, container):
    """Creates the container and uploads the published folder into it with a
    write signature of that container alone, passed on standard input."""
    url = f"https://{host}"
    publisher_run(publisher, "container", "--account", ACCOUNT, "--key-file", "-",
                  "--container", container, "--url", url, stdin=ACCOUNT_KEY)
    write_sas = make_sas(publisher, container, write=True)
    publisher_run(publisher, "upload", "--dir", published, "--url", url, "--sas-file", "-",
                  stdin=write_sas)


def configure_program(build_dir, settings, unset=()):
    """Configures (once) and builds the program in its own tree for the
    release in `settings` (VELTRA_* cache values), without the cache values
    `unset`. Returns the program file."""
    build_dir = Path(build_dir)
    defines = [f"-D{name}={value}" for name, value in settings.items()]
    defines += [f"-U{name}" for name in unset]
    if not (build_dir / "CMakeCache.txt").exists():
        defines += [f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-w64-x86_64.cmake",
                    "-DCMAKE_BUILD_TYPE=Release"]
    # The signature is among the values: a failure names no command line.
    if subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), *defines],
                      stdout=subprocess.DEVNULL).returncode != 0:
        raise RuntimeError(f"configuring {build_dir} failed")
    return build_dir


def build_targets(build_dir, *targets):
    subprocess.run(["cmake", "--build", str(build_dir), "--parallel", "2", "--target",
                    *targets], check=True, stdout=subprocess.DEVNULL)


REQUEST = re.compile(r"^(\S+Z) .*RequestMethod=(\w+) RequestURL=https?://[^/\s]+(/[^?\s]*)")


def served(debug_log):
    """(time, method, path) of every request in Azurite's debug log. The log
    holds each signed address; only the path before the query is taken."""
    requests = []
    with open(debug_log, encoding="utf-8", errors="replace") as log:
        for line in log:
            match = REQUEST.search(line)
            if match:
                when = datetime.datetime.fromisoformat(match.group(1).replace("Z", "+00:00"))
                requests.append((when.timestamp(), match.group(2), match.group(3)))
    return requests


def served_by_nginx(timing_log):
    """(time, method, path) of every request in the timing log of
    scripts/nginx.sh, which names no query; the time is the request's start."""
    requests = []
    with open(timing_log, encoding="utf-8", errors="replace") as log:
        for line in log:
            words = line.split()
            if len(words) == 6:
                requests.append((float(words[0]) - float(words[1]), words[2], words[5]))
    return requests


def serve_with_nginx(publisher, published, host, address, state, release_name, subdir,
                     days):
    """Starts an nginx of the run's own (scripts/nginx.sh) that serves the
    published folder with secure_link signatures made with a secret of this
    run; returns the read signature for the program's build. The server
    block holds the secret, so it stays in the private folder."""
    ca_dir = Path(os.environ.get("VELTRA_TEST_CA_DIR", "/var/lib/veltra-test-ca"))
    private = Path(state) / "private"
    private.mkdir(mode=0o700, parents=True, exist_ok=True)
    secret = secrets.token_urlsafe(24)
    block = private / "nginx-server.conf"
    publisher_run(publisher, "nginx-conf", "--root", published, "--server-name", host,
                  "--listen", f"{address}:443", "--cert", ca_dir / "server.pem",
                  "--key", ca_dir / "server.key", "--secret-file", "-", "--out", block,
                  stdin=secret)
    subprocess.run([str(ROOT / "scripts" / "nginx.sh"), "start", str(Path(state) / "nginx"),
                    str(block)], check=True)
    return publisher_run(publisher, "nginx-sig", "--release", release_name, "--subdir", subdir,
                         "--secret-file", "-", "--expiry", expiry_in(days), stdin=secret)


def serve_with_congestion_control(address, algorithm):
    """The server's congestion control for connections to `address` alone
    (a loopback route of its own, which also makes it the clients' source
    address), as a maker sets it for the whole host with
    net.ipv4.tcp_congestion_control; the route goes when the run ends."""
    route = ["local", address, "dev", "lo", "table", "local"]
    subprocess.run(["ip", "route", "replace", *route, "scope", "host", "src", address,
                    "congctl", algorithm], check=True)
    atexit.register(subprocess.run, ["ip", "route", "del", *route])


def wait_for(condition, seconds, step=0.2):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


class ProgramRun:
    """One start of the program under Wine in `folder`, with a screenshot of
    its dialog as soon as it shows and then every two seconds when `shots`
    names a folder."""

    def __init__(self, wine_run, program, folder, release_name, apphelper, shots=None):
        self.wine_run = str(wine_run)
        self.apphelper = str(apphelper)
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.exe = self.folder / f"{release_name}_web.exe"
        shutil.copy(program, self.exe)
        self.caption = release_name + " download manager"
        self.shots = Path(shots) if shots else None
        self.first_shot_taken = False
        self.started = time.time()
        # Wine's output goes to a file: the setup, which outlives the
        # program, must not hold the caller's output open.
        with open(self.folder.parent / f"{self.folder.name}-wine.txt", "ab") as output:
            self.process = subprocess.Popen([self.wine_run, str(self.exe)], cwd=self.folder,
                                            stdin=subprocess.DEVNULL, stdout=output,
                                            stderr=output)
        # The end is taken by a thread of its own, so that a screenshot under
        # way does not add to the wall time.
        self.ended = None
        self.watcher = threading.Thread(target=self._watch, daemon=True)
        self.watcher.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        # Whatever ended the run (a failure, Ctrl-C), the program does not
        # outlive it.
        self.kill()

    def _watch(self):
        self.process.wait()
        self.ended = time.time()

    def helper(self, *args):
        return subprocess.run([self.wine_run, self.apphelper, *map(str, args)],
                              cwd=self.folder, timeout=120,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode

    def shot(self, caption=None, name=None):
        if self.shots is None:
            return False
        self.shots.mkdir(parents=True, exist_ok=True)
        if name is None:
            name = f"dialog-{time.time() - self.started:05.1f}s.bmp"
        return self.helper("shot", caption or self.caption, self.shots / name) == 0

    def wait(self, seconds, while_waiting=None):
        """Waits for the program to end, taking screenshots meanwhile;
        returns its exit code, or None if it still runs."""
        deadline = time.time() + seconds
        next_shot = time.time()
        while time.time() < deadline:
            if self.process.poll() is not None:
                break
            if while_waiting:
                while_waiting()
            if self.shots is not None and time.time() >= next_shot:
                # Until the first picture, one as soon as the window is
                # there: a short run may be over before the next one.
                if self.shot() or self.first_shot_taken:
                    self.first_shot_taken = True
                    next_shot = time.time() + 2
            time.sleep(0.2)
        if self.process.poll() is not None:
            self.watcher.join()
        return self.process.poll()

    def close(self):
        return self.helper("close", self.caption) == 0

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def check_final_files(release, program_folder, product_code):
    """Differences between the release's files and the program's final
    files, compared byte for byte; empty when they are identical."""
    problems = []
    for source in sorted(Path(release).iterdir()):
        final = Path(program_folder) / local_name(source.name, product_code)
        if not final.exists():
            problems.append(f"{final.name}: missing")
            continue
        with open(source, "rb") as a, open(final, "rb") as b:
            offset = 0
            while True:
                x, y = a.read(1 << 20), b.read(1 << 20)
                if x != y:
                    problems.append(f"{final.name}: differs from {source.name} "
                                    f"near byte {offset}")
                    break
                if not x:
                    break
                offset += len(x)
    return problems


def request_path(relative):
    """An object's path as the program requests it: each byte that is not
    safe in a URL path segment percent-encoded (base/urlpath.cpp)."""
    return urllib.parse.quote(relative, safe="/!$&'()*+,;=:@")


def curl_fetch(host, published, sas):
    """Fetches every published object once with curl, as the program does
    (one connection, one object after another); returns (bytes, seconds),
    or (None, why) when not every object came whole. The signed addresses
    go to curl on its standard input, out of sight."""
    objects = sorted(p for p in Path(published).rglob("*") if p.is_file())
    config = ""
    for path in objects:
        relative = request_path(path.relative_to(published).as_posix())
        config += (f'url = "https://{host}/{relative}{sas}"\noutput = "/dev/null"\n'
                   'write-out = "%{http_code} %{size_download}\\n"\n')
    started = time.time()
    result = subprocess.run(["curl", "--silent", "--config", "-"], input=config, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    seconds = time.time() - started
    answers = [line.split() for line in result.stdout.splitlines() if line.strip()]
    failed = [path.name for path, answer in zip(objects, answers)
              if answer != ["200", str(path.stat().st_size)]]
    failed += [path.name for path in objects[len(answers):]]
    if failed:
        return None, f"{len(failed)} of {len(objects)} objects did not come whole " \
                     f"(first: {failed[0]})"
    return sum(p.stat().st_size for p in objects), seconds


def setup_program(files):
    """The file the program starts once the download is complete: the last
    one whose name ends in ".exe", as the publisher reports it."""
    exes = [p.name for p in files if p.name.endswith(".exe")]
    return exes[-1] if exes else None


def running_programs():
    """The file names of the programs running now, Wine's among them (their
    command line names the Windows path)."""
    names = set()
    for cmdline in Path("/proc").glob("[0-9]*/cmdline"):
        try:
            first = cmdline.read_bytes().split(b"\0")[0].decode(errors="replace")
        except OSError:
            continue
        names.add(re.split(r"[\\/]", first)[-1].lower())
    return names


def appdata_folder(prefix, release_name):
    user = os.environ.get("USER") or "root"
    return Path(prefix) / "drive_c" / "users" / user / "AppData" / "Local" / release_name


def prepare_release(args, out, build):
    """The maker's folder (--release) or a sample made afresh; returns it
    with its files, sorted, and their bytes."""
    if args.release:
        release = Path(args.release).resolve()
    else:
        release = make_sample_release(out / "release",
                                      build / "tools" / "samplesetup" / "samplesetup.exe")
    files = sorted(p for p in release.iterdir() if p.is_file())
    release_bytes = sum(p.stat().st_size for p in files)
    print(f"== Release {args.name}: {len(files)} files, {release_bytes:,} bytes in {release}")
    return release, files, release_bytes


def publish_release(args, publisher, release, out, certs):
    """Signs the sample's setup and publishes the release; returns the
    setup signer's pin (empty for a maker's own release) and the seconds
    the publisher took."""
    # The sample's setup and the program are signed by the test CA; the
    # program is built to start only a setup signed under it. A maker's own
    # release (--release) keeps its files as they are, and its setup is not
    # checked.
    subprocess.run([str(ROOT / "scripts" / "codesign-ca.sh"), str(certs)], check=True)
    pin = "" if args.release else sign_setup(release / "Setup.exe", certs)
    print("== Publishing")
    started = time.time()
    publisher_run(publisher, "publish", "--release", args.name, "--subdir", args.subdir,
                  "--out", out / "published", "--from", release,
                  *(["--setup-signers", pin, "--trusted-roots", certs / "ca.pem"] if pin else []))
    return pin, time.time() - started


def host_name(kind, subnet, slot):
    return blob_host(subnet, slot) if kind == "azurite" else nginx_host(subnet, slot)


def serve_release(args, publisher, out, host, kind):
    """Serves the published folder from nginx or uploads it to the
    emulator (`kind`); returns the read signature and the upload's seconds
    (None when nginx serves it)."""
    if kind == "nginx":
        print(f"== Serving {out / 'published'} with nginx as https://{host}/{args.subdir}")
        if args.congestion:
            serve_with_congestion_control(f"127.0.{args.subnet}.{args.slot}", args.congestion)
        read_sas = serve_with_nginx(publisher, out / "published", host,
                                    f"127.0.{args.subnet}.{args.slot}", args.state, args.name,
                                    args.subdir, args.sas_days)
        return read_sas, None
    container = args.subdir
    print(f"== Uploading to https://{host}/{container}")
    started = time.time()
    upload_release(publisher, out / "published", host, container)
    upload_seconds = time.time() - started
    return make_sas(publisher, container, expiry_in(args.sas_days)), upload_seconds


def verify_hosts(publisher, args, out, served):
    """Checks every part on every host (host, read signature) against the
    published folder with one verify, each signature in a file of the
    private folder; raises naming the hosts that differ."""
    private = Path(args.state) / "private"
    private.mkdir(mode=0o700, parents=True, exist_ok=True)
    hosts = []
    for number, (host, sas) in enumerate(served):
        signature = private / f"verify-{number}.sas"
        signature.touch(mode=0o600)
        signature.write_text(sas)
        hosts += ["--url", f"https://{host}", "--sas-file", signature]
    print("== Verifying every host against the published folder")
    publisher_run(publisher, "verify", "--release", args.name, "--subdir", args.subdir,
                  "--dir", out / "published", *hosts)


def mirrors(args, served):
    """VELTRA_MIRRORS: every host after the first, HOST,SUBDIR,SIGNATURE."""
    return ";".join(f"{host},{args.subdir},{sas}" for host, sas in served[1:])


def build_signed_program(args, build, host, read_sas, pin, certs, mirror_list=""):
    """The program for that host and signature (and those mirrors), signed
    by the test CA; returns its path."""
    print("== Building the program for that host and signature" +
          (" and its mirror" if mirror_list else ""))
    settings = {"VELTRA_RELEASE_NAME": args.name, "VELTRA_HOST_NAME": host,
                "VELTRA_DEFAULT_HOST": host, "VELTRA_DOWNLOAD_SUBDIR": args.subdir,
                "VELTRA_PRODUCT_CODE": args.product_code, "VELTRA_SAS": read_sas,
                "VELTRA_LOG_SERVICE_URL": log_service_url(args.subnet, args.slot),
                "VELTRA_SETUP_SIGNERS": pin, "VELTRA_SIGN_CERT": certs / "signer.pem",
                "VELTRA_SIGN_KEY": certs / "signer.key"}
    if mirror_list:
        settings["VELTRA_MIRRORS"] = mirror_list
    # A run of one host clears the mirrors an earlier run left in the cache.
    configure_program(build, settings, unset=() if mirror_list else ("VELTRA_MIRRORS",))
    build_targets(build, "program")
    program = build / "app" / f"{args.name}_web.exe"
    program_signed = subprocess.run(["osslsigncode", "verify", "-CAfile", str(certs / "ca.pem"),
                                     "-in", str(program)], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL).returncode == 0
    if not program_signed:
        raise RuntimeError(f"the program's signature does not verify against {certs / 'ca.pem'}")
    return program


class SetupWatch:
    """Whether the program started the setup, whatever the setup is: its
    local name among the running programs (the sample setup also leaves a
    record of each start)."""

    def __init__(self, files, product_code, program_folder):
        setup = setup_program(files)
        self.local = local_name(setup, product_code) if setup else None
        self.record = program_folder / f"{Path(self.local or 'none').stem}.started.txt"
        self.seen = False

    def started(self):
        if self.local and not self.seen and (self.record.exists() or
                                             self.local.lower() in running_programs()):
            self.seen = True
        return self.seen


def run_program(args, build, out, program, certs, setup):
    """Runs the program under Wine until it ends; returns its exit code, its
    start and its wall time, and where its screenshots are."""
    print("== Running the program under Wine" +
          ("" if args.display else " on a virtual display, with screenshots"))
    shutil.rmtree(appdata_folder(build / "wineprefix", args.name), ignore_errors=True)
    program_folder = out / "program"
    shots = out / "screenshots" if not args.display else None
    # The test CA is trusted in the run's own Wine prefix only.
    if subprocess.run([str(build / "wine-run.sh"), str(build / "tests" / "apphelper.exe"),
                       "trustroot", "Z:" + str(certs / "ca.pem").replace("/", "\\")],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                      timeout=120).returncode != 0:
        raise RuntimeError("the test CA could not be trusted in the run's Wine prefix")
    with ProgramRun(build / "wine-run.sh", program, program_folder, args.name,
                    build / "tests" / "apphelper.exe", shots) as runner:
        # A message box means the program has given up (or could not write):
        # the run ends there instead of waiting for someone to click it away.
        gave_up = []
        next_look = [time.time() + 5]

        def look_for_error():
            setup.started()
            if time.time() < next_look[0]:
                return
            next_look[0] = time.time() + 5
            if runner.helper("shot", "Error", out / "error-message.bmp") == 0:
                gave_up.append(True)
                runner.helper("answer")
                runner.close()

        code = runner.wait(args.timeout, look_for_error)
        if gave_up:
            runner.wait(120)
            raise RuntimeError(f"the program showed an error message "
                               f"({out / 'error-message.bmp'}); "
                               f"its log is on {dashboard_url(args.subnet, args.slot)}")
        if code is None:
            runner.close()
            runner.wait(120)
            raise RuntimeError(f"the program did not finish within {args.timeout} s")
        wall = runner.ended - runner.started
        if setup.local:
            wait_for(setup.started, 60 if not args.release else 10)
        if not args.release:
            if not setup.seen:
                raise RuntimeError("the setup program was not started")
            if shots:
                time.sleep(1)
                runner.shot("Veltra setup", "setup.bmp")
    return code, runner.started, wall, shots


def run(args):
    build = Path(args.build).resolve()
    out = Path(args.out).resolve()
    publisher = build / "native" / "publisher" / "publisher"
    # The first host is the program's host, the others its mirrors.
    kinds = args.hosts or [args.host]
    host = host_name(kinds[0], args.subnet, args.slot)
    for old in ("published", "program", "screenshots"):
        shutil.rmtree(out / old, ignore_errors=True)
    (out / "error-message.bmp").unlink(missing_ok=True)

    release, files, release_bytes = prepare_release(args, out, build)
    certs = build / "codesign"
    pin, publish_seconds = publish_release(args, publisher, release, out, certs)
    served_hosts = []
    upload_seconds = None
    for kind in kinds:
        sas, seconds = serve_release(args, publisher, out, host_name(kind, args.subnet, args.slot),
                                     kind)
        served_hosts.append((host_name(kind, args.subnet, args.slot), sas))
        upload_seconds = seconds if seconds is not None else upload_seconds
    read_sas = served_hosts[0][1]
    if len(kinds) > 1:
        verify_hosts(publisher, args, out, served_hosts)
    program = build_signed_program(args, build, host, read_sas, pin, certs,
                                   mirrors(args, served_hosts))
    program_folder = out / "program"
    setup = SetupWatch(files, args.product_code, program_folder)
    code, started, wall, shots = run_program(args, build, out, program, certs, setup)

    problems = check_final_files(release, program_folder, args.product_code)
    for problem in problems:
        print("DIFFERENT:", problem)
    download_folder_left = appdata_folder(build / "wineprefix", args.name).exists()
    # The program's own: the upload's look at the host came before it started.
    gets_by_kind = {}
    for kind in kinds:
        requests = (served_by_nginx(Path(args.state) / "nginx" / "timing.log")
                    if kind == "nginx" else
                    served(Path(args.state) / "private" / "azurite-debug.log"))
        gets_by_kind[kind] = sorted(when for when, method, _ in requests
                                    if method == "GET" and when >= started)
    gets = sorted(when for kind_gets in gets_by_kind.values() for when in kind_gets)
    fetched, curl_result = curl_fetch(host, out / "published", read_sas)

    mb = release_bytes / 1e6
    logs = stored_runs(args.subnet, args.slot, args.state)
    # The program posted its log at its close (unless it started the setup).
    picture = dashboard_picture(args.subnet, args.slot, args.state, out / "screenshots")
    print()
    print("== Summary")
    print(f"files:               {len(files)}, {release_bytes:,} bytes, "
          f"{'all identical to the source' if not problems else f'{len(problems)} DIFFERENT'}")
    print(f"publish:             {publish_seconds:.1f} s")
    if upload_seconds is not None:
        print(f"upload:              {upload_seconds:.1f} s")
    if len(kinds) > 1:
        for number, kind in enumerate(kinds):
            print(f"{'hosts:' if number == 0 else '':21}{kind} https://{served_hosts[number][0]}"
                  f" ({'the host' if number == 0 else 'a mirror'}), served "
                  f"{len(gets_by_kind[kind])} of the program's GETs")
        print("verify:              every host held every part, checked against the published "
              "folder before the program ran")
    elif kinds[0] == "nginx":
        print(f"served by:           nginx, {Path(args.state) / 'nginx'}")
    print(f"program wall time:   {wall:.1f} s, {mb / wall:.1f} MB/s (exit code {code})")
    if gets:
        span = max(gets[-1] - gets[0], 0.001)
        print(f"program's requests:  {len(gets)} GETs, {span:.1f} s from the first to the last "
              f"(the rest is Wine's start, the last check, the setup's start and the close)")
    if fetched is None:
        print(f"curl, same objects:  no comparison: {curl_result}")
    else:
        print(f"curl, same objects:  {curl_result:.1f} s, "
              f"{fetched / 1e6 / max(curl_result, 0.001):.1f} MB/s")
    if not setup.local:
        print("setup started:       no setup program in the release")
    elif setup.seen:
        record = setup.record.read_text(encoding="utf-8").strip() if setup.record.exists() else ""
        print(f"setup started:       yes, {setup.local}" + (f" ({record})" if record else ""))
    else:
        print(f"setup started:       NO, the program did not start {setup.local}")
    print(f"program signature:   verified against the test CA ({certs / 'ca.pem'}), "
          f"program file {program.stat().st_size:,} bytes")
    print(f"setup signature:     " +
          (f"checked by the publisher and by the program before it started the setup "
           f"(signer's chain must hold SHA-256 {pin[:16]}..., the test CA)" if pin else
           "not checked (a release of your own: build with VELTRA_SETUP_SIGNERS to check it)"))
    print(f"download folder:     {'LEFT BEHIND' if download_folder_left else 'removed'}")
    print(f"program folder:      {program_folder}")
    print(f"screenshots:         {shots if shots else 'none (ran on your display)'}")
    print(f"log dashboard:       {dashboard_url(args.subnet, args.slot)} ({len(logs)} uploads; "
          f"its secret is in {Path(args.state) / 'private' / 'dashboard-secret'})")
    print(f"dashboard picture:   {picture}")
    if args.keep_services:
        print(f"                     the services stay up for an hour at most; "
              f"scripts/services.sh stop {args.state} stops them")
    else:
        print("                     the services stop when run.sh ends: run it with "
              "--keep-services to look at the dashboard afterwards")
    logfile = program_folder / "logfile.txt"
    print(f"logfile.txt:         {logfile if logfile.exists() else 'none (the run had no errors)'}")
    return 0 if not problems and code == 0 and not download_folder_left else 1


def host_list(text):
    """--hosts: distinct names among azurite and nginx, in order."""
    kinds = text.split(",")
    if not kinds or any(k not in ("azurite", "nginx") for k in kinds) or \
            len(set(kinds)) != len(kinds):
        raise argparse.ArgumentTypeError("a list of azurite and nginx, each once, "
                                         "e.g. azurite,nginx")
    return kinds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("run", help="publish, upload, build, download, check")
    p.add_argument("--build", required=True, help="the run's own build tree")
    p.add_argument("--out", required=True, help="folder for the run's files")
    p.add_argument("--state", required=True, help="the services' state (scripts/services.sh)")
    p.add_argument("--subnet", type=int, required=True)
    p.add_argument("--slot", type=int, required=True)
    served_by = p.add_mutually_exclusive_group()
    served_by.add_argument("--host", choices=("azurite", "nginx"), default="azurite",
                           help="the blob storage emulator, or nginx with secure_link "
                           "signatures")
    served_by.add_argument("--hosts", type=host_list,
                   help="HOST,HOST (azurite, nginx): the release on both at once, the first the "
                   "program's host and the second its mirror (VELTRA_MIRRORS)")
    p.add_argument("--congestion", choices=("cubic", "bbr"),
                   help="with nginx: the server's TCP congestion control (default: "
                   "the system's)")
    p.add_argument("--release", help="a folder of the maker's files (default: a sample)")
    p.add_argument("--name", default="Veltra_R1")
    p.add_argument("--subdir", default="veltra-r1",
                   help="download_subdir, which is the container: lower case, no '_'")
    p.add_argument("--product-code", default="R1")
    p.add_argument("--sas-days", type=int, default=30)
    p.add_argument("--timeout", type=int, default=1800)
    p.add_argument("--display", action="store_true", help="the program runs on $DISPLAY")
    p.add_argument("--keep-services", action="store_true",
                   help="run.sh leaves the servers running afterwards (to look at the dashboard)")
    args = parser.parse_args()
    try:
        return run(args)
    except (RuntimeError, subprocess.CalledProcessError) as error:
        print(f"mainjob: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        # run.sh's trap stops the servers and the run's Wine.
        return 130


if __name__ == "__main__":
    sys.exit(main())
