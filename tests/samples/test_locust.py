"""Load tests with Locust against the real program: a Locust master and two
workers on loopback run the sample locustfile against the sample host, each
worker's users sharing one headless program; against a host that never
answers every transaction fails with the display and the connection in its
message; and once the users stop, their terminals are gone from the programs."""

import csv
import os
import re
import socket
import subprocess
import sys
import textwrap
import threading

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SAMPLES = os.path.join(ROOT, "samples")
TRANSACTIONS = ["menu shown", "menu 1: ask for a code", "code typed", "menu 4: status", "menu 5: LEDs"]

# The sample's operator with the figures of each worker's program on a free
# port, and, once the users have stopped, the program's terminal count written
# to a file per worker.
LOCUSTFILE = textwrap.dedent("""\
    import os, re, sys, urllib.request
    sys.path.insert(0, {samples!r})
    import locustfile as sample
    from locust import events
    from ethernet_control.locust import program

    class CountedOperator(sample.Operator):
        program_args = ["--metrics-listen", "127.0.0.1:0"]
        timeout = float(os.environ.get("TRANSACTION_TIMEOUT", "10"))

    @events.test_stop.add_listener
    def count_terminals(environment, **kwargs):
        process = program()
        if process is None:
            return
        port = re.search(r"127\\.0\\.0\\.1:(\\d+)/metrics", process.stderr_text).group(1)
        text = urllib.request.urlopen(f"http://127.0.0.1:{{port}}/metrics", timeout=10).read().decode()
        count = re.search(r"^ethernet_terminals (\\d+)$", text, re.M).group(1)
        with open(os.path.join(os.environ["COUNTS"], str(os.getpid())), "w") as f:
            f.write(count)
    """)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def locust_run(tmp_path):
    """Runs Locust with the test's locustfile and returns the CSV rows and the terminal counts."""
    (tmp_path / "operators.py").write_text(LOCUSTFILE.format(samples=SAMPLES))
    (tmp_path / "counts").mkdir()
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "clients", "python"), COUNTS=str(tmp_path / "counts"))
    env.pop("DISPLAY", None)

    def run(host_port, users, seconds, workers=0, timeout=None):
        if timeout:
            env["TRANSACTION_TIMEOUT"] = str(timeout)
        locust = [sys.executable, "-m", "locust", "-f", str(tmp_path / "operators.py"), "--host",
                  f"127.0.0.1:{host_port}"]
        common = ["--headless", "-u", str(users), "-r", str(users), "-t", f"{seconds}s", "--csv",
                  str(tmp_path / "out"), "--stop-timeout", "5"]
        started = []
        if workers:
            port = free_port()
            master = subprocess.Popen(locust + common + ["--master", "--expect-workers", str(workers),
                                                         "--master-bind-host", "127.0.0.1", "--master-bind-port",
                                                         str(port)], env=env, cwd=tmp_path,
                                      stderr=open(tmp_path / "master.log", "wb"))
            started = [subprocess.Popen(locust + ["--worker", "--master-host", "127.0.0.1", "--master-port",
                                                  str(port)], env=env, cwd=tmp_path,
                                        stderr=open(tmp_path / f"worker{i}.log", "wb")) for i in range(workers)]
        else:
            master = subprocess.Popen(locust + common, env=env, cwd=tmp_path,
                                      stderr=open(tmp_path / "master.log", "wb"))
        try:
            master.wait(seconds + 90)
            for worker in started:
                worker.wait(30)
        finally:
            for p in [master, *started]:
                if p.poll() is None:
                    p.kill()
                    p.wait()
        logs = "".join((tmp_path / name).read_text(errors="replace")[-3000:]
                       for name in os.listdir(tmp_path) if name.endswith(".log"))
        with open(tmp_path / "out_stats.csv") as f:
            stats = {row["Name"]: row for row in csv.DictReader(f)}
        with open(tmp_path / "out_failures.csv") as f:
            failures = list(csv.DictReader(f))
        counts = [int((tmp_path / "counts" / name).read_text()) for name in os.listdir(tmp_path / "counts")]
        return stats, failures, counts, logs

    return run


def test_a_master_and_two_workers_load_the_sample_host(locust_run):
    host = subprocess.Popen([sys.executable, os.path.join(SAMPLES, "shopfloor_host.py"), "--port", "0"],
                            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    try:
        port = int(re.search(rb":(\d+) ", host.stdout.readline()).group(1))
        threading.Thread(target=host.stdout.read, daemon=True).start()  # the host's log is not kept
        stats, failures, counts, logs = locust_run(port, users=50, seconds=15, workers=2)
    finally:
        host.kill()
        host.wait()
    for name in TRANSACTIONS:
        assert int(stats[name]["Request Count"]) > 0, (name, logs)
        assert int(stats[name]["Failure Count"]) == 0, (name, failures, logs)
        assert stats[name]["Type"] == "terminal"
    assert failures == []
    # Each worker had its own program; every user's terminal was removed as the user stopped.
    assert counts == [0, 0], logs


def test_a_host_that_never_answers_fails_every_transaction_with_the_display(locust_run):
    silent = socket.create_server(("127.0.0.1", 0))
    held = []
    threading.Thread(target=lambda: held.extend(iter(lambda: silent.accept()[0], None)), daemon=True).start()
    try:
        stats, failures, counts, logs = locust_run(silent.getsockname()[1], users=4, seconds=8, timeout=1)
    finally:
        silent.close()
    assert failures, logs
    # Each says what the display showed and that the terminal was connected: the host is the one that is silent.
    assert all("the display showed" in row["Error"] and "the terminal was connected to its host" in row["Error"]
               for row in failures), failures
    assert sum(int(row["Occurrences"]) for row in failures) == int(stats["Aggregated"]["Failure Count"]) > 0
    assert counts == [0]
