"""Terminals of one program that wait at the same moment: barcodes typed with
a pause after each character and "Reset Terminal" with its two waits, each
terminal driven through its own control connection. None holds up another,
every request is answered, and a terminal removed while one of its operations
runs ends it with "terminal_removed" while the program goes on."""

import selectors
import socket
import threading
import time

import pytest

import ethernet_control as ec
from test_fleet import accept_all, make_fleet, read_exactly

DELAY_MS = 10


def client_config(port: int, delay_ms: int = DELAY_MS) -> str:
    """A VT100 terminal that calls the host on 127.0.0.1:port; codes end with CR."""
    return ("[Config]\nConexao=1\nPorta={port}\nEndereco=127.0.0.1\nProtocolo=0\nInicializacao=0\n"
            "[CodigoBarras]\nCofig_Leitor=1\nDelai={delay}\n").format(port=port, delay=delay_ms)


class Arrivals:
    """Reads every connection of the host at once and notes when each byte came."""

    def __init__(self, conns):
        self.conns = conns
        self.times = {conn: [] for conn in conns}
        self.data = {conn: b"" for conn in conns}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        selector = selectors.DefaultSelector()
        for conn in self.conns:
            conn.setblocking(False)
            selector.register(conn, selectors.EVENT_READ)
        while not self._stop.is_set():
            for key, _ in selector.select(0.05):
                try:
                    chunk = key.fileobj.recv(65536)
                except BlockingIOError:
                    continue
                if not chunk:
                    selector.unregister(key.fileobj)
                    continue
                now = time.monotonic()
                self.data[key.fileobj] += chunk
                self.times[key.fileobj] += [now] * len(chunk)
        selector.close()

    def wait_for(self, expected_total: int, timeout: float = 60.0):
        deadline = time.monotonic() + timeout
        while sum(len(d) for d in self.data.values()) < expected_total and time.monotonic() < deadline:
            time.sleep(0.02)

    def stop(self):
        self._stop.set()
        self._thread.join()


def code_for(index: int, length: int) -> str:
    return "{:03d}".format(index) + "7" * (length - 3)


@pytest.fixture
def fleet_of(binary, tmp_path):
    """A fleet of `count` VT100 Client terminals, connected to one host, each
    with its own control connection."""
    started = []

    def start(count):
        server = socket.create_server(("127.0.0.1", 0), backlog=128)
        folder = make_fleet(binary, tmp_path, count, client_config(server.getsockname()[1]))
        process = ec.start(folder=str(folder), fleet=True)
        conns = accept_all(server, count)
        main = ec.connect(process.ready["control"])
        names = [t["name"] for t in main.fleet()]
        clients = []
        for name in names:
            client = ec.connect(process.ready["control"])
            clients.append(client.terminal(name))
            clients[-1].wait({"connected": True})
            started.append(client)
        started.extend([main, server] + conns)
        return process, server, conns, main, clients

    yield start
    for thing in started:
        thing.close()


def all_at_once(calls, timeout=60.0):
    """Runs every call in its own thread, released together; returns each one's
    result or exception, None for one still running after the timeout."""
    results = [None] * len(calls)
    barrier = threading.Barrier(len(calls))

    def run(i, call):
        barrier.wait()
        try:
            results[i] = ("ok", call())
        except Exception as error:  # noqa: BLE001 - the test looks at what came back
            results[i] = ("error", error)

    threads = [threading.Thread(target=run, args=(i, c), daemon=True) for i, c in enumerate(calls)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(max(0.1, timeout))
    return results


@pytest.mark.parametrize("count,length", [(2, 30), (3, 30), (50, 20)])
def test_barcodes_scanned_at_once_each_keep_their_own_pace(fleet_of, count, length):
    process, _, conns, _, clients = fleet_of(count)
    arrivals = Arrivals(conns)
    results = all_at_once([lambda c=c, i=i: c.barcode(code_for(i, length)) for i, c in enumerate(clients)])
    arrivals.wait_for(count * (length + 1))
    arrivals.stop()

    assert [r and r[0] for r in results] == ["ok"] * count, results
    by_code = {arrivals.data[conn]: arrivals.times[conn] for conn in conns}
    assert sorted(by_code) == sorted((code_for(i, length) + "\r").encode() for i in range(count))
    spans = []
    nominal = length * DELAY_MS / 1000
    for data, times in by_code.items():
        # The pause after each character is kept (a lower bound, with slack for coalesced reads),
        # and no terminal waits for the others' codes (which one after another would take count times as long).
        assert 0.5 * nominal <= times[-1] - times[0] < max(25 * nominal, 2.0), data
        spans.append(times)
    if count <= 3:
        # No terminal's whole code goes out inside one pause of another's.
        for one in spans:
            for other in spans:
                if one is not other:
                    gaps = zip(one, one[1:])
                    assert not any(a < other[0] and other[-1] < b for a, b in gaps)
    assert process.stop() == 0


def test_resets_at_once_are_all_answered(fleet_of):
    count = 20
    process, server, _, _, clients = fleet_of(count)
    reconnected = []
    accepter = threading.Thread(target=lambda: reconnected.extend(accept_all(server, count, timeout=30)),
                                daemon=True)
    accepter.start()
    started = time.monotonic()
    results = all_at_once([c.reset for c in clients], timeout=30)
    took = time.monotonic() - started
    assert [r and r[0] for r in results] == ["ok"] * count, (results, took)
    # Each reset waits 800 ms; waiting inside one another they took over 8 s.
    assert took < 5, took
    accepter.join(30)
    assert len(reconnected) == count
    for conn in reconnected:
        conn.close()
    assert process.stop() == 0


@pytest.mark.parametrize("action", ["barcode", "reset"])
def test_removing_a_terminal_ends_what_runs_on_it(tmp_path, action):
    server = socket.create_server(("127.0.0.1", 0))
    folder = tmp_path / "fleet"
    folder.mkdir()
    process = ec.start(folder=str(folder), fleet=True)
    control = ec.connect(process.ready["control"])
    owner = None
    try:
        doomed = control.fleet_add(client_config(server.getsockname()[1], delay_ms=20), name="doomed")
        conns = {"doomed": accept_all(server, 1)[0]}
        other = control.fleet_add(client_config(server.getsockname()[1]), name="other")
        conns["other"] = accept_all(server, 1)[0]
        doomed.wait({"connected": True})
        other.wait({"connected": True})
        owner = ec.connect(process.ready["control"])
        actor = owner.terminal("doomed")
        outcome = {}

        def act():
            try:
                getattr(actor, action)(*(["1" * 200] if action == "barcode" else []))
                outcome["reply"] = "ok"
            except ec.ControlError as error:
                outcome["reply"] = error.code

        thread = threading.Thread(target=act, daemon=True)
        thread.start()
        time.sleep(0.15)  # well inside the 4 s barcode or the 800 ms of waits of the reset
        assert control.fleet_remove("doomed")["terminals"] == 1
        thread.join(10)
        assert outcome == {"reply": "terminal_removed"}

        # The removed terminal's connection ends; the program lives on and serves the other.
        conns["doomed"].settimeout(10)
        while conns["doomed"].recv(65536):
            pass
        other.key("5")
        assert read_exactly(conns["other"], 1) == b"5"
        assert process.stop() == 0
    finally:
        if owner is not None:
            owner.close()
        control.close()
        server.close()
        process.stop()
