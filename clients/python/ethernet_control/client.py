"""The control connection to a running program: requests, replies, waits and
events, one JSON object per line each way. Only the standard library is used."""

from __future__ import annotations

import collections
import contextlib
import json
import socket
import time
from typing import TYPE_CHECKING, Any, Deque, Dict, Iterator, List, Mapping, Optional, Sequence, Set, Union

if TYPE_CHECKING:
    from .faults import Fault

__all__ = [
    "ControlError",
    "WaitTimeout",
    "LaunchError",
    "Terminal",
    "connect",
]

PROTOCOL = 1

#: The longest wait the program takes, in seconds (24 hours).
MAX_WAIT_SECONDS = 24 * 3600


class ControlError(Exception):
    """The program refused a request; ``code`` is the error's word
    (``bad_argument``, ``unknown_command``, ...)."""

    def __init__(self, code: str, message: str, reply: Optional[dict] = None):
        super().__init__(f"{code}: {message}")
        self.code = code
        self.message = message
        self.reply = reply or {}


class WaitTimeout(ControlError):
    """A wait's condition did not hold in time; ``state`` is the terminal's
    state when it gave up, and :attr:`situation` says in words what it
    showed and whether it was connected to its host."""

    def __init__(self, message: str, state: dict, reply: Optional[dict] = None):
        super().__init__("timeout", message, reply)
        self.state = state
        self.args = (f"timeout: {message}; {self.situation}",)

    @property
    def situation(self) -> str:
        """What the display showed when the wait gave up, and whether the
        terminal was connected to its host."""
        return situation(self.state)


def situation(state: Mapping[str, Any]) -> str:
    """A terminal's ``state`` in words: its two display lines and whether
    it is connected to its host."""
    display = state.get("display") if isinstance(state, Mapping) else None
    shown = display.get("shown") if isinstance(display, Mapping) else None
    if isinstance(shown, list) and shown:
        lines = " / ".join(repr(str(line).rstrip()) for line in shown)
        words = f"the display showed {lines}"
    else:
        words = "the display was not reported"
    connection = state.get("connection") if isinstance(state, Mapping) else None
    connected = connection.get("connected") if isinstance(connection, Mapping) else None
    if connected is True:
        words += "; the terminal was connected to its host"
    elif connected is False:
        words += "; the terminal was not connected to its host"
    return words


class LaunchError(RuntimeError):
    """The program did not start or did not open its control interface."""


