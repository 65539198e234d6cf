"""``ethernet-trace-to-pcapng``: turns a trace of the ethernet terminal
emulator into a pcapng capture that Wireshark and tshark open.

    ethernet-trace-to-pcapng TRACE CAPTURE.pcapng

The trace is either format the program writes: JSON lines (``--trace FILE
--trace-format jsonl``, or "trace.start" with "format": "jsonl"), which
carries every byte, or the text format, which shows the first 16 bytes of
each read and send: a text trace converts when none of its reads and sends
is longer, and is refused, naming the first longer one, otherwise.

Every read from the host ("received") and every send to it ("sent") becomes
one TCP segment between the host's address and port (the record's peer) and
the terminal's: its listening port when the trace shows one (Server role),
otherwise a made-up port on the host's address (Client role). Each connection
starts with a handshake and ends with FIN when the trace shows it closed, and
sequence numbers run on, so Wireshark reassembles frames that a TCP segment
boundary cut. Times are the records' own.

It prints the tshark command that opens the capture, with the port it found
(-o zorvane.port:PORT, and -o zorvane.side:host when the terminal was the
Client; -o zorvane.framing:comutadora when the trace shows that framing).
Exit status: 0 done, 1 the capture could not be written, 2 a usage error or
a trace that cannot be converted (one line on standard error says why).
Standard library only.
"""

from __future__ import annotations

import argparse
import datetime
import glob
import ipaddress
import json
import os
import re
import struct
import sys
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

__all__ = ["TraceError", "convert", "main", "read_trace", "run"]

LINKTYPE_ETHERNET = 1
MAX_SEGMENT = 65000
#: Bytes of a read or send that a record of the text format shows.
TEXT_BYTES = 16

# One record of the text format: local date and time with microseconds, the
# time since the record before, the peer (padded), the direction, the kind
# (padded) and the rest: bytes in hex and as characters, then the words.
_TEXT_RECORD = re.compile(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.(\d{6}) \+\d+\.\d{6} (\S*) +(<-|->|--) (\S+) +(.*)")
_TEXT_BYTES = re.compile(r"((?:[0-9a-f]{2} )*[0-9a-f]{2})( \?)?(?: |$)")
_TEXT_TAG = re.compile(r"(?:!! [^:]*: )?\[([^\]]*)\] (.*)")
_DIRECTIONS = {"<-": "in", "->": "out", "--": "local"}


class TraceError(ValueError):
    """The trace cannot be converted; the message says where and why."""


# ---- reading the trace --------------------------------------------------------

def _json_records(lines: Iterable[Tuple[int, str]], name: str) -> List[Dict[str, Any]]:
    records = []
    for number, line in lines:
        try:
            record = json.loads(line)
        except ValueError:
            raise TraceError(f"{name}:{number}: not a JSON object: a JSON-lines trace has one record a line") from None
        if not isinstance(record, dict):
            raise TraceError(f"{name}:{number}: not a JSON object: a JSON-lines trace has one record a line")
        if "kind" in record:
            record["_line"] = number
            records.append(record)
    return records


def _text_records(lines: Iterable[Tuple[int, str]], name: str) -> List[Dict[str, Any]]:
    records = []
    for number, line in lines:
        if line.startswith("#"):
            continue
        match = _TEXT_RECORD.fullmatch(line)
        if not match:
            raise TraceError(f"{name}:{number}: not a record of the text trace format")
        when, micros, peer, arrow, kind, rest = match.groups()
        try:
            seconds = datetime.datetime.strptime(when, "%Y-%m-%d %H:%M:%S").timestamp()
        except ValueError:
            raise TraceError(f"{name}:{number}: {when!r} is not a date and time") from None
        record: Dict[str, Any] = {"kind": kind, "dir": _DIRECTIONS[arrow], "peer": peer,
                                  "t_us": int(seconds) * 1000000 + int(micros), "_line": number}
        if kind in ("received", "sent"):
            shown = _TEXT_BYTES.match(rest)
            if not shown:
                raise TraceError(f"{name}:{number}: a {kind} record without its bytes")
            if shown.group(2):
                raise TraceError(f"{name}:{number}: this {kind} record is longer than the {TEXT_BYTES} bytes a text "
                                 "trace shows: convert a trace written with --trace-format jsonl")
            record["hex"] = shown.group(1).replace(" ", "")
        elif kind == "link":
            tagged = _TEXT_TAG.match(rest)
            if tagged:
                record["event"], record["text"] = tagged.groups()
        records.append(record)
    return records


def read_trace(lines: Iterable[str], name: str = "trace") -> List[Dict[str, Any]]:
    """The records of a trace in either format (JSON lines or text), each a
    dict with at least ``kind``, ``peer`` and ``t_us`` (and ``hex`` for reads
    and sends, ``event`` and ``text`` for link records). Raises
    :class:`TraceError` naming ``name`` and the line for what it cannot read."""
    numbered = [(n, line.rstrip("\r\n")) for n, line in enumerate(lines, 1)]
    numbered = [(n, line) for n, line in numbered if line.strip()]
    if not numbered:
        raise TraceError(f"{name}: empty: a trace has at least its header line")
    first_line, first = numbered[0]
    if first.lstrip().startswith("{"):
        return _json_records(numbered, name)
    if first.startswith("# ethernet trace") or _TEXT_RECORD.fullmatch(first):
        return _text_records(numbered, name)
    raise TraceError(f"{name}:{first_line}: not a trace of the ethernet program: it reads the program's JSON-lines "
                     "traces (--trace-format jsonl) and its text traces")


# ---- writing packets ---------------------------------------------------------------

def checksum(data: bytes) -> int:
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def packet(src, dst, seq, ack, flags, payload=b""):
    (src_ip, src_port), (dst_ip, dst_port) = src, dst
    tcp = struct.pack("!HHIIBBHHH", src_port, dst_port, seq & 0xFFFFFFFF, ack & 0xFFFFFFFF, 5 << 4, flags,
                      65535, 0, 0)
    pseudo = src_ip + dst_ip + struct.pack("!BBH", 0, 6, len(tcp) + len(payload))
    tcp = tcp[:16] + struct.pack("!H", checksum(pseudo + tcp + payload)) + tcp[18:]
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp) + len(payload), 0, 0x4000, 64, 6, 0, src_ip, dst_ip)
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    ethernet = b"\x02\0\0\0\0\x02" + b"\x02\0\0\0\0\x01" + b"\x08\x00"
    return ethernet + ip + tcp + payload


