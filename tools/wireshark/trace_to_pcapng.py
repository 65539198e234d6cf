#!/usr/bin/env python3
"""Turns a trace of the ethernet terminal emulator (JSON lines, or text) into
a pcapng capture and prints the tshark command that opens it with the
dissector beside this script:

    tools/wireshark/trace_to_pcapng.py TRACE CAPTURE.pcapng

The converter itself is ethernet_control.trace_to_pcapng, installed with the
Python package as the command ethernet-trace-to-pcapng; this script runs it
from the source tree."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "clients", "python"))

from ethernet_control.trace_to_pcapng import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:], dissector=os.path.join(HERE, "zorvane.lua")))
