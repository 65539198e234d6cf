"""The control interface of the real headless program, with a real host on
loopback: every command and wait condition, events, errors, several clients,
hostile clients, both transports, and the life of the process."""

import json
import os
import signal
import socket
import stat
import subprocess
import sys
import time

import pytest

import ethernet_control as ec
from conftest import ESC, ETX, STX, TELNET, VT100, ZORVANE, Host, config, frame, free_port



@pytest.fixture
def connected(host):
    """A Zorvane terminal in the Client role, connected to the host."""
    with ec.launch(config=config(host.port, ZORVANE)) as terminal:
        host.accept()
        terminal.wait({"connected": True}, timeout=5)
        yield terminal


def raw(terminal_or_address, token=None):
    """A bare control connection: (socket, reader) after the greeting."""
    address = terminal_or_address
    if address.startswith("unix:"):
        sock = socket.socket(socket.AF_UNIX)
        sock.connect(address[5:])
    else:
        h, _, p = address[4:].rpartition(":")
        sock = socket.create_connection((h, int(p)))
    reader = sock.makefile("rb")
    hello = json.loads(reader.readline())
    assert hello == {"hello": {"program": "ethernet", "protocol": 1}}
    return sock, reader


def ask(sock, reader, message):
    sock.sendall((message if isinstance(message, bytes) else json.dumps(message).encode()) + b"\n")
    while True:
        reply = json.loads(reader.readline())
        if "event" not in reply:
            return reply


class TestCommands:
    def test_state_follows_the_host_and_the_operator(self, host, connected):
        state = connected.state()
        assert state["connection"] == {"role": "client", "protocol": "zorvane", "comutadora": False,
                                       "connected": True}
        assert state["display"]["shown"][1] == "Conectado"
        assert state["leds"] == ["#ff00ff", "#ffff00", "#0000ff", "#00ff00"]

        host.send(frame(b"L") + frame(b"C", b"004") + frame(b"D", b"TOTAL") + frame(b"G", b"\x05"))
        connected.wait_display(r"TOTAL")
        state = connected.state()
        assert state["display"]["lines"][0] == " " * 4 + "TOTAL" + " " * 31
        assert state["display"]["cursor"] == [1, 10]
        assert state["leds"][0] == "#ff0000" and state["leds"][2] == "#ff0000"
        assert state["leds"][1] != "#ff0000" and state["leds"][3] != "#ff0000"

        connected.busy(True)
        connected.cts(True)
        host.send(frame(b"T", b"\x00"))
        host.read_until(STX + ESC + b"\xa8T" + ETX)
        state = connected.state()
        assert state["busy"] and state["cts"]

    def test_keys_and_typing_reach_the_host_in_order(self, host, connected):
        connected.key("A")
        connected.key("7")
        connected.key("Enter")
        connected.type("b1, .")
        host.read_until(b"A7\rB1, .")
        with pytest.raises(ec.ControlError) as bad_key:
            connected.key("F1")
        assert bad_key.value.code == "bad_argument"
        # One character without a key refuses the whole text before any key is pressed.
        with pytest.raises(ec.ControlError) as bad_text:
            connected.type("12#3")
        assert bad_text.value.code == "bad_argument"
        connected.key("9")
        assert host.read_until(b"9").endswith(b"A7\rB1, .9")

    def test_inputs_report_only_changes(self, host, connected):
        connected.input(0, True)
        host.read_until(b"@1")
        connected.input(0, True)
        connected.input(3, True)
        host.read_until(b"@1@9")
        connected.input(0, False)
        host.read_until(b"@1@9@8")
        assert connected.state()["inputs"] == [False, False, False, True]
        for bad in ({"n": 4, "on": True}, {"n": 0}, {"n": "1", "on": True}, {"n": 1.5, "on": False}):
            with pytest.raises(ec.ControlError) as error:
                connected.request("input", **bad)
            assert error.value.code == "bad_argument"

    def test_barcode_button_and_given_code(self, host, connected):
        connected.barcode()
        host.read_until(b"1234567890123\r")
        connected.barcode("789")
        host.read_until(b"1234567890123\r789\r")

    def test_scale_readings_answer_enq(self, host, connected):
        result = connected.scale(readings=["<2>00100<3>", "bad<", "<2>00200<3>"], on=True)
        assert result["on"] and result["readings"][1].startswith("Erro")
        host.send(frame(b"S", b"\x05"))
        host.read_until(b"\x0200100\x03")
        connected.scale(next=2)
        host.send(frame(b"S", b"\x05"))
        host.read_until(b"\x0200200\x03")
        connected.scale(on=False)
        host.send(frame(b"S", b"\x05"))
        host.read_until(STX + ESC + b"\x01S" + ETX)
        assert b"\x0200100\x03" not in host.quiet_for(0.3)
        with pytest.raises(ec.ControlError):
            connected.scale()

    def test_log_returns_lines_from_an_index(self, host, connected):
        host.send(b"".join(frame(b"P", bytes([c])) for c in b"L1\nL2\nL3\n"))
        connected.wait({"printer": r"^L3\(10\)$"})
        assert connected.log("printer") == {"lines": ["L1(10)", "L2(10)", "L3(10)"], "first": 0, "next": 3}
        later = connected.log("printer", since=2)
        assert later["first"] == 2 and len(later["lines"]) == 1
        assert connected.state()["printer"]["lines"] == 3
        with pytest.raises(ec.ControlError):
            connected.log("display")

    def test_reset_reconnects_and_playback_toggles(self, host, connected):
        folder = connected.process.folder
        with open(os.path.join(folder, "Digitacoes.ini"), "w") as f:
            f.write("[Parametros]\nTempo_entre_caracteres=10\nTempo_entre_campos=100000\nTempo_de_Loop=100000\n"
                    "Numero_de_Inputs=1\n[Inputs]\n0=XY\n")
        assert connected.playback(True)["mode"] == "playing"
        host.read_until(b"XY")
        assert connected.playback(False)["mode"] == "idle"
        connected.reset()
        host.server.settimeout(5)
        host.conn, _ = host.server.accept()
        connected.wait({"connected": True, "display": "Conectado"}, timeout=5)


