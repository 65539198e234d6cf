"""Many terminals in one headless program, with real hosts on loopback: a
fleet of folders in both roles, a concentrator playing ten bus addresses
behind one connection, scripted operators started together, and the load
figures the program reports for the host."""

import json
import os
import re
import socket
import subprocess
import time

import pytest

import ethernet_control as ec
from conftest import VT100, ZORVANE, Host, config, free_port

STX, ETX, ESC = b"\x02", b"\x03", b"\x1b"


def make_fleet(binary, tmp_path, count, text, extra_files=None):
    source = tmp_path / "source"
    source.mkdir()
    (source / "Config.ini").write_text(text, encoding="cp1252")
    for name, content in (extra_files or {}).items():
        (source / name).write_text(content, encoding="cp1252")
    fleet = tmp_path / "fleet"
    run = subprocess.run([binary, "--make-fleet", str(fleet), "--count", str(count), "--from",
                          str(source / "Config.ini")], capture_output=True, timeout=30)
    assert run.returncode == 0, run.stderr
    return fleet


def accept_all(server, count, timeout=20.0):
    server.settimeout(timeout)
    conns = []
    for _ in range(count):
        conn, _ = server.accept()
        conns.append(conn)
    return conns


def read_exactly(conn, size, timeout=10.0):
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < size:
        conn.settimeout(max(0.01, deadline - time.monotonic()))
        chunk = conn.recv(size - len(data))
        if not chunk:
            raise AssertionError(f"connection closed after {data!r}")
        data += chunk
    return data


def quiet(conn, seconds=0.3):
    conn.settimeout(seconds)
    try:
        return conn.recv(4096)
    except socket.timeout:
        return b""


@pytest.fixture
def fleet_run():
    """Starts a fleet folder and stops it again at the end of the test."""
    started = []

    def run(folder, **options):
        process = ec.start(folder=str(folder), fleet=True, **options)
        started.append(process)
        return process, ec.connect(process.ready["control"])

    yield run
    for process in started:
        process.stop()


class TestFleet:
    def test_twenty_clients_each_with_its_own_connection_display_and_events(self, tmp_path, binary, host,
                                                                             fleet_run):
        folder = make_fleet(binary, tmp_path, 20, config(host.port, ZORVANE))
        process, control = fleet_run(folder)
        names = [f"t{i:03d}" for i in range(1, 21)]
        conns = accept_all(host.server, 20)
        fleet = control.fleet()
        assert [t["name"] for t in fleet] == names
        control.subscribe("display")
        for name in names:
            control.terminal(name).wait({"connected": True})
            control.terminal(name).type(name)
        # Each connection carries exactly one terminal's keys: its name, upper case in Zorvane.
        by_name = {read_exactly(conn, 4).decode().lower(): conn for conn in conns}
        assert sorted(by_name) == names
        for name, conn in by_name.items():
            conn.sendall(STX + b"L" + ETX + STX + b"D" + b"ola " + name.encode() + ETX)
        for name in names:
            shown = control.terminal(name).wait_display(rf"^ola {name}")
            assert shown[0].startswith(f"ola {name}")
            assert control.terminal(name).state()["terminal"] == name
        events = [e for e in control.events(timeout=0.3) if e["event"] == "display"]
        assert {e["terminal"] for e in events} <= set(names) and len({e["terminal"] for e in events}) > 1
        with pytest.raises(ec.ControlError) as unknown:
            control.terminal("t999").key("A")
        assert unknown.value.code == "bad_argument"
        for conn in conns:
            conn.close()

    def test_twenty_servers_each_on_its_own_port(self, tmp_path, binary, fleet_run):
        folder = make_fleet(binary, tmp_path, 20, config(1, VT100, role=0))
        # A free port can be taken by another program before the terminal listens on it: then once more.
        for attempt in range(3):
            ports = [free_port() for _ in range(20)]
            for sub, port in zip(sorted(os.listdir(folder)), ports):
                path = folder / sub / "Config.ini"
                path.write_text(re.sub(r"Porta=\d+", f"Porta={port}", path.read_text(encoding="cp1252")),
                                encoding="cp1252")
            process, control = fleet_run(folder)
            fleet = control.fleet()
            if all("port" in t for t in fleet) or attempt == 2:
                break
            process.stop()
        assert [t["port"] for t in fleet] == ports and not any(t["connected"] for t in fleet)
        conns = [socket.create_connection(("127.0.0.1", port)) for port in ports]
        for entry, conn in zip(fleet, conns):
            member = control.terminal(entry["name"])
            member.wait({"connected": True})
            member.type(entry["name"][1:])
            assert read_exactly(conn, 3) == entry["name"][1:].encode()
        assert all(t["connected"] for t in control.fleet())
        for conn in conns:
            conn.close()


