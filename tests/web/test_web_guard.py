"""The browser console's doors without a browser: what the HTTP side serves,
who may open the WebSocket, what a viewer may do, and the bounds on big
messages and on a client that never reads, each while the program goes on
answering its other clients."""

import json
import os
import socket
import subprocess
import time

import pytest

from webtools import (Host, WebSocket, WebSocketRefused, authenticated, make_fleet, start, tokens,
                      web_address)


@pytest.fixture
def fleet(tmp_path):
    hosts = [Host() for _ in range(2)]
    names = make_fleet(tmp_path / "shop", hosts)
    process = start(tmp_path / "shop")
    for host in hosts:
        host.accept()
    yield process, hosts, names
    process.stop()
    for host in hosts:
        host.close()


def http_get(host, port, path, extra=""):
    with socket.create_connection((host, port), timeout=10) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\n{extra}\r\n".encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split()[1]), head.decode(), body


def test_ready_line_and_standard_error_give_both_links_and_the_page_is_the_programs_own(fleet):
    process, _, _ = fleet
    host, port = web_address(process)
    operate, view = tokens(process)
    assert host == "127.0.0.1" and port > 0
    assert process.ready["web"] == {"operate": f"http://127.0.0.1:{port}/#operate={operate}",
                                    "view": f"http://127.0.0.1:{port}/#view={view}"}
    assert len(operate) >= 32 and operate != view
    status, head, body = http_get(host, port, "/")
    assert status == 200 and b"console.js" in body
    assert "default-src 'self'" in head
    # Nothing the page loads comes from elsewhere.
    for path in ("/console.js", "/console.css"):
        status, _, body = http_get(host, port, path)
        assert status == 200 and b"http://" not in body and b"https://" not in body
    assert http_get(host, port, "/metrics")[0] == 404  # no --metrics-listen here
    assert http_get(host, port, "/nothing")[0] == 404


@pytest.mark.parametrize("origin, path, expected", [
    ("http://evil.example:80", "/ws", 403),
    (None, "/ws", 403),
    ("http://127.0.0.1:1", "/ws", 403),
    ("same", "/elsewhere", 404),
])
def test_an_upgrade_from_another_origin_or_path_is_refused(fleet, origin, path, expected):
    process, _, _ = fleet
    host, port = web_address(process)
    with pytest.raises(WebSocketRefused) as refused:
        WebSocket(host, port, origin=origin, path=path)
    assert refused.value.status == expected
    # A page of another name that resolves to loopback (DNS rebinding) is refused too.
    with pytest.raises(WebSocketRefused) as rebound:
        WebSocket(host, port, host_header=f"rebound.example:{port}")
    assert rebound.value.status == 403
    # The page's own origin, by address or by name, is let in.
    authenticated(host, port, tokens(process)[0]).close()
    WebSocket(host, port, host_header=f"localhost:{port}").close()


@pytest.mark.parametrize("first", [
    {"cmd": "state"},
    {"cmd": "auth", "token": "0" * 32},
    {"cmd": "auth"},
])
def test_nothing_is_seen_before_a_token(fleet, first):
    process, _, _ = fleet
    host, port = web_address(process)
    ws = WebSocket(host, port)
    assert "hello" in ws.recv()
    ws.send_text(json.dumps(dict(first, id=1)))
    reply = ws.recv()
    assert reply["error"]["code"] == "unauthorized" and "ok" not in reply
    with pytest.raises(ConnectionError):
        while True:
            ws.recv()
    ws.close()


