"""Conversation tests against the real program and the sample host: a
conversation recorded through the control interface, with the test acting as
the operator (menu, keys, a barcode, a weight, a ticket), replayed with
``ethernet --replay`` against the same host, its next release (--variant), a
slow one and one that never answers; updated copies, hand-edited matchers,
JUnit XML, a fleet replaying at once, and files refused whole."""

import json
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pytest

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "clients", "python"))

import ethernet_control  # noqa: E402
from ethernet_control.conversation import replay  # noqa: E402

DEMO = os.path.join(ROOT, "samples", "demo")
BINARY = os.environ.get("ETHERNET_BINARY")


class SampleHost:
    """samples/shopfloor_host.py on an ephemeral loopback port, one session after another."""

    def __init__(self, protocol, *options):
        self.popen = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "samples", "shopfloor_host.py"), "--port", "0",
             "--protocol", protocol, *options],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        first = self.popen.stdout.readline().decode()
        assert first.startswith("listening on 127.0.0.1:"), first
        self.port = int(first.split(":")[1].split(" ")[0])

    def stop(self):
        self.popen.kill()
        self.popen.wait()
        self.popen.stdout.close()


def terminal_folder(path, port, protocol):
    """A working folder as `make demo` prepares it, calling the host on port."""
    os.makedirs(path, exist_ok=True)
    for name in ("Codigo.txt", "Balanca.txt"):
        shutil.copy(os.path.join(DEMO, name), os.path.join(path, name))
    with open(os.path.join(DEMO, "Config.ini"), newline="") as f:
        config = f.read().replace("\nPorta=5001\r", "\nPorta=%d\r" % port)
    if protocol == "vt100":
        config = config.replace("\nProtocolo=1\r", "\nProtocolo=0\r")
    with open(os.path.join(path, "Config.ini"), "wb") as f:
        f.write(config.encode("cp1252"))
    return str(path)


@pytest.fixture
def hosts():
    started = []

    def start(protocol, *options):
        host = SampleHost(protocol, *options)
        started.append(host)
        return host

    yield start
    for host in started:
        host.stop()


def record_menu_walk(folder, name="menu.jsonl"):
    """The operator's walk through the menu, recorded through the control interface."""
    with ethernet_control.launch(folder=folder) as terminal:
        terminal.wait_display(r"5 LEDs")
        terminal.record_start(name)
        terminal.key("1")
        terminal.wait_display(r"Passe o codigo")
        terminal.barcode("789")
        terminal.wait_display(r"5 LEDs")
        terminal.scale(on=True)
        terminal.key("2")
        terminal.wait_display(r"Peso: 0,750 kg")
        terminal.key("3")
        terminal.wait_display(r"Ticket impresso")
        terminal.input(1, True)
        terminal.wait_display(r"Entradas ligadas: 1")
        stopped = terminal.record_stop()
    assert stopped["actions"] == 6
    return stopped["file"]


def lines_of(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip() and not line.startswith("#")]


