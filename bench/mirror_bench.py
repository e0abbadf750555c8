#!/usr/bin/env python3
"""A second host of the release against one, and what each failure of the
first host costs. The hosts of tests/app/program_mirrors_test.py: nginx
behind the fault relay first, Azurite second, both serving a release of
88 MB in 11 parts that the publisher made. The program built for the first
host alone (program_nginx) and the one built for both (program_mirrors) run
in interleaved rounds, which of the two first alternating: one host; both
up; the first host stopped before the start; stopped (nginx's fast stop)
once 20 MB were served; answering 503 to everything; answering 403 to
everything (nginx with another secret, as for an expired signature).
Prints, as medians of the rounds, the wall time from the start to the
program's exit, MB/s, the requests both hosts answered, the time each
failure adds to the run with both hosts up in the same round, and the parts
fetched again; then, once, how soon each program gives up with its hosts
down, and after how many tries. It takes the integration tests' addresses:
never run it beside them."""

import argparse
import contextlib
import os
import re
import shutil
import statistics
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
from download_bench import persistent_wineserver  # noqa: E402


def cache_value(build, name):
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        return re.search(r"^%s:\w+=(.*)$" % name, cache.read(), re.M).group(1)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    build, source = os.path.abspath(args.build), os.path.abspath(args.source)
    # The test's environment, from the build's values.
    os.environ.update({
        "VELTRA_SOURCE": source,
        "VELTRA_PUBLISHER": os.path.join(build, "native", "publisher", "publisher"),
        "VELTRA_TEST_SUBNET": cache_value(build, "VELTRA_TEST_SUBNET"),
        "VELTRA_NGINX_SECRET": cache_value(build, "NGINX_TEST_SECRET"),
        "VELTRA_NGINX_EXPIRY": cache_value(build, "NGINX_TEST_EXPIRY"),
        "VELTRA_RELEASE_NAME": cache_value(build, "VELTRA_RELEASE_NAME"),
        "VELTRA_DOWNLOAD_SUBDIR": cache_value(build, "VELTRA_DOWNLOAD_SUBDIR"),
        "VELTRA_PARTS_IN_FLIGHT": cache_value(build, "VELTRA_PARTS_IN_FLIGHT")})
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"):
        os.environ.pop(name, None)
    sys.path.insert(0, os.path.join(source, "tests", "app"))
    import program_mirrors_test as mirrors  # noqa: E402

    wine_run = os.path.join(build, "wine-run.sh")
    prefix = os.path.join(build, "wineprefix")
    xvfb = os.path.join(source, "tests", "wine", "xvfb.sh")
    xvfb_state = os.path.join(build, "xvfb")
    work = os.path.join(build, "bench-mirrors")
    details = os.path.join(build, "bench-mirrors.log")
    subprocess.run([xvfb, "start", xvfb_state, prefix], check=True)
    hosts = None
    try:
        subprocess.run([wine_run, "--init"], check=True)
        # One wineserver for all runs: each start costs the same.
        persistent_wineserver(wine_run, prefix)
        with open(details, "w") as out, contextlib.redirect_stdout(out):
            hosts, (program, one_host) = mirrors.prepare(
                wine_run, [os.path.join(build, "tests", "program_mirrors.exe"),
                           os.path.join(build, "tests", "program_nginx.exe")],
                os.path.join(build, "tests", "apphelper.exe"), work, prefix,
                os.path.join(build, "azurite"))
        rows = {}
        for k in range(args.rounds):
            with open(details, "a") as out, contextlib.redirect_stdout(out):
                # Each first in every other round.
                alone, base = mirrors.both_up(hosts, program, one_host, k % 2 == 0)
                runs = [("one host", alone), ("two hosts, both up", base),
                        ("first host stopped before the start",
                         mirrors.first_stopped(hosts, program, base)),
                        ("first host stopped once 20 MB were served",
                         mirrors.first_stops_mid_run(hosts, program, base)),
                        *zip(("first host answers 503", "first host answers 403"),
                             mirrors.first_refuses(hosts, program, base))]
            for name, run in runs:
                requests = len(run.served["relay"]) + len(run.served["azurite"])
                rows.setdefault(name, []).append(
                    (run.seconds, requests, run.seconds - base.seconds, run.refetched))
            print("round %d: %s" % (k + 1, ", ".join(
                "%s %.1f s" % (name, run.seconds) for name, run in runs)), flush=True)
        size = sum(size for _, size in mirrors.FILES)
        print("release of %.0f MB in %d parts, %d parts in flight; median of %d rounds "
              "(start to the program's exit; details in %s):" % (
                  size / 1e6, hosts.parts, mirrors.IN_FLIGHT, args.rounds, details))
        print("| | wall s | MB/s | requests | s over both up | parts fetched again |")
        print("|---|---|---|---|---|---|")
        for name, values in rows.items():
            wall, requests, extra, again = (statistics.median(v) for v in zip(*values))
            print("| %s | %.1f | %.0f | %g | %s | %g |" % (
                name, wall, size / 1e6 / wall, requests,
                "" if name.startswith(("one", "two")) else "%+.1f" % extra, again))
        # Last: the hosts stay down.
        with open(details, "a") as out, contextlib.redirect_stdout(out):
            hosts.first_down()
            alone = mirrors.gives_up(one_host, "e_one_host_down")
            hosts.second_down()
            both = mirrors.gives_up(program, "e_both_down")
        print("giving up (one run each): the program for one host with it down shows the "
              "support message after %.1f s and %d tries, the one for two hosts with both down "
              "after %.1f s and %d tries" % (
                  alone[0], alone[1].count("Opening connection: "),
                  both[0], both[1].count("Opening connection: ")))
    finally:
        if hosts is not None:
            hosts.stop()
        subprocess.run([xvfb, "stop", xvfb_state, prefix])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