def test_a_viewer_sees_everything_and_acts_on_nothing(fleet):
    process, hosts, names = fleet
    host, port = web_address(process)
    operate, view = tokens(process)
    viewer = authenticated(host, port, view)
    operator = authenticated(host, port, operate)
    viewer.request("subscribe", events=["display"], terminals=[names[0]])
    hosts[0].show("SEEN BY ALL")
    deadline = time.monotonic() + 10
    while not any(e.get("shown", [""])[0].startswith("SEEN BY ALL") for e in viewer.events):
        assert time.monotonic() < deadline, viewer.events
        viewer.events.append(viewer.recv())
    assert viewer.request("state", terminal=names[0])["ok"]["display"]["shown"][0].startswith("SEEN BY ALL")
    assert len(viewer.request("glance")["ok"]["terminals"]) == 2
    acting = [("key", {"key": "7"}), ("type", {"text": "12"}), ("input", {"n": 1, "on": True}),
              ("busy", {"on": True}), ("cts", {"on": True}), ("barcode", {}), ("scale", {"on": True}),
              ("reset", {}), ("playback", {"on": True}), ("fault.add", {"kind": "serial_blocked"}),
              ("fleet.remove", {"terminal": names[1]}), ("record.start", {"file": "x.conv"}),
              ("trace.start", {"file": "x.trace"})]
    for cmd, args in acting:
        reply = viewer.request(cmd, **{"terminal": names[0], **args})
        assert reply.get("error", {}).get("code") == "forbidden", (cmd, reply)
    assert hosts[0].quiet_for(0.5) == b""
    state = operator.request("state", terminal=names[0])["ok"]
    assert (state["busy"], state["cts"], state["inputs"][1]) == (False, False, False)
    assert len(operator.request("glance")["ok"]["terminals"]) == 2
    # The operator's key does reach the host.
    assert "ok" in operator.request("key", terminal=names[0], key="7")
    hosts[0].read_until(b"7")


def test_an_oversized_message_ends_only_that_client(fleet):
    process, hosts, names = fleet
    host, port = web_address(process)
    operate, _ = tokens(process)
    other = authenticated(host, port, operate)
    big = authenticated(host, port, operate)
    try:
        big.send_text(json.dumps({"id": 9, "cmd": "type", "terminal": names[0], "text": "1" * (2 * 1024 * 1024)}))
    except OSError:
        pass  # the program may close before the whole message is in
    with pytest.raises(OSError) as closed:
        while True:
            big.recv()
    if len(closed.value.args) > 1 and isinstance(closed.value.args[1], int):
        assert closed.value.args[1] == 1009  # "message too big"
    assert hosts[0].quiet_for(0.3) == b""
    assert "ok" in other.request("state", terminal=names[1])
    # A frame header that announces more than the bound is refused before the body comes.
    huge = authenticated(host, port, operate)
    huge.sock.sendall(bytes([0x81, 0x80 | 127]) + (1 << 40).to_bytes(8, "big") + b"\0\0\0\0")
    with pytest.raises((ConnectionError, OSError)):
        while True:
            huge.recv()
    assert "ok" in other.request("key", terminal=names[1], key="5")
    hosts[1].read_until(b"5")


def test_a_client_that_never_reads_misses_events_and_holds_nobody(fleet):
    process, hosts, names = fleet
    host, port = web_address(process)
    operate, _ = tokens(process)
    sleeper = authenticated(host, port, operate)
    sleeper.request("subscribe", events=["display", "received"], terminals=[names[0]])
    other = authenticated(host, port, operate)
    # Far more than the socket buffers hold (each read comes back as a "received" event in hex): the
    # program keeps going all the same.
    chunk = b"\x1b[H" + b"X" * 1000
    for _ in range(20000):
        hosts[0].send(chunk)
    started = time.monotonic()
    assert "ok" in other.request("key", terminal=names[1], key="3")
    hosts[1].read_until(b"3")
    hosts[0].show("THE END")
    # The program goes through the whole flood while the sleeper reads nothing.
    while not other.request("state", terminal=names[0])["ok"]["display"]["shown"][0].startswith("THE END"):
        assert time.monotonic() - started < 60  # a generous bound: only that the program was never held
    # Read now: what was missed is said, and the program is still there for the sleeper.
    dropped = []
    deadline = time.monotonic() + 30
    while not dropped and time.monotonic() < deadline:
        message = sleeper.recv(timeout=30)
        if message.get("event") == "dropped":
            dropped.append(message)
    assert dropped and dropped[0]["count"] > 0
    assert "ok" in sleeper.request("state", terminal=names[0])


