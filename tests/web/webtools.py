"""What the browser console tests share: a fleet of terminals each called by
its own test host, the program started with --web, and a minimal WebSocket
client (RFC 6455, text frames, client masking) for the tests that need no
browser."""

import base64
import json
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients", "python"))

import ethernet_control as ec  # noqa: E402
from ethernet_control.pytest_plugin import EthernetHost  # noqa: E402

VT100 = 0


def config(port, protocol=VT100):
    """A terminal that calls the host on 127.0.0.1:port."""
    return ("[Config]\nConexao=1\nPorta={port}\nEndereco=127.0.0.1\nProtocolo={protocol}\n"
            "Inicializacao=0\n[CodigoBarras]\nCofig_Leitor=1\nDelai=0\n").format(port=port, protocol=protocol)


class Host(EthernetHost):
    """One test host: listens on loopback, takes its terminal's connection
    (the pytest plugin's host, which reads until what is expected)."""

    def accept(self, timeout=15.0):
        return super().accept(timeout)

    def show(self, text: str):
        """Clears the terminal's display and writes text on its first line (VT100)."""
        self.send(b"\x1b[2J\x1b[H" + text.encode("latin-1"))

    def quiet_for(self, seconds):
        """What arrives within seconds (nothing, for a key that must not come)."""
        self.conn.settimeout(seconds)
        try:
            chunk = self.conn.recv(65536)
        except socket.timeout:
            chunk = b""
        self.received += chunk
        return chunk


def make_fleet(root, hosts):
    """Folders root/t001... one per host."""
    root.mkdir(exist_ok=True)
    names = []
    for i, host in enumerate(hosts, 1):
        name = f"t{i:03d}"
        (root / name).mkdir()
        (root / name / "Config.ini").write_text(config(host.port))
        names.append(name)
    return names


def start(folder, fleet=True, web="127.0.0.1:0", extra=()):
    """The program without windows with --web; its ready line has the links."""
    return ec.start(folder=str(folder), fleet=fleet, extra_args=["--web", web, *extra])


def web_address(process):
    """(host, port) of the console from the ready line's operate link."""
    link = process.ready["web"]["operate"]
    hostport = link.split("//", 1)[1].split("/", 1)[0]
    host, port = hostport.rsplit(":", 1)
    return host, int(port)


def tokens(process):
    web = process.ready["web"]
    return web["operate"].split("#operate=", 1)[1], web["view"].split("#view=", 1)[1]


class WebSocketRefused(Exception):
    def __init__(self, status, text):
        super().__init__(f"{status}: {text}")
        self.status = status
        self.text = text


class WebSocket:
    """A minimal WebSocket client: enough to speak the control protocol."""

    def __init__(self, host, port, origin="same", path="/ws", timeout=10.0, host_header=None):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.buffer = b""
        key = base64.b64encode(os.urandom(16)).decode()
        host_header = host_header or f"{host}:{port}"
        lines = [f"GET {path} HTTP/1.1", f"Host: {host_header}", "Upgrade: websocket", "Connection: Upgrade",
                 f"Sec-WebSocket-Key: {key}", "Sec-WebSocket-Version: 13"]
        if origin == "same":
            lines.append(f"Origin: http://{host_header}")
        elif origin is not None:
            lines.append(f"Origin: {origin}")
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                break
            self.buffer += chunk
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        status_line = head.split(b"\r\n", 1)[0].decode()
        status = int(status_line.split()[1]) if len(status_line.split()) > 1 else 0
        if status != 101:
            rest = self.buffer
            try:
                while True:
                    chunk = self.sock.recv(65536)
                    if not chunk:
                        break
                    rest += chunk
            except OSError:
                pass
            self.sock.close()
            raise WebSocketRefused(status, rest.decode(errors="replace"))
        self.next_id = 1

    def send_frame(self, opcode, payload: bytes, fin=True):
        header = bytes([(0x80 if fin else 0) | opcode])
        n = len(payload)
        if n < 126:
            header += bytes([0x80 | n])
        elif n < 65536:
            header += bytes([0x80 | 126]) + struct.pack("!H", n)
        else:
            header += bytes([0x80 | 127]) + struct.pack("!Q", n)
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload)) if n < 1 << 16 else \
            (int.from_bytes(payload, "big") ^ int.from_bytes((mask * (n // 4 + 1))[:n], "big")).to_bytes(n, "big")
        self.sock.sendall(header + mask + masked)

    def send_text(self, text: str):
        self.send_frame(0x1, text.encode())

    def _need(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def recv_frame(self):
        """(opcode, payload) of the next whole message; control frames are returned too."""
        b0, b1 = self._need(2)
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack("!H", self._need(2))[0]
        elif n == 127:
            n = struct.unpack("!Q", self._need(8))[0]
        payload = self._need(n)
        opcode = b0 & 0x0F
        if opcode == 0x9:
            self.send_frame(0xA, payload)
            return self.recv_frame()
        return opcode, payload

    def recv(self, timeout=10.0):
        """The next JSON message; ConnectionError with the close code when the program closed."""
        self.sock.settimeout(timeout)
        opcode, payload = self.recv_frame()
        if opcode == 0x8:
            code = struct.unpack("!H", payload[:2])[0] if len(payload) >= 2 else None
            raise ConnectionError(f"closed by the program with code {code}", code)
        return json.loads(payload)

    def request(self, cmd, timeout=10.0, **args):
        """Sends a request and returns its reply; events that come first are kept in self.events."""
        rid = self.next_id
        self.next_id += 1
        self.send_text(json.dumps(dict(args, id=rid, cmd=cmd)))
        while True:
            message = self.recv(timeout)
            if message.get("id") == rid:
                return message
            self.events.append(message)

    events: list = []

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def authenticated(host, port, token):
    """A WebSocket that has said hello and authenticated with token."""
    ws = WebSocket(host, port)
    ws.events = []
    assert "hello" in ws.recv()
    reply = ws.request("auth", token=token)
    assert "ok" in reply, reply
    return ws


def chromium(user_data_dir, width=1280, height=900):
    """Debian's chromium, headless, through chromium-driver; a fresh profile in user_data_dir."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                 f"--user-data-dir={user_data_dir}", f"--window-size={width},{height}"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def wait_for(predicate, timeout=20.0, what="a condition"):
    """Polls predicate until it returns something true; its value."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            last = predicate()
            if last:
                return last
        except Exception as error:  # the page is still being drawn
            last = error
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}; last: {last!r}")
