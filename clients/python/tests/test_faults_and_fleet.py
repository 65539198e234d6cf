"""The fault helpers and the fleet helpers against the real program: every
helper's fault armed at the start (--fault) and added over the control
interface as the program lists it, and a fleet made, started, reached
terminal by terminal and measured."""

import os
import socket
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import ethernet_control as ec  # noqa: E402
from ethernet_control import faults, fleet  # noqa: E402

HELPERS = [
    (faults.split(offsets=[2]), {"kind": "split"}),
    (faults.split(random=True, seed=7, count="always"), {"kind": "split", "remaining": "always", "seed": 7}),
    (faults.delay(300, what="keys"), {"kind": "delay", "ms": 300, "what": "keys"}),
    (faults.drop_reply(count=2), {"kind": "drop_reply", "remaining": 2}),
    (faults.reset(when_received=b"\x02D"), {"kind": "reset", "when_received": "0244"}),
    (faults.close(after=3), {"kind": "close", "after": 3}),
    (faults.stall(50, when_received=b"\x02"), {"kind": "stall", "ms": 50}),
    (faults.refuse(100, after=1), {"kind": "refuse", "ms": 100, "after": 1}),
    (faults.printer_busy(count=2), {"kind": "printer_busy", "remaining": 2}),
    (faults.serial_blocked(), {"kind": "serial_blocked"}),
    (faults.scale(readings=["<2>00150<3>"]), {"kind": "scale"}),
    (faults.telnet_silent(), {"kind": "telnet_silent"}),
]


def listed(terminal):
    return [{k: v for k, v in f.items() if k not in ("id", "fired")} for f in terminal.faults()]


def test_every_helpers_fault_is_taken_by_the_program_at_start_and_over_control():
    # A Server that no host calls, and a trigger for the kinds that would act at once: all stay armed.
    with socket.create_server(("127.0.0.1", 0)) as probe:
        port = probe.getsockname()[1]
    config = ec.config_text(port, "zorvane", role="server")
    with ec.launch(config=config, extra_args=faults.options(h for h, _ in HELPERS)) as terminal:
        at_start = listed(terminal)
        terminal.clear_faults()
        for helper, _ in HELPERS:
            terminal.add_fault(helper)
        assert listed(terminal) == at_start
        terminal.clear_faults()
        terminal.add_fault({"kind": "printer_busy"}, count=3)
        assert listed(terminal)[0]["remaining"] == 3
    assert len(at_start) == len(HELPERS)
    for got, (_, expected) in zip(at_start, HELPERS):
        assert {k: got.get(k) for k in expected} == expected
    assert sorted(f["kind"] for f in at_start) == sorted(faults.FAULT_KINDS + ("split",))


def test_a_fleet_made_started_reached_and_measured(tmp_path):
    folders = fleet.make_fleet(str(tmp_path / "shop"), count=3, config=ec.config_text(1, "zorvane"))
    assert [os.path.basename(f) for f in folders] == ["t001", "t002", "t003"]
    with pytest.raises(ec.LaunchError):
        fleet.make_fleet(str(tmp_path / "shop"), count=3, config=ec.config_text(1, "zorvane"))
    with fleet.launch_fleet(str(tmp_path / "shop")) as program:
        members = fleet.members(program)
        assert [m.name for m in members] == ["t001", "t002", "t003"]
        members[1].busy(True)
        assert [m.state()["busy"] for m in members] == [False, True, False]
        metrics = program.metrics()
    assert fleet.figures(metrics)["terminals"] == 3
    assert fleet.figures(metrics, "t002")["name"] == "t002"
    with pytest.raises(KeyError):
        fleet.figures(metrics, "t009")


def test_the_fleet_lists_the_terminals_there_are_none_one_or_a_lone_one(tmp_path):
    (tmp_path / "shop").mkdir()
    with fleet.launch_fleet(str(tmp_path / "shop")) as program:
        assert program.fleet() == []
        till = program.fleet_add(ec.config_text(1, "zorvane"), name="till-1")
        assert [entry["name"] for entry in program.fleet()] == ["till-1"]
        assert till.fleet() == program.fleet()
        assert "fleet" not in till.state()
        program.fleet_remove("till-1")
        assert program.fleet() == []
    # A run of one terminal lists it, and its state is what it always was.
    (tmp_path / "alone").mkdir()
    with ec.launch(config=ec.config_text(1, "zorvane"), folder=str(tmp_path / "alone")) as terminal:
        assert terminal.fleet() == [{"name": "alone", "connected": False}]
        assert "fleet" not in terminal.state() and "terminal" not in terminal.state()
