"""The plain-HTTP control endpoint on 127.0.0.1 through which tests drive the
servers. Requests and answers are small JSON documents (see README.md)."""

import json
import urllib.parse

import httpio


class Control:
    def __init__(self, host, log, host_listeners):
        self.host = host
        self.log = log
        self.host_listeners = host_listeners

    def handle(self, conn, peer, number):
        rfile = conn.makefile("rb")
        while True:
            request = httpio.read_request(rfile)
            if request is None:
                return
            body = httpio.read_body(rfile, request)
            try:
                status, answer = 200, self._dispatch(request, body)
            except (ValueError, KeyError, TypeError) as error:
                status, answer = 400, {"error": str(error)}
            data = json.dumps(answer).encode("utf-8")
            conn.sendall(httpio.response_head(status, [
                ["Content-Type", "application/json"], ["Content-Length", str(len(data))]]))
            conn.sendall(data)
            if not request.keep_alive:
                rfile.close()
                return

    def _dispatch(self, request, body):
        path = request.path
        query = dict(urllib.parse.parse_qsl(request.target.partition("?")[2]))

        def request_json():
            return json.loads(body.decode("utf-8")) if body else {}

        if path == "/ping":
            return {"ok": True}
        if path == "/host/reset":
            self.host.reset()
            for listener in self.host_listeners:
                listener.open()
            return {"ok": True}
        if path == "/host/put":
            self.host.put(query["path"], body, query.get("file"))
            return {"ok": True}
        if path == "/host/fault":
            fault = request_json()
            self.host.set_fault(fault.pop("path"), fault)
            return {"ok": True}
        if path == "/host/listen":
            listening = request_json().get("listening", True)
            for listener in self.host_listeners:
                if listening:
                    listener.open()
                else:
                    listener.close()
            return {"ok": True}
        if path == "/host/requests":
            return self.host.snapshot()
        if path == "/host/counters":
            counters = self.host.counters()
            counters["connections"] = sum(l.connection_count for l in self.host_listeners)
            counters["listening"] = all(l.listening for l in self.host_listeners)
            return counters
        if path == "/log/reset":
            self.log.reset()
            return {"ok": True}
        if path == "/log/behaviour":
            self.log.set_behaviour(request_json())
            return {"ok": True}
        if path == "/log/requests":
            return self.log.snapshot()
        if path == "/log/counters":
            return self.log.counters()
        raise KeyError("unknown control path " + path)