class Terminal:
    """One connection to a running program's control interface.

    Requests are answered in order; events of the kinds passed to
    :meth:`subscribe` arrive between replies and are kept until read through
    :meth:`events`. Every reply carries ``seq``, the number of the last event
    before it (kept in :attr:`seq`), so a wait can look back to it.
    """

    def __init__(self, sock: socket.socket, token: Optional[str] = None, timeout: float = 30.0):
        self._sock = sock
        #: Seconds a reply may take beyond what its request waits for.
        self.timeout = timeout
        self._buffer = b""
        self._events: Deque[dict] = collections.deque()
        self._next_id = 1
        # Requests whose replies are still to come: those given up on are dropped as they arrive.
        self._late: Set[int] = set()
        self.seq = 0
        hello = self._read_message(time.monotonic() + timeout)
        if "error" in hello:
            # Refused at the door (too many connections): the line says why.
            error = hello["error"]
            self.close()
            raise ControlError(error.get("code", "error"), error.get("message", ""), hello)
        if hello.get("hello", {}).get("protocol") != PROTOCOL:
            raise LaunchError(f"unexpected greeting {hello!r}")
        self.hello = hello["hello"]
        if token is not None:
            self.request("auth", token=token)

    # -- plumbing ---------------------------------------------------------

    def close(self) -> None:
        """Closes the control connection (the program goes on)."""
        with contextlib.suppress(OSError):
            self._sock.close()

    def __enter__(self) -> "Terminal":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _read_message(self, deadline: float) -> dict:
        """The next message, read by ``deadline`` (a time.monotonic() value),
        else TimeoutError. Every read sets its own socket timeout, so that
        none outlives the call that chose it."""
        while b"\n" not in self._buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("no message from the program in time")
            self._sock.settimeout(remaining)
            try:
                chunk = self._sock.recv(65536)
            except socket.timeout:
                continue  # the deadline has passed: said above
            if not chunk:
                raise ConnectionError("the program closed the control connection")
            self._buffer += chunk
        line, _, self._buffer = self._buffer.partition(b"\n")
        return json.loads(line)

    def _next_message(self, deadline: float, expected: Optional[int] = None) -> dict:
        """The next event or reply, dropping the late replies of requests
        given up on (other than ``expected``, the one being read)."""
        while True:
            message = self._read_message(deadline)
            if "event" not in message and message.get("id") in self._late and message.get("id") != expected:
                self._late.discard(message["id"])
                self.seq = message.get("seq", self.seq)
                continue
            return message

    def request(self, cmd: str, **args: Any) -> dict:
        """Sends one request and returns its ``ok`` object; raises
        :class:`ControlError` (or :class:`WaitTimeout`) on an error reply.
        The reply may take :attr:`timeout` seconds, and a ``wait`` its own
        ``timeout_ms`` more; past that the request raises TimeoutError and
        the connection goes on, its reply dropped when it comes."""
        request_id = self._next_id
        self._next_id += 1
        allowed = self.timeout
        if cmd == "wait":
            waited = args.get("timeout_ms", 10000)
            if isinstance(waited, (int, float)) and 0 <= waited <= MAX_WAIT_SECONDS * 1000:
                allowed += waited / 1000.0
        deadline = time.monotonic() + allowed
        message = dict(args, id=request_id, cmd=cmd)
        # Counted late until its reply is read: a request left by a timeout, an
        # interrupt or a killed greenlet (Locust stopping a user) then has its
        # reply dropped as it comes, and the next request reads its own.
        self._late.add(request_id)
        self._sock.settimeout(self.timeout)
        self._sock.sendall(json.dumps(message).encode() + b"\n")
        while True:
            try:
                reply = self._next_message(deadline, request_id)
            except TimeoutError:
                raise TimeoutError(f"no reply to {cmd!r} within {allowed:g} s; the reply will be dropped when it "
                                   "comes") from None
            if "event" in reply:
                self._events.append(reply)
                continue
            if reply.get("id") != request_id:
                raise ControlError("bad_reply", f"reply to another request: {reply!r}", reply)
            self._late.discard(request_id)
            self.seq = reply.get("seq", self.seq)
            if "error" in reply:
                error = reply["error"]
                if error.get("code") == "timeout":
                    raise WaitTimeout(error.get("message", ""), error.get("state", {}), reply)
                raise ControlError(error.get("code", "error"), error.get("message", ""), reply)
            return reply.get("ok", {})

    # -- reading the terminal ----------------------------------------------

    def state(self) -> dict:
        """Display (model lines, what the fields show, cursor), LEDs, inputs,
        boxes, connection, last bytes and line counts of the two logs, scale
        and playback."""
        return self.request("state")

    def display(self) -> List[str]:
        """What the two display fields show now."""
        return self.state()["display"]["shown"]

    def log(self, which: str = "printer", since: Optional[int] = None) -> dict:
        """Lines of the ``printer`` or ``serial`` log from index ``since`` on:
        ``{"lines": [...], "first": i, "next": n}``."""
        args: Dict[str, Any] = {"which": which}
        if since is not None:
            args["since"] = since
        return self.request("log", **args)

    # -- acting ----------------------------------------------------------------

    def key(self, name: str) -> None:
        """Presses one key: "0".."9", "A".."Z", "Space", ",", ".", "Del",
        "Enter" or "Back"."""
        self.request("key", key=name)

    def type(self, text: str) -> None:
        """Presses the key of each character in turn (CR or LF is Enter)."""
        self.request("type", text=text)

    def input(self, n: int, on: bool) -> None:
        """Ticks (``on``) or unticks digital input ``n`` (0 to 3)."""
        self.request("input", n=n, on=on)

    def busy(self, on: bool) -> None:
        """Ticks or unticks the printer's "Busy"."""
        self.request("busy", on=on)

    def cts(self, on: bool) -> None:
        """Ticks or unticks the serial interface's "CTS"."""
        self.request("cts", on=on)

    def barcode(self, code: Optional[str] = None) -> None:
        """Without a code: the next code of the list, as the button. With one:
        that code followed by the chosen terminator."""
        if code is None:
            self.request("barcode")
        else:
            self.request("barcode", code=code)

    def scale(self, on: Optional[bool] = None, readings: Optional[Sequence[str]] = None,
              next: Optional[int] = None) -> dict:
        """Switches the scale on or off, replaces its ``readings`` and picks
        the ``next`` one to answer; returns the scale's state."""
        args: Dict[str, Any] = {}
        if readings is not None:
            args["readings"] = list(readings)
        if on is not None:
            args["on"] = on
        if next is not None:
            args["next"] = next
        return self.request("scale", **args)

    def reset(self) -> None:
        """"Reset Terminal"; returns once the reset has run (about a second)."""
        self.request("reset")

    def playback(self, on: bool) -> dict:
        """Starts or stops the playback of "Digitacoes.ini"."""
        return self.request("playback", on=on)

    # -- faults --------------------------------------------------------------

    def add_fault(self, kind: Union[str, "Fault", Mapping[str, Any]], **arguments: Any) -> int:
        """Injects a fault and returns its number. ``kind`` is a kind's name
        (split, delay, drop_reply, reset, close, stall, refuse, printer_busy,
        serial_blocked, scale, telnet_silent) with its arguments as keywords,
        or a whole fault: a :class:`~ethernet_control.faults.Fault` or its
        JSON object. Bytes arguments (``when_received``) may be given as bytes."""
        from .faults import Fault, as_spec

        if isinstance(kind, str):
            kind = Fault(kind, arguments)
        elif arguments:
            base = as_spec(kind)
            kind = Fault(str(base.pop("kind")), dict(base, **arguments))
        return self.request("fault.add", **as_spec(kind))["id"]

    def faults(self) -> List[dict]:
        """The faults armed now: number, kind, how often each acted and how
        often it still will."""
        return self.request("fault.list")["faults"]

    def clear_faults(self, fault: Optional[int] = None) -> None:
        """Clears one fault by its number, or all of them."""
        if fault is None:
            self.request("fault.clear")
        else:
            self.request("fault.clear", fault=fault)

    # -- many terminals in one program ----------------------------------------

    def terminal(self, name: str) -> "Terminal":
        """The same connection, aimed at one terminal of a fleet or one
        address of a concentrator: every request it makes names ``name``.
        Events still arrive at this object, each with its ``terminal``."""
        return _Member(self, name)

    def fleet(self) -> List[dict]:
        """The terminals the program runs now, in its order (none: ``[]``):
        name, connected, and the bus address, whether it answers and the
        listening port where they apply."""
        return self.request("fleet.list")["fleet"]

    def metrics(self) -> dict:
        """Response and reply times (p50, p90, p99, max in ms, counts), sends
        and connection losses, per terminal and for the whole program."""
        return self.request("metrics")

    def fleet_add(self, config: str, name: Optional[str] = None) -> "Terminal":
        """Adds a terminal to the running program from a "Config.ini" text,
        in a new folder (``name``, or one the program picks), started at
        once; returns its handle on this connection (its ``name``)."""
        args: Dict[str, Any] = {"config": config}
        if name is not None:
            args["name"] = name
        return self.terminal(self.request("fleet.add", **args)["terminal"])

    def fleet_remove(self, name: str, keep: bool = False) -> dict:
        """Stops a terminal, closes its connection and removes its folder
        (unless ``keep``)."""
        return self.request("fleet.remove", terminal=name, keep=keep)

    def bus(self, on: bool) -> dict:
        """Switches this terminal's bus address off (it answers nothing) or on."""
        return self.request("bus", on=on)

    def playback_all(self, on: bool, ramp: float = 0.0) -> dict:
        """Starts every terminal's playback, staggered over ``ramp`` seconds,
        or stops them all."""
        return self.request("playback", all=True, on=on, ramp_ms=int(ramp * 1000))

    # -- waiting and events ---------------------------------------------------

    def wait(self, until: dict, timeout: float = 10.0, after_seq: Optional[int] = None,
             timed: bool = False) -> dict:
        """Returns as soon as every condition of ``until`` holds, or raises
        :class:`WaitTimeout` carrying the last state. Conditions:
        ``display``/``printer`` (regular expressions), ``connected`` (bool),
        ``sent``/``received`` (bytes, or a hex string). With ``timed`` (and
        ``after_seq``) the reply holds ``elapsed_us``: the microseconds from
        the terminal's first send after ``after_seq`` (``from`` "send"), or
        from the wait's start when it sent nothing (``from`` "wait"), until
        the condition held, as the program measured them."""
        if not isinstance(timeout, (int, float)) or not 0 <= timeout <= MAX_WAIT_SECONDS:
            raise ValueError(f"timeout is in seconds, from 0 to {MAX_WAIT_SECONDS}, not {timeout!r}")
        conditions = {k: (v.hex() if isinstance(v, (bytes, bytearray)) else v) for k, v in until.items()}
        args: Dict[str, Any] = {"until": conditions, "timeout_ms": int(timeout * 1000)}
        if after_seq is not None:
            args["after_seq"] = after_seq
        if timed:
            args["timed"] = True
        return self.request("wait", **args)

    def wait_display(self, pattern: str, timeout: float = 10.0) -> List[str]:
        """Waits until either display field matches ``pattern``; returns what
        they show then."""
        self.wait({"display": pattern}, timeout)
        return self.display()

    # -- the trace ---------------------------------------------------------------

    def trace_start(self, file: Optional[str] = None, format: str = "text", replace: bool = False) -> dict:
        """Starts a trace of what the terminal does (a running one is ended
        first), written to ``file`` (relative names live in the working folder)
        as ``text`` or ``jsonl``, and offered as "trace" events to subscribers.
        The file is created new; an existing file is written over only with
        ``replace``, and a symbolic link never."""
        args: Dict[str, Any] = {"format": format}
        if file is not None:
            args["file"] = file
        if replace:
            args["replace"] = True
        return self.request("trace.start", **args)

    def trace_stop(self) -> dict:
        """Ends the trace; returns its summary: records, warnings and notes by kind."""
        return self.request("trace.stop")

    def trace_warnings(self) -> dict:
        """The summary of the running (or last) trace."""
        return self.request("trace.warnings")

    def trace_records(self) -> List[dict]:
        """The records of the "trace" events received so far (subscribe to
        "trace" first); other events stay queued."""
        records, others = [], collections.deque()
        for event in self.events():
            if event.get("event") == "trace":
                records.append(event["record"])
            else:
                others.append(event)
        self._events.extend(others)
        return records

    # -- conversations -------------------------------------------------------------

    def record_start(self, file: str, replace: bool = False) -> dict:
        """Starts recording the conversation to ``file`` (relative names live
        in the working folder): every operator action from now on, with what
        the terminal showed before it. The file is created new; an existing
        one is written over only with ``replace``, and a symbolic link never.
        Returns ``{"file": absolute path}``."""
        args: Dict[str, Any] = {"file": file}
        if replace:
            args["replace"] = True
        return self.request("record.start", **args)

    def record_stop(self) -> dict:
        """Ends the recording with what the terminal shows now and closes the
        file; returns ``{"file": path, "actions": count}``."""
        return self.request("record.stop")

    def subscribe(self, *kinds: str) -> None:
        """From now on also receive events of these kinds: display, leds,
        printer, serial, sent, received, connection, message, fault, trace."""
        self.request("subscribe", events=list(kinds))

    def events(self, timeout: float = 0.0) -> Iterator[dict]:
        """Yields the events received so far, then those arriving until
        ``timeout`` seconds have passed without one."""
        while True:
            while self._events:
                yield self._events.popleft()
            deadline = time.monotonic() + timeout
            try:
                message = self._next_message(deadline)
            except TimeoutError:
                return
            if "event" in message:
                self._events.append(message)
            else:
                raise ControlError("bad_reply", f"unexpected message {message!r}", message)


