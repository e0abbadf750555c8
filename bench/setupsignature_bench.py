#!/usr/bin/env python3
"""Signs a setup of 200 MB (a small program with the rest as data after its
sections, as installers carry their payload) with the test CA and times the
program's check of it under Wine (bench/setupsignature_bench.cpp)."""
import argparse
import os
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--megabytes", type=int, default=200)
    args = parser.parse_args()
    build = Path(args.build).resolve()
    certs = build / "codesign"
    subprocess.run([str(ROOT / "scripts" / "codesign-ca.sh"), str(certs)], check=True)
    work = build / "bench-signature"
    work.mkdir(exist_ok=True)
    unsigned, setup = work / "unsigned.exe", work / "Setup.exe"
    with open(unsigned, "wb") as out:
        out.write((build / "tests" / "apphelper.exe").read_bytes())
        for _ in range(args.megabytes):
            out.write(os.urandom(1_000_000))
    setup.unlink(missing_ok=True)
    subprocess.run(["osslsigncode", "sign", "-certs", str(certs / "signer.pem"), "-key",
                    str(certs / "signer.key"), "-h", "sha256", "-in", str(unsigned), "-out",
                    str(setup)], check=True, stdout=subprocess.DEVNULL)
    unsigned.unlink()
    pin = subprocess.run([str(ROOT / "scripts" / "codesign-ca.sh"), "thumbprint",
                          str(certs / "ca.pem")], check=True, capture_output=True,
                         text=True).stdout.strip()
    # The test CA is trusted in the build's prefix, as in the tests.
    wine_run = str(build / "wine-run.sh")
    subprocess.run([wine_run, str(build / "tests" / "apphelper.exe"), "trustroot",
                    "Z:" + str(certs / "ca.pem").replace("/", "\\")], check=True)
    subprocess.run([wine_run, str(build / "bench" / "setupsignature_bench.exe"),
                    "Z:" + str(setup).replace("/", "\\"), pin], check=True)
    setup.unlink()


if __name__ == "__main__":
    main()
