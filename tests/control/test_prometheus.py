"""The program's figures for Prometheus (--metrics-listen): the text passes
promtool and adds up to what the host did, a real Prometheus server scrapes
it and answers a quantile, and bad or slow clients get an answer or nothing
without holding the terminals."""

import json
import os
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


@pytest.fixture(scope="module")
def one_terminal(tmp_path_factory):
    """One headless terminal (calling a port where nobody answers) that serves its figures."""
    folder = tmp_path_factory.mktemp("metrics")
    process = ec.start(config=config(1, ZORVANE), folder=str(folder),
                       extra_args=["--metrics-listen", "127.0.0.1:0"])
    yield process
    process.stop()


def exchange(port, request: bytes, half_close: bool) -> bytes:
    """Sends a request, closes our side after it when asked (as `nc -N` does), reads to the end."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(request)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        data = b""
        while chunk := s.recv(65536):
            data += chunk
        return data


# (what the client does, the bytes, whether it closes its side after them, the status, a page's bytes in the body)
HOW_CLIENTS_ASK = [
    ("HTTP/1.0 and the end of input", b"GET /metrics HTTP/1.0\r\n\r\n", True, b"200", b"ethernet_terminals 1"),
    ("HTTP/1.1 and the end of input", b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", True, b"200",
     b"ethernet_terminals 1"),
    ("the page at / and the end of input", b"GET / HTTP/1.0\r\n\r\n", True, b"200", b'href="/metrics"'),
    ("HEAD and the end of input", b"HEAD /metrics HTTP/1.0\r\n\r\n", True, b"200", None),
    ("a missing page and the end of input", b"GET /none HTTP/1.0\r\n\r\n", True, b"404", b"/metrics"),
    ("an empty line before the request", b"\r\nGET /metrics HTTP/1.1\r\n\r\n", False, b"200",
     b"ethernet_terminals 1"),
    ("empty lines of bare LF before the request", b"\n\nGET / HTTP/1.0\n\n", False, b"200", b'href="/metrics"'),
    ("an empty line before, and the end of input", b"\r\nGET /metrics HTTP/1.0\r\n\r\n", True, b"200",
     b"ethernet_terminals 1"),
    ("HTTP/2.0", b"GET /metrics HTTP/2.0\r\n\r\n", False, b"505", b"HTTP/1.0 and HTTP/1.1"),
    ("HTTP/1.2", b"GET /metrics HTTP/1.2\r\n\r\n", False, b"505", b"HTTP/1.0 and HTTP/1.1"),
    ("HTTP/0.9 and the end of input", b"GET / HTTP/0.9\r\n\r\n", True, b"505", b"HTTP/1.0 and HTTP/1.1"),
    ("a version that is not one", b"GET / HTTP/1.x\r\n\r\n", False, b"400", b"not an HTTP request line"),
]


@pytest.mark.parametrize("request_bytes,half_close,status,body_has", [c[1:] for c in HOW_CLIENTS_ASK],
                         ids=[c[0] for c in HOW_CLIENTS_ASK])
def test_every_request_gets_its_whole_answer(one_terminal, request_bytes, half_close, status, body_has):
    # The end of the input and the answer race inside the program: asked often, every answer must be whole.
    for _ in range(20 if half_close else 1):
        answer = exchange(metrics_port(one_terminal), request_bytes, half_close)
        head, _, body = answer.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 " + status + b" "), answer[:200]
        length = int(re.search(rb"\r\nContent-Length: (\d+)\r\n", head + b"\r\n").group(1))
        if body_has is None:  # HEAD: the length of the page, and no page
            assert length > 0 and body == b""
        else:
            assert len(body) == length and body_has in body, body[:200]


def test_the_ready_line_names_the_page(one_terminal, tmp_path):
    url = f"http://127.0.0.1:{metrics_port(one_terminal)}/metrics"
    assert one_terminal.ready["metrics"] == url
    # Without --control the figures have a ready line of their own.
    (tmp_path / "Config.ini").write_text(config(1, ZORVANE))
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    program = subprocess.Popen([ec.find_binary(), "--headless", "--folder", str(tmp_path), "--metrics-listen",
                                "127.0.0.1:0"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    try:
        ready = json.loads(program.stdout.readline())["ready"]
        assert ready["pid"] == program.pid and set(ready) == {"metrics", "pid"}
        port = int(re.fullmatch(r"http://127\.0\.0\.1:(\d+)/metrics", ready["metrics"]).group(1))
        assert http(port, b"GET /metrics HTTP/1.0\r\n\r\n").startswith(b"HTTP/1.1 200")
    finally:
        program.terminate()
        program.wait(10)
        program.stdout.close()


@pytest.mark.parametrize("arguments,status,says", [
    (["--metrics-listen", "127.0.0.1:0"], 2, "needs --headless"),
    (["--headless", "--metrics-per-terminal"], 2, "needs --metrics-listen"),
    (["--headless", "--metrics-listen", "nowhere:80"], 2, "ADDR:PORT"),
    (["--headless", "--metrics-listen", "127.0.0.1:70000"], 2, "ADDR:PORT"),
    (["--headless", "--metrics-listen", "127.0.0.1"], 2, "ADDR:PORT"),
], ids=["without --headless", "per terminal alone", "a name that is not an address", "a port too high",
        "no port"])
def test_options_are_checked(binary, tmp_path, arguments, status, says):
    (tmp_path / "Config.ini").write_text(config(1, ZORVANE))
    run = subprocess.run([binary, "--folder", str(tmp_path), *arguments], capture_output=True, timeout=30,
                         env={"QT_QPA_PLATFORM": "offscreen"})
    assert run.returncode == status and says in run.stderr.decode(), run.stderr
