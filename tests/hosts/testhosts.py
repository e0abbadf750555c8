#!/usr/bin/env python3
"""Runs one set of test servers: the download host (HTTPS), the log service
(HTTPS and HTTP) and their control endpoint. Stops on SIGTERM, or by itself
after --lifetime seconds so that nothing outlives an interrupted test run."""

import argparse
import os
import signal
import ssl
import sys
import threading

# The servers run from the source tree, which they must leave untouched.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from control import Control  # noqa: E402
from downloadhost import DownloadHost  # noqa: E402
from listener import Listener  # noqa: E402
from logservice import LogService  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--host-address", required=True, help="address of the download host")
    parser.add_argument("--host-port", type=int, default=443)
    parser.add_argument("--host-http-port", type=int, default=80,
                        help="the download host also answers plain HTTP here (0: not)")
    parser.add_argument("--log-address", required=True, help="address of the log service")
    parser.add_argument("--log-https-port", type=int, default=8443)
    parser.add_argument("--log-http-port", type=int, default=8080)
    parser.add_argument("--control-port", type=int, required=True, help="on 127.0.0.1")
    parser.add_argument("--cert", required=True, help="server certificate chain (PEM)")
    parser.add_argument("--key", required=True, help="server key (PEM)")
    parser.add_argument("--root", required=True, help="folder the download host serves")
    parser.add_argument("--untrusted-address",
                        help="also serve the download host here, with --untrusted-cert")
    parser.add_argument("--untrusted-cert", help="certificate from an untrusted CA (PEM)")
    parser.add_argument("--untrusted-key")
    parser.add_argument("--lifetime", type=float, default=1800)
    args = parser.parse_args()

    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(args.cert, args.key)

    os.makedirs(args.root, exist_ok=True)
    host = DownloadHost(args.root)
    log = LogService()
    host_listeners = [Listener(args.host_address, args.host_port,
                               lambda c, p, n: host.handle(c, p, n, "https"), tls)]
    if args.host_http_port:
        host_listeners.append(Listener(args.host_address, args.host_http_port,
                                       lambda c, p, n: host.handle(c, p, n, "http")))
    log.listeners = [
        Listener(args.log_address, args.log_https_port,
                 lambda c, p, n: log.handle(c, p, n, "https"), tls),
        Listener(args.log_address, args.log_http_port,
                 lambda c, p, n: log.handle(c, p, n, "http")),
    ]
    untrusted = []
    if args.untrusted_address:
        untrusted_tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        untrusted_tls.load_cert_chain(args.untrusted_cert, args.untrusted_key)
        untrusted.append(Listener(args.untrusted_address, args.host_port,
                                  lambda c, p, n: host.handle(c, p, n, "https"), untrusted_tls))
    control = Listener("127.0.0.1", args.control_port,
                       Control(host, log, host_listeners).handle)
    for listener in host_listeners + [control] + log.listeners + untrusted:
        listener.start()

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    print("ready", flush=True)
    done.wait(args.lifetime)


if __name__ == "__main__":
    main()