def concentrator_frame(letter, address, body=b""):
    return STX + letter + address + body + ETX


class TestConcentrator:
    def test_ten_addresses_behind_one_connection(self, host):
        addresses = [f"{a:02d}" for a in range(10)]
        with ec.launch(config=config(host.port, ZORVANE), equipment="comutadora",
                       extra_args=["--addresses", "00-09"]) as control:
            host.accept()
            assert [t["address"] for t in control.fleet()] == addresses
            # One read holding a frame for every address, and one for an address nobody plays.
            host.send(b"".join(concentrator_frame(b"D", a.encode(), b"addr " + a.encode()) for a in addresses)
                      + concentrator_frame(b"D", b"42", b"nobody"))
            for a in addresses:
                shown = control.terminal(a).wait_display(rf"^addr {a}")
                assert shown[0].strip() == f"addr {a}", shown
            # Each terminal answers with its own address, and its keys carry it.
            host.send(concentrator_frame(b"T", b"05") + concentrator_frame(b"P", b"07", b"x"))
            host.read_until(STX + ESC + b"05\x80T" + ETX)
            host.read_until(STX + ESC + b"07\x01P" + ETX)
            control.terminal("03").key("9")
            host.read_until(STX + b"039" + ETX)
            assert "x" in control.terminal("07").state()["printer"]["last"]
            assert control.terminal("05").state()["printer"]["last"] == ""

            # Address 04 pulled off the bus: it hears nothing and says nothing.
            assert control.terminal("04").bus(False) == {"address": "04", "answering": False}
            host.received = b""
            host.send(concentrator_frame(b"T", b"04") + concentrator_frame(b"D", b"04", b"lost"))
            control.terminal("04").key("1")
            assert b"04" not in host.quiet_for(0.5)
            assert "lost" not in control.terminal("04").display()[0]
            host.send(concentrator_frame(b"T", b"06"))
            host.read_until(STX + ESC + b"06\x80T" + ETX)
            assert b"04" not in host.received
            control.terminal("04").bus(True)
            host.send(concentrator_frame(b"T", b"04"))
            host.read_until(STX + ESC + b"04\x80T" + ETX)

    def test_default_address_and_lone_protocol_are_unchanged(self, host):
        with ec.launch(config=config(host.port, ZORVANE), equipment="comutadora") as control:
            host.accept()
            control.wait({"connected": True})
            state = control.state()
            assert "terminal" not in state and "fleet" not in state
            control.subscribe("sent")
            control.key("5")
            host.read_until(STX + b"005" + ETX)
            event = next(e for e in control.events(timeout=2) if e["event"] == "sent")
            assert "terminal" not in event
            host.send(concentrator_frame(b"T", b"01") + concentrator_frame(b"T", b"00"))
            host.read_until(STX + ESC + b"00\x80T" + ETX)
            assert b"01" not in host.received

    def test_address_lists_are_checked(self, binary, tmp_path):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        for bad in (["--addresses", "0-31"], ["--addresses", "31-00"], ["--addresses", "00,1x"],
                    ["--addresses", "100"]):
            run = subprocess.run([binary, "--headless", "--folder", str(tmp_path), "--equipment", "comutadora",
                                  *bad], capture_output=True, env=env, timeout=10)
            assert run.returncode == 2 and b"--addresses" in run.stderr, bad
        run = subprocess.run([binary, "--headless", "--folder", str(tmp_path), "--addresses", "00-03"],
                             capture_output=True, env=env, timeout=10)
        assert run.returncode == 2 and b"comutadora" in run.stderr


def echo_after(conn, delay, stop_after):
    """The host of the figures: answers each byte it reads with a display
    frame after ``delay`` seconds, ``stop_after`` times."""
    for _ in range(stop_after):
        byte = read_exactly(conn, 1)
        time.sleep(delay)
        conn.sendall(STX + b"D" + byte + ETX)


