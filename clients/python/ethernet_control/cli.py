"""``ethernet-ctl``: one control request from a shell script, its reply as
JSON on standard output.

    ethernet-ctl --control unix:/tmp/run/control.sock type 123
    ethernet-ctl wait --display 'TOTAL' --timeout 5 && ethernet-ctl --text state

Exit status: 0 done, 1 an error reply (its code and message on standard
error) or no program at the address, 2 a usage error, 3 a wait that timed out.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Callable, Dict, Optional, Sequence

from .client import MAX_WAIT_SECONDS, ControlError, LaunchError, Terminal, WaitTimeout, connect

__all__ = ["main"]

DONE, ERROR, USAGE, TIMEOUT = 0, 1, 2, 3

EVENT_KINDS = ("display", "leds", "printer", "serial", "sent", "received", "connection", "message", "fault",
               "trace")

Command = Callable[[Terminal, argparse.Namespace], Any]


def _on(value: str) -> bool:
    return value == "on"


def _display(terminal: Terminal) -> str:
    return "\n".join(terminal.display())


def _act(request: Callable[[Terminal, argparse.Namespace], Any]) -> Command:
    """A command whose reply is printed, or with ``--text`` the display after it."""

    def run(terminal: Terminal, args: argparse.Namespace) -> Any:
        reply = request(terminal, args)
        return _display(terminal) if args.text else reply

    return run


def _state(terminal: Terminal, args: argparse.Namespace) -> Any:
    state = terminal.state()
    return "\n".join(state["display"]["shown"]) if args.text else state


def _log(terminal: Terminal, args: argparse.Namespace) -> Any:
    reply = terminal.log(args.which, args.since)
    return "\n".join(reply["lines"]) if args.text else reply


def _scale(terminal: Terminal, args: argparse.Namespace) -> Any:
    return terminal.scale(on=None if args.switch is None else _on(args.switch), readings=args.reading,
                          next=args.next)


def _wait(terminal: Terminal, args: argparse.Namespace) -> Any:
    until: Dict[str, Any] = {}
    for name in ("display", "printer", "sent", "received"):
        if getattr(args, name) is not None:
            until[name] = getattr(args, name)
    if args.connected is not None:
        until["connected"] = args.connected
    if not until:
        raise _Usage("wait needs a condition: --display, --printer, --connected, --disconnected, --sent or "
                     "--received")
    request: Dict[str, Any] = {"until": until, "timeout_ms": int(args.timeout * 1000)}
    if args.after_seq is not None:
        request["after_seq"] = args.after_seq
    reply = terminal.request("wait", **request)
    return _display(terminal) if args.text else reply


def _events(terminal: Terminal, args: argparse.Namespace) -> Any:
    terminal.subscribe(*args.kinds)
    try:
        while True:
            for event in terminal.events(timeout=3600):
                sys.stdout.write(json.dumps(event, ensure_ascii=False) + "\n")
                sys.stdout.flush()
    except KeyboardInterrupt:
        return None
    except BrokenPipeError:
        # The reader went away: end quietly, with nothing left to flush.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return None


def _fault_add(terminal: Terminal, args: argparse.Namespace) -> Any:
    try:
        spec = json.loads(args.spec)
    except json.JSONDecodeError as error:
        raise _Usage(f"fault add: not JSON: {error}") from None
    if not isinstance(spec, dict):
        raise _Usage("fault add: the fault is a JSON object such as '{\"kind\":\"reset\"}'")
    return terminal.request("fault.add", **spec)


def _fault_clear(terminal: Terminal, args: argparse.Namespace) -> Any:
    if args.fault is None:
        return terminal.request("fault.clear")
    return terminal.request("fault.clear", fault=args.fault)


def _seconds(text: str) -> float:
    """A --timeout: seconds within what the program waits at most."""
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value <= MAX_WAIT_SECONDS:  # also NaN
        raise argparse.ArgumentTypeError(f"seconds from 0 to {MAX_WAIT_SECONDS}, not {text!r}")
    return value


class _Usage(Exception):
    """A request that cannot be sent as given."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        self.print_usage(sys.stderr)
        self.exit(USAGE, f"{self.prog}: {message}\nTry 'ethernet-ctl --help' for more information.\n")