class TestWaits:
    def test_sent_and_received_look_back_to_a_sequence_number(self, host, connected):
        mark = connected.state()["seq"]
        connected.key("Q")
        host.send(b"\x02Dhello\x03")
        connected.wait({"received": b"hello"}, after_seq=mark)
        connected.wait({"sent": b"Q", "received": b"\x02D"}, after_seq=mark)
        # Without a mark only what comes after the request counts.
        with pytest.raises(ec.WaitTimeout) as late:
            connected.wait({"sent": b"Q"}, timeout=0.2)
        assert late.value.state["display"]["shown"][0].startswith("hello")
        with pytest.raises(ec.ControlError) as bad_hex:
            connected.wait({"sent": "abc"})
        assert bad_hex.value.code == "bad_argument"

    def test_a_wait_answers_when_the_host_acts_and_times_out_with_the_state(self, host, connected):
        with pytest.raises(ec.WaitTimeout) as timeout:
            connected.wait_display("NEVER", timeout=0.2)
        assert timeout.value.state["connection"]["connected"]
        sock, reader = raw(connected.process.ready["control"])
        sock.sendall(b'{"id":"w","cmd":"wait","until":{"display":"PRONTO"},"timeout_ms":5000}\n')
        time.sleep(0.1)
        host.send(frame(b"D", b"PRONTO"))
        assert json.loads(reader.readline())["id"] == "w"
        sock.close()

    def test_bad_conditions_are_refused(self, connected):
        for until in ({}, {"display": "("}, {"colour": "red"}, {"connected": "yes"}):
            with pytest.raises(ec.ControlError) as error:
                connected.wait(until, timeout=0.1)
            assert error.value.code == "bad_argument"


class TestEvents:
    def test_every_kind_arrives_in_sequence(self, host, connected):
        connected.subscribe("display", "leds", "printer", "serial", "sent", "received", "connection", "message")
        connected.key("K")
        host.send(frame(b"D", b"ABC") + frame(b"G", b"\x01") + frame(b"P", b"\n") + frame(b"S", b"\n"))
        host.read_until(b"K")
        connected.wait({"printer": ""})
        events = list(connected.events(timeout=0.3))
        kinds = [e["event"] for e in events]
        for kind in ("sent", "received", "display", "leds", "printer", "serial"):
            assert kind in kinds, kinds
        seqs = [e["seq"] for e in events]
        assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)
        assert all(e["time"].endswith("Z") and len(e["time"].split(".")[1]) == 7 for e in events)
        assert {"event": "sent", "hex": "4b"}.items() <= next(e for e in events if e["event"] == "sent").items()

        # A cursor operand that is not a number is reported to the user: a message event.
        host.send(frame(b"C", b"x05"))
        message = next(e for e in connected.events(timeout=2) if e["event"] == "message")
        assert message["caption"] == "Ethernet" and "'x' is not a valid integer value" in message["text"]
        assert "Ethernet: 'x' is not a valid integer value" in connected.process.stderr_text

        host.conn.close()
        closed = next(e for e in connected.events(timeout=3) if e["event"] == "connection")
        assert closed["state"] == "closed"

    def test_unknown_event_names_are_refused(self, connected):
        with pytest.raises(ec.ControlError) as error:
            connected.subscribe("display", "keys")
        assert error.value.code == "bad_argument"


