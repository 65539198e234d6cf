"""Faults injected on purpose into the real headless program, against a real
host on loopback: every kind, the triggers, the control commands and the
option, and the same seed giving the same run."""

import errno
import json
import os
import socket
import subprocess
import time

import pytest

import ethernet_control as ec
from conftest import ESC, ETX, STX, TELNET, VT100, ZORVANE, Host, config, frame, free_port

READY_P = STX + ESC + b"\x01P" + ETX
BUSY_P = STX + ESC + b"\x80P" + ETX


@pytest.fixture
def zorvane(host):
    with ec.launch(config=config(host.port, ZORVANE)) as terminal:
        host.accept()
        terminal.wait({"connected": True})
        terminal.subscribe("fault")
        yield terminal


def fault_events(terminal, timeout=0.3):
    return [e for e in terminal.events(timeout) if e["event"] == "fault"]


class TestReceivePath:
    def test_a_cursor_frame_split_after_its_row_byte(self, host, zorvane):
        zorvane.subscribe("message")
        zorvane.add_fault("split", offsets=[3])
        host.send(frame(b"C", b"105"))
        events = list(zorvane.events(timeout=1))
        assert any(e["event"] == "fault" and e["did"].endswith("pieces of 3,3") for e in events)
        # The first piece is a "C" with its row and no column: the row is taken, the
        # missing column is reported; the second piece is stray bytes, dropped.
        assert any(e["event"] == "message" and "'' is not a valid integer value" in e["text"] for e in events)
        state = zorvane.state()
        assert state["display"]["cursor"] == [2, 1]
        assert state["display"]["lines"] == [" " * 40, " " * 40]
        # Once spent, the next frame arrives whole and works.
        host.send(frame(b"C", b"105") + frame(b"D", b"OK"))
        zorvane.wait_display("OK")
        assert zorvane.state()["display"]["lines"][1][5:7] == "OK"

    def test_vt100_cursor_sequence_cut_in_sizes(self, host):
        with ec.launch(config=config(host.port, VT100)) as terminal:
            host.accept()
            terminal.wait({"connected": True})
            terminal.add_fault("split", sizes=[4])
            host.send(ESC + b"[02;10HX")
            terminal.wait({"display": "X"})
            # ESC [ alone moves nothing; the digits after it and ";10H" and "X" arrive as text.
            assert terminal.state()["display"]["lines"][0].startswith("02;10HX")

    def test_reset_in_the_middle_of_a_frame_then_the_client_reconnects(self, host, zorvane):
        zorvane.add_fault("reset", when_received=STX + b"D")
        host.send(frame(b"D", b"HELLO"))
        with pytest.raises(ConnectionResetError):
            while host.conn.recv(100):
                pass
        [event] = fault_events(zorvane)
        assert event["kind"] == "reset" and "after 2 of 8 bytes" in event["did"]
        assert "HELLO" not in zorvane.state()["display"]["shown"][0]
        host.accept(timeout=10)
        zorvane.wait({"connected": True, "display": "Conectado"}, timeout=10)
        host.send(frame(b"D", b"OUTRA"))
        zorvane.wait_display("OUTRA")

    def test_close_sends_fin(self, host, zorvane):
        zorvane.add_fault("close")
        host.conn.settimeout(5)
        assert host.conn.recv(100) == b""

    def test_stall_holds_the_host_back(self, host, zorvane):
        zorvane.add_fault("stall", ms=400)
        start = time.monotonic()
        host.send(frame(b"D", b"LATE"))
        zorvane.wait_display("LATE", timeout=5)
        assert time.monotonic() - start >= 0.3


class TestSends:
    def test_replies_dropped_then_answered_again(self, host, zorvane):
        zorvane.add_fault("drop_reply", count=2)
        host.send(frame(b"P", b"a") + frame(b"P", b"b") + frame(b"P", b"c"))
        host.read_until(READY_P)
        assert host.received == READY_P
        assert zorvane.log("printer", since=0)["lines"] == []
        assert zorvane.state()["printer"]["last"] == "c"
        assert [e["did"] for e in fault_events(zorvane)] == ["did not send the reply 02 1b 01 50 03"] * 2

    def test_delayed_replies_keep_their_order(self, host, zorvane):
        zorvane.add_fault("delay", ms=300, what="replies", count="always")
        start = time.monotonic()
        host.send(frame(b"T", b"\x00") + frame(b"P", b"x"))
        zorvane.key("K")
        host.read_until(READY_P)
        assert time.monotonic() - start >= 0.25
        # The key is not a reply: it went first; the two replies follow in order.
        assert host.received == b"K" + STX + ESC + b"\x80T" + ETX + READY_P
        assert zorvane.faults()[0]["remaining"] == "always"

    def test_a_held_send_ends_with_its_connection(self, host, zorvane):
        delay = zorvane.add_fault("delay", ms=3000, what="keys")
        zorvane.key("K")
        zorvane.add_fault("reset")
        events = fault_events(zorvane, timeout=1)
        dropped = [e for e in events if e["fault"] == delay and e["did"].startswith("dropped")]
        assert [e["did"] for e in dropped] == [
            "dropped 4b held back (1 bytes): the connection they were made on ended"]
        first = host.conn
        host.accept(timeout=10)
        zorvane.wait({"connected": True}, timeout=10)
        first.close()
        # Past the time the key was due, the new connection has had nothing from the old one.
        assert host.quiet_for(4) == b""
        zorvane.key("L")
        assert host.read_until(b"L") == b"L"

    def test_printer_busy_for_the_next_two_commands(self, host, zorvane):
        zorvane.add_fault("printer_busy", count=2)
        assert zorvane.state()["busy"]
        host.send(frame(b"P", b"1"))
        host.read_until(BUSY_P)
        host.send(frame(b"P", b"2"))
        host.read_until(BUSY_P + BUSY_P)
        host.send(frame(b"P", b"3"))
        host.read_until(BUSY_P + BUSY_P + READY_P)
        state = zorvane.state()
        assert not state["busy"] and state["printer"]["last"] == "3"
        assert zorvane.faults() == []

    def test_serial_blocked_and_scale_faults(self, host, zorvane):
        zorvane.scale(readings=["<2>00100<3>"], on=True)
        zorvane.add_fault("serial_blocked", count=1)
        host.send(frame(b"S", b"\x05"))
        host.read_until(STX + ESC + b"\x80S" + ETX)
        assert not zorvane.state()["cts"]
        zorvane.add_fault("scale", count=1)
        zorvane.add_fault("scale", readings=["<2>00777<3>"], after=1)
        host.send(frame(b"S", b"\x05"))
        host.send(frame(b"S", b"\x05"))
        host.send(frame(b"S", b"\x05"))
        ready = STX + ESC + b"\x01S" + ETX
        host.read_until(b"\x0200100\x03")
        # No reading for the first ENQ, the given one for the second, the scale's own for the third.
        assert host.received.endswith(ready + ready + b"\x0200777\x03" + ready + b"\x0200100\x03")


