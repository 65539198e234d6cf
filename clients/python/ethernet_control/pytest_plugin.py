"""The pytest plugin of the ethernet terminal emulator (registered through the
``pytest11`` entry point when the package is installed; otherwise
``-p ethernet_control.pytest_plugin``).

Fixtures:

- ``ethernet``: a factory. ``terminal = ethernet(config=..., equipment="terminal",
  faults=[...], folder=None)`` starts a terminal without windows in a folder
  and on a control socket of its own and returns its
  :class:`~ethernet_control.client.Terminal`; every terminal a test started
  is stopped when the test ends, passed or failed.
- ``ethernet_host``: a host on a loopback port of its own (:class:`EthernetHost`);
  ``ethernet_host.config("zorvane")`` is the "Config.ini" that points a
  terminal at it.

Options: ``--ethernet-binary PATH`` (else ``ETHERNET_BINARY``, else
``ethernet`` on the PATH), ``--ethernet-traces DIR`` (every terminal traced
into DIR; the traces of failed tests are kept and named in the failure report
with the terminal's last state, the others removed), ``--ethernet-trace-format
text|jsonl`` (the traces' format; text by default) and ``--ethernet-update``
(a failed conversation file gets a ``.new`` file beside it).

Files named ``*.conversation.jsonl`` are tests: each is replayed against the
program with the settings of its folder ("Config.ini", "Codigo.txt",
"Balanca.txt", "Digitacoes.ini", copied to a folder of its own), and a
failure shows the replay's report. The ini option ``ethernet_step_timeout_ms``
sets their step timeout.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import shutil
import socket
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable, Iterator, List, Mapping, Optional, Tuple, Union

import pytest

from .client import Terminal, connect
from .faults import Fault
from .faults import options as fault_options
from .launching import Process, config_text, find_binary, start

__all__ = ["ConversationFailed", "ConversationFile", "ConversationItem", "EthernetFactory", "EthernetHost"]

#: The terminal's own files that a conversation file's folder may hold.
SETTINGS_FILES = ("Config.ini", "Codigo.txt", "Balanca.txt", "Digitacoes.ini")
CONVERSATION_SUFFIX = ".conversation.jsonl"


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("ethernet", "ethernet terminal emulator")
    group.addoption("--ethernet-binary", metavar="PATH", default=None,
                    help="the ethernet program to start (else ETHERNET_BINARY, else ethernet on the PATH)")
    group.addoption("--ethernet-traces", metavar="DIR", default=None,
                    help="trace every terminal a test starts into DIR; the traces of failed tests are kept "
                         "and named in their reports")
    group.addoption("--ethernet-trace-format", choices=("text", "jsonl"), default="text",
                    help="the format of the traces of --ethernet-traces: text (default) or jsonl (JSON lines, "
                         "every byte; what ethernet-trace-to-pcapng converts whole)")
    group.addoption("--ethernet-update", action="store_true", default=False,
                    help="write FILE.new beside each conversation file that fails, with what was observed")
    parser.addini("ethernet_step_timeout_ms", "step timeout of the conversation files, in milliseconds",
                  default="")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "ethernet: the test drives the ethernet terminal emulator")


def _binary(config: pytest.Config) -> str:
    return find_binary(config.getoption("ethernet_binary"))


def _worker(config: pytest.Config) -> Optional[str]:
    """The xdist worker this process is ("gw0", ...), or None."""
    worker_input = getattr(config, "workerinput", None)
    if isinstance(worker_input, dict) and worker_input.get("workerid"):
        return str(worker_input["workerid"])
    return os.environ.get("PYTEST_XDIST_WORKER") or None


# ---- the ethernet fixture ----------------------------------------------------

@dataclass
class _Started:
    terminal: Terminal
    process: Process
    socket_folder: str
    trace: Optional[str]


class EthernetFactory:
    """What the ``ethernet`` fixture gives: call it to start a terminal."""

    def __init__(self, node: pytest.Item, folders: pytest.TempPathFactory, binary: str,
                 traces: Optional[str], trace_format: str = "text", worker: Optional[str] = None):
        self._node = node
        self._folders = folders
        self._binary = binary
        self._traces = traces
        self._trace_format = trace_format
        self._worker = worker
        self.started: List[_Started] = []
        #: Set once the test (or its setup) failed: its traces are kept.
        self.failed = False

    def __call__(self, config: Optional[str] = None, equipment: str = "terminal",
                 faults: Iterable[Union[Fault, Mapping[str, Any], str]] = (),
                 folder: Union[str, "os.PathLike[str]", None] = None, *,
                 extra_args: Iterable[str] = ()) -> Terminal:
        """Starts a terminal without windows and returns its control
        connection (its :class:`~ethernet_control.launching.Process` is at
        ``terminal.process``). ``config`` is the text of its "Config.ini";
        ``faults`` are armed from the start; ``folder`` is the working folder
        (by default a new temporary one); ``extra_args`` go to the program."""
        work = Path(folder) if folder is not None else self._folders.mktemp("ethernet")
        work.mkdir(parents=True, exist_ok=True)
        # A socket path has at most 107 bytes: the socket gets a short folder of its own.
        socket_folder = tempfile.mkdtemp(prefix="ethernet-")
        trace = self._trace_file()
        args = [*fault_options(faults), *extra_args]
        if trace is not None:
            args += ["--trace", trace, "--trace-format", self._trace_format]
        try:
            process = start(config=config, folder=str(work), equipment=equipment, binary=self._binary,
                            extra_args=args, control=f"unix:{os.path.join(socket_folder, 'control.sock')}")
        except BaseException:
            shutil.rmtree(socket_folder, ignore_errors=True)
            raise
        try:
            terminal = connect(process.control, process.ready.get("token"))
        except BaseException:
            process.stop()
            shutil.rmtree(socket_folder, ignore_errors=True)
            raise
        terminal.process = process  # type: ignore[attr-defined]
        self.started.append(_Started(terminal, process, socket_folder, trace))
        return terminal

    def _trace_file(self) -> Optional[str]:
        """A file name in the traces folder that no other test, worker or
        terminal uses: the node id made fit for a file name, a short hash of
        the whole node id (two ids may clean up alike), the xdist worker, and
        the terminal's number in the test."""
        if self._traces is None:
            return None
        os.makedirs(self._traces, exist_ok=True)
        nodeid = self._node.nodeid
        stem = re.sub(r"[^A-Za-z0-9_.-]+", "_", nodeid).strip("_.")[:150] or "test"
        stem += "-" + hashlib.sha256(nodeid.encode("utf-8", "surrogatepass")).hexdigest()[:8]
        if self._worker:
            stem += "." + re.sub(r"[^A-Za-z0-9_-]+", "_", self._worker)
        suffix = "trace.jsonl" if self._trace_format == "jsonl" else "trace.txt"
        n = len(self.started) + 1
        while True:
            name = os.path.join(os.path.abspath(self._traces), f"{stem}.{n}.{suffix}")
            if not os.path.exists(name):
                return name
            n += 1

    def describe(self) -> List[Tuple[str, str]]:
        """A report section for each terminal: its trace and its last state."""
        sections = []
        for index, started in enumerate(self.started, 1):
            lines = []
            if started.trace is not None:
                lines.append(f"trace: {started.trace}")
            lines.append(f"folder: {started.process.folder}")
            try:
                lines += _state_lines(started.terminal.state())
            except Exception as error:  # the program may be gone: say so, never hide the failure
                lines.append(f"state: not read ({error})")
            sections.append((f"ethernet terminal {index}", "\n".join(lines)))
        return sections

    def stop_all(self) -> None:
        """Stops every terminal; removes the traces of a test that passed."""
        for started in self.started:
            started.terminal.close()
            started.process.stop()
            shutil.rmtree(started.socket_folder, ignore_errors=True)
            if started.trace is not None and not self.failed:
                try:
                    os.remove(started.trace)
                except FileNotFoundError:
                    pass
        self.started = []


