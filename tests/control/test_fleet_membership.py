"""Terminals that come and go in a running program (fleet.add, fleet.remove),
the timed wait a load tool measures with, and the open-file limit of a large
fleet."""

import json
import os
import shutil
import subprocess
import threading
import time

import pytest

import ethernet_control as ec
from conftest import ZORVANE, config
from test_prometheus import http, metrics_port, samples
from test_fleet import accept_all, make_fleet, quiet, read_exactly

STX, ETX = b"\x02", b"\x03"


@pytest.fixture
def empty_fleet(tmp_path):
    folder = tmp_path / "fleet"
    folder.mkdir()
    process = ec.start(folder=str(folder), fleet=True, extra_args=["--metrics-listen", "127.0.0.1:0"])
    control = ec.connect(process.ready["control"])
    control.process = process
    yield folder, control
    control.close()
    process.stop()


def test_terminals_added_work_like_the_others_and_leave_no_trace(empty_fleet, host):
    folder, control = empty_fleet
    with pytest.raises(ec.ControlError) as nothing:
        control.state()
    assert nothing.value.code == "no_terminal"
    first = control.fleet_add(config(host.port, ZORVANE))
    second = control.fleet_add(config(host.port, ZORVANE), name="till-2")
    assert (first.name, second.name) == ("a0001", "till-2")
    conns = accept_all(host.server, 2)
    for terminal in (first, second):
        terminal.wait({"connected": True})
    assert [t["name"] for t in control.fleet()] == ["a0001", "till-2"]
    second.key("7")
    assert sorted(quiet(conn) for conn in conns) == [b"", b"7"]
    assert (folder / "till-2" / "Config.ini").is_file()

    # Removed: its connection closes, its folder goes; kept: the folder stays.
    reply = control.fleet_remove("a0001")
    assert reply == {"terminal": "a0001", "kept": False, "terminals": 1}
    assert not (folder / "a0001").exists()
    assert control.fleet_remove("till-2", keep=True)["kept"] is True
    assert (folder / "till-2" / "Config.ini").is_file()
    for conn in conns:
        conn.settimeout(10)
        while conn.recv(4096):
            pass  # every connection reaches its end
    with pytest.raises(ec.ControlError) as gone:
        control.terminal("till-2").key("1")
    assert gone.value.code == "no_terminal"
    # A name once used is free again after its folder went, but not while the folder stays.
    with pytest.raises(ec.ControlError) as taken:
        control.fleet_add(config(host.port, ZORVANE), name="till-2")
    assert taken.value.code == "name_taken"
    # The program's figures keep what the removed terminals did.
    text = http(metrics_port(control.process), b"GET /metrics HTTP/1.0\r\n\r\n").decode()
    found = samples(text.partition("\r\n\r\n")[2])
    assert found[("ethernet_sends_total", "")] == 1 and found[("ethernet_terminals", "")] == 0


@pytest.mark.parametrize("args,code", [
    ({}, "bad_argument"),
    ({"config": 5}, "bad_argument"),
    ({"config": "[Config]\n", "name": "../escape"}, "bad_argument"),
    ({"config": "[Config]\n", "name": ".hidden"}, "bad_argument"),
    ({"config": "[Config]\n", "name": "x" * 65}, "bad_argument"),
    ({"config": "x" * (64 * 1024 + 1)}, "bad_argument"),
], ids=["no config", "config not text", "a path", "a dot name", "a long name", "a config over 64 KiB"])
def test_bad_additions_are_refused_before_anything_is_made(empty_fleet, args, code):
    folder, control = empty_fleet
    with pytest.raises(ec.ControlError) as refused:
        control.request("fleet.add", **args)
    assert refused.value.code == code
    assert sorted(os.listdir(folder)) == ["control.sock", "stderr.txt"]


SCRIPT = "[Parametros]\nNumero_de_Inputs=1\n[Inputs]\n0=1234<CR>\n"


# A fleet of --make-fleet (t001, t002, each with a script) whose t002 is a
# link to a folder elsewhere ("@/"), and "till" added by fleet.add: what the
# test does to the member before removing it, whether its folder is kept, and
# what is there after the removal and what is not.
REMOVALS = [
    ("made by --make-fleet, with a recording", "t001",
     lambda fleet, elsewhere: (fleet / "t001" / "run.conversation.jsonl").write_text("{}\n"),
     True, ["t001/Config.ini", "t001/Digitacoes.ini", "t001/run.conversation.jsonl"], []),
    ("a link to a folder elsewhere", "t002", None, True, ["t002", "@/Config.ini", "@/Digitacoes.ini"], []),
    ("added, then given a script", "till", lambda fleet, elsewhere: (fleet / "till" / "Digitacoes.ini").write_text(SCRIPT),
     True, ["till/Digitacoes.ini"], ["till/Config.ini"]),
    ("added, then replaced by a link", "till",
     lambda fleet, elsewhere: (shutil.rmtree(fleet / "till"), os.symlink(elsewhere, fleet / "till")),
     False, ["@/Config.ini", "@/Digitacoes.ini"], ["till"]),
    ("added as it was made", "till", None, False, [], ["till"]),
]


