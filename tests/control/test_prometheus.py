"""The program's figures for Prometheus (--metrics-listen): the text passes
promtool and adds up to what the host did, a real Prometheus server scrapes
it and answers a quantile, and bad or slow clients get an answer or nothing
without holding the terminals."""

import json
import re
import socket
import subprocess
import time
import urllib.parse
import urllib.request

import pytest

import ethernet_control as ec
from conftest import ZORVANE, config, free_port
from test_fleet import accept_all, make_fleet, read_exactly

STX, ETX, ESC = b"\x02", b"\x03", b"\x1b"
KEYS = "ABCDE"
SAMPLE = re.compile(r'^(\w+)(?:\{([^}]*)\})? (\S+)$')


def metrics_port(process):
    found = re.search(r"http://127\.0\.0\.1:(\d+)/metrics", process.stderr_text)
    assert found, process.stderr_text
    return int(found.group(1))


def http(port, request: bytes, timeout=10.0) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        data = b""
        while chunk := s.recv(65536):
            data += chunk
        return data


def samples(text):
    """{(name, labels): value} of every sample line."""
    out = {}
    for line in text.splitlines():
        if line.startswith("#") or not line:
            continue
        name, labels, value = SAMPLE.match(line).groups()
        out[(name, labels or "")] = float(value)
    return out


@pytest.fixture
def busy_fleet(tmp_path, binary, host):
    """Three Clients that typed KEYS, each answered by the host, and
    answered three "T" queries each; yields a function that starts it."""
    started = []

    def run(*extra):
        folder = make_fleet(binary, tmp_path, 3, config(host.port, ZORVANE))
        process = ec.start(folder=str(folder), fleet=True, extra_args=["--metrics-listen", "127.0.0.1:0", *extra])
        started.append(process)
        control = ec.connect(process.ready["control"])
        conns = accept_all(host.server, 3)
        for name in ("t001", "t002", "t003"):
            control.terminal(name).wait({"connected": True})
            control.terminal(name).type(KEYS)
        for conn in conns:
            for key in read_exactly(conn, len(KEYS)):
                conn.sendall(STX + b"D" + bytes([key]) + ETX)
            conn.sendall((STX + b"T" + ETX + ETX) * 3)
            read_exactly(conn, 15)
        control.close()
        return process, conns

    yield run
    for process in started:
        process.stop()


@pytest.mark.parametrize("per_terminal", [False, True], ids=["whole program", "per terminal"])
def test_the_text_passes_promtool_and_adds_up(busy_fleet, per_terminal):
    process, _ = busy_fleet(*(["--metrics-per-terminal"] if per_terminal else []))
    response = http(metrics_port(process), b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
    head, _, body = response.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK") and b"Content-Type: text/plain; version=0.0.4" in head
    check = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True, timeout=30)
    assert check.returncode == 0, check.stdout + check.stderr
    found = samples(body.decode())
    label = (lambda name: f'terminal="{name}"') if per_terminal else (lambda name: "")
    names = ["t001", "t002", "t003"] if per_terminal else [""]
    per = 1 if per_terminal else 3
    for name in names:
        # The keys went out before the host answered: one response time, from the first key.
        assert found[("ethernet_host_response_seconds_count", label(name))] == per
        assert found[("ethernet_sends_total", label(name))] == per * len(KEYS)
        assert found[("ethernet_sent_bytes_total", label(name))] == per * (len(KEYS) + 3 * 5)
        assert found[("ethernet_received_bytes_total", label(name))] == per * (len(KEYS) * 4 + 3 * 4)
        assert found[("ethernet_host_commands_total", label(name))] == per * (len(KEYS) + 3)
        assert found[("ethernet_terminal_reply_seconds_count", label(name))] == per * 3
        inf = ("ethernet_host_response_seconds_bucket", ",".join(filter(None, [label(name), 'le="+Inf"'])))
        assert found[inf] == per
        buckets = [v for (n, labels), v in found.items()
                   if n == "ethernet_host_response_seconds_bucket" and labels.startswith(label(name))]
        assert buckets == sorted(buckets) and len(buckets) == 19
    assert found[("ethernet_terminals", "")] == 3 and found[("ethernet_terminals_connected", "")] == 3


