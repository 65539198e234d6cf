"""Shared pieces of the trace tests: the control tests' host on loopback and
Config.ini texts, and what a conversation's trace records look like once the
times and the connection are taken out."""

import importlib.util
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "clients", "python"))

_spec = importlib.util.spec_from_file_location("control_support", os.path.join(HERE, "..", "control", "conftest.py"))
control_support = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(control_support)

Host = control_support.Host
config = control_support.config
free_port = control_support.free_port
VT100, ZORVANE, TELNET = control_support.VT100, control_support.ZORVANE, control_support.TELNET
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))


@pytest.fixture
def host():
    h = Host()
    yield h
    h.close()


def simple(record: dict) -> tuple:
    """A record without its times and connection: what a test compares."""
    extra = record.get("warning") or record.get("origin") or record.get("event") or record.get("note") or ""
    if record.get("repeated"):
        extra += " x%d" % record["repeated"]
    return (record["kind"], record["dir"], record["hex"], record["text"], extra)


def deliver(terminal, host, data: bytes):
    """One read of the terminal: the host sends, and the terminal has read it
    all before the next delivery goes out."""
    seq = terminal.seq
    host.send(data)
    terminal.wait({"received": data}, after_seq=seq)
