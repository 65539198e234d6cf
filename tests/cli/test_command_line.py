"""The program's command line as a user meets it: a wrong option is named in
one line followed by where the usage is, with status 2; what cannot be opened
is named, with status 1; and without a display server the windowed run says
so instead of aborting."""

import os
import socket
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients", "python"))

import ethernet_control  # noqa: E402

TRY_HELP = "Try 'ethernet --help' for more information."
NO_DISPLAY = "no display found (DISPLAY and WAYLAND_DISPLAY are not set); --headless runs without one"

# (arguments, environment, status, the lines on standard error); "{tmp}" is a
# fresh folder, "{file}" a file in it; environment "bare" has no display
# server, "offscreen" Qt's offscreen platform and no display server either.
CASES = [
    (["--fly"], "bare", 2, ["ethernet: Unknown option 'fly'.", TRY_HELP]),
    (["--folder"], "bare", 2, ["ethernet: Missing value after '--folder'.", TRY_HELP]),
    (["--headless", "--equipment", "printer"], "bare", 2,
     ['ethernet: --equipment is "terminal" or "comutadora", not "printer"', TRY_HELP]),
    (["--equipment", "terminal"], "bare", 2,
     ["ethernet: --equipment needs --headless (with windows the chooser asks)", TRY_HELP]),
    (["--headless", "extra"], "bare", 2, ['ethernet: unexpected argument "extra"', TRY_HELP]),
    (["--headless", "--folder", "/no/such/folder"], "bare", 2,
     ['ethernet: --folder: "/no/such/folder" does not exist', TRY_HELP]),
    (["--headless", "--folder", "{file}"], "bare", 2, ['ethernet: --folder: "{file}" is not a folder', TRY_HELP]),
    (["--headless", "--fleet", "/no/such/fleet"], "bare", 2,
     ['ethernet: --fleet: "/no/such/fleet" does not exist', TRY_HELP]),
    *[(["--headless", "--folder", "{tmp}", "--control", spec], "bare", 2,
       [f'ethernet: --control is unix:PATH or tcp:PORT (PORT from 0 to 65535), not "{spec}"', TRY_HELP])
      for spec in ("udp:5000", "unix:", "tcp:", "tcp:70000", "tcp:-1", "/tmp/x.sock")],
    (["--headless", "--folder", "{tmp}", "--control", "unix:/no/such/dir/x.sock"], "bare", 1,
     ["ethernet: cannot listen on /no/such/dir/x.sock: the folder /no/such/dir does not exist"]),
    # With windows: no display server is one line and status 1 ...
    ([], "bare", 1, ["ethernet: " + NO_DISPLAY]),
    (["--folder", "{tmp}"], "bare", 1, ["ethernet: " + NO_DISPLAY]),
    # ... while a platform chosen with QT_QPA_PLATFORM is left to Qt.
    (["--folder", "{tmp}", "--control", "unix:/no/such/dir/x.sock"], "offscreen", 1,
     ["ethernet: cannot listen on /no/such/dir/x.sock: the folder /no/such/dir does not exist"]),
    # Options that need no display work without one.
    (["--version"], "bare", 0, []),
]


@pytest.mark.parametrize("arguments, environment, status, lines", CASES,
                         ids=[" ".join(case[0]) or "no option" for case in CASES])
def test_the_command_line_names_what_is_wrong(tmp_path, arguments, environment, status, lines):
    work = tmp_path / "work"
    work.mkdir()
    afile = tmp_path / "plain.txt"
    afile.write_text("not a folder")
    fill = lambda text: text.replace("{tmp}", str(work)).replace("{file}", str(afile))  # noqa: E731
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET",
                                                             "QT_QPA_PLATFORM")}
    if environment == "offscreen":
        env["QT_QPA_PLATFORM"] = "offscreen"
        # Qt's own remark on a missing runtime folder is not the program's message.
        env["XDG_RUNTIME_DIR"] = str(tmp_path / "runtime")
        os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)
    run = subprocess.run([ethernet_control.find_binary(), *map(fill, arguments)], capture_output=True, env=env,
                         cwd=work, timeout=30)
    assert (run.returncode, run.stderr.decode().splitlines()) == (status, [fill(line) for line in lines])


def test_an_unknown_key_name_lists_the_names_there_are():
    host = socket.create_server(("127.0.0.1", 0))
    config = f"[Config]\nConexao=1\nEndereco=127.0.0.1\nProtocolo=0\nPorta={host.getsockname()[1]}\n"
    with host, ethernet_control.launch(config=config) as terminal:
        with pytest.raises(ethernet_control.ControlError) as refused:
            terminal.key("F1")
    assert refused.value.code == "bad_argument"
    assert ('no key is called "F1"; the keys are "0".."9", "A".."Z", "Space", ",", ".", "Del", "Enter" and "Back"'
            == refused.value.message)
