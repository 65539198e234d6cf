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
from typing import Any, Iterator, Optional, Sequence

from .client import LaunchError, Terminal, connect

__all__ = ["Process", "find_binary", "launch", "start"]


def find_binary(binary: Optional[str] = None) -> str:
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

    def stop(self, timeout: float = 10.0) -> int:
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
          startup_timeout: float = 15.0, fleet: bool = False) -> Process:
    """Starts the program without windows in ``folder`` (which must exist),
    writing ``config`` as its "Config.ini" when given, and returns once its
    control interface is ready. With ``fleet`` the folder is a fleet folder
    (``--fleet``): one terminal per subfolder holding a "Config.ini"."""
    folder = os.path.abspath(folder or tempfile.mkdtemp(prefix="ethernet-"))
    if config is not None:
        with open(os.path.join(folder, "Config.ini"), "w", encoding="cp1252", newline="\r\n") as f:
            f.write(config)
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
