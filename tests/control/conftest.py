"""Shared pieces of the control interface tests: the program under test, a
test host on loopback, and Config.ini texts for each role and protocol."""

import os
import socket
import sys
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients", "python"))

import ethernet_control  # noqa: E402

VT100, ZORVANE, TELNET = 0, 1, 2
STX, ETX, ESC = b"\x02", b"\x03", b"\x1b"


def frame(letter: bytes, operand: bytes = b"") -> bytes:
    """A Zorvane command frame in the plain framing."""
    return STX + letter + operand + ETX


def config(port: int, protocol: int = ZORVANE, role: int = 1, extra: str = "") -> str:
    """A "Config.ini" for a terminal that calls (role 1) or waits for (role 0)
    the host on 127.0.0.1:port."""
    return ("[Config]\nConexao={role}\nPorta={port}\nEndereco=127.0.0.1\nProtocolo={protocol}\n"
            "Inicializacao=0\n[CodigoBarras]\nCofig_Leitor=1\nDelai=0\n{extra}").format(
                role=role, port=port, protocol=protocol, extra=extra)


class Host:
    """A host application on loopback: listens on an ephemeral port, takes the
    terminal's connection and reads what it sends."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.conn = None
        self.received = b""

    def accept(self, timeout: float = 10.0) -> socket.socket:
        self.server.settimeout(timeout)
        self.conn, _ = self.server.accept()
        return self.conn

    def send(self, data: bytes) -> None:
        self.conn.sendall(data)

    def read_until(self, expected: bytes, timeout: float = 15.0) -> bytes:
        """Reads until ``expected`` has arrived; returns everything read so far."""
        deadline = time.monotonic() + timeout
        while expected not in self.received:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"host never received {expected!r}; got {self.received!r}")
            self.conn.settimeout(remaining)
            try:
                chunk = self.conn.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise AssertionError(f"connection closed before {expected!r}; got {self.received!r}")
            self.received += chunk
        return self.received

    def quiet_for(self, seconds: float) -> bytes:
        """Whatever arrives within ``seconds``."""
        self.conn.settimeout(seconds)
        try:
            chunk = self.conn.recv(65536)
        except socket.timeout:
            chunk = b""
        self.received += chunk
        return chunk

    def close(self):
        for s in (self.conn, self.server):
            if s is not None:
                s.close()


@pytest.fixture
def host():
    h = Host()
    yield h
    h.close()


@pytest.fixture
def binary():
    return ethernet_control.find_binary()


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