def test_events_of_the_terminals_named_only_merged_per_period(fleet):
    process, hosts, names = fleet
    host, port = web_address(process)
    ws = authenticated(host, port, tokens(process)[1])
    reply = ws.request("subscribe", events=["display", "fleet"], terminals=[names[1]], merge_ms=400)
    assert reply["ok"] == {"events": ["display", "fleet"], "terminals": 1, "merge_ms": 400}
    for i in range(30):
        hosts[0].show(f"ZERO {i}")
        hosts[1].show(f"ONE {i}")
    hosts[1].show("ONE LAST")
    seen = []
    deadline = time.monotonic() + 10
    while not any(e["shown"][0].startswith("ONE LAST") for e in seen):
        assert time.monotonic() < deadline
        seen.append(ws.recv())
    assert {e["terminal"] for e in seen} == {names[1]}
    assert len(seen) < 10  # thirty-one changes, merged
    for bad in ({"terminals": "t001"}, {"terminals": [1]}, {"merge_ms": -1}, {"merge_ms": 10 ** 6}):
        assert ws.request("subscribe", events=["display"], **bad)["error"]["code"] == "bad_argument"
    matches = ws.request("glance", match="one last", full=False)["ok"]
    assert matches == {"count": 2, "terminals": [{"name": names[1], "connected": True}]}
    assert ws.request("glance", connected=False)["ok"]["terminals"] == []
    assert ws.request("glance", terminals=[names[1], "nobody"])["ok"]["terminals"][0]["shown"][0].startswith("ONE")


def test_tokens_from_a_file_survive_a_restart_and_bad_options_are_refused(tmp_path):
    host = Host()
    make_fleet(tmp_path / "shop", [host])
    token_file = tmp_path / "tokens.json"
    first = start(tmp_path / "shop", extra=["--web-tokens", str(token_file)])
    links = first.ready["web"]
    first.stop()
    assert oct(token_file.stat().st_mode & 0o777) == "0o600"
    second = start(tmp_path / "shop", extra=["--web-tokens", str(token_file)])
    assert [l.split("#")[1] for l in second.ready["web"].values()] == [l.split("#")[1] for l in links.values()]
    second.stop()
    host.close()
    binary = os.environ.get("ETHERNET_BINARY", "ethernet")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    # --web alone: the ready line still comes, with the links and without a control address.
    alone = subprocess.Popen([binary, "--headless", "--folder", str(tmp_path / "shop" / "t001"), "--web", "0"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        ready = json.loads(alone.stdout.readline())["ready"]
        assert sorted(ready) == ["pid", "web"] and ready["web"]["view"].startswith("http://127.0.0.1:")
    finally:
        alone.terminate()
        assert "the terminals in a browser: http://127.0.0.1:" in alone.communicate(timeout=30)[1]
    token_file.write_text('{"operate":"short","view":"short"}')
    for args in (["--web-tokens", str(token_file)], ["--web", "127.0.0.1:0", "--web-tokens", str(token_file)],
                 ["--web", "nowhere:x"]):
        run = subprocess.run([binary, "--headless", "--folder", str(tmp_path), *args], capture_output=True,
                             text=True, timeout=30, env=env)
        assert run.returncode in (1, 2) and "web" in run.stderr, (args, run.stderr)


def test_one_port_serves_the_console_and_the_figures_when_both_name_it(tmp_path):
    host = Host()
    make_fleet(tmp_path / "shop", [host])
    with socket.create_server(("127.0.0.1", 0)) as probe:
        port = probe.getsockname()[1]
    spec = f"127.0.0.1:{port}"
    process = start(tmp_path / "shop", web=spec, extra=["--metrics-listen", spec])
    try:
        host.accept()
        status, _, body = http_get("127.0.0.1", port, "/metrics")
        assert status == 200 and b"# TYPE" in body
        status, _, body = http_get("127.0.0.1", port, "/")
        assert status == 200 and b"console.js" in body
        ws = authenticated("127.0.0.1", port, tokens(process)[1])
        assert ws.request("glance", full=False)["ok"]["terminals"] == [{"name": "t001", "connected": True}]
    finally:
        process.stop()
        host.close()