def test_a_prometheus_server_scrapes_it_and_answers_a_quantile(busy_fleet, tmp_path):
    process, _ = busy_fleet()
    web = free_port()
    (tmp_path / "prometheus.yml").write_text(
        "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
        "scrape_configs:\n  - job_name: ethernet\n    static_configs:\n"
        f"      - targets: ['127.0.0.1:{metrics_port(process)}']\n")
    server = subprocess.Popen(["prometheus", f"--config.file={tmp_path / 'prometheus.yml'}",
                               f"--storage.tsdb.path={tmp_path / 'tsdb'}", f"--web.listen-address=127.0.0.1:{web}"],
                              stdout=subprocess.DEVNULL, stderr=open(tmp_path / "prometheus.log", "wb"))
    query = urllib.parse.urlencode(
        {"query": "histogram_quantile(0.9, sum by (le) (ethernet_host_response_seconds_bucket))"})
    try:
        deadline = time.monotonic() + 60
        result = []
        while not result and time.monotonic() < deadline:
            time.sleep(0.5)
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{web}/api/v1/query?{query}", timeout=5) as reply:
                    result = json.load(reply)["data"]["result"]
            except OSError:
                continue
        assert result, (tmp_path / "prometheus.log").read_text()[-2000:]
        seconds = float(result[0]["value"][1])
        assert 0 < seconds <= 60
    finally:
        server.terminate()
        server.wait(30)


BAD_REQUESTS = [
    ("a page that is not there", b"GET /nothing HTTP/1.1\r\n\r\n", b"404"),
    ("POST", b"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", b"405"),
    ("DELETE on the landing page", b"DELETE / HTTP/1.0\r\n\r\n", b"405"),
    ("a head over 8 KiB", b"GET /metrics HTTP/1.1\r\nX-Long: " + b"a" * 9000 + b"\r\n\r\n", b"431"),
    ("not HTTP", b"hello there\r\n\r\n", b"400"),
    ("a path that is not absolute", b"GET metrics HTTP/1.1\r\n\r\n", b"400"),
    ("bytes that are not text", b"\x00\xff\x16\x03\x01\r\n\r\n", b"400"),
    ("the landing page", b"GET / HTTP/1.1\r\n\r\n", b"200"),
    ("a query string", b"GET /metrics?x=1 HTTP/1.1\r\n\r\n", b"200"),
]


@pytest.mark.parametrize("request_bytes,status", [r[1:] for r in BAD_REQUESTS], ids=[r[0] for r in BAD_REQUESTS])
def test_requests_get_their_status_and_the_terminals_go_on(busy_fleet, host, request_bytes, status):
    process, conns = busy_fleet()
    port = metrics_port(process)
    # Clients that never finish their request, and one that never reads its answer, hold nothing up.
    stalled = [socket.create_connection(("127.0.0.1", port)) for _ in range(5)]
    for s in stalled:
        s.sendall(b"GET /metr")
    unread = socket.create_connection(("127.0.0.1", port))
    unread.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
    unread.sendall(b"GET /metrics HTTP/1.1\r\n\r\n")
    answer = http(port, request_bytes)
    assert answer.startswith(b"HTTP/1.1 " + status), answer[:200]
    if status == b"200" and b"GET / " in request_bytes:
        assert b'href="/metrics"' in answer
    control = ec.connect(process.ready["control"])
    control.terminal("t002").key("Z")
    assert read_exactly(conns[1], 1) == b"Z"
    assert http(port, b"GET /metrics HTTP/1.0\r\n\r\n").startswith(b"HTTP/1.1 200")
    control.close()
    for s in stalled + [unread]:
        s.close()


@pytest.mark.parametrize("arguments,status,says", [
    (["--metrics-listen", "127.0.0.1:0"], 2, "needs --headless"),
    (["--headless", "--metrics-per-terminal"], 2, "needs --metrics-listen"),
    (["--headless", "--metrics-listen", "nowhere:80"], 1, "ADDR:PORT"),
    (["--headless", "--metrics-listen", "127.0.0.1:70000"], 1, "ADDR:PORT"),
], ids=["without --headless", "per terminal alone", "a name that is not an address", "a port too high"])
def test_options_are_checked(binary, tmp_path, arguments, status, says):
    (tmp_path / "Config.ini").write_text(config(1, ZORVANE))
    run = subprocess.run([binary, "--folder", str(tmp_path), *arguments], capture_output=True, timeout=30,
                         env={"QT_QPA_PLATFORM": "offscreen"})
    assert run.returncode == status and says in run.stderr.decode(), run.stderr
