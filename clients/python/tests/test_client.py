"""The Python client as a test suite uses it: launching and stopping the
program, requests and their errors, waits, events, and a failed start."""

import os
import socket
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import ethernet_control as ec  # noqa: E402

CONFIG = "[Config]\nConexao=1\nPorta={port}\nEndereco=127.0.0.1\nProtocolo=0\n[CodigoBarras]\nDelai=0\n"


@pytest.fixture
def host():
    server = socket.create_server(("127.0.0.1", 0))
    yield server
    server.close()


def test_launch_drive_wait_and_stop(host):
    with ec.launch(config=CONFIG.format(port=host.getsockname()[1])) as terminal:
        folder = terminal.process.folder
        conn, _ = host.accept()
        terminal.wait({"connected": True})
        terminal.subscribe("display", "sent")
        terminal.type("OK\n")
        conn.sendall(b"\x1b[JPRONTO")
        assert terminal.wait_display("PRONTO")[0].startswith("PRONTO")
        kinds = {event["event"] for event in terminal.events(timeout=0.2)}
        assert kinds == {"display", "sent"}
        with pytest.raises(ec.WaitTimeout) as timeout:
            terminal.wait_display("NUNCA", timeout=0.1)
        assert timeout.value.code == "timeout"
        assert timeout.value.state["display"]["shown"][0].startswith("PRONTO")
        # Its words say what the terminal showed and whether it was connected.
        assert str(timeout.value).startswith("timeout: ")
        assert "; the display showed 'PRONTO' / '" in str(timeout.value)
        assert str(timeout.value).endswith("; the terminal was connected to its host")
        with pytest.raises(ValueError, match=r"timeout is in seconds, from 0 to 86400, not -1"):
            terminal.wait_display("NUNCA", timeout=-1)
        with pytest.raises(ec.ControlError) as error:
            terminal.key("nothing")
        assert error.value.code == "bad_argument"
        conn.settimeout(5)
        received = b""
        while len(received) < 3:
            received += conn.recv(10)
        assert received == b"ok\r"
        process = terminal.process
        conn.close()
    assert process.popen.returncode == 0
    assert not os.path.exists(folder)


def test_a_reply_takes_its_requests_time_and_a_late_one_leaves_the_connection_in_step(host):
    with ec.launch(config=CONFIG.format(port=host.getsockname()[1])) as terminal:
        host.accept()
        terminal.wait({"connected": True})
        # A short look at the events leaves no short deadline behind for the wait after it.
        assert list(terminal.events(timeout=0.05)) == []
        with pytest.raises(ec.WaitTimeout):
            terminal.wait({"display": "NUNCA"}, timeout=0.5)
        # A wait longer than the connection's own time for a reply gets its own time on top.
        hasty = ec.connect(terminal.process.control, timeout=0.2)
        with pytest.raises(ec.WaitTimeout):
            hasty.wait({"display": "NUNCA"}, timeout=0.6)
        # "Reset Terminal" takes about a second, longer than this connection waits: given up
        # on, its reply is dropped when it comes, and the next requests are answered in step.
        with pytest.raises(TimeoutError, match="no reply to 'reset' within 0.2 s"):
            hasty.reset()
        hasty.timeout = 10.0
        assert hasty.state()["connection"]["role"] == "client"
        assert hasty.request("type", text="") == {"keys": 0}
        hasty.close()


def test_a_program_that_cannot_start_is_reported(tmp_path):
    with pytest.raises(ec.LaunchError) as error:
        ec.start(folder=str(tmp_path), extra_args=["--control", "unix:"])
    assert "status" in str(error.value)
    with pytest.raises(ec.LaunchError):
        ec.start(folder=str(tmp_path), binary="/bin/false")
