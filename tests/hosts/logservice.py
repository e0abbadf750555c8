"""The stand-in for the maker's log service: takes POSTs to the log path,
records headers and body, and can refuse, fail with 500 or stall."""

import base64
import threading
import time

import httpio

LOG_PATH = "/Veltra/DownloadManager8.ashx"


class LogService:
    def __init__(self):
        self.lock = threading.Lock()
        self.listeners = []
        self.reset()

    def reset(self):
        with self.lock:
            self.requests = []
            self.behaviour = {}
            self.uses = 0
        for listener in self.listeners:
            listener.open()

    def set_behaviour(self, settings):
        with self.lock:
            self.behaviour = dict(settings)
            self.uses = 0
        for listener in self.listeners:
            if settings.get("refuse"):
                listener.close()
            else:
                listener.open()

    def snapshot(self):
        with self.lock:
            return [dict(r, body=base64.b64encode(r["body"]).decode("ascii"))
                    for r in self.requests]

    def counters(self):
        with self.lock:
            return {"requests": len(self.requests),
                    "listening": all(l.listening for l in self.listeners)}

    def _take_behaviour(self):
        with self.lock:
            behaviour = self.behaviour
            count = int(behaviour.get("count", 0))
            if count and self.uses >= count:
                return {}
            self.uses += 1
            return behaviour

    def handle(self, conn, peer, number, scheme):
        rfile = conn.makefile("rb")
        while True:
            request = httpio.read_request(rfile)
            if request is None:
                return
            behaviour = self._take_behaviour()
            stall_in_body = int(behaviour.get("stall_in_body_ms", 0))
            stalled = []

            def hook(received):
                # Stall once, after the first piece of the body has arrived.
                if stall_in_body and not stalled:
                    stalled.append(received)
                    time.sleep(stall_in_body / 1000)

            body = httpio.read_body(rfile, request, hook)
            with self.lock:
                self.requests.append({
                    "method": request.method, "target": request.target,
                    "headers": request.headers, "body": body, "scheme": scheme,
                    "connection": number})
            if behaviour.get("stall_before_answer_ms"):
                time.sleep(int(behaviour["stall_before_answer_ms"]) / 1000)
            if behaviour.get("status"):
                status = int(behaviour["status"])
                answer = behaviour.get("body", "Internal Server Error").encode("utf-8")
            elif request.method == "POST" and request.path == LOG_PATH:
                status, answer = 200, b"OK"
            else:
                status, answer = 404, b"Not found"
            conn.sendall(httpio.response_head(status, [
                ["Content-Type", "text/plain"], ["Content-Length", str(len(answer))]]))
            conn.sendall(answer)
            if not request.keep_alive:
                rfile.close()
                return
