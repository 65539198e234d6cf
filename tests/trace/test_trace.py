"""The trace of the real headless program: known conversations with a host on
loopback, in both dialects, both framings and Telnet, compared record by
record with what the trace must say; every record kind and every warning;
where the trace goes (control events, text and JSON-lines files, a disk that
refuses the writes)."""

import json
import os
import re
import signal
import socket
import subprocess
import time

import pytest

import ethernet_control as ec
from conftest import TELNET, VT100, ZORVANE, config, deliver, free_port, simple

STX, ETX, ESC = b"\x02", b"\x03", b"\x1b"
IAC, SB, SE, DO = b"\xff", b"\xfa", b"\xf0", b"\xfd"


def z(letter: bytes, operand: bytes = b"") -> bytes:
    return STX + letter + operand + ETX


def traced(terminal, action):
    """Runs action() inside a trace started and stopped over the control
    interface; returns (records, summary)."""
    terminal.subscribe("trace")
    terminal.trace_start()
    action()
    summary = terminal.trace_stop()
    return [simple(r) for r in terminal.trace_records()], summary


class TestZorvane:
    def test_plain_framing_conversation(self, host, tmp_path):
        (tmp_path / "Digitacoes.ini").write_text(
            "[Parametros]\nTempo_entre_caracteres=20\nTempo_entre_campos=5000\nTempo_de_Loop=5000\n"
            "Numero_de_Inputs=1\n[Inputs]\n0=7\n")
        with ec.launch(config=config(host.port, ZORVANE), folder=str(tmp_path)) as t:
            host.accept()
            t.wait({"connected": True})

            def conversation():
                deliver(t, host, z(b"L") + z(b"C", b"004") + z(b"D", b"TOTAL") + z(b"G", b"\x05") + z(b"P", b"A"))
                t.busy(True)
                deliver(t, host, b"xx" + z(b"P", b"B"))
                t.cts(True)
                deliver(t, host, z(b"S", b"y") + STX + b"T" + ETX + ETX)
                deliver(t, host, STX + b"DAB")
                deliver(t, host, b"CD" + ETX)
                deliver(t, host, z(b"X") + z(b"L"))
                deliver(t, host, z(b"D", b"0123456789" * 4 + b"W"))
                deliver(t, host, z(b"C", b"0a1") + z(b"L"))
                t.cts(False)
                t.key("A")
                t.input(1, True)
                t.barcode("12")
                t.scale(readings=["<2>7<3>"], on=True)
                deliver(t, host, z(b"S", b"\x05"))
                t.playback(True)
                # The first tick comes after the reply, so it follows the reply's number.
                t.wait({"sent": b"7"}, after_seq=t.seq)
                t.playback(False)

            records, summary = traced(t, conversation)

        assert records == [
            ("received", "in", "024c030243303034030244544f54414c030247050302504103", "25 bytes read", ""),
            ("command", "in", "024c03", 'STX "L" ETX  clear the display', ""),
            ("command", "in", "024330303403", 'STX "C" "004" ETX  cursor to row 1, column 5', ""),
            ("command", "in", "0244544f54414c03", 'STX "D" "TOTAL" ETX  text "TOTAL" at row 1, column 5', ""),
            ("command", "in", "02470503", 'STX "G" 05 ETX  LEDs 0 and 2 on, the others off', ""),
            ("command", "in", "02504103",
             "STX \"P\" 'A' ETX  printer ready: reply 02 1b 01 50 03, then print 'A'", ""),
            ("sent", "out", "021b015003", 'reply to "P"', "reply"),
            ("operator", "local", "", '"Busy" ticked', ""),
            ("received", "in", "787802504203", "6 bytes read", ""),
            ("command", "in", "7878", "x x  2 stray bytes dropped (outside any frame)", "stray-bytes"),
            ("command", "in", "02504203",
             "STX \"P\" 'B' ETX  printer busy (\"Busy\" ticked): reply 02 1b 80 50 03; 'B' is not printed",
             "busy-reply"),
            ("sent", "out", "021b805003", 'reply to "P"', "reply"),
            ("operator", "local", "", '"CTS" ticked', ""),
            ("received", "in", "0253790302540303", "8 bytes read", ""),
            ("command", "in", "02537903",
             "STX \"S\" 'y' ETX  serial interface blocked (\"CTS\" ticked): reply 02 1b 80 53 03; 'y' is not sent",
             "busy-reply"),
            ("sent", "out", "021b805303", 'reply to "S"', "reply"),
            # The plain framing takes the two bytes after "T", whatever they are.
            ("command", "in", "02540303", "STX \"T\" 03 ETX  status query: status frame 02 1b a8 54 03", ""),
            ("sent", "out", "021ba85403", "status report", "status-report"),
            ("received", "in", "02444142", "4 bytes read", ""),
            ("command", "in", "02444142",
             'STX "D" "AB"  text "AB" at row 1, column 10, cut by the end of the delivery: the rest of this '
             "frame in the next delivery is dropped as stray bytes", "cut-command"),
            ("received", "in", "434403", "3 bytes read", ""),
            ("command", "in", "434403",
             "C D ETX  3 stray bytes dropped (outside any frame): the rest of the command cut at the end of the "
             "read before", "stray-bytes"),
            ("received", "in", "025803024c03", "6 bytes read", ""),
            ("command", "in", "025803024c03",
             "STX 'X' …  unknown command letter 'X': the rest of the delivery (6 bytes) is discarded",
             "unknown-letter"),
            ("received", "in", "02443031323334353637383930313233343536373839303132333435363738393031323334"
             "35363738395703", "44 bytes read", ""),
            ("command", "in", "02443031323334353637383930313233343536373839303132333435363738393031323334"
             "35363738395703",
             'STX "D" "0123456789012345678901234567890123456789W" ETX  text '
             '"0123456789012345678901234567890123456789W" at row 1, column 12; past column 40, wrapped to the '
             "other line", "wrapped-text"),
            ("received", "in", "024330613103024c03", "9 bytes read", ""),
            ("command", "in", "024330613103",
             "STX \"C\" \"0a1\" ETX  cursor operands are not numbers ('a1' is not a valid integer value): the "
             "rest of the delivery (3 bytes) is not processed", "bad-cursor-operands"),
            ("message", "local", "", "Ethernet: 'a1' is not a valid integer value.", ""),
            ("operator", "local", "", '"CTS" unticked', ""),
            ("operator", "local", "", "key A", ""),
            ("sent", "out", "41", "key A", "key"),
            ("operator", "local", "", '"Input 1" ticked', ""),
            ("sent", "out", "40", 'report of "Input 1"', "input-report"),
            ("sent", "out", "32", 'report of "Input 1"', "input-report"),
            ("operator", "local", "", "barcode 31 32 read", ""),
            ("sent", "out", "31", 'barcode "12" CR', "barcode"),
            ("sent", "out", "32", 'barcode "12" CR', "barcode"),
            ("sent", "out", "0d", 'barcode "12" CR', "barcode"),
            ("operator", "local", "", "scale readings replaced by 1 texts", ""),
            ("operator", "local", "", '"Balança" ticked', ""),
            ("received", "in", "02530503", "4 bytes read", ""),
            ("command", "in", "02530503",
             "STX \"S\" 05 ETX  serial ready: reply 02 1b 01 53 03, then 05 to the serial interface; the scale "
             "answers", ""),
            ("sent", "out", "021b015303", 'reply to "S"', "reply"),
            ("sent", "out", "02", 'scale reading 0: STX "7" ETX', "scale-reading"),
            ("sent", "out", "37", 'scale reading 0: STX "7" ETX', "scale-reading"),
            ("sent", "out", "03", 'scale reading 0: STX "7" ETX', "scale-reading"),
            ("operator", "local", "", 'button "Carrega Arquivo"', ""),
            ("sent", "out", "37", 'playback, input 0: "7"', "playback"),
            ("operator", "local", "", 'button "Descarrega Arquivo"', ""),
        ]
        assert summary["warnings"] == {"bad-cursor-operands": 1, "busy-reply": 2, "cut-command": 1,
                                       "stray-bytes": 2, "unknown-letter": 1, "wrapped-text": 1}
        assert summary["records"] == len(records) and not summary["running"]

    def test_a_flood_of_alike_commands_is_folded_read_by_read(self, host):
        with ec.launch(config=config(host.port, ZORVANE)) as t:
            host.accept()
            t.wait({"connected": True})
            frames = b"".join(z(b"G", bytes([i % 16])) for i in range(100))

            def flood():
                deliver(t, host, frames)
                deliver(t, host, frames[:20])
                deliver(t, host, z(b"L"))

            records, summary = traced(t, flood)
        commands = [r for r in records if r[0] == "command"]
        assert commands[7][3] == 'STX "G" 07 ETX  LEDs 0, 1 and 2 on, the others off'
        assert commands[8] == ("command", "in", "02470303",
                               '… 92 more commands like the one before; the last: STX "G" 03 ETX  '
                               "LEDs 0 and 1 on, the others off", " x92")
        # The row goes on in the next read: one record for it.
        assert [r[0] for r in records[10:]] == ["received", "command", "received", "command"]
        assert records[11][3].startswith("… 5 more commands like the one before; the last: STX \"G\" 04 ETX")
        assert records[13][3] == 'STX "L" ETX  clear the display'
        assert summary["records"] == 14

    def test_comutadora_framing_conversation(self, host):
        with ec.launch(config=config(host.port, ZORVANE), equipment="comutadora") as t:
            host.accept()
            t.wait({"connected": True})

            def conversation():
                deliver(t, host, b"zz" + STX + b"D01hidden" + ETX + STX + b"D00AB" + ETX + STX + b"P00Q" + ETX +
                        STX + b"L00" + ETX)
                t.key("5")

            records, summary = traced(t, conversation)
        assert records == [
            ("received", "in", "7a7a0244303168696464656e0302443030414203025030305103024c303003", "31 bytes read", ""),
            ("comutadora", "in", "02443030414203025030305103024c303003",
             'kept 3 frames for address 00 (18 bytes); dropped 1 frame for address "01"; dropped 2 stray bytes '
             "outside any frame", "stray-bytes"),
            ("command", "in", "02443030414203", 'STX "D" "00" "AB" ETX  text "AB" at row 1, column 1', ""),
            ("command", "in", "025030305103",
             "STX \"P\" \"00\" 'Q' ETX  printer ready: reply 02 1b 30 30 01 50 03, then print 'Q'", ""),
            ("sent", "out", "021b3030015003", 'reply to "P"', "reply"),
            ("command", "in", "024c303003", 'STX "L" "00" ETX  clear the display', ""),
            ("operator", "local", "", "key 5", ""),
            ("sent", "out", "0230303503", "key 5", "key"),
        ]
        assert summary["warnings"] == {"stray-bytes": 1}


