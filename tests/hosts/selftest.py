#!/usr/bin/env python3
"""Checks the test servers' own logic on plain HTTP at ephemeral loopback
ports: the faults the Windows tests rely on must do exactly what they say."""

import base64
import http.client
import json
import os
import socket
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from control import Control  # noqa: E402
from downloadhost import DownloadHost  # noqa: E402
from listener import Listener  # noqa: E402
from logservice import LogService  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.TemporaryDirectory()
        self.host = DownloadHost(self.root.name)
        self.log = LogService()
        self.host_port, self.log_port, self.control_port = free_port(), free_port(), free_port()
        self.host_listener = Listener("127.0.0.1", self.host_port, self.host.handle)
        self.log.listeners = [Listener("127.0.0.1", self.log_port,
                                       lambda c, p, n: self.log.handle(c, p, n, "http"))]
        control = Listener("127.0.0.1", self.control_port,
                           Control(self.host, self.log, [self.host_listener]).handle)
        self.listeners = [self.host_listener, control] + self.log.listeners
        for listener in self.listeners:
            listener.start()

    def tearDown(self):
        for listener in self.listeners:
            listener.stopping = True
            listener.close()
        self.root.cleanup()

    def control(self, path, body=b"", method="POST"):
        conn = http.client.HTTPConnection("127.0.0.1", self.control_port, timeout=10)
        conn.request(method, path, body=body)
        response = conn.getresponse()
        answer = json.loads(response.read())
        conn.close()
        return response.status, answer

    def get(self, path, port=None):
        conn = http.client.HTTPConnection("127.0.0.1", port or self.host_port, timeout=10)
        conn.request("GET", path)
        response = conn.getresponse()
        return conn, response

    def fault(self, **settings):
        self.assertEqual(200, self.control("/host/fault", json.dumps(settings).encode())[0])

    def test_fault_applies_count_times_then_object_is_served(self):
        self.control("/host/put?path=/a.bin", b"payload")
        self.fault(path="/a.bin", count=2, status=503, body="busy", headers=[["Retry-After", "1"]])
        for _ in range(2):
            conn, response = self.get("/a.bin?sig=1")
            self.assertEqual((503, b"busy", "1"),
                             (response.status, response.read(), response.getheader("Retry-After")))
        conn, response = self.get("/a.bin")
        self.assertEqual((200, b"payload"), (response.status, response.read()))
        targets = [r["target"] for r in self.control("/host/requests", method="GET")[1]]
        self.assertEqual(["/a.bin?sig=1", "/a.bin?sig=1", "/a.bin"], targets)

    def test_bodies_in_turn_and_varying_byte(self):
        self.control("/host/put?path=/v", bytes(100))
        self.fault(path="/v", bodies=[base64.b64encode(b).decode() for b in (b"one", b"two")])
        seen = [self.get("/v")[1].read() for _ in range(3)]
        self.assertEqual([b"one", b"two", b"one"], seen)
        self.fault(path="/v", vary_offset=5)
        first, second = self.get("/v")[1].read(), self.get("/v")[1].read()
        self.assertNotEqual(first, second)
        self.assertEqual(first[:5] + first[6:], bytes(99))

    def test_truncation_announces_full_length_and_closes(self):
        self.control("/host/put?path=/t", bytes(range(256)) * 40)
        self.fault(path="/t", count=1, truncate_at=1000)
        conn, response = self.get("/t")
        self.assertEqual("10240", response.getheader("Content-Length"))
        self.assertEqual("close", response.getheader("Connection"))
        with self.assertRaises(http.client.IncompleteRead) as caught:
            response.read()
        self.assertEqual(1000, len(caught.exception.partial))

    def test_reset_sends_rst_after_the_given_bytes(self):
        self.control("/host/put?path=/r", bytes(50000))
        self.fault(path="/r", count=1, reset_at=20000)
        conn, response = self.get("/r")
        received = b""
        with self.assertRaises(ConnectionResetError):
            while True:
                piece = response.read1(65536)
                if not piece:
                    break
                received += piece
        self.assertEqual(20000, len(received))

    def test_stall_mid_body_delays_the_rest(self):
        self.control("/host/put?path=/s", bytes(3000))
        self.fault(path="/s", count=1, stall_at=1000, stall_ms=400)
        start = time.monotonic()
        body = self.get("/s")[1].read()
        self.assertEqual(3000, len(body))
        self.assertGreaterEqual(time.monotonic() - start, 0.35)

    def test_files_outside_the_served_folder_are_not_served(self):
        with open(os.path.join(self.root.name, "inside.bin"), "wb") as f:
            f.write(b"inside")
        self.control("/host/put?path=/alias&file=inside.bin")
        self.assertEqual(b"inside", self.get("/alias")[1].read())
        self.control("/host/put?path=/escape&file=../../etc/passwd")
        self.assertEqual(404, self.get("/escape")[1].status)
        self.assertEqual(404, self.get("/../../etc/passwd")[1].status)

    def test_closing_the_listener_refuses_and_drops_idle_connections(self):
        self.control("/host/put?path=/x", b"x")
        conn, response = self.get("/x")
        response.read()
        self.control("/host/listen", b'{"listening": false}')
        with self.assertRaises((ConnectionError, http.client.HTTPException, OSError)):
            conn.request("GET", "/x")
            conn.getresponse().read()
        with self.assertRaises(ConnectionRefusedError):
            self.get("/x")
        self.control("/host/reset")
        self.assertEqual(404, self.get("/x")[1].status)

    def test_log_service_records_chunked_body_and_answers_by_behaviour(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.log_port, timeout=10)
        conn.request("POST", "/Veltra/DownloadManager8.ashx", body=iter([b"ab", b"cd"]),
                     headers={"Method": "LogErrorInfo"}, encode_chunked=True)
        self.assertEqual(200, conn.getresponse().status)
        conn.close()
        self.control("/log/behaviour", b'{"status": 500, "body": "down", "count": 1}')
        conn, response = self.get("/Veltra/DownloadManager8.ashx", self.log_port)
        self.assertEqual((500, b"down"), (response.status, response.read()))
        conn, response = self.get("/other", self.log_port)
        self.assertEqual(404, response.status)
        records = self.control("/log/requests", method="GET")[1]
        self.assertEqual(base64.b64encode(b"abcd").decode(), records[0]["body"])
        self.assertIn(["Method", "LogErrorInfo"], records[0]["headers"])
        self.assertIn(["Transfer-Encoding", "chunked"], records[0]["headers"])
        self.control("/log/behaviour", b'{"refuse": true}')
        with self.assertRaises(ConnectionRefusedError):
            self.get("/", self.log_port)

    def test_bad_control_requests_are_rejected(self):
        self.assertEqual(400, self.control("/host/fault", b"{}")[0])
        self.assertEqual(400, self.control("/nothing")[0])


if __name__ == "__main__":
    unittest.main()