@pytest.mark.parametrize("protocol", ["zorvane", "vt100"])
def test_recorded_walk_replays_and_tells_the_next_release_apart(tmp_path, hosts, protocol):
    host = hosts(protocol)
    folder = terminal_folder(tmp_path / "terminal", host.port, protocol)
    recorded = record_menu_walk(folder)

    lines = lines_of(recorded)
    assert lines[0]["conversation"] == 1 and lines[0]["settings"]["protocol"] == protocol
    actions = [line for line in lines if "do" in line]
    assert actions == [{"do": "key", "key": "1"}, {"do": "barcode", "code": "789"}, {"do": "scale", "on": True},
                       {"do": "key", "key": "2"}, {"do": "key", "key": "3"}, {"do": "input", "n": 1, "on": True}]
    expectations = [line["expect"] for line in lines if "expect" in line]
    assert expectations[0]["display"] == ["1 Codigo  2 Peso  3 Ticket  4 Status", "5 LEDs  0 Fim"]
    assert expectations[5]["printer"][0] == "SHOPFLOOR DEMO(13)(10)"
    assert expectations[-1]["display"][1] == "Entradas ligadas: 1"

    # The same host, twenty times in a row, each replay on fresh terminals.
    same = replay([recorded] * 20, folder=folder)
    assert same.passed, same.report
    assert same.output.count("PASS ") == 20

    # The next release: a menu text and the ticket's title changed.
    variant = hosts(protocol, "--variant")
    variant_folder = terminal_folder(tmp_path / "variant", variant.port, protocol)
    original = open(recorded, "rb").read()
    failed = replay(recorded, folder=variant_folder, step_timeout_ms=1500)
    assert failed.returncode == 1 and not failed.passed
    report = failed.report.splitlines()
    assert report[0].startswith("%s:2: step 1, before the first action:" % recorded)
    expected_at = report.index("    expected: 5 LEDs  0 Fim")
    assert report[expected_at + 1] == "    actual:   5 LEDs  0 Sair"
    assert report[expected_at + 2] == " " * 14 + " " * len("5 LEDs  0 ") + "^"
    assert "  trace of step 1" in report
    assert [m["step"] for m in failed.mismatches] == [1]

    # Updating: every step that differs is written anew, beside the file.
    updated = replay(recorded, folder=variant_folder, step_timeout_ms=1500, update=True)
    assert updated.returncode == 1 and updated.new_files == [os.path.abspath(recorded + ".new")]
    assert open(recorded, "rb").read() == original
    ticket = [m for m in updated.mismatches if "printer" in m["differences"]]
    assert len(ticket) == 1 and ticket[0]["action"] == '{"do":"key","key":"3"}'
    assert "    -SHOPFLOOR DEMO(13)(10)\n    +SHOPFLOOR DEMO 2.0(13)(10)\n" in ticket[0]["report"]
    assert replay(updated.new_files[0], folder=variant_folder).passed
    assert not replay(updated.new_files[0], folder=folder, step_timeout_ms=1500).passed

    # A person marks what may change: both releases pass.
    edited = str(tmp_path / "edited.jsonl")
    text = original.decode().replace('"5 LEDs  0 Fim"', '{"re":"5 LEDs  0 (Fim|Sair)"}')
    text = text.replace('"SHOPFLOOR DEMO(13)(10)"', '{"re":"SHOPFLOOR DEMO.*"}')
    with open(edited, "w", encoding="utf-8") as f:
        f.write("# the menu's last entry and the ticket's title change between releases\n" + text)
    for target in (folder, variant_folder):
        result = replay(edited, folder=target, step_timeout_ms=3000)
        assert result.passed, result.report
    # Updating a copy that still matches keeps its matchers as written.
    shutil.copy(edited, edited + ".2")
    with open(edited + ".2", "a", encoding="utf-8") as f:
        f.write('{"do":"key","key":"5"}\n{"expect":{"display":[{"re":"LEDs.*"},"never shown"]}}\n')
    again = replay(edited + ".2", folder=variant_folder, step_timeout_ms=1000, update=True)
    rewritten = open(again.new_files[0], encoding="utf-8").read()
    assert rewritten.count('{"re":"5 LEDs  0 (Fim|Sair)"}') == text.count('{"re":"5 LEDs  0 (Fim|Sair)"}')
    assert rewritten.splitlines()[-1] == '{"expect":{"display":[{"re":"LEDs.*"},"Tecla: 5"]}}'


