"""Many terminals in one program: making a fleet's folders, starting it,
reaching each terminal, and reading the load figures.

    from ethernet_control import fleet

    folders = fleet.make_fleet("shop", count=20, config=config_text(5000, "zorvane"))
    with fleet.launch_fleet("shop") as program:
        for terminal in fleet.members(program):
            terminal.key("1")
        print(fleet.figures(program.metrics())["response_ms"]["p90"])

The calls on one terminal (:meth:`Terminal.terminal`), ``metrics``, ``bus``
and ``playback_all`` are on :class:`~ethernet_control.client.Terminal`.
"""

from __future__ import annotations

import contextlib
import json
import os
import subprocess
import tempfile
from typing import Any, Dict, Iterator, List, Optional

from .client import LaunchError, Terminal
from .launching import find_binary, launch

__all__ = ["figures", "launch_fleet", "make_fleet", "members", "read_metrics"]


def make_fleet(folder: str, count: int, config: str, base_port: Optional[int] = None,
               binary: Optional[str] = None) -> List[str]:
    """Makes ``folder/t001`` ... one folder per terminal with a copy of
    ``config`` (the text of a "Config.ini") through ``--make-fleet``; with
    ``base_port`` terminal *i* listens or calls on ``base_port + i``. Returns
    the terminal folders in order. ``folder`` must not exist yet."""
    with tempfile.TemporaryDirectory(prefix="ethernet-recipe-") as recipe:
        source = os.path.join(recipe, "Config.ini")
        with open(source, "w", encoding="cp1252", newline="\r\n") as f:
            f.write(config)
        command = [find_binary(binary), "--make-fleet", folder, "--count", str(count), "--from", source]
        if base_port is not None:
            command += ["--base-port", str(base_port)]
        result = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        raise LaunchError(f"--make-fleet ended with status {result.returncode}: {result.stderr.strip()}")
    return [os.path.join(folder, name) for name in sorted(os.listdir(folder))
            if os.path.isfile(os.path.join(folder, name, "Config.ini"))]


@contextlib.contextmanager
def launch_fleet(folder: str, **options: Any) -> Iterator[Terminal]:
    """Starts a whole fleet folder without windows (``--fleet``), connects,
    and stops it on leaving the block; options as :func:`launch`."""
    with launch(folder=folder, fleet=True, **options) as program:
        yield program


def members(program: Terminal) -> List[Terminal]:
    """A handle for each terminal of the program, in its order."""
    return [program.terminal(entry["name"]) for entry in program.fleet()]


def figures(metrics: Dict[str, Any], terminal: Optional[str] = None) -> Dict[str, Any]:
    """From the figures of ``metrics`` or ``--metrics FILE``: the whole
    fleet's, or those of the terminal called ``terminal``."""
    if terminal is None:
        return metrics["fleet"]
    for entry in metrics.get("terminals", []):
        if entry.get("name") == terminal:
            return entry
    raise KeyError(f"no terminal {terminal!r} in the figures")


def read_metrics(path: str) -> Dict[str, Any]:
    """The figures a run wrote with ``--metrics FILE``."""
    with open(path, encoding="utf-8") as f:
        return json.load(f)
