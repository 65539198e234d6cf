"""The pytest plugin as a test author meets it, run by pytest itself
(pytester, each run a pytest process of its own): the fixtures, a failed
test's trace kept and named with the terminal's last state, two xdist
workers with terminals at once, and conversation files collected as tests."""

import json
import os
import socket
import subprocess
import sys
import threading

import pytest

PACKAGE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, PACKAGE)

import ethernet_control as ec  # noqa: E402

pytest_plugins = ["pytester"]


@pytest.fixture
def run(pytester, monkeypatch):
    """pytest in a process of its own, with the plugin given as an installed
    package would register it."""
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([PACKAGE, os.environ.get("PYTHONPATH", "")]))

    def go(*args):
        return pytester.runpytest_subprocess("-p", "ethernet_control.pytest_plugin", "-p", "no:cacheprovider",
                                             *args, timeout=300)
    return go


def test_a_failed_test_keeps_its_trace_named_with_the_terminals_state(pytester, run):
    pytester.makepyfile(test_host=f'''
        import pytest

        def note_pid(terminal):
            with open({str(pytester.path / "pids")!r}, "a") as f:
                f.write(f"{{terminal.process.popen.pid}}\\n")

        @pytest.mark.ethernet
        def test_greets(ethernet, ethernet_host):
            terminal = ethernet(config=ethernet_host.config("vt100"))
            note_pid(terminal)
            ethernet_host.send(b"\\x1b[JBEM-VINDO")
            terminal.wait_display("BEM-VINDO")
            terminal.type("7\\n")
            assert ethernet_host.read_until(b"\\r") == b"7\\r"

        def test_expects_another_text(ethernet, ethernet_host):
            terminal = ethernet(config=ethernet_host.config("zorvane"), faults=[{{"kind": "printer_busy"}}])
            note_pid(terminal)
            ethernet_host.send(b"\\x02DFALHOU\\x03")
            terminal.wait_display("FALHOU")
            assert terminal.faults()[0]["kind"] == "printer_busy"
            assert terminal.display()[0].rstrip() == "SUCESSO"
    ''')
    traces = pytester.path / "traces"
    result = run("--ethernet-traces", str(traces))
    result.assert_outcomes(passed=1, failed=1)
    kept, = traces.iterdir()
    assert kept.name.startswith("test_host.py_test_expects_another_text-")
    assert kept.name.endswith(".1.trace.txt")
    assert 'STX "D" "FALHOU" ETX' in kept.read_text()
    result.stdout.fnmatch_lines(["*ethernet terminal 1*", f"trace: {kept}", "folder: *", "display: 'FALHOU'",
                                 "connection: *\"connected\": true*"])
    pids = [int(line) for line in (pytester.path / "pids").read_text().split()]
    assert len(pids) == 2
    for pid in pids:
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)


def test_two_workers_run_terminals_at_once_without_collisions(pytester, run):
    # Two node ids that clean up to the same file name; the second test fails, so its trace is kept.
    pytester.makepyfile(test_pair=f'''
        import json, os, time
        import pytest

        @pytest.mark.parametrize("n", [1, 2], ids=["a b", "a/b"])
        def test_terminal(ethernet, ethernet_host, n):
            terminal = ethernet(config=ethernet_host.config("vt100"))
            ethernet_host.send(f"\\x1b[JTERMINAL {{n}}".encode())
            terminal.wait_display(f"TERMINAL {{n}}")
            mine, other = [os.path.join({str(pytester.path)!r}, f"started-{{i}}") for i in (n, 3 - n)]
            with open(mine + ".part", "w") as f:
                json.dump({{"worker": os.environ.get("PYTEST_XDIST_WORKER"), "folder": terminal.process.folder,
                           "control": terminal.process.control, "port": ethernet_host.port}}, f)
            os.rename(mine + ".part", mine)
            # Each waits for the other's terminal: both run at the same time.
            deadline = time.monotonic() + 120
            while not os.path.exists(other):
                assert time.monotonic() < deadline, "the other worker's terminal never started"
                time.sleep(0.05)
            assert terminal.display()[0].rstrip() == f"TERMINAL {{n}}"
            assert n == 1, "the second terminal's test fails"
    ''')
    traces = pytester.path / "traces"
    result = run("-n", "2", "--ethernet-traces", str(traces), "--ethernet-trace-format", "jsonl")
    result.assert_outcomes(passed=1, failed=1)
    started = [json.loads((pytester.path / f"started-{n}").read_text()) for n in (1, 2)]
    assert {s["worker"] for s in started} == {"gw0", "gw1"}
    for key in ("folder", "control", "port"):
        assert started[0][key] != started[1][key], key
    # The failed test's trace is kept under a name of its own, with its worker, and its report names it.
    kept, = traces.iterdir()
    worker = started[1]["worker"]
    assert kept.name.startswith("test_pair.py_test_terminal_a_b-") and kept.name.endswith(f".{worker}.1.trace.jsonl")
    result.stdout.fnmatch_lines([f"trace: {kept}"])
    records = [json.loads(line) for line in kept.read_text().splitlines()]
    assert records[0]["trace"]["program"] == "ethernet"
    received = bytes.fromhex("".join(r["hex"] for r in records if r.get("kind") == "received"))
    assert b"TERMINAL 2" in received and b"TERMINAL 1" not in received