def test_slow_host_passes_and_a_silent_one_fails_at_its_step(tmp_path, hosts):
    host = hosts("zorvane")
    folder = terminal_folder(tmp_path / "terminal", host.port, "zorvane")
    recorded = record_menu_walk(folder)

    slow = hosts("zorvane", "--delay", "500")
    slow_folder = terminal_folder(tmp_path / "slow", slow.port, "zorvane")
    result = replay(recorded, folder=slow_folder)
    assert result.passed, result.report

    silent = hosts("zorvane", "--delay", "600000")
    silent_folder = terminal_folder(tmp_path / "silent", silent.port, "zorvane")
    junit = str(tmp_path / "results.xml")
    result = replay(recorded, folder=silent_folder, step_timeout_ms=800, junit=junit)
    assert result.returncode == 1
    assert [(m["step"], m["action"], m["line"]) for m in result.mismatches] == [(2, '{"do":"key","key":"1"}', 4)]
    assert re.search(r"step 2, after \{\"do\":\"key\",\"key\":\"1\"\} \(line 3\): the terminal did not show "
                     r"what was expected within 800 ms", result.report)

    suite = ElementTree.parse(junit).getroot().find("testsuite")
    assert (suite.get("tests"), suite.get("failures")) == ("1", "1")
    failure = suite.find("testcase").find("failure")
    assert failure.get("message").startswith(recorded + ":4: step 2")
    assert "trace of step 2" in failure.text


def test_fleet_replays_at_once_and_names_the_terminal_that_failed(tmp_path, hosts):
    # The sample host serves one terminal at a time: one host each.
    first, variant, third = hosts("zorvane"), hosts("zorvane", "--variant"), hosts("zorvane")
    recorded = record_menu_walk(terminal_folder(tmp_path / "recording", first.port, "zorvane"))
    fleet = tmp_path / "fleet"
    for name, port in (("t001", first.port), ("t002", variant.port), ("t003", third.port)):
        terminal_folder(fleet / name, port, "zorvane")

    result = replay(recorded, fleet=str(fleet), step_timeout_ms=1500)
    assert result.returncode == 1
    assert [m["terminal"] for m in result.mismatches] == ["t002"]
    assert result.report.startswith("terminal t002: %s:2: step 1" % recorded)
    assert sorted(re.findall(r"^(PASS|FAIL) \S+ on terminal (t\d+)", result.output, re.M)) == [
        ("FAIL", "t002"), ("PASS", "t001"), ("PASS", "t003")]


GOOD_HEADER = '{"conversation":1,"program":"ethernet","settings":{"protocol":"zorvane"}}'


@pytest.mark.parametrize("body, line, words", [
    ('{"expect":{"display":["a","b"]}}\n{"do":"key","key":"1"', 3, "not a JSON line"),
    ('{"do":"press","key":"1"}', 2, 'no action is called "press"'),
    ('{"expect":{"display":[{"re":"(unclosed"},""]}}', 2, "not a valid regular expression"),
    ('{"expect":{"display":["only one"]}}', 2, '"display" must list 2 values'),
    ('{"expect":{"screen":[]}}', 2, 'not "screen"'),
    ('{"do":"key","key":"F1"}', 2, '"key" needs "key"'),
    ('{"do":"input","n":7,"on":true}', 2, '"input" needs "n"'),
    ('{"expect":{"leds":[1,2,3,4]}}', 2, "must be a string"),
    ('# a comment\n\n{"do":"type","text":"1\\t2"}', 4, "no key for character 2"),
    ('{"do":"key","key":"1","after_ms":-5}', 2, '"after_ms"'),
], ids=["cut line", "unknown action", "bad regex", "short display", "unknown field", "unknown key",
        "input out of range", "matcher not text", "untypable character", "negative time"])
def test_bad_files_are_refused_whole_with_their_line(tmp_path, body, line, words):
    good = tmp_path / "good.jsonl"
    good.write_text(GOOD_HEADER + '\n{"expect":{"display":["",""]}}\n')
    bad = tmp_path / "bad.jsonl"
    bad.write_text(GOOD_HEADER + "\n" + body + "\n")
    result = replay([str(good), str(bad)], folder=str(tmp_path))
    assert result.returncode == 2
    assert result.report.startswith("ethernet: %s:%d: " % (bad, line)) and words in result.report, result.report
    assert result.output == ""  # nothing ran, not even the good file