def test_keys_are_named_as_the_control_protocol_names_them(host):
    names = [str(d) for d in range(10)] + [chr(c) for c in range(ord("A"), ord("Z") + 1)] + [
        "Space", ",", ".", "Del", "Enter", "Back"]
    with ec.launch(config=config(host.port, ZORVANE)) as t:
        host.accept()
        t.wait({"connected": True})

        def press():
            for name in names:
                t.key(name)

        records, _ = traced(t, press)
    assert [r[3] for r in records if r[0] == "operator"] == ["key " + name for name in names]
    assert sorted({r[3] for r in records if r[0] == "sent"}) == sorted("key " + name for name in names)


class TestVt100:
    def test_server_role_conversation_traced_to_a_json_lines_file(self, tmp_path):
        port = free_port()
        trace = tmp_path / "trace.jsonl"
        with ec.launch(config=config(port, VT100, role=0), folder=str(tmp_path),
                       extra_args=["--trace", str(trace), "--trace-format", "jsonl"]) as t:
            host = socket.create_connection(("127.0.0.1", port))
            t.wait({"connected": True})

            class Conn:
                def send(self, data):
                    host.sendall(data)

            conn = Conn()
            deliver(t, conn, ESC + b"[J" + ESC + b"[02;10HTOTAL")
            deliver(t, conn, ESC + b"[1;38HABCDE\r\n" + ESC + b"\x1b\xc0")
            t.key(".")
            seq = t.seq
            t.key("1")
            t.wait({"sent": ESC + b"OP"}, after_seq=seq)
            deliver(t, conn, ESC + b"[5i" + ESC + b"[?25l")
            deliver(t, conn, ESC + b"[4i" + ESC + b"[0a;10Hzz")
            deliver(t, conn, b"ok" + ESC + b"[02")
            host.close()
            t.wait({"connected": False})
            t.process.stop()
        lines = trace.read_text(encoding="utf-8").splitlines()
        header, summary = json.loads(lines[0]), json.loads(lines[-1])
        assert header["trace"]["program"] == "ethernet"
        records = [json.loads(line) for line in lines[1:-1]]
        assert [r["n"] for r in records] == list(range(1, len(records) + 1))
        assert all(r["dt_us"] >= 0 and re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z", r["time"])
                   for r in records)
        peer = records[1]["peer"]
        assert re.fullmatch(r"127\.0\.0\.1:\d+", peer)
        assert all(r["peer"] == peer for r in records if r["kind"] in ("received", "command", "sent"))
        got = [simple(r) for r in records]
        assert got[0] == ("link", "local", "", f"listening on port {port}", "listening")
        assert got[1] == ("link", "local", "", "host connected", "accepted")
        assert got[2:] == [
            ("received", "in", "1b5b4a1b5b30323b313048544f54414c", "16 bytes read", ""),
            ("command", "in", "1b5b4a", "ESC [ J  clear the display", ""),
            ("command", "in", "1b5b30323b313048", "ESC [ 0 2 ; 1 0 H  cursor to row 2, column 10", ""),
            ("command", "in", "544f54414c", '"TOTAL"  text "TOTAL" at row 2, column 10', ""),
            ("received", "in", "1b5b313b33384841424344450d0a1b1bc0", "17 bytes read", ""),
            ("command", "in", "1b5b313b333848", "ESC [ 1 ; 3 8 H  cursor to row 1, column 38", ""),
            ("command", "in", "41424344450d0a",
             '"ABCDE" CR LF  text "ABCDE" at row 1, column 38 (wrapped), CR, LF; past column 40, wrapped to '
             "the other line", "wrapped-text"),
            ("command", "in", "1b1bc0", "ESC ESC c0  function-key mode on", ""),
            ("operator", "local", "", "key .", ""),
            ("operator", "local", "", "key 1", ""),
            ("sent", "out", "1b", "function-key sequence of 1", "function-key"),
            ("sent", "out", "4f", "function-key sequence of 1", "function-key"),
            ("sent", "out", "50", "function-key sequence of 1", "function-key"),
            ("received", "in", "1b5b35691b5b3f32356c", "10 bytes read", ""),
            ("command", "in", "1b5b3569", "ESC [ 5 i  printer controller on", ""),
            ("command", "in", "1b5b3f32356c",
             "ESC [ ? 2 5 l  print destination 'l': the parallel interface", ""),
            ("received", "in", "1b5b34691b5b30613b3130487a7a", "14 bytes read", ""),
            ("command", "in", "1b5b3469", "ESC [ 4 i  printer controller off", ""),
            ("command", "in", "1b5b30613b313048",
             "ESC [ 0 a ; 1 0 H  cursor operands are not numbers ('0a' is not a valid integer value): the rest "
             "of the delivery (2 bytes) is not processed", "bad-cursor-operands"),
            ("message", "local", "", "Ethernet: '0a' is not a valid integer value.", ""),
            ("received", "in", "6f6b1b5b3032", "6 bytes read", ""),
            # ABCDE wrapped to line 2, CR LF brought the cursor back to line 1, column 1.
            ("command", "in", "6f6b", '"ok"  text "ok" at row 1, column 1', ""),
            ("command", "in", "1b5b",
             'ESC [  a cursor or printer command cut by the end of the delivery: "02" is shown as text',
             "cut-command"),
            ("command", "in", "3032", '"02"  text "02" at row 1, column 3', ""),
            ("link", "local", "", "connection closed", "closed"),
        ]
        assert summary == {"summary": {"records": len(records), "warnings": {
            "bad-cursor-operands": 1, "cut-command": 1, "wrapped-text": 1}, "notes": {}}}

    def test_client_role_refused_then_connected_in_a_text_trace(self, tmp_path):
        port = free_port()
        trace = tmp_path / "trace.txt"
        with ec.launch(config=config(port, VT100), folder=str(tmp_path), extra_args=["--trace", str(trace)]) as t:
            deadline = time.monotonic() + 10
            while "refused" not in (trace.read_text() if trace.exists() else ""):
                assert time.monotonic() < deadline, "no refused attempt in the trace"
                time.sleep(0.2)
            server = socket.create_server(("127.0.0.1", port))
            conn, _ = server.accept()
            t.wait({"connected": True})
            conn.sendall(b"hi")
            t.wait_display("hi")
            t.process.stop()
            conn.close()
            server.close()
        lines = trace.read_text(encoding="utf-8").splitlines()
        assert lines[0].startswith("# ethernet trace, started ")
        line = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} \+\d+\.\d{6} "
        assert re.match(line + r"127\.0\.0\.1:%d\s+-- link\s+\[refused\] connection refused" % port, lines[1])
        assert any(re.match(line + r"127\.0\.0\.1:%d\s+-- link\s+\[connected\] connected to the host" % port, l)
                   for l in lines)
        assert any(re.match(line + r"127\.0\.0\.1:\d+\s+<- command\s+68 69\s+hi\s+\"hi\"  text \"hi\" at row 1, "
                                   r"column 1$", l) for l in lines)
        assert lines[-2:] == ["# summary: %d records" % (len(lines) - 3), "# no warnings"]


