#!/usr/bin/env python3
"""Turns a trace of the ethernet terminal emulator, written as JSON lines
(--trace FILE --trace-format jsonl, or "trace.start" with "format": "jsonl"),
into a pcapng capture that Wireshark and tshark open.

Every read from the host ("received") and every send to it ("sent") becomes
one TCP segment between the host's address and port (the record's "peer")
and the terminal's: its listening port when the trace shows one (Server role),
otherwise a made-up port on the host's address (Client role). Each connection
starts with a handshake and ends with FIN when the trace shows it closed, and
sequence numbers run on, so Wireshark reassembles frames that a TCP segment
boundary cut. Times are the records' own.

Usage: trace_to_pcapng.py TRACE.jsonl CAPTURE.pcapng
It prints the tshark command that opens the capture, with the port it found
(-o zorvane.port:PORT, and -o zorvane.side:host when the terminal was the
Client; -o zorvane.framing:comutadora when the trace shows that framing).
Standard library only.
"""

import ipaddress
import json
import os
import re
import struct
import sys

LINKTYPE_ETHERNET = 1
MAX_SEGMENT = 65000


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
    return ipaddress.IPv4Address(address).packed, int(port)


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


def convert(lines):
    records = [json.loads(line) for line in lines if line.strip()]
    records = [r for r in records if "kind" in r]
    listening = None
    for r in records:
        if r["kind"] == "link" and r.get("event") == "listening":
            match = re.search(r"port (\d+)", r["text"])
            if match:
                listening = int(match.group(1))
    connections = {}
    packets = []
    for r in records:
        peer = r.get("peer") or ""
        if ":" not in peer or peer.startswith(":"):
            continue
        try:
            host = endpoint(peer)
        except ValueError:
            continue
        if peer not in connections:
            port = listening if listening is not None else 49152 + len(connections)
            connections[peer] = Connection(host, (host[0], port), listening is not None)
        conn = connections[peer]
        if r["kind"] == "received":
            conn.data(r["t_us"], "host", bytes.fromhex(r["hex"]), packets)
        elif r["kind"] == "sent":
            conn.data(r["t_us"], "terminal", bytes.fromhex(r["hex"]), packets)
        elif r["kind"] == "link" and r.get("event") == "closed":
            conn.close(r["t_us"], packets)
    comutadora = any(r["kind"] == "comutadora" for r in records)
    return packets, listening, connections, comutadora


def open_commands(capture, listening, connections, comutadora):
    """The tshark command lines that decode the capture: one per port the
    terminal listened on or called."""
    lua = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zorvane.lua")
    framing = " -o zorvane.framing:comutadora" if comutadora else ""
    if listening is not None:
        options = [f"-o zorvane.port:{listening}"]
    else:
        options = [f"-o zorvane.port:{port} -o zorvane.side:host"
                   for port in sorted({endpoint(peer)[1] for peer in connections})]
    return [f"tshark -X lua_script:{lua} {option}{framing} -r {capture}" for option in options]


def write_pcapng(path, packets):
    with open(path, "wb") as f:
        f.write(block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)))
        f.write(block(0x00000001, struct.pack("<HHI", LINKTYPE_ETHERNET, 0, 262144)))
        for time_us, data in packets:
            body = struct.pack("<IIIII", 0, time_us >> 32, time_us & 0xFFFFFFFF, len(data), len(data)) + data
            f.write(block(0x00000006, body))


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        packets, listening, connections, comutadora = convert(f)
    write_pcapng(argv[2], packets)
    if listening is not None:
        print(f"{len(packets)} packets; the terminal listened on port {listening}")
    elif connections:
        ports = ", ".join(str(p) for p in sorted({endpoint(peer)[1] for peer in connections}))
        print(f"{len(packets)} packets; the terminal called the host on port {ports}")
    else:
        print(f"{len(packets)} packets; the trace shows no connection")
    for command in open_commands(argv[2], listening, connections, comutadora):
        print(command)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