@pytest.mark.parametrize("name,then,kept,there,gone", [r[1:] for r in REMOVALS], ids=[r[0] for r in REMOVALS])
def test_removal_takes_away_only_what_the_run_made(binary, tmp_path, host, name, then, kept, there, gone):
    cfg = config(host.port, ZORVANE)
    fleet = make_fleet(binary, tmp_path, 2, cfg, extra_files={"Digitacoes.ini": SCRIPT})
    elsewhere = tmp_path / "elsewhere"
    shutil.move(fleet / "t002", elsewhere)
    os.symlink(elsewhere, fleet / "t002")
    process = ec.start(folder=str(fleet), fleet=True)
    control = ec.connect(process.ready["control"])
    try:
        if name == "till":
            control.fleet_add(cfg, name=name)
        if then:
            then(fleet, elsewhere)
        assert control.fleet_remove(name)["kept"] is kept
        assert process.popen.poll() is None
    finally:
        control.close()
        process.stop()
    place = lambda path: elsewhere / path[2:] if path.startswith("@/") else fleet / path  # noqa: E731
    assert [p for p in there if not os.path.lexists(place(p))] == []
    assert [p for p in gone if os.path.lexists(place(p))] == []
    assert (elsewhere / "Digitacoes.ini").read_text() == SCRIPT


def test_automatic_names_step_over_whatever_the_folder_holds(empty_fleet, host):
    folder, control = empty_fleet
    # A link to nothing is a name taken, though nothing is there to open.
    os.symlink(folder / "nowhere", folder / "a0001")
    (folder / "a0002").write_text("a user's file")
    with pytest.raises(ec.ControlError) as taken:
        control.fleet_add(config(host.port, ZORVANE), name="a0001")
    assert taken.value.code == "name_taken"
    assert control.fleet_add(config(host.port, ZORVANE)).name == "a0003"
    assert os.readlink(folder / "a0001") == str(folder / "nowhere")
    assert (folder / "a0002").read_text() == "a user's file"
    assert (folder / "a0003" / "Config.ini").is_file()


