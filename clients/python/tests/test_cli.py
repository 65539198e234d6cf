"""ethernet-ctl against the real program without windows: every command,
its output, and every exit status, from one table; then the event stream
ended by an interrupt and by a closed pipe."""

import json
import os
import select
import signal
import socket
import subprocess
import sys
import time

import pytest

PACKAGE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, PACKAGE)

import ethernet_control as ec  # noqa: E402
from ethernet_control.pytest_plugin import EthernetHost  # noqa: E402

READING = "<2>00150<3>"


def ctl(*args, control=None, **popen):
    env = dict(os.environ, PYTHONPATH=PACKAGE)
    env.pop("ETHERNET_CONTROL", None)
    if control is not None:
        env["ETHERNET_CONTROL"] = control
    command = [sys.executable, "-m", "ethernet_control.cli", *args]
    if popen:
        return subprocess.Popen(command, env=env, text=True, **popen)
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)


@pytest.fixture(scope="module")
def program(tmp_path_factory):
    host = EthernetHost()
    folder = tmp_path_factory.mktemp("ctl")
    with ec.launch(config=host.config("zorvane", extra="[CodigoBarras]\nCofig_Leitor=1\nDelai=0\n"),
                   folder=str(folder)) as terminal:
        host.accept()
        terminal.wait({"connected": True})
        host.send(b"\x02DPRONTO\x03")
        terminal.wait_display("PRONTO")
        yield terminal, host
    host.close()


def json_out(result):
    return json.loads(result.stdout)


def timeout_refused(result, given):
    return (f"ethernet-ctl wait: argument --timeout: seconds from 0 to 86400, not {given}\n" in result.stderr
            and "timeout_ms" not in result.stderr)


# A port bound and never listened on: connections to it are refused.
REFUSING = socket.socket()
REFUSING.bind(("127.0.0.1", 0))


# argv, exit status, and a check of (result, terminal, host) after the command.
CASES = [
    (["state"], 0, lambda r, t, h: json_out(r)["display"]["shown"][0].startswith("PRONTO")),
    (["--text", "state"], 0, lambda r, t, h: r.stdout.splitlines()[0].rstrip() == "PRONTO"),
    (["key", "1"], 0, lambda r, t, h: json_out(r) == {} and h.read_until(b"1").endswith(b"1")),
    (["--text", "type", "23"], 0, lambda r, t, h: "PRONTO" in r.stdout and h.read_until(b"3").endswith(b"23")),
    # The text typed is no --text: the reply, as JSON.
    (["type", "45"], 0, lambda r, t, h: json_out(r) == {"keys": 2} and h.read_until(b"5").endswith(b"45")),
    (["input", "2", "on"], 0, lambda r, t, h: t.state()["inputs"] == [False, False, True, False]),
    (["busy", "on"], 0, lambda r, t, h: t.state()["busy"] is True),
    (["busy", "off"], 0, lambda r, t, h: t.state()["busy"] is False),
    (["cts", "on"], 0, lambda r, t, h: t.state()["cts"] is True),
    (["barcode", "789"], 0, lambda r, t, h: h.read_until(b"789").endswith(b"789")),
    (["scale", "on", "--reading", READING, "--next", "0"], 0, lambda r, t, h: t.state()["scale"]["readings"] == [READING]),
    (["log", "printer"], 0, lambda r, t, h: json_out(r)["lines"] == []),
    (["--text", "log", "serial"], 0, lambda r, t, h: r.stdout == "\n"),
    (["metrics"], 0, lambda r, t, h: "response_ms" in r.stdout),
    (["wait", "--display", "PRONTO", "--connected", "--timeout", "5"], 0, lambda r, t, h: json_out(r) == {}),
    (["wait", "--sent", "373839", "--after-seq", "0", "--timeout", "5"], 0, lambda r, t, h: json_out(r) == {}),
    (["fault", "add", '{"kind":"printer_busy","count":2}'], 0, lambda r, t, h: "id" in json_out(r)),
    (["fault", "list"], 0, lambda r, t, h: [f["kind"] for f in json_out(r)["faults"]] == ["printer_busy"]),
    (["fault", "clear"], 0, lambda r, t, h: t.faults() == []),
    # "Reset Terminal" drops the connection: the host takes the new one.
    (["reset"], 0, lambda r, t, h: h.accept() and isinstance(t.wait({"connected": True}), dict)),
    # 1: an error reply, its code and message on standard error.
    (["key", "F1"], 1, lambda r, t, h: r.stderr.startswith("ethernet-ctl: bad_argument: ")),
    (["fault", "add", '{"kind":"earthquake"}'], 1, lambda r, t, h: "bad_argument" in r.stderr),
    (["fault", "clear", "99"], 1, lambda r, t, h: r.stderr.startswith("ethernet-ctl: ")),
    (["--control", "unix:/nonexistent/control.sock", "state"], 1, lambda r, t, h: "no program answers" in r.stderr),
    (["--control", "tcp:127.0.0.1:{refusing}", "state"], 1,
     lambda r, t, h: r.stderr.strip().endswith(f"connection refused to 127.0.0.1:{REFUSING.getsockname()[1]}")),
    # 2: usage.
    (["frobnicate"], 2, lambda r, t, h: "invalid choice" in r.stderr),
    (["input", "2", "maybe"], 2, lambda r, t, h: "invalid choice" in r.stderr),
    (["wait", "--timeout", "1"], 2, lambda r, t, h: "wait needs a condition" in r.stderr),
    # --timeout is spoken of as given: seconds, never the request's milliseconds.
    (["wait", "--display", "X", "--timeout", "-1"], 2, lambda r, t, h: timeout_refused(r, "'-1'")),
    (["wait", "--display", "X", "--timeout", "nan"], 2, lambda r, t, h: timeout_refused(r, "'nan'")),
    (["wait", "--display", "X", "--timeout", "86401"], 2, lambda r, t, h: timeout_refused(r, "'86401'")),
    (["fault", "add", "{not json"], 2, lambda r, t, h: "not JSON" in r.stderr),
    (["--control", "carrier-pigeon:1", "state"], 2, lambda r, t, h: "unknown control address" in r.stderr),
    (["NO-ADDRESS", "state"], 2, lambda r, t, h: "ETHERNET_CONTROL" in r.stderr),
    # 3: a wait that timed out, saying what the terminal showed and whether it was connected.
    (["wait", "--display", "NUNCA", "--timeout", "0.2"], 3,
     lambda r, t, h: r.stderr.startswith("ethernet-ctl: timeout: ") and "; the display showed '" in r.stderr
     and r.stderr.rstrip().endswith("; the terminal was connected to its host") and len(r.stderr.splitlines()) == 1),
]