class TestClients:
    def test_garbage_oversized_and_unknown_requests_get_typed_errors(self, connected):
        sock, reader = raw(connected.process.ready["control"])
        assert ask(sock, reader, b"not json")["error"]["code"] == "bad_request"
        assert ask(sock, reader, b"[1,2]")["error"]["code"] == "bad_request"
        assert ask(sock, reader, {"id": 7})["error"]["code"] == "bad_request"
        reply = ask(sock, reader, {"id": [1, "x"], "cmd": "fly"})
        assert reply["id"] == [1, "x"] and reply["error"]["code"] == "unknown_command"
        sock.sendall(b"{" + b" " * (1024 * 1024 + 10) + b"}\n")
        assert json.loads(reader.readline())["error"]["code"] == "bad_request"
        assert ask(sock, reader, b"\xff\xfe{\x00")["error"]["code"] == "bad_request"
        # Nothing of it hurt the terminal or this connection.
        assert ask(sock, reader, {"id": 1, "cmd": "state"})["ok"]["connection"]["connected"]
        sock.close()

    def test_two_clients_a_silent_one_and_one_that_leaves_mid_wait(self, host, connected):
        address = connected.process.ready["control"]
        leaver, leaver_reader = raw(address)
        leaver.sendall(b'{"id":1,"cmd":"wait","until":{"display":"NUNCA"},"timeout_ms":60000}\n')
        silent, _ = raw(address)
        silent.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        silent.sendall(b'{"id":1,"cmd":"subscribe","events":["received","display"]}\n')
        time.sleep(0.2)
        leaver.close()
        # A flood of host data: the silent client's events pile up until it is cut off.
        chunk = frame(b"D", b"x" * 60) * 1000
        for _ in range(200):
            host.send(chunk)
        connected.wait({"received": chunk[-70:]}, timeout=30)
        deadline = time.monotonic() + 30
        silent.settimeout(0.5)
        cut = False
        while time.monotonic() < deadline and not cut:
            try:
                cut = silent.recv(1 << 20) == b""
            except socket.timeout:
                pass
            except ConnectionResetError:
                cut = True
        assert cut, "a client that never reads was not cut off"
        connected.key("Z")
        host.read_until(b"Z")
        silent.close()

    def test_tcp_needs_the_token_first(self, host):
        with ec.launch(config=config(host.port, VT100), transport="tcp") as terminal:
            ready = terminal.process.ready
            assert ready["control"].startswith("tcp:127.0.0.1:") and len(ready["token"]) == 32
            sock, reader = raw(ready["control"])
            reply = ask(sock, reader, {"id": 1, "cmd": "state"})
            assert reply["error"]["code"] == "unauthorized"
            assert reader.readline() == b""
            # The refusal names the ways ethernet-ctl takes the token, and each of them works.
            package = os.path.join(os.path.dirname(__file__), "..", "..", "clients", "python")
            for arguments, token_env, status in ((["state"], None, 1),
                                                 (["--token", ready["token"], "state"], None, 0),
                                                 (["state"], ready["token"], 0)):
                env = {k: v for k, v in os.environ.items() if k != "ETHERNET_TOKEN"}
                env.update(PYTHONPATH=package, ETHERNET_CONTROL=ready["control"])
                if token_env:
                    env["ETHERNET_TOKEN"] = token_env
                ctl = subprocess.run([sys.executable, "-m", "ethernet_control.cli", *arguments], env=env,
                                     capture_output=True, text=True, timeout=60)
                assert ctl.returncode == status, ctl.stderr
                if status:
                    assert "--token TOKEN or ETHERNET_TOKEN=TOKEN" in ctl.stderr, ctl.stderr
            sock, reader = raw(ready["control"])
            assert ask(sock, reader, {"id": 2, "cmd": "auth", "token": "0" * 32})["error"]["code"] == "unauthorized"
            sock, reader = raw(ready["control"])
            assert "ok" in ask(sock, reader, {"id": 3, "cmd": "auth", "token": ready["token"]})
            assert ask(sock, reader, {"id": 4, "cmd": "state"})["ok"]["connection"]["protocol"] == "vt100"
            host.accept()
            terminal.key("A")
            host.read_until(b"a")