def _state_lines(state: Mapping[str, Any]) -> List[str]:
    display = state.get("display", {})
    lines = [f"display: {line.rstrip()!r}" for line in display.get("shown", [])]
    for key in ("leds", "inputs", "busy", "cts", "connection", "printer", "serial"):
        if key in state:
            lines.append(f"{key}: {json.dumps(state[key], ensure_ascii=False)}")
    return lines


_FACTORY = pytest.StashKey[EthernetFactory]()


@pytest.fixture
def ethernet(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> Iterator[EthernetFactory]:
    """A factory of terminals without windows; see :class:`EthernetFactory`."""
    config = request.config
    factory = EthernetFactory(request.node, tmp_path_factory, _binary(config), config.getoption("ethernet_traces"),
                              config.getoption("ethernet_trace_format"), _worker(config))
    request.node.stash[_FACTORY] = factory
    try:
        yield factory
    finally:
        factory.stop_all()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo) -> Iterator[None]:
    outcome = yield
    report = outcome.get_result()  # type: ignore[attr-defined]
    factory = item.stash.get(_FACTORY, None)
    if factory is not None and report.failed and report.when in ("setup", "call"):
        factory.failed = True
        for title, text in factory.describe():
            report.sections.append((title, text))


# ---- the ethernet_host fixture -----------------------------------------------

