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

Modules: :mod:`.client` (the control connection), :mod:`.launching`
(starting and stopping the program), :mod:`.faults` (faults to inject),
:mod:`.fleet` (many terminals in one program), :mod:`.conversation`
(replaying recorded conversations), :mod:`.pytest_plugin` (the fixtures
``ethernet`` and ``ethernet_host``), :mod:`.cli` (``ethernet-ctl``) and
:mod:`.samples` (where the sample host application is installed).
"""

from . import faults, fleet
from .client import PROTOCOL, ControlError, LaunchError, Terminal, WaitTimeout, connect
from .faults import Fault
from .launching import PROTOCOLS, Process, config_text, find_binary, launch, start

__version__ = "2.0.0.16"

__all__ = [
    "PROTOCOL",
    "PROTOCOLS",
    "ControlError",
    "Fault",
    "LaunchError",
    "Process",
    "Terminal",
    "WaitTimeout",
    "config_text",
    "connect",
    "faults",
    "find_binary",
    "fleet",
    "launch",
    "start",
]

