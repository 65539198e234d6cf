"""The Lua dissector in tools/wireshark, run by Debian's tshark on captures
made from traces of real conversations (tools/wireshark/trace_to_pcapng.py):
host commands with their letters and addresses, replies with their status,
status frames and data bytes, in both framings and both roles, a frame that
a read boundary cut, reassembled and marked, and the tshark command the
converter prints."""

import json
import os
import shlex
import shutil
import subprocess

import pytest

import ethernet_control as ec
from conftest import SOURCE, ZORVANE, config, deliver, free_port

TOOLS = os.path.join(SOURCE, "tools", "wireshark")
STX, ETX = b"\x02", b"\x03"

pytestmark = pytest.mark.skipif(shutil.which("tshark") is None,
                                reason="tshark is not installed (scripts/install-deps.sh installs it)")


def z(letter: bytes, operand: bytes = b"") -> bytes:
    return STX + letter + operand + ETX


def capture(tmp_path, terminal):
    """Stops the running JSON-lines trace and turns it into a capture."""
    terminal.trace_stop()
    pcap = tmp_path / "capture.pcapng"
    out = subprocess.run(["python3", os.path.join(TOOLS, "trace_to_pcapng.py"), str(tmp_path / "t.jsonl"),
                          str(pcap)], check=True, capture_output=True, text=True).stdout
    return pcap, out


def tshark(pcap, *prefs, fields=("zorvane.direction", "zorvane.letter", "zorvane.address", "zorvane.reply_to",
                                 "zorvane.reply_status", "zorvane.status", "zorvane.data", "zorvane.text",
                                 "_ws.expert.message")):
    command = ["tshark", "-n", "-r", str(pcap), "-X", "lua_script:" + os.path.join(TOOLS, "zorvane.lua")]
    return run_tshark(command, pcap, prefs, fields)


def run_tshark(command, pcap, prefs=(), fields=("zorvane.letter",)):
    command = command + ["-Y", "zorvane", "-T", "fields", "-E", "separator=|", "-E", "occurrence=a",
                         "-E", "aggregator=,"]
    for pref in prefs:
        command += ["-o", pref]
    for field in fields:
        command += ["-e", field]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, HOME=str(pcap.parent)))
    assert result.returncode == 0, result.stderr
    return [line.split("|") for line in result.stdout.splitlines()]


def test_plain_framing_client_role_with_a_cut_frame_reassembled(tmp_path):
    host_server = __import__("socket").create_server(("127.0.0.1", 0))
    port = host_server.getsockname()[1]
    with ec.launch(config=config(port, ZORVANE), folder=str(tmp_path)) as t:
        conn, _ = host_server.accept()

        class Host:
            def send(self, data):
                conn.sendall(data)

        host = Host()
        t.wait({"connected": True})
        t.trace_start(file="t.jsonl", format="jsonl")
        deliver(t, host, z(b"L") + z(b"G", b"\x05") + z(b"P", b"A"))
        t.busy(True)
        deliver(t, host, z(b"S", b"x") + STX + b"T" + ETX)
        deliver(t, host, STX + b"DHEL")
        deliver(t, host, b"LO" + ETX)
        t.key("K")
        pcap, out = capture(tmp_path, t)
        conn.close()
    host_server.close()
    rows = tshark(pcap, f"zorvane.port:{port}", "zorvane.side:host")
    cut = ("Frame spans TCP segments: the terminal reads each segment on its own and may have taken it as a "
           "cut command")
    assert rows == [
        ["host", "L,G,P", "", "", "", "", "", "", ""],
        ["terminal", "", "", "P", "ready", "", "", "", ""],
        ["host", "S,T", "", "", "", "", "", "", ""],
        ["terminal", "", "", "S", "ready", "", "", "", ""],
        ["terminal", "", "", "T", "", "0xa0", "", "", ""],
        # The two reads of "D" reassembled into one frame, marked: the terminal itself dropped the second half.
        ["host", "D", "", "", "", "", "", "HELLO", cut],
        ["terminal", "", "", "", "", "", "4b", "", ""],
    ]
    # The converter prints the command that opens the capture, with the port it found.
    printed = [line for line in out.splitlines() if line.startswith("tshark ")]
    assert len(printed) == 1 and f"-o zorvane.port:{port} -o zorvane.side:host" in printed[0], out
    assert run_tshark(shlex.split(printed[0]), pcap) == [[row[1]] for row in rows]


def test_comutadora_framing_server_role(tmp_path):
    port = free_port()
    with ec.launch(config=config(port, ZORVANE, role=0), folder=str(tmp_path), equipment="comutadora",
                   extra_args=["--trace", str(tmp_path / "t.jsonl"), "--trace-format", "jsonl"]) as t:
        conn = __import__("socket").create_connection(("127.0.0.1", port))

        class Host:
            def send(self, data):
                conn.sendall(data)

        host = Host()
        t.wait({"connected": True})
        deliver(t, host, STX + b"D00OK" + ETX + STX + b"P01Z" + ETX + STX + b"P00Z" + ETX)
        t.key("7")
        host.send(b"")
        t.process.stop()
        conn.close()
    pcap = tmp_path / "capture.pcapng"
    out = subprocess.run(["python3", os.path.join(TOOLS, "trace_to_pcapng.py"), str(tmp_path / "t.jsonl"),
                          str(pcap)], check=True, capture_output=True, text=True).stdout
    assert f"-o zorvane.port:{port} -o zorvane.framing:comutadora -r {pcap}" in out
    rows = tshark(pcap, f"zorvane.port:{port}", "zorvane.framing:comutadora")
    assert rows == [
        ["host", "D,P,P", "00,01,00", "", "", "", "", "OK", ""],
        ["terminal", "", "00", "P", "ready", "", "", "", ""],
        ["terminal", "", "00", "", "", "", "37", "", ""],
    ]
