"""ethernet_control.samples finds the samples folder beside the prefix the
package is installed under, or in the source tree it is imported from, and
only a folder that holds the sample host."""

import os
import shutil
import subprocess
import sys

import pytest

PACKAGE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "ethernet_control"))
DOC = os.path.join("share", "doc", "ethernet-terminal-emulator", "samples")


@pytest.mark.parametrize("site, samples, found", [
    ("usr/lib/python3/dist-packages", "usr/" + DOC, "usr/" + DOC),                      # the Debian package
    ("opt/e/lib/python3.11/dist-packages", "opt/e/" + DOC, "opt/e/" + DOC),          # make install PREFIX=/opt/e
    ("venv/lib/python3.11/site-packages", "venv/" + DOC, "venv/" + DOC),
    ("src/clients/python", "src/samples", "src/samples"),                             # PYTHONPATH=clients/python
    ("opt/e/lib/python3/dist-packages", "opt/e/share/doc/other/samples", None),       # not its folder
    ("opt/e/lib/python3/dist-packages", None, None),                                  # none at all
])
def test_the_samples_folder_is_found_where_the_package_lives(tmp_path, site, samples, found):
    package = tmp_path / site / "ethernet_control"
    shutil.copytree(PACKAGE, package, ignore=shutil.ignore_patterns("__pycache__"))
    if samples:
        (tmp_path / samples / "demo").mkdir(parents=True)
        (tmp_path / samples / "shopfloor_host.py").write_text("")
    run = subprocess.run([sys.executable, "-m", "ethernet_control.samples"], capture_output=True, text=True,
                         cwd=tmp_path, env=dict(os.environ, PYTHONPATH=str(tmp_path / site),
                                                PYTHONDONTWRITEBYTECODE="1"))
    if found:
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() == str(tmp_path / found)
    else:
        # Only the system's own folders may answer then, never the one beside this copy.
        assert str(tmp_path) not in run.stdout
        assert run.returncode == 0 or "FileNotFoundError" in run.stderr


def test_a_sample_that_is_not_there_is_named(tmp_path, monkeypatch):
    sys.path.insert(0, os.path.dirname(PACKAGE))
    from ethernet_control import samples

    monkeypatch.setattr(samples, "_candidates", lambda: [str(tmp_path)])
    (tmp_path / "shopfloor_host.py").write_text("")
    assert samples.path("shopfloor_host.py") == str(tmp_path / "shopfloor_host.py")
    with pytest.raises(FileNotFoundError, match="locustfile.py"):
        samples.path("locustfile.py")
    monkeypatch.setattr(samples, "_candidates", lambda: [str(tmp_path / "nowhere")])
    with pytest.raises(FileNotFoundError, match="nowhere"):
        samples.folder()
