"""Files a control client makes the program write: created new, an existing
file written over only when asked, a symbolic link never; and a trace that
cannot start leaves the one running as it was."""

import os

import pytest

import ethernet_control as ec
from conftest import ZORVANE, config


def refused(call):
    with pytest.raises(ec.ControlError) as error:
        call()
    return error.value.code


def test_trace_start_creates_new_files_only(host, tmp_path):
    mine = tmp_path / "mine.txt"
    mine.write_bytes(b"the user's own words\n")
    outside = tmp_path / "outside.txt"
    outside.write_bytes(b"elsewhere\n")
    os.symlink(outside, tmp_path / "link.txt")
    os.symlink(tmp_path / "gone.txt", tmp_path / "dangling.txt")
    os.mkfifo(tmp_path / "pipe")
    with ec.launch(config=config(host.port, ZORVANE), folder=str(tmp_path)) as t:
        host.accept()
        cases = [("mine.txt", False, "file_exists"), ("link.txt", False, "not_a_file"),
                 ("link.txt", True, "not_a_file"), ("dangling.txt", True, "not_a_file"),
                 ("pipe", True, "not_a_file"), (".", True, "not_a_file"),
                 ("no/such/folder/t.txt", True, "trace_failed")]
        for name, replace, code in cases:
            assert (name, refused(lambda: t.trace_start(file=name, replace=replace))) == (name, code)
        assert mine.read_bytes() == b"the user's own words\n"
        assert outside.read_bytes() == b"elsewhere\n"
        assert not (tmp_path / "gone.txt").exists()

        # A relative name lands in the working folder, new.
        assert t.trace_start(file="new.txt")["file"] == str(tmp_path / "new.txt")
        # Refusals do not end the trace that runs: it goes on and ends with its summary.
        for name, replace, code in cases:
            assert refused(lambda: t.trace_start(file=name, replace=replace)) == code
        assert t.trace_warnings()["running"]
        assert t.trace_stop()["running"] is False
        assert (tmp_path / "new.txt").read_text().splitlines()[-1].startswith("# ")

        # Asked for, a regular file is written over.
        assert t.trace_start(file="mine.txt", replace=True)["file"] == str(mine)
        t.trace_stop()
        assert b"the user's own words" not in mine.read_bytes()
        assert mine.read_text().startswith("#")
