"""The sample host application (samples/shopfloor_host.py) against the real
program, as `make demo` runs them: the demo folder's files, the terminal
started as a Client of the host on loopback, here without windows. The test is
the operator: through the control interface it works through the whole menu,
and it follows the session in the host's log, where every reading, reply and
report the host got back is written, and on the terminal's display, printer
log and LEDs."""

import os
import selectors
import shutil
import subprocess
import sys
import time

import pytest

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "clients", "python"))

import ethernet_control  # noqa: E402

DEMO = os.path.join(ROOT, "samples", "demo")
RED = "#ff0000"


class HostLog:
    """The sample host's standard output, one event per line."""

    def __init__(self, popen):
        self.popen = popen
        self.selector = selectors.DefaultSelector()
        self.selector.register(popen.stdout, selectors.EVENT_READ)
        self.pending = b""
        self.seen = []

    def next(self, timeout=15.0):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not self.selector.select(remaining):
                raise AssertionError("the host wrote nothing more; its log so far: %r" % self.seen)
            chunk = os.read(self.popen.stdout.fileno(), 4096)
            if not chunk:
                raise AssertionError("the host ended; its log: %r" % self.seen)
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        self.seen.append(line.decode())
        return self.seen[-1]


@pytest.fixture(params=["zorvane", "vt100"])
def session(request, tmp_path):
    protocol = request.param
    host = subprocess.Popen(
        [sys.executable, os.path.join(ROOT, "samples", "shopfloor_host.py"),
         "--port", "0", "--protocol", protocol, "--once"],
        stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    log = HostLog(host)
    try:
        first = log.next()
        assert first.startswith("listening on 127.0.0.1:") and first.endswith("(%s)" % protocol)
        port = first.split(":")[1].split(" ")[0]

        # The demo folder as `make demo` prepares it, on the host's port.
        for name in ("Codigo.txt", "Balanca.txt"):
            shutil.copy(os.path.join(DEMO, name), tmp_path / name)
        with open(os.path.join(DEMO, "Config.ini"), newline="") as f:
            config = f.read()
        for needed in ("\nPorta=5001\r", "\nProtocolo=1\r", "\nConexao=1\r", "\nInicializacao=1\r"):
            assert needed in config
        config = config.replace("\nPorta=5001\r", "\nPorta=%s\r" % port)
        if protocol == "vt100":
            config = config.replace("\nProtocolo=1\r", "\nProtocolo=0\r")
        (tmp_path / "Config.ini").write_bytes(config.encode("cp1252"))

        with ethernet_control.launch(folder=str(tmp_path)) as terminal:
            yield protocol, terminal, log
            assert host.wait(15) == 0
    finally:
        if host.poll() is None:
            host.kill()
        host.wait()


def test_whole_menu(session):
    protocol, terminal, log = session
    assert log.next().startswith("terminal connected from 127.0.0.1:")
    terminal.wait_display(r"1 Codigo  2 Peso  3 Ticket  4 Status")

    # 1: a barcode from the reader, the first code of the demo's list.
    terminal.key("1")
    assert log.next() == "key '1'"
    terminal.barcode()
    assert log.next() == "code 7891234567895"
    terminal.wait_display(r"Codigo: 7891234567895")

    # 2: the scale switched on, then weighed: the first reading of the list.
    terminal.scale(on=True)
    terminal.key("2")
    assert log.next() == "key '2'"
    assert log.next() == "weight 0,750 kg"
    terminal.wait_display(r"Peso: 0,750 kg")

    # 3: the ticket, line by line on the printer interface.
    terminal.key("3")
    assert log.next() == "key '3'"
    assert log.next() == "ticket printed 4 lines"
    terminal.wait({"printer": r"-{20}\(13\)\(10\)"})
    assert terminal.log("printer")["lines"] == [
        "SHOPFLOOR DEMO(13)(10)", "Codigo: 7891234567895(13)(10)",
        "Peso:   0,750 kg(13)(10)", "-" * 20 + "(13)(10)"]

    # 4: the status, with the printer marked busy in Zorvane.
    terminal.busy(True)
    terminal.key("4")
    assert log.next() == "key '4'"
    if protocol == "zorvane":
        assert log.next() == "status printer busy serial ready"
        terminal.wait_display(r"Impressora ocupada, serial livre")
    else:
        assert log.next() == "status not available in vt100"
    terminal.busy(False)

    # 5, 5: the first two LED patterns.
    terminal.key("5")
    assert log.next() == "key '5'"
    assert log.next() == "leds 0"
    terminal.key("5")
    assert log.next() == "key '5'"
    assert log.next() == "leds 1"
    terminal.wait_display(r"LEDs acesos: 1")
    assert [colour == RED for colour in terminal.state()["leds"]] == [False, True, False, False]

    # An input switched on, and a code typed on the keys instead of read.
    terminal.input(1, True)
    assert log.next() == "inputs 1"
    terminal.key("1")
    assert log.next() == "key '1'"
    terminal.type("42")
    terminal.key("Enter")
    assert log.next() == "code 42"

    # 0 ends the session; with --once the host then ends too.
    terminal.key("0")
    assert log.next() == "key '0'"
    assert log.next() == "bye"
    terminal.wait_display(r"Ate logo!")