def test_missing_header_bad_option_and_other_settings(tmp_path):
    headless = tmp_path / "no-header.jsonl"
    headless.write_text('# made by hand\n{"do":"key","key":"1"}\n')
    result = replay(str(headless), folder=str(tmp_path))
    assert result.returncode == 2 and "%s:2: the first line must be the header" % headless in result.report

    done = subprocess.run([BINARY, "--replay", str(headless), "--pace", "fast"], capture_output=True)
    assert done.returncode == 2 and b'--pace is "real"' in done.stderr

    # Recorded in VT100, replayed by a terminal set for Zorvane: stopped before the first step.
    (tmp_path / "Config.ini").write_text("[Config]\nConexao=1\nPorta=9\nEndereco=127.0.0.1\nProtocolo=1\n")
    vt100 = tmp_path / "vt100.jsonl"
    vt100.write_text('{"conversation":1,"program":"ethernet","settings":{"protocol":"vt100","role":"client"}}\n'
                     '{"expect":{"display":["",""]}}\n')
    result = replay(str(vt100), folder=str(tmp_path))
    assert result.returncode == 1
    assert 'recorded with protocol "vt100" (the terminal has "zorvane")' in result.report
    assert result.files[0]["met"] == 0


def test_recordings_are_new_files_and_end_whole_on_sigterm(tmp_path, hosts):
    host = hosts("vt100")
    folder = terminal_folder(tmp_path / "terminal", host.port, "vt100")
    (tmp_path / "terminal" / "kept.jsonl").write_text("mine\n")
    os.symlink("/etc/passwd", tmp_path / "terminal" / "link.jsonl")
    with ethernet_control.launch(folder=folder, extra_args=["--record", str(tmp_path / "headless.jsonl")]) as terminal:
        terminal.wait_display(r"5 LEDs")
        for name, code in (("kept.jsonl", "file_exists"), ("link.jsonl", "not_a_file")):
            with pytest.raises(ethernet_control.ControlError) as refused:
                terminal.record_start(name)
            assert refused.value.code == code
        assert terminal.record_start("kept.jsonl", replace=True)["file"] == os.path.join(folder, "kept.jsonl")
        for key in "45":  # the host echoes each key
            terminal.key(key)
            terminal.wait_display(r"Tecla: " + key)
        assert terminal.record_stop()["actions"] == 2
        with pytest.raises(ethernet_control.ControlError) as idle:
            terminal.record_stop()
        assert idle.value.code == "not_recording"
        terminal.key("0")
        terminal.wait_display(r"Ate logo!")
        assert terminal.process.stop() == 0  # SIGTERM
    assert open("/etc/passwd").read() != ""
    assert [line.get("do") for line in lines_of(os.path.join(folder, "kept.jsonl"))][1:] == [None, "key", None,
                                                                                               "key", None]
    # The run's own recording holds every action and ends with what was shown at the end.
    recorded = lines_of(str(tmp_path / "headless.jsonl"))
    assert [line["do"] for line in recorded if "do" in line] == ["key", "key", "key"]
    assert recorded[-1]["expect"]["display"][0] == "Ate logo!"


UNREACHED = "[Config]\r\nConexao=1\r\nPorta=9\r\nEndereco=127.0.0.1\r\nProtocolo=1\r\n"
# A file a person edited (a comment, matchers) whose last expectation never holds.
HAND_WRITTEN = [
    '{"conversation":1,"program":"ethernet","settings":{"protocol":"zorvane","role":"client"}}',
    "# written by hand: the first screen may show anything",
    '{"expect":{"display":[{"re":".*"},{"any":true}]}}',
    '{"do":"key","key":"1"}',
    '{"expect":{"display":["never shown",""]}}',
]


