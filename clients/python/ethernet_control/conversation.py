"""Replaying recorded conversations from Python.

A conversation file holds what an operator did at the terminal and what the
terminal showed before each action (record one with
:meth:`Terminal.record_start`, ``--record`` or the window's "Gravar
Conversa..."). :func:`replay` runs the program without windows on one or more
files, against the host the working folder's "Config.ini" names, and returns
what happened::

    result = replay(["menu.jsonl"], folder="terminal")
    assert result.passed, result.report
"""

from __future__ import annotations

import json
import os
import subprocess
import tempfile
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Union

from .launching import find_binary

__all__ = ["ReplayResult", "replay"]


@dataclass
class ReplayResult:
    """What a replay gave.

    ``returncode`` is the program's exit status: 0 when every file passed,
    1 when one did not, 2 for a bad file or option (nothing ran then).
    ``report`` is its standard error: the report of each mismatch, or what
    was wrong with a file. ``mismatches`` holds one dict per expectation that
    did not hold, with ``file``, ``line``, ``step``, ``action``,
    ``action_line``, ``waited_ms``, ``differences`` (per field, ``expected``
    and ``actual``), ``report`` and, in a fleet, ``terminal``. ``new_files``
    lists the updated copies written with ``update``. ``output`` is the
    standard output (one result line per file and terminal) and ``files`` the
    per-file summaries."""

    passed: bool
    returncode: int
    report: str
    mismatches: List[Dict[str, Any]] = field(default_factory=list)
    new_files: List[str] = field(default_factory=list)
    output: str = ""
    files: List[Dict[str, Any]] = field(default_factory=list)


def replay(files: Union[str, os.PathLike, Sequence[Union[str, os.PathLike]]], *,
           folder: Optional[str] = None, binary: Optional[str] = None,
           step_timeout_ms: Optional[int] = None, update: bool = False, pace_real: bool = False,
           junit: Optional[str] = None, fleet: Optional[str] = None,
           timeout: Optional[float] = None) -> ReplayResult:
    """Replays conversation ``files`` (one path or several) with
    ``ethernet --replay``: each against fresh terminals built from the
    "Config.ini" of ``folder`` (the current folder by default), or of every
    terminal folder of ``fleet``, all at once. Each step waits, inside the
    program, up to ``step_timeout_ms`` (default 10 000) for what it expects.
    With ``update`` a ``FILE.new`` is written beside each file that failed;
    ``pace_real`` also keeps the recorded time between actions; ``junit``
    names a JUnit XML file to write. ``timeout`` bounds the whole run in
    seconds (``subprocess.TimeoutExpired`` past it)."""
    paths = [os.fspath(files)] if isinstance(files, (str, os.PathLike)) else [os.fspath(f) for f in files]
    if not paths:
        raise ValueError("replay needs at least one conversation file")
    with tempfile.TemporaryDirectory(prefix="ethernet-replay-") as scratch:
        results_path = os.path.join(scratch, "results.json")
        command: List[str] = [find_binary(binary), "--replay", *paths, "--results", results_path]
        if fleet is not None:
            command += ["--fleet", fleet]
        elif folder is not None:
            command += ["--folder", folder]
        if step_timeout_ms is not None:
            command += ["--step-timeout", str(int(step_timeout_ms))]
        if update:
            command.append("--update")
        if pace_real:
            command += ["--pace", "real"]
        if junit is not None:
            command += ["--junit", junit]
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, env=env, timeout=timeout)
        summary: Dict[str, Any] = {}
        if os.path.exists(results_path):
            with open(results_path, encoding="utf-8") as f:
                summary = json.load(f)
    per_file = summary.get("files", [])
    mismatches = [m for entry in per_file for m in entry.get("mismatches", [])]
    new_files = [entry["new_file"] for entry in per_file if "new_file" in entry]
    return ReplayResult(passed=done.returncode == 0, returncode=done.returncode,
                        report=done.stderr.decode("utf-8", "replace"), mismatches=mismatches,
                        new_files=new_files, output=done.stdout.decode("utf-8", "replace"), files=per_file)