@pytest.fixture
def started():
    """Starts headless programs and makes sure each is stopped, also when a test fails."""
    processes = []

    def start(**options):
        processes.append(ec.start(**options))
        return processes[-1]

    yield start
    for process in processes:
        process.stop()


class TestProcess:
    def test_server_role_comutadora_and_clean_ending(self, tmp_path, started):
        port = free_port()
        folder = str(tmp_path)
        process = started(config=config(port, VT100, role=0), folder=folder, equipment="comutadora")
        terminal = ec.connect(process.ready["control"])
        state = terminal.state()["connection"]
        assert state == {"role": "server", "protocol": "zorvane", "comutadora": True, "connected": False}
        host = socket.create_connection(("127.0.0.1", port))
        terminal.wait({"connected": True})
        terminal.key("5")
        host.settimeout(5)
        assert host.recv(100) == b"\x0200" + b"5" + b"\x03"
        sock_path = process.ready["control"][5:]
        assert stat.S_IMODE(os.stat(sock_path).st_mode) & 0o077 == 0
        assert process.stop() == 0
        assert not os.path.exists(sock_path)
        with open(os.path.join(folder, "Config.ini")) as f:
            assert "Protocolo=1" in f.read()
        host.close()

    def test_first_start_writes_defaults_and_reports_refusals_quietly(self, tmp_path, started):
        process = started(folder=str(tmp_path))
        with open(tmp_path / "Config.ini", encoding="cp1252") as f:
            text = f.read()
        assert "[Config]" in text and "[CodigoBarras]" in text and "[Serial]" in text
        terminal = ec.connect(process.ready["control"])
        assert terminal.state()["connection"]["role"] == "client"
        assert process.stop() == 0
        assert process.stderr_text == ""

    def test_a_failed_settings_write_ends_the_run_with_status_1(self, tmp_path, started):
        os.mkdir(tmp_path / "Config.ini")
        process = started(folder=str(tmp_path))
        assert process.popen.wait(10) == 1
        assert "Config.ini" in process.stderr_text or "Erro" in process.stderr_text

    def test_control_socket_path_rules(self, tmp_path, binary, host, started):
        taken = tmp_path / "file.sock"
        taken.write_text("not a socket")
        result = subprocess.run([binary, "--headless", "--folder", str(tmp_path), "--control", f"unix:{taken}"],
                                capture_output=True, timeout=10, env={k: v for k, v in os.environ.items()
                                                                     if k not in ("DISPLAY", "WAYLAND_DISPLAY")})
        assert result.returncode == 1 and b"not a socket" in result.stderr
        # A socket left behind by a run that died is taken over.
        stale = tmp_path / "stale.sock"
        left = socket.socket(socket.AF_UNIX)
        left.bind(str(stale))
        left.close()
        process = started(config=config(host.port), folder=str(tmp_path),
                          extra_args=["--control", f"unix:{stale}"])
        assert process.ready["control"] == f"unix:{stale}"
        assert process.stop() == 0

    def test_options(self, binary):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        help_run = subprocess.run([binary, "--help"], capture_output=True, env=env, timeout=10)
        assert help_run.returncode == 0 and b"--headless" in help_run.stdout
        version = subprocess.run([binary, "--version"], capture_output=True, env=env, timeout=10)
        assert version.returncode == 0 and version.stdout == b"ethernet 2.0.0.16\n"


def test_telnet_negotiation_is_answered_headless(host):
    with ec.launch(config=config(host.port, TELNET)) as terminal:
        host.accept()
        terminal.wait({"connected": True})
        host.send(b"\xff\xfd\x18")  # IAC DO TERMINAL-TYPE
        host.read_until(b"\xff\xfb\x18")
        terminal.key("X")
        host.read_until(b"x")