class TestTelnet:
    def test_negotiation_is_named_and_its_faults_found(self, host):
        with ec.launch(config=config(host.port, TELNET)) as t:
            host.accept()
            t.wait({"connected": True})

            def conversation():
                deliver(t, host, IAC + DO + b"\x18" + b"A" + IAC + IAC + b"B")
                host.read_until(IAC + b"\xfb\x18")
                deliver(t, host, IAC + SB + b"\x18\x01" + IAC + SE)
                host.read_until(IAC + SB + b"\x18\x00vt100" + IAC + SE)
                deliver(t, host, (IAC + DO + b"\x05") * 8 + IAC + b"\xf1")
                deliver(t, host, IAC + SB + b"\x18" + b"x" * 300)

            records, summary = traced(t, conversation)
        assert records[:7] == [
            ("received", "in", "fffd1841ffff42", "7 bytes read", ""),
            ("telnet", "in", "fffd18", "IAC DO TERMINAL-TYPE  answer IAC WILL TERMINAL-TYPE", ""),
            ("sent", "out", "fffb18", "Telnet answer IAC WILL TERMINAL-TYPE", "telnet-answer"),
            ("command", "in", "41ff42", '"A" ff "B"  text "A" ff "B" at row 1, column 1', ""),
            ("received", "in", "fffa1801fff0", "6 bytes read", ""),
            ("telnet", "in", "fffa1801fff0",
             'IAC SB TERMINAL-TYPE SEND IAC SE  answer IAC SB TERMINAL-TYPE IS "vt100" IAC SE', ""),
            ("sent", "out", "fffa180076743130 30fff0".replace(" ", ""),
             'Telnet answer IAC SB TERMINAL-TYPE IS "vt100" IAC SE', "telnet-answer"),
        ]
        loop = [r for r in records if r[0] == "telnet" and r[2] == "fffd05"]
        assert len(loop) == 8 and all(r[3].startswith("IAC DO STATUS  answer IAC WONT STATUS") for r in loop)
        assert loop[-1][4] == "negotiation-loop" and all(r[4] == "" for r in loop[:-1])
        assert ("telnet", "in", "fff1", "IAC NOP  no answer", "") in records
        endless = [r for r in records if r[4] == "endless-subnegotiation"]
        assert len(endless) == 1 and endless[0][3].startswith(
            "IAC SB TERMINAL-TYPE … has not ended after 301 bytes")
        assert summary["warnings"] == {"negotiation-loop": 1, "endless-subnegotiation": 1}