@pytest.mark.parametrize("argv, status, check", CASES, ids=[" ".join(c[0]) for c in CASES])
def test_command(program, argv, status, check):
    terminal, host = program
    control = terminal.process.control
    argv = [arg.replace("{refusing}", str(REFUSING.getsockname()[1])) for arg in argv]
    if argv[0] == "NO-ADDRESS":
        result = ctl(*argv[1:])
    else:
        result = ctl(*argv, control=control)
    assert result.returncode == status, (result.stdout, result.stderr)
    if status in (0, 3):
        assert result.stderr == "" or status == 3, result.stderr
    assert check(result, terminal, host), (result.stdout, result.stderr)


def test_events_until_interrupted_or_the_pipe_closes(program):
    terminal, host = program
    control = terminal.process.control
    stream = ctl("events", "display", "sent", control=control, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Subscribed once its first event arrives: keep making events until one does.
    seen = None
    for n in range(300):
        host.send(b"\x02L\x03\x02DEVENTO %d\x03" % n)
        terminal.wait_display("EVENTO %d" % n)
        if select.select([stream.stdout], [], [], 0.2)[0]:
            seen = json.loads(stream.stdout.readline())
            break
    assert seen is not None and seen["event"] in ("display", "sent")
    stream.send_signal(signal.SIGINT)
    out, err = stream.communicate(timeout=30)
    assert stream.returncode == 0 and err == ""
    assert all(json.loads(line)["event"] in ("display", "sent") for line in out.splitlines())

    # A reader that goes away: ethernet-ctl ends quietly once it writes (it
    # subscribes after its start-up, so the display changes until then).
    reader = ctl("events", "display", control=control, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reader.stdout.close()
    for n in range(600):
        if reader.poll() is not None:
            break
        host.send(b"\x02L\x03\x02DPIPE %d\x03" % n)
        terminal.wait_display("PIPE %d" % n)
        time.sleep(0.05)
    assert reader.wait(timeout=30) == 0
    assert reader.stderr.read() == ""