def parser() -> argparse.ArgumentParser:
    """The command line of ``ethernet-ctl``."""
    top = _Parser(prog="ethernet-ctl", description="Send one request to a running ethernet program's control "
                  "interface and print its reply as JSON.",
                  epilog="The address is --control, else ETHERNET_CONTROL; the token --token, else ETHERNET_TOKEN. "
                  "Exit status: 0 done, 1 error reply or no program there, 2 usage, 3 timeout.")
    top.add_argument("--control", metavar="ADDR", help="unix:PATH or tcp:HOST:PORT, as the program's ready line says")
    top.add_argument("--token", metavar="T", help="the token of a tcp: control address")
    top.add_argument("--terminal", metavar="NAME", help="the terminal of a fleet or the address behind a "
                     "concentrator the request is for")
    top.add_argument("--text", action="store_true", help="print the display (or the log's lines) as plain text")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    def command(name: str, run: Command, help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(run=run)
        return sub

    command("state", _state, "the terminal's whole state (with --text: what the display shows)")
    command("key", _act(lambda t, a: t.request("key", key=a.name)), "press one key").add_argument(
        "name", metavar="K", help='"0".."9", "A".."Z", Space, ",", ".", Del, Enter or Back')
    # Its own dest: "text" is the --text option's, which would turn on the display for any text typed.
    command("type", _act(lambda t, a: t.request("type", text=a.chars)),
            "press the key of each character").add_argument("chars", metavar="TEXT")
    sub = command("input", _act(lambda t, a: t.request("input", n=a.n, on=_on(a.state))), "tick or untick an input")
    sub.add_argument("n", metavar="N", type=int, help="0 to 3")
    sub.add_argument("state", choices=("on", "off"))
    for name, what in (("busy", 'the printer\'s "Busy"'), ("cts", 'the serial interface\'s "CTS"')):
        command(name, _act(lambda t, a, name=name: t.request(name, on=_on(a.state))),
                f"tick or untick {what}").add_argument("state", choices=("on", "off"))
    command("barcode", _act(lambda t, a: t.request("barcode", **({} if a.code is None else {"code": a.code}))),
            "read a barcode: CODE, or the next of the list").add_argument("code", metavar="CODE", nargs="?")
    sub = command("scale", _act(_scale), "switch the scale, set its readings, pick the next one")
    sub.add_argument("switch", choices=("on", "off"), nargs="?")
    sub.add_argument("--reading", metavar="R", action="append", help='a reading such as "<2>00150<3>" (repeatable)')
    sub.add_argument("--next", metavar="N", type=int, help="the index of the next reading to answer")
    command("reset", _act(lambda t, a: t.request("reset")), '"Reset Terminal"')
    command("playback", _act(lambda t, a: t.request("playback", on=_on(a.state))),
            'start or stop the playback of "Digitacoes.ini"').add_argument("state", choices=("on", "off"))
    sub = command("log", _log, "the lines of the printer or serial log")
    sub.add_argument("which", choices=("printer", "serial"))
    sub.add_argument("--since", metavar="N", type=int, help="from line index N on")
    command("metrics", lambda t, a: t.metrics(), "the response and reply times, sends and connection losses")
    sub = command("wait", _wait, "wait until every condition given holds")
    sub.add_argument("--display", metavar="RE", help="either display line matches RE")
    sub.add_argument("--printer", metavar="RE", help="a printer line matches RE")
    sub.add_argument("--connected", dest="connected", action="store_const", const=True,
                     help="the host connection is up")
    sub.add_argument("--disconnected", dest="connected", action="store_const", const=False,
                     help="the host connection is down")
    sub.add_argument("--sent", metavar="HEX", help="the terminal sent these bytes")
    sub.add_argument("--received", metavar="HEX", help="the terminal received these bytes")
    sub.add_argument("--after-seq", metavar="S", type=int, help="count sends and reads after event S only")
    sub.add_argument("--timeout", metavar="S", type=_seconds, default=10.0,
                     help=f"seconds to wait, from 0 to {MAX_WAIT_SECONDS} (default 10)")
    command("events", _events, "print each event of these kinds, one JSON line each, until interrupted") \
        .add_argument("kinds", metavar="KIND", nargs="+", choices=EVENT_KINDS)
    faults = command("fault", lambda t, a: None, "add, list or clear injected faults")
    actions = faults.add_subparsers(dest="action", metavar="ACTION", parser_class=_Parser)
    actions.required = True
    add = actions.add_parser("add", help="arm a fault given as JSON", description="arm a fault given as JSON")
    add.add_argument("spec", metavar="JSON", help='such as \'{"kind":"reset","when_received":"0244"}\'')
    add.set_defaults(run=_fault_add)
    actions.add_parser("list", help="the faults armed now").set_defaults(run=lambda t, a: t.request("fault.list"))
    clear = actions.add_parser("clear", help="clear one fault by its number, or all")
    clear.add_argument("fault", metavar="N", type=int, nargs="?")
    clear.set_defaults(run=_fault_clear)
    return top


def _print(result: Any) -> None:
    if result is None:
        return
    text = result if isinstance(result, str) else json.dumps(result, ensure_ascii=False)
    sys.stdout.write(text + "\n")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs ``ethernet-ctl`` with ``argv`` (the process's arguments by
    default) and returns its exit status."""
    top = parser()
    args = top.parse_args(argv)
    address = args.control or os.environ.get("ETHERNET_CONTROL")
    if not address:
        top.error("no control address: give --control ADDR or set ETHERNET_CONTROL")
    token = args.token if args.token is not None else os.environ.get("ETHERNET_TOKEN")
    try:
        terminal = connect(address, token)
    except ValueError as error:
        top.error(str(error))
    except ControlError as error:
        sys.stderr.write(f"ethernet-ctl: {error.code}: {error.message}\n")
        return ERROR
    except (OSError, LaunchError) as error:
        sys.stderr.write(f"ethernet-ctl: no program answers at {address}: {error}\n")
        return ERROR
    target: Terminal = terminal.terminal(args.terminal) if args.terminal else terminal
    try:
        _print(args.run(target, args))
        return DONE
    except _Usage as error:
        top.error(str(error))
    except WaitTimeout as error:
        sys.stderr.write(f"ethernet-ctl: timeout: {error.message}; {error.situation}\n")
        return TIMEOUT
    except ControlError as error:
        sys.stderr.write(f"ethernet-ctl: {error.code}: {error.message}\n")
        return ERROR
    except OSError as error:  # the program went away, or did not answer in time
        sys.stderr.write(f"ethernet-ctl: {error}\n")
        return ERROR
    finally:
        terminal.close()
    return USAGE


def run() -> None:
    """The console script's entry point."""
    sys.exit(main())


if __name__ == "__main__":
    run()
