"""Control connections that never authenticate: each is cut off after a
deadline, those waiting and those open in all are capped, and a flood of them
cannot take the file descriptors an authorised client's requests need."""

import json
import os
import resource
import socket
import subprocess

import ethernet_control as ec
from conftest import ZORVANE, config

LIMIT = 128


def read_to_end(sock):
    """Every line the program wrote before it closed the connection."""
    sock.settimeout(30)
    data = b""
    try:
        while chunk := sock.recv(4096):
            data += chunk
    except ConnectionResetError:
        pass
    return [json.loads(line) for line in data.splitlines()]


def test_idle_connections_cannot_starve_an_authorised_client(host, binary, tmp_path):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    (tmp_path / "Config.ini").write_text(config(host.port, ZORVANE).replace("\n", "\r\n"), encoding="cp1252")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    with open(tmp_path / "stderr.txt", "wb") as stderr:
        program = subprocess.Popen(
            [binary, "--headless", "--folder", str(tmp_path), "--control", "tcp:0"], stdout=subprocess.PIPE,
            stderr=stderr, stdin=subprocess.DEVNULL, env=env,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (LIMIT, LIMIT)))
    idle = []
    try:
        ready = json.loads(program.stdout.readline())["ready"]
        host.accept()
        address = ready["control"][4:].rpartition(":")
        t = ec.connect(ready["control"], ready["token"])
        for i in range(1000):
            idle.append(socket.create_connection((address[0], int(address[2])), timeout=10))
            if i % 50 == 49:
                assert t.state()["connection"]["connected"]
        # The request that failed with "Too many open files" needs a descriptor of its own.
        assert t.trace_start(file="t.txt")["file"] == str(tmp_path / "t.txt")
        t.trace_stop()

        # None is kept: each was refused with its reason, or greeted and cut off when no auth came.
        endings = [read_to_end(sock) for sock in idle]
        refused = [lines for lines in endings if lines and lines[0].get("error", {}).get("code") == "too_many_connections"]
        timed_out = [lines for lines in endings if lines and "hello" in lines[0]]
        assert refused and timed_out
        assert all(lines[-1]["error"]["code"] == "auth_timeout" for lines in timed_out)
        assert len(refused) + len(timed_out) + sum(1 for lines in endings if not lines) == 1000
        assert "waiting to authenticate" in refused[0][0]["error"]["message"]
        assert t.state()["connection"]["connected"]
        with ec.connect(ready["control"], ready["token"]) as again:
            assert again.state()["connection"]["connected"]
        t.close()
    finally:
        for sock in idle:
            sock.close()
        program.terminate()
        program.wait(10)
    said = [line for line in (tmp_path / "stderr.txt").read_text().splitlines() if "refuses connections" in line]
    assert len(said) == 1


def test_a_wrong_token_is_refused(host):
    with ec.launch(config=config(host.port, ZORVANE), transport="tcp") as t:
        host.accept()
        address = t.process.ready["control"]
        for token in ("", t.process.ready["token"][:-1], t.process.ready["token"] + "0",
                      "0" * len(t.process.ready["token"])):
            try:
                ec.connect(address, token)
                raise AssertionError(f"token {token!r} was accepted")
            except ec.ControlError as error:
                assert error.code == "unauthorized"
