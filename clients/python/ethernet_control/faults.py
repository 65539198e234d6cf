"""Faults the terminal injects on purpose, as values a test can keep, print,
pass to a started terminal (``--fault``) or add to a running one
(``fault.add``).

    from ethernet_control import faults

    terminal.add_fault(faults.printer_busy(count=2))
    terminal.add_fault(faults.reset(when_received=b"\\x02D"))
    launch(config=..., extra_args=faults.options([faults.delay(500, what="replies")]))

Every helper takes the arguments all faults share: ``count`` (a number, or
``"always"``), ``after`` (how many of its kind to let through first) and
``when_received`` (bytes from the host that arm it).
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Union

__all__ = [
    "FAULT_KINDS",
    "Fault",
    "as_spec",
    "close",
    "delay",
    "drop_reply",
    "options",
    "printer_busy",
    "refuse",
    "reset",
    "scale",
    "serial_blocked",
    "split",
    "stall",
    "telnet_silent",
]

#: Every kind of fault the program knows.
FAULT_KINDS = ("split", "delay", "drop_reply", "reset", "close", "stall", "refuse", "printer_busy",
               "serial_blocked", "scale", "telnet_silent")

Count = Union[int, str]


@dataclass(frozen=True)
class Fault:
    """One fault: its ``kind`` and its arguments as the control protocol
    names them (bytes are sent as hex). The program checks them: a kind or
    argument it does not know is its error reply (``bad_argument``)."""

    kind: str
    arguments: Mapping[str, Any] = field(default_factory=dict)

    def spec(self) -> Dict[str, Any]:
        """The JSON object of ``fault.add`` and ``--fault``."""
        out: Dict[str, Any] = {"kind": self.kind}
        for key, value in self.arguments.items():
            if value is None:
                continue
            out[key] = value.hex() if isinstance(value, (bytes, bytearray)) else value
        return out

    def option(self) -> str:
        """The text of ``--fault SPEC``."""
        return json.dumps(self.spec(), separators=(",", ":"))


def as_spec(fault: Union[Fault, Mapping[str, Any], str]) -> Dict[str, Any]:
    """A fault given as a :class:`Fault`, a mapping with ``kind`` or a JSON
    text, as the JSON object the program takes."""
    if isinstance(fault, Fault):
        return fault.spec()
    if isinstance(fault, str):
        parsed = json.loads(fault)
        if not isinstance(parsed, dict):
            raise ValueError(f"a fault is a JSON object, not {fault!r}")
        fault = parsed
    if "kind" not in fault:
        raise ValueError(f"a fault needs a \"kind\": {dict(fault)!r}")
    return Fault(str(fault["kind"]), {k: v for k, v in fault.items() if k != "kind"}).spec()


def options(faults: Iterable[Union[Fault, Mapping[str, Any], str]]) -> List[str]:
    """Command-line options that start the program with these faults armed."""
    out: List[str] = []
    for fault in faults:
        out += ["--fault", json.dumps(as_spec(fault), separators=(",", ":"))]
    return out


def _fault(kind: str, count: Optional[Count], after: Optional[int], when_received: Optional[bytes],
           **arguments: Any) -> Fault:
    return Fault(kind, dict(arguments, count=count, after=after, when_received=when_received))


def split(offsets: Optional[Sequence[int]] = None, sizes: Optional[Sequence[int]] = None,
          random: bool = False, seed: Optional[int] = None, *, count: Optional[Count] = None,
          after: Optional[int] = None, when_received: Optional[bytes] = None) -> Fault:
    """The next deliveries from the host are interpreted in pieces: cut at
    ``offsets``, in pieces of ``sizes`` (repeated), or at random places
    drawn from ``seed``."""
    return _fault("split", count, after, when_received, offsets=list(offsets) if offsets else None,
                  sizes=list(sizes) if sizes else None, random=random or None, seed=seed)


def delay(ms: int, what: str = "all", *, count: Optional[Count] = None, after: Optional[int] = None,
          when_received: Optional[bytes] = None) -> Fault:
    """The terminal's sends (``"replies"``, ``"keys"`` or ``"all"``) leave
    ``ms`` milliseconds late, in order."""
    return _fault("delay", count, after, when_received, ms=ms, what=what)


def drop_reply(*, count: Optional[Count] = None, after: Optional[int] = None,
               when_received: Optional[bytes] = None) -> Fault:
    """The next replies to host commands (and status frames) are not sent."""
    return _fault("drop_reply", count, after, when_received)


def reset(*, count: Optional[Count] = None, after: Optional[int] = None,
          when_received: Optional[bytes] = None) -> Fault:
    """The connection is aborted (RST); with ``when_received`` just after those bytes."""
    return _fault("reset", count, after, when_received)


def close(*, count: Optional[Count] = None, after: Optional[int] = None,
          when_received: Optional[bytes] = None) -> Fault:
    """The connection is closed (FIN); with ``when_received`` just after those bytes."""
    return _fault("close", count, after, when_received)


def stall(ms: int, *, count: Optional[Count] = None, after: Optional[int] = None,
          when_received: Optional[bytes] = None) -> Fault:
    """The terminal stops reading from the host for ``ms`` milliseconds."""
    return _fault("stall", count, after, when_received, ms=ms)


def refuse(ms: int, *, count: Optional[Count] = None, after: Optional[int] = None,
           when_received: Optional[bytes] = None) -> Fault:
    """Server: new connections are refused for ``ms``; Client: the next
    reconnection waits ``ms`` longer."""
    return _fault("refuse", count, after, when_received, ms=ms)


def printer_busy(*, count: Optional[Count] = None, after: Optional[int] = None,
                 when_received: Optional[bytes] = None) -> Fault:
    """"Busy" is ticked for the next ``count`` printer commands."""
    return _fault("printer_busy", count, after, when_received)


def serial_blocked(*, count: Optional[Count] = None, after: Optional[int] = None,
                   when_received: Optional[bytes] = None) -> Fault:
    """"CTS" is ticked for the next ``count`` serial commands."""
    return _fault("serial_blocked", count, after, when_received)


def scale(readings: Optional[Sequence[str]] = None, *, count: Optional[Count] = None,
          after: Optional[int] = None, when_received: Optional[bytes] = None) -> Fault:
    """The next ENQs get no reading, or these ``readings`` (``"<2>00150<3>"``)."""
    return _fault("scale", count, after, when_received, readings=list(readings) if readings else None)


def telnet_silent(*, count: Optional[Count] = None, after: Optional[int] = None,
                  when_received: Optional[bytes] = None) -> Fault:
    """The next Telnet negotiation requests are not answered."""
    return _fault("telnet_silent", count, after, when_received)