def _has_replay():
    try:
        return "--replay" in subprocess.run([ec.find_binary(), "--help"], capture_output=True, text=True).stdout
    except (ec.LaunchError, OSError):
        return False


class MenuHost:
    """A VT100 host for every terminal that calls: shows "MENU", answers
    the key 1 with "UM"."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.server.settimeout(0.2)
        self.port = self.server.getsockname()[1]
        self.running = True
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while self.running:
            try:
                conn, _ = self.server.accept()
            except socket.timeout:
                continue
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    @staticmethod
    def _serve(conn):
        with conn:
            conn.sendall(b"\x1b[JMENU")
            while True:
                chunk = conn.recv(100)
                if not chunk:
                    return
                if b"1" in chunk:
                    conn.sendall(b"\x1b[JUM")

    def close(self):
        self.running = False
        self.thread.join()
        self.server.close()


def test_conversation_files_are_collected_one_test_each_marked_ethernet(pytester, run):
    for name in ("menu", "ticket"):
        (pytester.path / f"{name}.conversation.jsonl").write_text('{"conversation":1}\n', encoding="utf-8")
    (pytester.path / "notes.jsonl").write_text("{}\n", encoding="utf-8")
    result = run("--collect-only", "-q", "-m", "ethernet")
    result.stdout.fnmatch_lines(["menu.conversation.jsonl::menu", "ticket.conversation.jsonl::ticket",
                                 "*2 tests collected*"])


@pytest.mark.skipif(not _has_replay(), reason="this ethernet program has no --replay")
def test_conversation_files_are_collected_and_replayed(pytester, run, tmp_path):
    host = MenuHost()
    try:
        config = ec.config_text(host.port, "vt100")
        recorded = tmp_path / "menu.conversation.jsonl"
        with ec.launch(config=config, folder=str(tmp_path)) as terminal:
            terminal.request("record.start", file=str(recorded))
            terminal.wait_display("MENU")
            terminal.key("1")
            terminal.wait_display("UM")
            terminal.request("record.stop")
        text = recorded.read_text(encoding="utf-8")
        (pytester.path / "Config.ini").write_text(config.replace("\n", "\r\n"), encoding="cp1252")
        (pytester.path / "menu.conversation.jsonl").write_text(text, encoding="utf-8")
        wrong = "".join(line.replace('"UM"', '"DOIS"') if '"expect"' in line else line
                        for line in text.splitlines(keepends=True))
        assert wrong != text
        (pytester.path / "other.conversation.jsonl").write_text(wrong, encoding="utf-8")
        pytester.makeini("[pytest]\nethernet_step_timeout_ms = 2000\n")
        result = run("-n", "2")
    finally:
        host.close()
    result.assert_outcomes(passed=1, failed=1)
    result.stdout.fnmatch_lines(["*FAILED other.conversation.jsonl::other*"])
    assert "DOIS" in result.stdout.str()


@pytest.mark.skipif(not _has_replay(), reason="this ethernet program has no --replay")
def test_a_conversation_without_settings_names_its_own_folder(pytester, run):
    (pytester.path / "menu.conversation.jsonl").write_text(
        '{"conversation":1,"program":"ethernet","settings":{"protocol":"zorvane"}}\n{"expect":{"display":["",""]}}\n',
        encoding="utf-8")
    result = run()
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines([f'*"{pytester.path}" has no "Config.ini"*'])
    assert "ethernet-replay-" not in result.stdout.str() and not (pytester.path / "Config.ini").exists()


def test_the_manuals_first_test_passes_as_pasted(pytester, run):
    guide = open(os.path.join(PACKAGE, "..", "..", "docs", "pytest.md"), encoding="utf-8").read()
    section = guide.split("## A first test", 1)[1]
    pytester.makepyfile(test_my_host=section.split("```python\n", 1)[1].split("```", 1)[0])
    run().assert_outcomes(passed=1)