def block(kind: int, body: bytes) -> bytes:
    body += b"\0" * (-len(body) % 4)
    length = 12 + len(body)
    return struct.pack("<II", kind, length) + body + struct.pack("<I", length)


def endpoint(text: str):
    address, _, port = text.rpartition(":")
    port_number = int(port)
    if not 0 < port_number < 65536:
        raise ValueError(f"port {port_number}")
    return ipaddress.IPv4Address(address).packed, port_number


class Connection:
    def __init__(self, host, terminal, terminal_is_server):
        self.host = host
        self.terminal = terminal
        self.seq = {"host": 1000, "terminal": 5000}
        self.opened = False
        self.terminal_is_server = terminal_is_server

    def open(self, time_us, out):
        if self.opened:
            return
        self.opened = True
        client, server = ("host", "terminal") if self.terminal_is_server else ("terminal", "host")
        a, b = self.end(client), self.end(server)
        out.append((time_us, packet(a, b, self.seq[client] - 1, 0, 0x02)))
        out.append((time_us, packet(b, a, self.seq[server] - 1, self.seq[client], 0x12)))
        out.append((time_us, packet(a, b, self.seq[client], self.seq[server], 0x10)))

    def end(self, side):
        return self.host if side == "host" else self.terminal

    def data(self, time_us, side, payload, out):
        self.open(time_us, out)
        other = "terminal" if side == "host" else "host"
        for i in range(0, len(payload), MAX_SEGMENT):
            piece = payload[i:i + MAX_SEGMENT]
            out.append((time_us, packet(self.end(side), self.end(other), self.seq[side], self.seq[other], 0x18,
                                        piece)))
            self.seq[side] += len(piece)

    def close(self, time_us, out):
        if not self.opened:
            return
        h, t = self.host, self.terminal
        out.append((time_us, packet(h, t, self.seq["host"], self.seq["terminal"], 0x11)))
        out.append((time_us, packet(t, h, self.seq["terminal"], self.seq["host"] + 1, 0x11)))
        self.opened = False


def convert(records: Sequence[Dict[str, Any]], name: str = "trace"):
    """Packets (time in µs, bytes), the listening port (or None), the
    connections by peer and whether the trace shows the Comutadora framing."""
    listening = None
    for r in records:
        if r["kind"] == "link" and r.get("event") == "listening":
            match = re.search(r"port (\d+)", str(r.get("text", "")))
            if match and 0 < int(match.group(1)) < 65536:
                listening = int(match.group(1))
    connections: Dict[str, Connection] = {}
    packets: List[Tuple[int, bytes]] = []
    for r in records:
        peer = r.get("peer") or ""
        if not isinstance(peer, str) or ":" not in peer or peer.startswith(":"):
            continue
        try:
            host = endpoint(peer)
        except ValueError:
            continue
        try:
            time_us = int(r["t_us"])
            if peer not in connections:
                port = listening if listening is not None else 49152 + len(connections) % 16384
                connections[peer] = Connection(host, (host[0], port), listening is not None)
            conn = connections[peer]
            if r["kind"] == "received":
                conn.data(time_us, "host", bytes.fromhex(r["hex"]), packets)
            elif r["kind"] == "sent":
                conn.data(time_us, "terminal", bytes.fromhex(r["hex"]), packets)
            elif r["kind"] == "link" and r.get("event") == "closed":
                conn.close(time_us, packets)
        except (KeyError, TypeError, ValueError, OverflowError, struct.error):
            where = f"{name}:{r['_line']}" if "_line" in r else name
            raise TraceError(f"{where}: a {r['kind']} record without a time and bytes the converter can "
                             "read") from None
    comutadora = any(r["kind"] == "comutadora" for r in records)
    return packets, listening, connections, comutadora


