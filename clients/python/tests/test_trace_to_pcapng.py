"""The trace converter (ethernet-trace-to-pcapng, and the script in
tools/wireshark) on traces the real program wrote: the text and the JSON-lines
trace of one conversation make the same capture, and every trace it cannot
convert is refused in one line, with status 2 and no traceback."""

import os
import socket
import struct
import subprocess
import sys
import time

import pytest

PACKAGE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, PACKAGE)

import ethernet_control as ec  # noqa: E402
from ethernet_control.trace_to_pcapng import read_trace  # noqa: E402

SCRIPT = os.path.join(PACKAGE, "..", "..", "tools", "wireshark", "trace_to_pcapng.py")
STX, ETX = b"\x02", b"\x03"


def payloads(capture):
    """The TCP payloads of a pcapng capture made by the converter, in order."""
    data, found, at = capture.read_bytes(), [], 0
    while at < len(data):
        kind, length = struct.unpack_from("<II", data, at)
        if kind == 6:
            captured = struct.unpack_from("<I", data, at + 20)[0]
            found.append(data[at + 28:at + 28 + captured][14 + 20 + 20:])  # after Ethernet, IPv4 and TCP
        at += length
    return [p for p in found if p]


def convert(trace, capture, how="module"):
    command = ([sys.executable, SCRIPT] if how == "script"
               else [sys.executable, "-m", "ethernet_control.trace_to_pcapng"])
    return subprocess.run(command + [str(trace), str(capture)], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=PACKAGE))


@pytest.fixture(scope="module")
def traces(tmp_path_factory):
    """One conversation traced twice, as text and as JSON lines, with short
    reads and sends only; then a text trace with a read of 20 bytes."""
    folder = tmp_path_factory.mktemp("traces")
    started = {}
    with socket.create_server(("127.0.0.1", 0)) as probe:
        port = probe.getsockname()[1]
    with ec.launch(config=ec.config_text(port, "zorvane", role="server"), folder=str(folder)) as terminal:
        host = socket.create_connection(("127.0.0.1", port))
        terminal.wait({"connected": True})
        for name, form in (("t.txt", "text"), ("t.jsonl", "jsonl")):
            started[name] = time.time()
            terminal.trace_start(file=name, format=form)
            seq = terminal.seq
            host.sendall(STX + b"DOLA" + ETX + STX + b"T" + ETX)
            terminal.wait({"sent": STX + b"\x1b"}, after_seq=seq)
            seq = terminal.seq
            terminal.key("5")
            terminal.wait({"sent": b"5"}, after_seq=seq)
            terminal.trace_stop()
        terminal.trace_start(file="long.txt", format="text")
        seq = terminal.seq
        host.sendall(STX + b"D" + b"X" * 17 + ETX)
        terminal.wait({"received": STX + b"D" + b"X" * 17 + ETX}, after_seq=seq)
        terminal.trace_stop()
        host.close()
    return folder, port, started


def test_a_text_trace_converts_to_the_capture_of_its_json_lines_twin(traces, tmp_path):
    folder, _, started = traces
    text = read_trace(open(folder / "t.txt", encoding="utf-8"), "t.txt")
    jsonl = read_trace(open(folder / "t.jsonl", encoding="utf-8"), "t.jsonl")

    def moves(records):
        return [(r["kind"], r["peer"], r["hex"]) for r in records if r["kind"] in ("received", "sent")]

    assert moves(text) == moves(jsonl) and len(moves(text)) >= 3
    # The text's local times read back as the moments they were.
    for records, name in ((text, "t.txt"), (jsonl, "t.jsonl")):
        first = next(r for r in records if r["kind"] == "received")["t_us"] / 1e6
        assert started[name] - 1 < first < started[name] + 60
    captures, said = [], []
    for name, how in (("t.txt", "script"), ("t.jsonl", "module")):
        capture = tmp_path / (name + ".pcapng")
        result = convert(folder / name, capture, how)
        assert result.returncode == 0, result.stderr
        captures.append(payloads(capture))
        said.append(result.stdout.replace(str(capture), "CAPTURE"))
    assert captures[0] == captures[1]
    # Traced after the terminal began to listen, the port is the host's: the same for both.
    host_port = text[0]["peer"].rpartition(":")[2]
    assert said[0].splitlines()[0] == said[1].splitlines()[0]
    assert all(f"-o zorvane.port:{host_port} -o zorvane.side:host -r CAPTURE" in words for words in said)
    assert b"".join(captures[0]).startswith(STX + b"DOLA" + ETX + STX + b"T" + ETX) and b"5" in captures[0]


BROKEN = [
    ("long.txt", None, "long.txt:{line}: this received record is longer than the 16 bytes a text trace shows: "
                       "convert a trace written with --trace-format jsonl"),
    ("notes.txt", "just some words\n", "notes.txt:1: not a trace of the ethernet program"),
    ("cut.jsonl", '{"trace":{"program":"ethernet"}}\n{"kind":"received",\n', "cut.jsonl:2: not a JSON object"),
    ("nohex.jsonl", '{"kind":"received","peer":"127.0.0.1:5000","t_us":1}\n',
     "nohex.jsonl:1: a received record without a time and bytes"),
    ("empty.txt", "", "empty.txt: empty"),
    ("missing.jsonl", False, "cannot read"),
]


@pytest.mark.parametrize("name, content, message", BROKEN, ids=[case[0] for case in BROKEN])
@pytest.mark.parametrize("how", ["script", "module"])
def test_a_trace_it_cannot_convert_is_refused_in_one_line(traces, tmp_path, name, content, message, how):
    folder = traces[0]
    trace = tmp_path / name
    if content is None:
        trace = folder / name
        line = next(n for n, text in enumerate(open(trace, encoding="utf-8"), 1) if " received " in text)
        message = message.format(line=line)
    elif content is not False:
        trace.write_text(content, encoding="utf-8")
    result = convert(trace, tmp_path / "out.pcapng", how)
    assert result.returncode == 2, result.stderr
    assert len(result.stderr.splitlines()) == 1 and "Traceback" not in result.stderr, result.stderr
    assert message in result.stderr
    assert result.stdout == ""
    assert not (tmp_path / "out.pcapng").exists()
