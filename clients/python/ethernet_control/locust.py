"""Operators as Locust users: one Locust user is one operator at one terminal.

    from locust import task, between
    from ethernet_control.locust import TerminalUser

    class Operator(TerminalUser):
        host = "127.0.0.1:5001"          # where the host application listens
        wait_time = between(1, 2)

        @task
        def read_a_code(self):
            with self.transaction("menu 1", until={"display": "Passe o codigo"}):
                self.terminal.key("1")

Each Locust process (the lone one, or each worker) runs one headless program
for all its users; a user's terminal is added to it (``fleet.add``) when the
user starts and removed (``fleet.remove``) when it stops. ``self.terminal`` is
that terminal's handle on the user's own control connection.

``with self.transaction(name, until={...}, timeout=10):`` runs the actions of
its block, then waits in the program for the condition, and fires one Locust
request event of type ``"terminal"``: its response time runs from the first
byte the block's actions sent to the host until the condition held, measured by
the program in microseconds and given to Locust as milliseconds with their
fractions. A condition that does not hold in time is a failure whose message
holds what the display showed and whether the terminal was connected.

Everything here is blocking socket I/O on socket objects, which Locust's gevent
makes cooperative: no threads, no select on raw descriptors.

Debian's python3-locust 2.12.1 carries an empty version string, and a master
refuses every worker whose version is empty as "pre 2.0". Importing this module
sets the version where it is empty, in the master and in the workers alike.
"""

from __future__ import annotations

import atexit
import contextlib
import importlib.metadata
import tempfile
import time
from typing import Any, Dict, Iterator, List, Optional, Sequence

import gevent.lock
import locust
import locust.runners
from locust import User, events

from .client import ControlError, Terminal, WaitTimeout, connect
from .launching import Process, start

__all__ = ["TerminalUser", "program"]


def _mend_empty_version() -> None:
    if locust.__version__:
        return
    try:
        version = importlib.metadata.version("locust") or "0.0.0"
    except importlib.metadata.PackageNotFoundError:
        version = "0.0.0"
    # locust.runners took its own copy of the name when it was imported: it sends and checks that one.
    for module in (locust, locust.runners):
        if not getattr(module, "__version__", ""):
            module.__version__ = version


_mend_empty_version()


class _Program:
    """The headless program of this Locust process, started with the first user."""

    def __init__(self) -> None:
        self.lock = gevent.lock.Semaphore()
        self.process: Optional[Process] = None
        self.folder: Optional[tempfile.TemporaryDirectory] = None

    def get(self, binary: Optional[str], args: Sequence[str]) -> Process:
        with self.lock:
            if self.process is None or self.process.popen.poll() is not None:
                self.stop()
                self.folder = tempfile.TemporaryDirectory(prefix="ethernet-locust-")
                self.process = start(folder=self.folder.name, fleet=True, binary=binary, extra_args=list(args))
            return self.process

    def stop(self) -> None:
        if self.process is not None:
            self.process.stop()
            self.process = None
        if self.folder is not None:
            self.folder.cleanup()
            self.folder = None


_program = _Program()
atexit.register(_program.stop)


@events.quitting.add_listener
def _on_quitting(environment, **_kwargs) -> None:
    _program.stop()


def program() -> Optional[Process]:
    """The program this Locust process runs its users' terminals in, once started."""
    return _program.process


def _host_and_port(host: Optional[str]) -> tuple:
    text = (host or "127.0.0.1:5001").split("://")[-1].rstrip("/")
    address, _, port = text.rpartition(":")
    if not address or not port.isdigit():
        raise ValueError(f"the host is ADDRESS:PORT of the host application, not {host!r}")
    return address, int(port)


class TerminalUser(User):
    """An operator at a terminal. Subclasses give tasks and ``host`` (the host
    application's ``ADDRESS:PORT``; ``--host`` on the command line), and may
    set ``protocol`` ("zorvane" or "vt100"), ``config`` (a whole "Config.ini"
    text, used instead of the one made from host and protocol), ``binary``
    (the program, else ``ETHERNET_BINARY`` or ``ethernet`` on the PATH) and
    ``program_args`` (more options for the program of this process, such as
    ``["--metrics-listen", "127.0.0.1:9464"]``)."""

    abstract = True
    protocol = "zorvane"
    config: Optional[str] = None
    binary: Optional[str] = None
    program_args: Sequence[str] = ()
    request_type = "terminal"

    def __init__(self, environment: Any) -> None:
        super().__init__(environment)
        self.terminal: Optional[Terminal] = None
        self._control: Optional[Terminal] = None

    def terminal_config(self) -> str:
        """The "Config.ini" text of this user's terminal."""
        if self.config is not None:
            return self.config
        address, port = _host_and_port(self.host)
        protocol = {"vt100": 0, "zorvane": 1}[self.protocol]
        return f"[Config]\nConexao=1\nEndereco={address}\nPorta={port}\nProtocolo={protocol}\n"

    def run(self) -> None:
        process = _program.get(self.binary, self.program_args)
        self._control = connect(process.ready["control"], process.ready.get("token"))
        try:
            self.terminal = self._control.fleet_add(self.terminal_config())
            super().run()
        finally:
            self._leave()

    def _leave(self) -> None:
        control, self._control = self._control, None
        if control is None:
            return
        with contextlib.suppress(OSError, ControlError):
            if self.terminal is not None:
                control.fleet_remove(self.terminal.name)
        control.close()

    @contextlib.contextmanager
    def transaction(self, name: str, until: Dict[str, Any], timeout: float = 10.0) -> Iterator[None]:
        """Runs the block's actions, then waits for ``until`` (the conditions
        of :meth:`Terminal.wait`) and fires one request event named ``name``."""
        assert self.terminal is not None, "the terminal is added when the user starts"
        mark = self.terminal.seq
        started = time.perf_counter()
        exception: Optional[BaseException] = None
        response_ms = 0.0
        try:
            yield
            reply = self.terminal.wait(until, timeout=timeout, after_seq=mark, timed=True)
            response_ms = reply["elapsed_us"] / 1000.0
        except WaitTimeout as timed_out:
            exception = AssertionError(f"{until} did not hold within {timeout:g} s; {timed_out.situation}")
            response_ms = (time.perf_counter() - started) * 1000.0
        except (ControlError, OSError) as failure:
            exception = failure
            response_ms = (time.perf_counter() - started) * 1000.0
        self.environment.events.request.fire(
            request_type=self.request_type, name=name, response_time=response_ms, response_length=0,
            exception=exception, context={"terminal": self.terminal.name})

    def displayed(self) -> List[str]:
        """What the two display fields show now."""
        assert self.terminal is not None
        return self.terminal.display()
