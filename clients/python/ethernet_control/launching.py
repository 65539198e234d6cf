"""Starting the program without windows and stopping it again."""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from typing import Any, Iterator, Optional, Sequence, Union

from .client import LaunchError, Terminal, connect

__all__ = ["PROTOCOLS", "Process", "config_text", "find_binary", "launch", "start"]

#: The values of "Protocolo" in "Config.ini", by name.
PROTOCOLS = {"vt100": 0, "zorvane": 1, "telnet": 2}


def config_text(port: int, protocol: Union[str, int] = "vt100", *, role: str = "client",
                address: str = "127.0.0.1", extra: str = "") -> str:
    """A "Config.ini" for a terminal that calls the host at ``address:port``
    (``role="client"``) or listens on ``port`` for it (``role="server"``),
    speaking ``protocol`` ("vt100", "zorvane", "telnet" or the number).
    ``extra`` is appended as it is (further sections such as
    ``"[CodigoBarras]\nDelai=0\n"``)."""
    if isinstance(protocol, str):
        if protocol.lower() not in PROTOCOLS:
            raise ValueError(f"protocol is one of {', '.join(PROTOCOLS)}, not {protocol!r}")
        protocol = PROTOCOLS[protocol.lower()]
    if role not in ("client", "server"):
        raise ValueError(f"role is \"client\" or \"server\", not {role!r}")
    return (f"[Config]\nConexao={1 if role == 'client' else 0}\nPorta={int(port)}\nEndereco={address}\n"
            f"Protocolo={int(protocol)}\n{extra}")


def find_binary(binary: Optional[str] = None) -> str:
    """The program to start: ``binary``, else ``ETHERNET_BINARY``, else
    ``ethernet`` on the PATH; raises :class:`LaunchError` when none is set."""
    candidate = binary or os.environ.get("ETHERNET_BINARY") or shutil.which("ethernet")
    if not candidate:
        raise LaunchError("the ethernet program was not found: pass binary= or set ETHERNET_BINARY")
    return candidate


class Process:
    """A headless program started by :func:`launch`."""

    def __init__(self, popen: subprocess.Popen, folder: str, ready: dict):
        self.popen = popen
        self.folder = folder
        self.ready = ready

    @property
    def stderr_text(self) -> str:
        with open(os.path.join(self.folder, "stderr.txt"), encoding="utf-8", errors="replace") as f:
            return f.read()

    @property
    def control(self) -> str:
        """The control address from the ready line (``unix:PATH`` or ``tcp:HOST:PORT``)."""
        return str(self.ready["control"])

    def stop(self, timeout: float = 10.0) -> int:
        """Ends the program with SIGTERM (SIGKILL after ``timeout`` seconds)
        and returns its exit status."""
        if self.popen.poll() is None:
            self.popen.send_signal(signal.SIGTERM)
            try:
                self.popen.wait(timeout)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()
        sock = getattr(self, "stdout_socket", None)
        if sock is not None:
            sock.close()
        return self.popen.returncode


def start(config: Optional[str] = None, folder: Optional[str] = None, equipment: str = "terminal",
          transport: str = "unix", binary: Optional[str] = None, extra_args: Sequence[str] = (),
          startup_timeout: float = 15.0, fleet: bool = False, control: Optional[str] = None) -> Process:
    """Starts the program without windows in ``folder`` (which must exist),
    writing ``config`` as its "Config.ini" when given, and returns once its
    control interface is ready. With ``fleet`` the folder is a fleet folder
    (``--fleet``): one terminal per subfolder holding a "Config.ini".
    ``control`` is the ``--control`` address to open; by default a socket
    "control.sock" in the folder (``transport="unix"``) or a free TCP port."""
    folder = os.path.abspath(folder or tempfile.mkdtemp(prefix="ethernet-"))
    if config is not None:
        with open(os.path.join(folder, "Config.ini"), "w", encoding="cp1252", newline="\r\n") as f:
            f.write(config)
    if control is None:
        control = f"unix:{os.path.join(folder, 'control.sock')}" if transport == "unix" else "tcp:0"
    command = [find_binary(binary), "--headless", "--fleet" if fleet else "--folder", folder,
               "--equipment", equipment, "--control", control, *extra_args]
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    stderr = open(os.path.join(folder, "stderr.txt"), "wb")
    # The ready line comes through a socket pair rather than a pipe: reading a
    # socket object with a timeout is what gevent (under Locust) makes
    # cooperative, where a select on a pipe's descriptor would hold every
    # other greenlet of the process.
    ours, theirs = socket.socketpair()
    try:
        popen = subprocess.Popen(command, stdout=theirs.fileno(), stderr=stderr, stdin=subprocess.DEVNULL, env=env)
    finally:
        theirs.close()
        stderr.close()
    deadline = time.monotonic() + startup_timeout
    line = b""
    while not line.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        chunk = None
        if remaining > 0:
            ours.settimeout(remaining)
            with contextlib.suppress(socket.timeout):
                chunk = ours.recv(4096)
        if not chunk:
            ours.close()
            if chunk is None:
                popen.kill()
            popen.wait()
            if chunk is None:
                raise LaunchError("the program did not report its control interface in time")
            with open(os.path.join(folder, "stderr.txt"), encoding="utf-8", errors="replace") as f:
                raise LaunchError(f"the program ended with status {popen.returncode}: {f.read().strip()}")
        line += chunk
    process = Process(popen, folder, json.loads(line)["ready"])
    # Kept open, as a pipe was: the program's later output must not meet a closed end.
    process.stdout_socket = ours
    return process


@contextlib.contextmanager
def launch(config: Optional[str] = None, folder: Optional[str] = None, **options: Any) -> Iterator[Terminal]:
    """Starts the program without windows, connects to it, and stops it (and
    removes the temporary folder, when one was made) on leaving the block.
    The :class:`Process` is at ``terminal.process``."""
    made = None
    if folder is None:
        made = tempfile.TemporaryDirectory(prefix="ethernet-")
        folder = made.name
    process = start(config=config, folder=folder, **options)
    terminal = None
    try:
        terminal = connect(process.ready["control"], process.ready.get("token"))
        terminal.process = process  # type: ignore[attr-defined]
        yield terminal
    finally:
        if terminal is not None:
            terminal.close()
        process.stop()
        if made is not None:
            made.cleanup()