def text_record(line: str):
    """(kind, hex, warning) of a record line of a text trace, None for a comment."""
    if line.startswith("#"):
        return None
    arrow = re.search(r" (<-|->|--) ", line).start() + 1
    kind = line[arrow + 3:arrow + 13].strip()
    hex_field = line[arrow + 14:arrow + 63].replace(" ", "")
    words = line[arrow + 14 + 50 + 18:]
    warning = re.match(r"!! ([\w-]+): ", words)
    return kind, hex_field, warning.group(1) if warning else ""


def trace_of_reads(tmp_path, protocol: int, trace_format: str, reads) -> tuple:
    """The real program, headless with only --trace, as a Client of a host on
    loopback that writes each read 100 ms after the one before; returns the
    trace as (kind, hex, warning) records and the summary's warnings."""
    host = socket.create_server(("127.0.0.1", 0))
    with open(tmp_path / "Config.ini", "w", encoding="cp1252", newline="\r\n") as f:
        f.write(config(host.getsockname()[1], protocol))
    trace = tmp_path / ("trace." + ("jsonl" if trace_format == "jsonl" else "txt"))
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    program = subprocess.Popen([ec.find_binary(), "--headless", "--folder", str(tmp_path), "--trace", str(trace),
                                "--trace-format", trace_format], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        host.settimeout(10)
        conn, _ = host.accept()
        for data in reads:
            time.sleep(0.1)
            conn.sendall(data)
        time.sleep(0.1)
        conn.close()
        # The trace reaches its file at least once a second; the close comes after every read.
        deadline = time.monotonic() + 10
        while "connection closed" not in (trace.read_text(encoding="utf-8") if trace.exists() else ""):
            assert time.monotonic() < deadline, "the trace never showed the end of the connection"
            time.sleep(0.1)
    finally:
        program.send_signal(signal.SIGTERM)
        program.wait(10)
        host.close()
    lines = trace.read_text(encoding="utf-8").splitlines()
    if trace_format == "jsonl":
        records = [json.loads(line) for line in lines[1:-1]]
        return ([(r["kind"], r["hex"], r.get("warning", "")) for r in records],
                json.loads(lines[-1])["summary"]["warnings"])
    summary = dict(re.fullmatch(r"# warning ([\w-]+): (\d+)", line).groups() for line in lines
                   if line.startswith("# warning "))
    return [r for r in map(text_record, lines) if r], {kind: int(n) for kind, n in summary.items()}


class TestEveryRead:
    """Reads apart in time, of sizes alike, each with commands of its own: the
    bytes of a read may lie where the read before lay, and still every read's
    commands and warnings are in the trace."""

    ZORVANE_READS = [
        (z(b"D", b"HELLO"), [("0244" + b"HELLO".hex() + "03", "")]),
        (z(b"P", b"A"), [("02504103", "")]),
        (STX + b"DAB", [("02444142", "cut-command")]),
        (b"CD" + ETX, [("434403", "stray-bytes")]),
        (z(b"X"), [("025803", "unknown-letter")]),
        (z(b"D", b"ZZ"), [("02445a5a03", "")]),
        (z(b"D", b"ZZ"), [("02445a5a03", "")]),
    ]
    VT100_READS = [
        (ESC + b"[JHELLO", [("1b5b4a", ""), (b"HELLO".hex(), "")]),
        (ESC + b"[2;1HWORLD", [("1b5b", ""), (b"2;1HWORLD".hex(), "")]),
        (ESC + b"[5i", [("1b5b3569", "")]),
        (b"ABC", [("414243", "")]),
        (ESC + b"[4i", [("1b5b3469", "")]),
        (ESC + b"[1;38HABCDE", [("1b5b313b333848", ""), (b"ABCDE".hex(), "wrapped-text")]),
        (ESC + b"[0", [("1b5b", "cut-command"), ("30", "")]),
        (ESC + b"[0", [("1b5b", "cut-command"), ("30", "")]),
    ]

    @pytest.mark.parametrize("trace_format", ["text", "jsonl"])
    @pytest.mark.parametrize("protocol", [ZORVANE, VT100], ids=["zorvane", "vt100"])
    def test_every_read_has_its_commands(self, tmp_path, protocol, trace_format):
        reads = self.ZORVANE_READS if protocol == ZORVANE else self.VT100_READS
        records, warnings = trace_of_reads(tmp_path, protocol, trace_format, [data for data, _ in reads])
        by_read = []
        for kind, hex_bytes, warning in records:
            if kind == "received":
                by_read.append((hex_bytes, []))
            elif kind == "command":
                by_read[-1][1].append((hex_bytes, warning))
        assert by_read == [(data.hex(), commands) for data, commands in reads]
        expected = {}
        for _, commands in reads:
            for _, warning in commands:
                if warning:
                    expected[warning] = expected.get(warning, 0) + 1
        assert warnings == expected


class TestWhereTheTraceGoes:
    def test_a_full_disk_stops_the_trace_once_and_never_the_terminal(self, host, tmp_path):
        with ec.launch(config=config(host.port, ZORVANE), folder=str(tmp_path),
                       extra_args=["--trace", "/dev/full"]) as t:
            host.accept()
            t.wait({"connected": True})
            t.subscribe("message")
            # A second a flush: writes fail on the first one at the latest.
            deadline = time.monotonic() + 10
            while "rastreamento" not in t.process.stderr_text:
                assert time.monotonic() < deadline, "the failed trace was never reported"
                deliver(t, host, z(b"D", b"x" * 100))
                time.sleep(0.2)
            deliver(t, host, z(b"L") + z(b"D", b"still here"))
            t.wait_display("still here")
            t.key("Z")
            host.read_until(b"Z")
            assert t.process.popen.poll() is None
            messages = [e for e in t.events() if e["event"] == "message"]
        report = [line for line in t.process.stderr_text.splitlines() if "rastreamento" in line]
        assert len(report) == 1 and "/dev/full" in report[0] and "o terminal continua" in report[0]
        assert len(messages) == 1

    def test_control_trace_requests_are_checked(self, host, tmp_path):
        with ec.launch(config=config(host.port, ZORVANE), folder=str(tmp_path)) as t:
            host.accept()
            with pytest.raises(ec.ControlError) as error:
                t.trace_warnings()
            assert error.value.code == "not_tracing"
            with pytest.raises(ec.ControlError) as error:
                t.trace_stop()
            assert error.value.code == "not_tracing"
            with pytest.raises(ec.ControlError) as error:
                t.trace_start(format="xml")
            assert error.value.code == "bad_argument"
            with pytest.raises(ec.ControlError) as error:
                t.trace_start(file="no/such/folder/t.txt")
            assert error.value.code == "trace_failed"
            started = t.trace_start(file="t.txt")
            assert started == {"file": str(tmp_path / "t.txt"), "format": "text"}
            deliver(t, host, b"junk")
            assert t.trace_warnings() == {"running": True, "records": 2, "warnings": {"stray-bytes": 1},
                                          "notes": {}}
            # Starting again ends the first trace with its summary.
            t.trace_start(file="t2.jsonl", format="jsonl")
            assert (tmp_path / "t.txt").read_text().splitlines()[-2:] == ["# summary: 2 records",
                                                                          "# warning stray-bytes: 1"]
            assert t.trace_stop()["records"] == 0
