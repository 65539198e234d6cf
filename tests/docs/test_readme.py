"""The README's examples, run as a reader pastes them.

Every fenced block of README.md names what it is:
- ```python and ```sh blocks are run exactly as written, each on its own, by
  /usr/bin/python3 and by `sh -e`, in a fresh temporary folder that holds
  links to the repository's clients/, docs/, samples/ and tools/ (the paths a
  reader at the top of a checkout uses), with the built program on the PATH
  and in ETHERNET_BINARY and the Python client on PYTHONPATH, as if installed.
  Whatever else a block needs (a host, a "Config.ini", a port) it makes
  itself. Each has a time limit; a failure names the block's line.
- ```text and ```console blocks are shown, not run: install and build
  commands, syntax summaries, output, runs that last until they are stopped.
A block without one of these four is itself a failure.
"""

import os
import re
import signal
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients", "python"))

import ethernet_control  # noqa: E402

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
README = os.path.join(SOURCE, "README.md")
LINKED = ("clients", "docs", "samples", "tools")
RUNNERS = {"python": ["/usr/bin/python3"], "sh": ["/bin/sh", "-e"]}
SHOWN = {"text", "console"}
TIME_LIMIT = 120


def blocks():
    """(line of the opening fence, language, text) of every fenced block."""
    found, opened, language, body = [], None, "", []
    with open(README, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            fence = re.match(r"^```(.*)$", line.rstrip("\n"))
            if fence and opened is None:
                opened, language, body = number, fence.group(1).strip(), []
            elif fence and not fence.group(1).strip():
                found.append((opened, language, "".join(body)))
                opened = None
            elif opened is not None:
                body.append(line)
    assert opened is None, f"README.md line {opened}: a block is never closed"
    return found


BLOCKS = blocks()
RUN = [b for b in BLOCKS if b[1] in RUNNERS]


def test_every_block_says_whether_it_runs():
    unnamed = [f"line {line}: ```{language}" for line, language, _ in BLOCKS
               if language not in RUNNERS and language not in SHOWN]
    assert unnamed == [], "blocks must be ```python, ```sh (run) or ```text, ```console (shown)"
    assert RUN, "the README offers no example to run"


@pytest.mark.parametrize("line, language, text", RUN, ids=[f"README.md:{b[0]}" for b in RUN])
def test_the_block_runs_as_written(tmp_path, line, language, text):
    for name in LINKED:
        os.symlink(os.path.join(SOURCE, name), tmp_path / name)
    script = tmp_path / ("block.py" if language == "python" else "block.sh")
    script.write_text(text)
    binary = os.path.abspath(ethernet_control.find_binary())
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(ETHERNET_BINARY=binary, PATH=os.path.dirname(binary) + os.pathsep + env.get("PATH", ""),
               PYTHONPATH=os.path.join(SOURCE, "clients", "python"))
    # A session of its own, so that whatever the block leaves running ends with it.
    process = subprocess.Popen([*RUNNERS[language], str(script)], cwd=tmp_path, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=TIME_LIMIT)
        failure = f"ended with status {process.returncode}" if process.returncode else None
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        failure = f"did not end within {TIME_LIMIT} s"
    finally:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    assert failure is None, (f"README.md line {line} (```{language}) {failure}:\n"
                             + output.decode(errors="replace")[-4000:])
