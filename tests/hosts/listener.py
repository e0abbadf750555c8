"""A TCP listener that can stop and resume accepting, with one thread per
connection and optional TLS. Closing the listening socket makes the kernel
refuse new connections, which is how the servers simulate a host that is down."""

import socket
import threading


class Listener:
    def __init__(self, address, port, handler, tls_context=None):
        self.address = address
        self.port = port
        self.handler = handler
        self.tls_context = tls_context
        self.lock = threading.Lock()
        self.sock = None
        self.stopping = False
        self.connection_count = 0
        self.connections = set()
        self.thread = None

    def start(self):
        self.open()
        self.thread = threading.Thread(target=self._accept_loop, daemon=True)
        self.thread.start()

    def open(self):
        with self.lock:
            if self.sock is not None:
                return
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((self.address, self.port))
            sock.listen(64)
            # A short timeout lets the accept loop notice close() quickly.
            sock.settimeout(0.1)
            self.sock = sock

    def close(self):
        """Stops listening and drops every open connection, as a host that
        goes down would: idle keep-alive connections must not outlive it."""
        with self.lock:
            if self.sock is not None:
                # On Linux, shutdown stops listening at once even while the
                # accept thread still holds the socket; close alone would
                # leave it listening until that thread's poll returns.
                try:
                    self.sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                self.sock.close()
                self.sock = None
            connections = list(self.connections)
        for conn in connections:
            try:
                # Through a duplicate, so a TLS wrapper in use by the serving
                # thread stays intact; shutdown acts on the connection itself.
                with socket.fromfd(conn.fileno(), socket.AF_INET, socket.SOCK_STREAM) as dup:
                    dup.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    @property
    def listening(self):
        with self.lock:
            return self.sock is not None

    def _accept_loop(self):
        while not self.stopping:
            with self.lock:
                sock = self.sock
            if sock is None:
                threading.Event().wait(0.05)
                continue
            try:
                conn, peer = sock.accept()
            except (socket.timeout, OSError):
                continue
            conn.settimeout(None)
            with self.lock:
                self.connection_count += 1
                number = self.connection_count
            threading.Thread(target=self._serve, args=(conn, peer, number),
                             daemon=True).start()

    def _serve(self, conn, peer, number):
        with self.lock:
            self.connections.add(conn)
        try:
            if self.tls_context is not None:
                conn.settimeout(30)
                with self.lock:
                    self.connections.discard(conn)
                    conn = self.tls_context.wrap_socket(
                        conn, server_side=True, do_handshake_on_connect=False)
                    self.connections.add(conn)
                conn.do_handshake()
            conn.settimeout(300)
            self.handler(conn, peer, number)
        except (OSError, ValueError):
            pass
        finally:
            with self.lock:
                self.connections.discard(conn)
            try:
                conn.close()
            except OSError:
                pass
