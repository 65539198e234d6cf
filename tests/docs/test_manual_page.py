"""The manual page, ethernet(1), against the program's own --help: every
option the help names has an entry of its own in the page's OPTIONS section
as man shows it, and the page lists no option the program does not know."""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients", "python"))

import ethernet_control  # noqa: E402

PAGE = os.path.join(os.path.dirname(__file__), "..", "..", "data", "ethernet.1")
LONG = re.compile(r"(?<![\w-])--[a-z][a-z0-9-]*")
SHORT = re.compile(r"^\s*(-[a-zA-Z]),")


def help_options() -> set:
    """Every option --help names, in its lines and in its descriptions."""
    run = subprocess.run([ethernet_control.find_binary(), "--help"], capture_output=True, text=True, timeout=30,
                         env={k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")})
    assert run.returncode == 0, run.stderr
    options = set(LONG.findall(run.stdout))
    options.update(m.group(1) for line in run.stdout.splitlines() if (m := SHORT.match(line)))
    return options


def page_entries() -> set:
    """The options at the head of an entry of OPTIONS, as man renders the page."""
    env = dict(os.environ, MANWIDTH="200", LC_ALL="C.UTF-8")
    run = subprocess.run(["man", "-E", "ascii", "--nh", "--nj", "--warnings", "-l", PAGE], capture_output=True,
                         text=True, timeout=30, env=env)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    section = re.search(r"^OPTIONS\n(.*?)^\S", run.stdout, re.S | re.M)
    assert section, "the page has no OPTIONS section"
    heads = [line.strip() for line in section.group(1).splitlines() if re.match(r"^ {7}-", line)]
    options = set()
    for head in heads:
        options.update(LONG.findall(head))
        options.update(re.findall(r"(?<![\w-])-[a-zA-Z](?![\w-])", head))
    return options


def test_every_option_of_the_help_has_an_entry_in_the_manual_page():
    known, documented = help_options(), page_entries()
    assert {"--headless", "-h", "--help"} <= known
    assert sorted(known - documented) == [], "options of --help missing from ethernet(1)"
    assert sorted(documented - known) == [], "options in ethernet(1) that --help does not know"


def rendered_page() -> str:
    env = dict(os.environ, MANWIDTH="200", LC_ALL="C.UTF-8")
    run = subprocess.run(["man", "-E", "ascii", "--nh", "--nj", "-l", PAGE], capture_output=True, text=True,
                         timeout=30, env=env)
    assert run.returncode == 0, run.stderr
    return " ".join(run.stdout.split())


# (arguments that step past a bound, what the program then says, what the page says of it)
BOUNDS = [
    (["--make-fleet", "f", "--count", "0", "--from", "Config.ini"], r"--count is a number from 1 to (\d+)",
     r"--count N With --make-fleet: how many terminal folders, from 1 to (\d+)"),
]


def test_the_manual_page_gives_the_programs_own_bounds(tmp_path):
    page = rendered_page()
    for arguments, said, written in BOUNDS:
        run = subprocess.run([ethernet_control.find_binary(), *arguments], capture_output=True, text=True,
                             timeout=30, cwd=tmp_path)
        program = re.search(said, run.stderr)
        documented = re.search(written, page)
        assert program and documented, (run.stderr, arguments)
        assert documented.group(1) == program.group(1), arguments