# ---- the command ------------------------------------------------------------------

def _wireshark_loads(path: str) -> bool:
    """Whether Wireshark loads this dissector by itself (its global or
    personal Lua plugin folder), so that tshark needs no -X for it."""
    folders = glob.glob("/usr/lib/*/wireshark/plugins") + ["/usr/lib/wireshark/plugins",
                                                           os.path.expanduser("~/.local/lib/wireshark/plugins")]
    return os.path.dirname(os.path.abspath(path)) in {os.path.abspath(f) for f in folders}


def find_dissector() -> Optional[str]:
    """zorvane.lua where Wireshark loads its plugins, if it is there."""
    for folder in [*sorted(glob.glob("/usr/lib/*/wireshark/plugins")), "/usr/lib/wireshark/plugins",
                   os.path.expanduser("~/.local/lib/wireshark/plugins")]:
        candidate = os.path.join(folder, "zorvane.lua")
        if os.path.isfile(candidate):
            return candidate
    return None


def open_commands(capture, listening, connections, comutadora, dissector: Optional[str] = None):
    """The tshark command lines that decode the capture: one per port the
    terminal listened on or called. ``dissector`` is the zorvane.lua to
    name with -X (none when Wireshark loads it by itself)."""
    lua = f" -X lua_script:{dissector}" if dissector and not _wireshark_loads(dissector) else ""
    framing = " -o zorvane.framing:comutadora" if comutadora else ""
    if listening is not None:
        options = [f"-o zorvane.port:{listening}"]
    else:
        options = [f"-o zorvane.port:{port} -o zorvane.side:host"
                   for port in sorted({endpoint(peer)[1] for peer in connections})]
    return [f"tshark{lua} {option}{framing} -r {capture}" for option in options]


def write_pcapng(path, packets):
    with open(path, "wb") as f:
        f.write(block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)))
        f.write(block(0x00000001, struct.pack("<HHI", LINKTYPE_ETHERNET, 0, 262144)))
        for time_us, data in packets:
            time_us &= 0xFFFFFFFFFFFFFFFF
            body = struct.pack("<IIIII", 0, time_us >> 32, time_us & 0xFFFFFFFF, len(data), len(data)) + data
            f.write(block(0x00000006, body))


def _parser(prog: Optional[str]) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog, description="Turn a trace of the ethernet program (JSON lines, or text whose reads and sends "
        "are at most 16 bytes) into a pcapng capture, and print the tshark command that opens it.",
        epilog="Exit status: 0 done, 1 the capture could not be written, 2 usage or a trace it cannot convert.")
    parser.add_argument("trace", metavar="TRACE", help="the trace (--trace FILE, with --trace-format jsonl or text)")
    parser.add_argument("capture", metavar="CAPTURE.pcapng", help="the capture to write")
    return parser


def main(argv: Optional[Sequence[str]] = None, dissector: Optional[str] = None, prog: Optional[str] = None) -> int:
    """Runs the converter with ``argv`` (the process's arguments by default)
    and returns its exit status. ``dissector`` is the zorvane.lua that the
    printed command loads (by default the one in Wireshark's plugin folders)."""
    args = _parser(prog).parse_args(argv)
    me = prog or os.path.basename(sys.argv[0]) or "ethernet-trace-to-pcapng"
    try:
        with open(args.trace, encoding="utf-8", errors="replace") as f:
            records = read_trace(f, args.trace)
        packets, listening, connections, comutadora = convert(records, args.trace)
    except TraceError as error:
        sys.stderr.write(f"{me}: {error}\n")
        return 2
    except OSError as error:
        sys.stderr.write(f"{me}: cannot read {args.trace}: {error.strerror or error}\n")
        return 2
    try:
        write_pcapng(args.capture, packets)
    except OSError as error:
        sys.stderr.write(f"{me}: cannot write {args.capture}: {error.strerror or error}\n")
        return 1
    if listening is not None:
        print(f"{len(packets)} packets; the terminal listened on port {listening}")
    elif connections:
        ports = ", ".join(str(p) for p in sorted({endpoint(peer)[1] for peer in connections}))
        print(f"{len(packets)} packets; the terminal called the host on port {ports}")
    else:
        print(f"{len(packets)} packets; the trace shows no connection")
    if dissector is None:
        dissector = find_dissector()
        if dissector is None:
            dissector = "zorvane.lua"
            sys.stderr.write(f"{me}: zorvane.lua is not in Wireshark's plugin folders: name its path in the "
                             "command below\n")
    for command in open_commands(args.capture, listening, connections, comutadora, dissector):
        print(command)
    return 0


def run() -> None:
    """The console script's entry point."""
    sys.exit(main())


if __name__ == "__main__":
    run()