class TestConnections:
    def test_refused_while_the_window_lasts(self, tmp_path):
        port = free_port()
        with ec.launch(config=config(port, ZORVANE, role=0)) as terminal:
            terminal.add_fault("refuse", ms=600)
            with pytest.raises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", port), timeout=2)
            deadline = time.monotonic() + 10
            while True:
                try:
                    conn = socket.create_connection(("127.0.0.1", port), timeout=2)
                    break
                except ConnectionRefusedError:
                    assert time.monotonic() < deadline
                    time.sleep(0.1)
            terminal.wait({"connected": True})
            conn.close()

    def test_client_reconnection_put_off(self, host, zorvane):
        zorvane.add_fault("refuse", ms=1500)
        zorvane.add_fault("close")
        lost = time.monotonic()
        host.conn.settimeout(5)
        assert host.conn.recv(10) == b""
        host.accept(timeout=10)
        # The reset comes a second after the loss; the fault adds a second and a half.
        assert time.monotonic() - lost >= 2.0

    def test_telnet_negotiation_left_unanswered_once(self, host):
        with ec.launch(config=config(host.port, TELNET)) as terminal:
            host.accept()
            terminal.wait({"connected": True})
            terminal.add_fault("telnet_silent", count=1)
            host.send(b"\xff\xfd\x18")
            assert host.quiet_for(0.3) == b""
            host.send(b"\xff\xfd\x18")
            host.read_until(b"\xff\xfb\x18")


class TestControl:
    def test_list_clear_and_bad_specs(self, zorvane):
        first = zorvane.add_fault("delay", ms=50, count=3)
        second = zorvane.add_fault("split", random=True, seed=9, when_received="0244")
        listed = zorvane.faults()
        assert [f["id"] for f in listed] == [first, second]
        assert listed[1]["when_received"] == "0244" and listed[1]["seed"] == 9
        zorvane.clear_faults(first)
        assert [f["id"] for f in zorvane.faults()] == [second]
        with pytest.raises(ec.ControlError):
            zorvane.clear_faults(first)
        zorvane.clear_faults()
        assert zorvane.faults() == []
        for kind, arguments in (("melt", {}), ("split", {}), ("split", {"offsets": [0]}),
                                ("delay", {}), ("split", {"sizes": [2], "random": True}),
                                ("scale", {"readings": ["<123>"]}), ("reset", {"count": "never"}),
                                ("stall", {"ms": 10, "colour": "red"}), ("reset", {"when_received": "xyz"})):
            with pytest.raises(ec.ControlError) as error:
                zorvane.add_fault(kind, **arguments)
            assert error.value.code == "bad_argument", (kind, arguments)

    def test_fault_option_and_its_errors(self, host, binary):
        spec = json.dumps({"kind": "drop_reply"})
        with ec.launch(config=config(host.port, ZORVANE), extra_args=["--fault", spec]) as terminal:
            host.accept()
            terminal.wait({"connected": True})
            host.send(frame(b"P", b"a") + frame(b"P", b"b"))
            host.read_until(READY_P)
            assert host.received == READY_P
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        run = subprocess.run([binary, "--headless", "--fault", '{"kind":"split"}'], capture_output=True, env=env,
                             timeout=10)
        assert run.returncode == 2 and b"split takes one of" in run.stderr


def conversation(seed):
    """One run: a random split with the seed, a fixed conversation; the events
    without their times."""
    host = Host()
    try:
        with ec.launch(config=config(host.port, ZORVANE)) as terminal:
            host.accept()
            terminal.wait({"connected": True})
            terminal.subscribe("fault", "received", "sent", "display", "message")
            terminal.add_fault("split", random=True, seed=seed, count=3)
            for text in (b"PRIMEIRO", b"SEGUNDO", b"TERCEIRO", b"QUARTO"):
                mark = terminal.seq
                host.send(frame(b"L") + frame(b"D", text) + frame(b"P", b"z"))
                terminal.wait({"received": text}, after_seq=mark)
                host.read_until(READY_P)
                host.received = b""
            events = list(terminal.events(timeout=0.3))
    finally:
        host.close()
    return [{k: v for k, v in e.items() if k not in ("time", "seq")} for e in events]


def test_the_same_seed_gives_the_same_run():
    first = conversation(7)
    assert first == conversation(7)
    assert len([e for e in first if e["event"] == "fault"]) == 3
    assert first != conversation(8)