def test_two_programs_adding_to_one_folder_keep_each_others_terminals(tmp_path, host):
    folder = tmp_path / "fleet"
    folder.mkdir()
    programs = [ec.start(folder=str(folder), fleet=True, control=f"unix:{tmp_path / f'p{i}.sock'}")
                for i in range(2)]
    cfg = config(host.port, ZORVANE)
    added = [[], []]
    failures = []
    ready = threading.Barrier(2)

    def add_many(i):
        control = ec.connect(programs[i].ready["control"])
        try:
            ready.wait()
            for _ in range(150):
                added[i].append(control.fleet_add(cfg).name)
        except Exception as error:  # noqa: BLE001 - reported below
            failures.append(repr(error))
        finally:
            control.close()

    threads = [threading.Thread(target=add_many, args=(i,)) for i in range(2)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
        assert failures == []
        assert [p.popen.poll() for p in programs] == [None, None]
        assert set(added[0]).isdisjoint(added[1]) and len(set(added[0] + added[1])) == 300
        assert [n for n in added[0] + added[1] if not (folder / n / "Config.ini").is_file()] == []
    finally:
        statuses = [p.stop() for p in programs]
    assert statuses == [0, 0]


def test_figures_keep_the_terminals_that_left(tmp_path, host):
    folder = tmp_path / "fleet"
    folder.mkdir()
    figures = tmp_path / "figures.json"
    process = ec.start(folder=str(folder), fleet=True, extra_args=["--metrics", str(figures)])
    control = ec.connect(process.ready["control"])
    try:
        # Two users come, are answered once each and leave; a third stays and sends nothing.
        for name in ("u1", "u2"):
            user = control.fleet_add(config(host.port, ZORVANE), name=name)
            conn = host.accept()
            user.wait({"connected": True})
            mark = user.seq
            user.key("A")
            assert read_exactly(conn, 1) == b"A"
            conn.sendall(STX + b"DHELLO" + ETX)
            user.wait({"display": "HELLO"}, after_seq=mark)
            control.fleet_remove(name)
            conn.close()
        control.fleet_add(config(host.port, ZORVANE), name="u3")
        live = control.metrics()
    finally:
        control.close()
        assert process.stop() == 0
    written = json.loads(figures.read_text())
    for figures_ in (live, written):
        whole = figures_["fleet"]
        assert (whole["terminals"], whole["terminals_removed"]) == (1, 2)
        assert whole["response_ms"]["count"] == 2 and whole["sends"] == 2
        assert [t["name"] for t in figures_["terminals"]] == ["u3"]
        removed = figures_["removed"]
        assert removed["terminals"] == 2 and removed["response_ms"]["count"] == 2 and removed["sends"] == 2


def test_removing_what_is_not_there_is_refused(empty_fleet):
    _, control = empty_fleet
    for args in ({}, {"terminal": "nobody"}, {"terminal": 3}):
        with pytest.raises(ec.ControlError) as refused:
            control.request("fleet.remove", **args)
        assert refused.value.code == "bad_argument"


@pytest.mark.parametrize("option,file,says", [
    ("--record", "kept.conversation.jsonl", '{"conversation":1'),
    ("--trace", "kept.trace", "# summary: "),
], ids=["record", "trace"])
def test_the_terminal_an_option_of_the_run_holds_is_not_removed(tmp_path, host, option, file, says):
    # --record and --trace hold the one terminal of the run until it ends.
    with ec.launch(config=config(host.port, ZORVANE), folder=str(tmp_path),
                   extra_args=[option, str(tmp_path / file)]) as terminal:
        name = terminal.state().get("name") or os.path.basename(str(tmp_path))
        with pytest.raises(ec.ControlError) as refused:
            terminal.request("fleet.remove", terminal=name)
        assert refused.value.code == "bad_argument" and option in refused.value.message
        terminal.key("1")
        assert terminal.process.popen.poll() is None
        process = terminal.process
    # The run ended cleanly, and the file is whole.
    assert process.popen.returncode == 0
    assert says in (tmp_path / file).read_text()


def test_a_timed_wait_runs_from_the_first_send_to_the_condition(empty_fleet, host):
    _, control = empty_fleet
    terminal = control.fleet_add(config(host.port, ZORVANE))
    conn = host.accept()
    terminal.wait({"connected": True})
    with pytest.raises(ec.ControlError) as needs_mark:
        terminal.wait({"display": "x"}, timed=True)
    assert needs_mark.value.code == "bad_argument"
    mark = terminal.seq
    terminal.key("A")
    read_exactly(conn, 1)
    time.sleep(0.2)  # the host takes its time
    conn.sendall(STX + b"DPRONTO" + ETX)
    reply = terminal.wait({"display": "PRONTO"}, after_seq=mark, timed=True)
    assert reply["from"] == "send" and reply["elapsed_us"] >= 200_000
    # Nothing sent since the mark: the time runs from the wait itself.
    assert terminal.wait({"display": "PRONTO"}, after_seq=terminal.seq, timed=True)["from"] == "wait"


def test_a_fleet_too_large_for_the_open_file_limit_is_refused_before_it_starts(binary, tmp_path, host):
    folder = make_fleet(binary, tmp_path, 80, config(host.port, ZORVANE))
    run = subprocess.run(["bash", "-c", f"ulimit -n 64 && exec {binary} --headless --fleet {folder}"],
                         capture_output=True, timeout=30)
    assert run.returncode == 1
    assert b"80 terminals need about 176 open files, and this process may open 64" in run.stderr
    host.server.settimeout(0.5)
    with pytest.raises(OSError):
        host.server.accept()  # no terminal called


# (the fleet folder, what it holds, --count, exit status, what standard error says, terminal folders after)
MAKE_FLEET_CASES = [
    ("shop", "a fleet of 12 made before", 1000, 2,
     '--make-fleet: "{dir}" already holds 12 terminal folder(s) (t001 ... t012)', 12),
    ("shop", "a fleet of 12 made before", 12, 2, '--make-fleet: "{dir}" already holds 12 terminal folder(s)', 12),
    ("hand", "a terminal folder made by hand", 3, 2,
     '--make-fleet: "{dir}" already holds 1 terminal folder(s) (till-2)', 1),
    ("notes", "a folder that is no terminal", 3, 0, "", 3),
    ("file", "nothing: it is a file", 3, 2, '--make-fleet: "{dir}" is not a folder', 0),
    ("big", "nothing", 10001, 2, "--count is a number from 1 to 10000", 0),
]


@pytest.mark.parametrize("name, holds, count, status, says, after", MAKE_FLEET_CASES,
                         ids=[f"{c[1]}, --count {c[2]}" for c in MAKE_FLEET_CASES])
def test_make_fleet_adds_to_no_fleet(binary, tmp_path, name, holds, count, status, says, after):
    source = tmp_path / "Config.ini"
    source.write_text(config(1, ZORVANE))
    folder = tmp_path / name

    def make(n):
        return subprocess.run([binary, "--make-fleet", str(folder), "--count", str(n), "--from", str(source)],
                              capture_output=True, text=True, timeout=120)

    if name == "shop":
        assert make(12).returncode == 0
    elif name == "hand":
        (folder / "till-2").mkdir(parents=True)
        (folder / "till-2" / "Config.ini").write_text(config(1, ZORVANE))
    elif name == "notes":
        (folder / "notes").mkdir(parents=True)
    elif name == "file":
        folder.write_text("not a folder")
    run = make(count)
    assert run.returncode == status, run.stderr
    if status:
        lines = run.stderr.splitlines()
        assert len(lines) == 2 and lines[0].startswith("ethernet: " + says.format(dir=folder)), run.stderr
        assert lines[1] == "Try 'ethernet --help' for more information."
    terminals = [d for d in folder.iterdir() if (d / "Config.ini").is_file()] if folder.is_dir() else []
    assert len(terminals) == after


