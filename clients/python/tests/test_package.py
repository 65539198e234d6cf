"""The package as a user installs it from the source tree: pip with Debian's
setuptools, offline, into a virtual environment; then the import, the
commands and the pytest plugin come from the installed copy."""

import os
import shutil
import subprocess
import sys

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))


def test_pip_installs_the_package_offline_with_its_command_and_plugin(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(SOURCE, source, ignore=shutil.ignore_patterns("__pycache__", "tests", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONPATH", None)
    install = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-cache-dir", str(source)],
                             capture_output=True, text=True, env=env, cwd=tmp_path)
    assert install.returncode == 0, install.stdout + install.stderr

    def run(*command):
        result = subprocess.run(command, capture_output=True, text=True, env=env, cwd=tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr
        return result.stdout

    where = run(python, "-c", "import ethernet_control.cli, ethernet_control.pytest_plugin as p; print(p.__file__)")
    assert where.strip().startswith(str(venv))
    assert run(str(venv / "bin" / "ethernet-ctl"), "--help").startswith("usage: ethernet-ctl")
    assert run(str(venv / "bin" / "ethernet-trace-to-pcapng"), "--help").startswith("usage: ethernet-trace-to-pcapng")
    plugin_help = run(python, "-m", "pytest", "--help", "-p", "no:cacheprovider")
    for option in ("--ethernet-binary", "--ethernet-traces", "--ethernet-trace-format"):
        assert option in plugin_help
    assert "typed" in run(python, "-c", "import importlib.resources as r; "
                                        "print('typed' if r.files('ethernet_control').joinpath('py.typed').is_file() else '')")