@pytest.mark.parametrize("there, line_end", [
    ("nothing", "\n"), ("nothing", "\r\n"), ("a file", "\n"), ("a link to FILE", "\n"),
    ("a link to FILE", "\r\n"), ("a link elsewhere", "\n"), ("a folder", "\n"),
])
def test_updated_copies_are_new_files_that_keep_the_line_ends(tmp_path, there, line_end):
    (tmp_path / "Config.ini").write_bytes(UNREACHED.encode())
    original = line_end.join(HAND_WRITTEN).encode() + line_end.encode()
    path = tmp_path / "hand.jsonl"
    path.write_bytes(original)
    new = tmp_path / "hand.jsonl.new"
    elsewhere = tmp_path / "elsewhere.txt"
    elsewhere.write_text("mine\n")
    if there == "a file":
        new.write_text("an older copy, longer than the new one " * 100)
    elif there == "a link to FILE":
        os.symlink("hand.jsonl", new)
    elif there == "a link elsewhere":
        os.symlink(elsewhere, new)
    elif there == "a folder":
        new.mkdir()

    result = replay(str(path), folder=str(tmp_path), step_timeout_ms=300, update=True)

    assert result.returncode == 1 and [m["line"] for m in result.mismatches] == [5], result.report
    assert path.read_bytes() == original and elsewhere.read_text() == "mine\n"
    if there.startswith("a link") or there == "a folder":
        refusal = "is a symbolic link" if there.startswith("a link") else "is a folder"
        assert f'ethernet: "{new}" {refusal}' in result.report, result.report
        assert result.new_files == [] and (new.is_symlink() or new.is_dir())
        return
    assert result.new_files == [str(new)]
    written = new.read_bytes().split(line_end.encode())
    assert written[-1] == b"" and all(not line.endswith(b"\r") and b"\n" not in line for line in written)
    assert written[:4] == [line.encode() for line in HAND_WRITTEN[:4]]
    assert json.loads(written[4])["expect"]["display"] != ["never shown", ""]


def test_a_replay_refuses_what_it_cannot_run_with_and_writes_nothing(tmp_path):
    good = tmp_path / "good.jsonl"
    good.write_text("\n".join(HAND_WRITTEN[:3]) + "\n")
    missing = tmp_path / "missing.jsonl"
    no_settings = 'ethernet: "%s" has no "Config.ini"; a replay takes the terminal\'s settings from it ' \
                  '(--folder DIR names another folder)' % tmp_path
    cases = [
        ([good], False, [no_settings]),
        ([missing], True, ["ethernet: cannot read %s: No such file or directory" % missing]),
        ([good, missing], False, ["ethernet: cannot read %s: No such file or directory" % missing, no_settings]),
    ]
    for files, settings, lines in cases:
        if settings:
            (tmp_path / "Config.ini").write_bytes(UNREACHED.encode())
        before = sorted(os.listdir(tmp_path))
        result = replay([str(f) for f in files], folder=str(tmp_path))
        assert (result.returncode, result.report.splitlines(), result.output) == (2, lines, ""), files
        assert sorted(os.listdir(tmp_path)) == before
        if settings:
            os.remove(tmp_path / "Config.ini")


@pytest.mark.parametrize("there, replace, status, says", [
    ("a file", False, 1, 'ethernet: --record: "{file}" exists; add --replace to write over it'),
    ("a link", True, 1, 'ethernet: cannot record the conversation: "{file}" is a symbolic link; links are never '
                        'written through'),
    ("a file", True, 0, None),
    ("nothing", False, 0, None),
])
def test_the_command_line_records_over_a_file_only_when_told(tmp_path, there, replace, status, says):
    (tmp_path / "Config.ini").write_bytes(UNREACHED.encode())
    target, kept = tmp_path / "take.jsonl", tmp_path / "kept.txt"
    kept.write_text("mine\n")
    if there == "a file":
        target.write_text("mine\n")
    elif there == "a link":
        os.symlink(kept, target)
    arguments = ["--record", str(target)] + (["--replace"] if replace else [])
    if status:
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        run = subprocess.run([BINARY, "--headless", "--folder", str(tmp_path), *arguments], capture_output=True,
                             env=env, timeout=30)
        assert (run.returncode, run.stderr.decode().splitlines()[-1]) == (status, says.format(file=target))
        assert kept.read_text() == "mine\n" and (there != "a file" or target.read_text() == "mine\n")
        return
    with ethernet_control.launch(folder=str(tmp_path), extra_args=arguments) as terminal:
        terminal.key("1")
        assert terminal.process.stop() == 0
    assert [line.get("do") for line in lines_of(str(target))] == [None, None, "key", None]
