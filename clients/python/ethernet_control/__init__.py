"""Drive the terminal emulator from Python: start it without windows, press its
keys, tick its inputs, scan barcodes, read its display and logs, and wait for
what the host makes it do.

    from ethernet_control import launch

    CONFIG = "[Config]\\nConexao=1\\nPorta=5000\\nEndereco=127.0.0.1\\nProtocolo=0\\n"

    with launch(config=CONFIG) as terminal:
        terminal.wait({"connected": True})
        terminal.type("123")
        terminal.key("Enter")
        terminal.wait_display(r"TOTAL", timeout=5)
        print(terminal.state()["display"]["shown"])

Only the standard library is used. The program is found through the
``binary`` argument, the ``ETHERNET_BINARY`` environment variable, or
``ethernet`` on the PATH.
"""

from .client import PROTOCOL, ControlError, LaunchError, Terminal, WaitTimeout, connect
from .launching import Process, find_binary, launch, start

__all__ = [
    "PROTOCOL",
    "ControlError",
    "LaunchError",
    "Process",
    "Terminal",
    "WaitTimeout",
    "connect",
    "find_binary",
    "launch",
    "start",
]