class _Member(Terminal):
    """One terminal of several behind a shared control connection."""

    def __init__(self, owner: Terminal, name: str):  # noqa: super().__init__ would read a greeting
        self._owner = owner
        self.name = name

    @property
    def seq(self) -> int:  # type: ignore[override]
        return self._owner.seq

    def request(self, cmd: str, **args: Any) -> dict:
        args.setdefault("terminal", self.name)
        return self._owner.request(cmd, **args)

    def metrics(self) -> dict:
        return self.request("metrics")

    def events(self, timeout: float = 0.0) -> Iterator[dict]:
        return self._owner.events(timeout)

    def close(self) -> None:
        pass


def connect(address: str, token: Optional[str] = None, timeout: float = 30.0) -> Terminal:
    """Connects to ``unix:PATH`` or ``tcp:HOST:PORT`` as printed in the
    program's ready line. ``timeout`` is how long a reply may take beyond
    what its request waits for. Nobody listening there raises
    ConnectionRefusedError ("connection refused to HOST:PORT")."""
    if address.startswith("unix:"):
        path = address[5:]
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(timeout)
        try:
            sock.connect(path)
        except ConnectionRefusedError:
            sock.close()
            raise ConnectionRefusedError(f"connection refused to {path}: no program listens there") from None
        except OSError:
            sock.close()
            raise
    elif address.startswith("tcp:"):
        host, _, port = address[4:].rpartition(":")
        if not host or not port.isdigit():
            raise ValueError(f"a tcp: control address is tcp:HOST:PORT, not {address!r}")
        try:
            sock = socket.create_connection((host, int(port)), timeout=timeout)
        except ConnectionRefusedError:
            raise ConnectionRefusedError(f"connection refused to {host}:{port}") from None
    else:
        raise ValueError(f"unknown control address {address!r}")
    return Terminal(sock, token, timeout)