class TestMetrics:
    def test_response_times_follow_the_host_and_are_written_at_exit(self, tmp_path, host):
        figures = tmp_path / "figures.json"
        process = ec.start(config=config(host.port, ZORVANE), folder=str(tmp_path),
                           extra_args=["--metrics", str(figures)])
        control = ec.connect(process.ready["control"])
        try:
            conn = host.accept()
            control.wait({"connected": True})
            for key in "ABCDEFGHIJ":
                mark = control.state()["seq"]
                control.key(key)
                time.sleep(0.05)  # the host takes 50 ms to answer
                conn.sendall(STX + b"D" + key.encode() + ETX)
                control.wait({"received": STX + b"D" + key.encode()}, after_seq=mark)
            # Replies: "T" and "P" need an answer from the terminal itself.
            for _ in range(5):
                conn.sendall(STX + b"T" + ETX + ETX + STX + b"P" + b"z" + ETX)
            host.read_until((STX + ESC + b"\x80T" + ETX + STX + ESC + b"\x01P" + ETX) * 5)
            figures_now = control.metrics()
            terminal = figures_now["terminals"][0]
            response = terminal["response_ms"]
            assert response["count"] == 10 and terminal["sends"] == 10
            assert 40 <= response["p50"] <= 400 and response["p50"] <= response["p90"] <= response["max"]
            assert terminal["reply_ms"]["count"] == 10 and terminal["reply_ms"]["p99"] < 1000
            assert figures_now["fleet"]["response_ms"]["count"] == 10
            conn.close()
            control.wait({"connected": False})
        finally:
            control.close()
            assert process.stop() == 0
        written = json.loads(figures.read_text())
        assert written["terminals"][0]["connection_losses"] == 1
        assert written["fleet"]["connection_losses"] == 1 and written["fleet"]["terminals"] == 1
        assert written["terminals"][0]["response_ms"]["count"] == 10


class TestScriptedOperators:
    SCRIPT = ("[Parametros]\nTempo_entre_caracteres=20\nTempo_entre_campos=100000\nTempo_de_Loop=100000\n"
              "Numero_de_Inputs=1\n[Inputs]\n0=XYZ\n")

    def test_every_script_starts_staggered_over_the_ramp(self, tmp_path, binary, host, fleet_run):
        folder = make_fleet(binary, tmp_path, 4, config(host.port, ZORVANE),
                            extra_files={"Digitacoes.ini": self.SCRIPT})
        figures = tmp_path / "figures.json"
        process, control = fleet_run(folder, extra_args=["--playback", "--ramp-up", "1200",
                                                         "--metrics", str(figures)])
        started = time.monotonic()
        conns = accept_all(host.server, 4)
        arrivals = []
        for conn in conns:
            assert read_exactly(conn, 3) == b"XYZ"
            arrivals.append(time.monotonic() - started)
        # Terminal i of 4 starts 300 ms after terminal i - 1; the last cannot be done before 900 ms.
        assert max(arrivals) >= 0.8
        assert all(t["name"].startswith("t") for t in control.fleet())
        assert control.playback_all(False)["terminals"] == 4
        assert all(control.terminal(t["name"]).state()["playback"]["mode"] == "idle" for t in control.fleet())
        control.close()
        assert process.stop() == 0
        written = json.loads(figures.read_text())
        assert [t["sends"] for t in written["terminals"]] == [3, 3, 3, 3]
        for conn in conns:
            conn.close()

    def test_terminals_without_a_script_are_named(self, tmp_path, binary, host, fleet_run):
        folder = make_fleet(binary, tmp_path, 3, config(host.port, ZORVANE))
        (folder / "t002" / "Digitacoes.ini").write_text(self.SCRIPT, encoding="cp1252")
        process, control = fleet_run(folder, extra_args=["--playback"])
        conns = accept_all(host.server, 3)
        said = [line for line in process.stderr_text.splitlines() if "--playback" in line]
        assert said == ['ethernet: --playback: no "Digitacoes.ini" to play in 2 of 3 terminal(s): t001, t003']
        assert control.playback_all(True)["without_script"] == ["t001", "t003"]
        with pytest.raises(ec.ControlError) as error:
            control.terminal("t003").playback(True)
        assert error.value.code == "no_script"
        assert str(folder / "t003" / "Digitacoes.ini") in error.value.message
        assert control.terminal("t003").state()["playback"]["mode"] == "idle"
        assert control.terminal("t003").playback(False) == {"mode": "idle"}
        assert control.terminal("t002").playback(True) == {"mode": "playing"}
        for conn in conns:
            conn.close()

    def test_fleet_options_are_checked(self, tmp_path, binary):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        (tmp_path / "empty").mkdir()
        cases = [
            ([binary, "--fleet", str(tmp_path)], 2),
            ([binary, "--headless", "--fleet", str(tmp_path), "--folder", str(tmp_path)], 2),
            ([binary, "--headless", "--ramp-up", "100"], 2),
            ([binary, "--make-fleet", str(tmp_path / "f"), "--count", "0", "--from", "x"], 2),
            ([binary, "--make-fleet", str(tmp_path / "f"), "--count", "2", "--from", str(tmp_path / "none")], 2),
            ([binary, "--headless", "--fleet", str(tmp_path / "empty")], 1),
        ]
        for command, status in cases:
            run = subprocess.run(command, capture_output=True, env=env, timeout=10)
            assert run.returncode == status, (command, run.stderr)