class EthernetHost:
    """A test host: a listening socket on a free loopback port, the
    connection a terminal makes to it, and what it read."""

    def __init__(self) -> None:
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port: int = self.server.getsockname()[1]
        self.conn: Optional[socket.socket] = None
        self.received = b""

    def config(self, protocol: Union[str, int] = "vt100", extra: str = "") -> str:
        """The "Config.ini" of a terminal that calls this host in
        ``protocol`` ("vt100", "zorvane" or "telnet")."""
        return config_text(self.port, protocol, role="client", extra=extra)

    def accept(self, timeout: float = 10.0) -> socket.socket:
        """Waits for the terminal's connection and returns it."""
        self.server.settimeout(timeout)
        self.conn, _ = self.server.accept()
        self.received = b""
        return self.conn

    def send(self, data: bytes) -> None:
        """Writes to the terminal (accepting its connection first if need be)."""
        if self.conn is None:
            self.accept()
        assert self.conn is not None
        self.conn.sendall(data)

    def read_until(self, expected: bytes, timeout: float = 10.0) -> bytes:
        """Reads until ``expected`` has come from the terminal; returns what
        came up to and including it, and keeps the rest for the next call."""
        if self.conn is None:
            self.accept(timeout)
        assert self.conn is not None
        deadline = time.monotonic() + timeout
        while expected not in self.received:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"the host never received {expected!r}; it got {self.received!r}")
            self.conn.settimeout(remaining)
            try:
                chunk = self.conn.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise AssertionError(f"the terminal closed the connection before {expected!r}; "
                                     f"the host got {self.received!r}")
            self.received += chunk
        end = self.received.index(expected) + len(expected)
        got, self.received = self.received[:end], self.received[end:]
        return got

    def close(self) -> None:
        """Closes the connection and the listening socket."""
        for s in (self.conn, self.server):
            if s is not None:
                s.close()


@pytest.fixture
def ethernet_host() -> Iterator[EthernetHost]:
    """A host on a loopback port of its own; see :class:`EthernetHost`."""
    host = EthernetHost()
    try:
        yield host
    finally:
        host.close()


# ---- conversation files --------------------------------------------------------

def pytest_collect_file(file_path: Path, parent: pytest.Collector) -> Optional[pytest.Collector]:
    if file_path.name.endswith(CONVERSATION_SUFFIX):
        return ConversationFile.from_parent(parent, path=file_path)
    return None


class ConversationFailed(Exception):
    """A conversation file did not replay as recorded; carries the result."""

    def __init__(self, result: Any):
        super().__init__(result.report)
        self.result = result


class ConversationFile(pytest.File):
    """A ``*.conversation.jsonl`` file: one test."""

    def collect(self) -> Iterator[pytest.Item]:
        yield ConversationItem.from_parent(self, name=self.path.name[:-len(CONVERSATION_SUFFIX)])


class ConversationItem(pytest.Item):
    """The replay of one conversation file with its folder's settings."""

    def __init__(self, **kwargs: Any):
        super().__init__(**kwargs)
        self.add_marker("ethernet")

    def runtest(self) -> None:
        from .conversation import replay

        config = self.config
        step = config.getini("ethernet_step_timeout_ms")
        with tempfile.TemporaryDirectory(prefix="ethernet-replay-") as folder:
            for name in SETTINGS_FILES:
                source = self.path.parent / name
                if source.is_file():
                    shutil.copyfile(source, os.path.join(folder, name))
            result = replay([str(self.path)], folder=folder, binary=_binary(config),
                            step_timeout_ms=int(step) if step else None,
                            update=bool(config.getoption("ethernet_update")))
        if not result.passed:
            # The scratch copy is gone: the report names the folder the settings came from.
            result.report = result.report.replace(folder, str(self.path.parent))
            raise ConversationFailed(result)

    def repr_failure(self, excinfo: pytest.ExceptionInfo[BaseException], style: Optional[str] = None) -> Any:
        if isinstance(excinfo.value, ConversationFailed):
            result = excinfo.value.result
            text = str(result.report).rstrip() or f"the replay ended with status {result.returncode}"
            for new in getattr(result, "new_files", None) or []:
                text += f"\nobserved values written to {new}"
            return text
        return super().repr_failure(excinfo)

    def reportinfo(self) -> Tuple[Union["os.PathLike[str]", str], Optional[int], str]:
        return self.path, 0, f"conversation {self.name}"
