"""The manual (README.md and every page of docs/): its examples run as a
reader of the installed package pastes them, its contents lists and links
lead where they say.

Every fenced block names what it is:
- ```python and ```sh blocks are run exactly as written, each on its own, by
  /usr/bin/python3 and by `sh -e`, against the program as installed: the
  build tree is installed into a temporary prefix (cmake --install), whose
  bin/ comes first on the PATH (before /usr/bin and /bin, nothing else) and
  whose Python package is on PYTHONPATH; the home is a scratch folder with
  the installed Wireshark dissector among its personal plugins; the block
  runs in an empty temporary folder. Nothing of the source tree is reachable,
  so a block that reaches for samples/ or clients/python fails. Whatever else
  a block needs (a host, a "Config.ini", a port) it makes itself. Each has a
  time limit; a failure names the page and the block's line.
- ```text and ```console blocks are shown, not run: install and build
  commands, syntax summaries, output, runs that last until they are stopped.
- ```example blocks of the host guide are run by the test ui.tst_host_guide.
A block without one of these is itself a failure.

The build tree is ETHERNET_BUILD_DIR (ctest sets it), else the folder above
ETHERNET_BINARY that holds CMakeCache.txt, else build/ of the source tree.
"""

import glob
import os
import re
import shutil
import signal
import subprocess
import unicodedata

import pytest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PAGES = ["README.md"] + sorted(os.path.relpath(p, SOURCE) for p in glob.glob(os.path.join(SOURCE, "docs", "*.md")))
RUNNERS = {"python": ["/usr/bin/python3"], "sh": ["/bin/sh", "-e"]}
SHOWN = {"text", "console"}
CHECKED_ELSEWHERE = {"docs/host-guide.md": {"example"}}
# Pages whose contents list is their numbered sections (kept as they are).
WITHOUT_CONTENTS = {"README.md", "docs/host-guide.md"}
TIME_LIMIT = 120
PACKAGE = "ethernet-terminal-emulator"


def read(page):
    with open(os.path.join(SOURCE, page), encoding="utf-8") as f:
        return f.read()


def blocks(page):
    """(line of the opening fence, language, text) of every fenced block of a page."""
    found, opened, language, body = [], None, "", []
    for number, line in enumerate(read(page).splitlines(keepends=True), 1):
        fence = re.match(r"^```(.*)$", line.rstrip("\n"))
        if fence and opened is None:
            opened, language, body = number, fence.group(1).strip(), []
        elif fence and not fence.group(1).strip():
            found.append((opened, language, "".join(body)))
            opened = None
        elif opened is not None:
            body.append(line)
    assert opened is None, f"{page} line {opened}: a block is never closed"
    return found


def prose(page):
    """The page without its fenced blocks, for headings and links."""
    return re.sub(r"^```.*?^```[ \t]*$", "", read(page), flags=re.S | re.M)


def anchor(heading):
    """The anchor a heading gets on the web: lower case, punctuation dropped, spaces as hyphens."""
    text = re.sub(r"[`*_]|\[([^\]]*)\]\([^)]*\)", r"\1", heading).strip().lower()
    text = "".join(c for c in text if c in " -" or unicodedata.category(c)[0] in "LN")
    return text.replace(" ", "-")


def headings(page, level=None):
    marks = "#" * level + " " if level else "#"
    return [m.group(2) for m in re.finditer(r"^(#+) (.*)$", prose(page), re.M)
            if level is None or m.group(1) + " " == marks]


BLOCKS = [(page, *block) for page in PAGES for block in blocks(page)]
RUN = [b for b in BLOCKS if b[2] in RUNNERS]


def test_every_block_says_whether_it_runs():
    unnamed = [f"{page} line {line}: ```{language}" for page, line, language, _ in BLOCKS
               if language not in RUNNERS and language not in SHOWN
               and language not in CHECKED_ELSEWHERE.get(page, ())]
    assert unnamed == [], "blocks must be ```python, ```sh (run) or ```text, ```console (shown)"
    assert {page for page, *_ in RUN} >= {"README.md", "docs/automating.md", "docs/pytest.md"}, \
        "the manual's main pages offer an example to run"


def test_no_block_reaches_into_the_source_tree():
    reaching = [f"{page} line {line}" for page, line, language, text in RUN
                if re.search(r"sys\.path|clients/python|(?<![\w$/.-])(samples|tools)/", text)]
    assert reaching == [], "run blocks use the installed program, package and samples"


@pytest.mark.parametrize("page", sorted(set(PAGES) - WITHOUT_CONTENTS))
def test_the_contents_list_names_every_section(page):
    text = prose(page)
    listed = re.search(r"^## Contents\n\n((?:- .*\n)+)", text, re.M)
    assert listed, f"{page} has no '## Contents' list right under its introduction"
    entries = re.findall(r"^- \[(.*)\]\(#(.*)\)$", listed.group(1), re.M)
    sections = [h for h in headings(page, 2) if h != "Contents"]
    assert [a for _, a in entries] == [anchor(h) for h in sections], f"{page}: the contents list and the sections"


def test_every_link_between_pages_leads_somewhere():
    broken = []
    for page in PAGES:
        for target in re.findall(r"\]\(([^)\s]+)\)", prose(page)):
            if re.match(r"[a-z]+:", target):
                continue
            file, _, fragment = target.partition("#")
            linked = os.path.normpath(os.path.join(os.path.dirname(page), file)) if file else page
            if not os.path.isfile(os.path.join(SOURCE, linked)):
                broken.append(f"{page}: {target} (no such file)")
                continue
            if fragment and linked.endswith(".md") and fragment not in {anchor(h) for h in headings(linked)}:
                broken.append(f"{page}: {target} (no such section)")
    assert broken == []


def build_tree():
    named = os.environ.get("ETHERNET_BUILD_DIR")
    if named:
        return named
    binary = os.environ.get("ETHERNET_BINARY")
    folder = os.path.dirname(os.path.abspath(binary)) if binary else None
    while folder and folder != os.path.dirname(folder):
        if os.path.isfile(os.path.join(folder, "CMakeCache.txt")):
            return folder
        folder = os.path.dirname(folder)
    return os.path.join(SOURCE, "build")


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """The build tree installed into a temporary prefix, and a home whose
    personal Wireshark plugins hold the installed dissector."""
    build = build_tree()
    assert os.path.isfile(os.path.join(build, "CMakeCache.txt")), f"no build tree at {build}: run make build"
    prefix = tmp_path_factory.mktemp("prefix")
    run = subprocess.run(["cmake", "--install", build, "--prefix", str(prefix)], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    sites = glob.glob(str(prefix / "lib" / "python3*" / "dist-packages"))
    assert len(sites) == 1 and os.path.isfile(os.path.join(sites[0], "ethernet_control", "__init__.py")), sites
    assert os.access(prefix / "bin" / "ethernet", os.X_OK)
    assert os.path.isdir(prefix / "share" / "doc" / PACKAGE / "samples")
    home = tmp_path_factory.mktemp("home")
    plugins = home / ".local" / "lib" / "wireshark" / "plugins"
    plugins.mkdir(parents=True)
    for lua in glob.glob(str(prefix / "lib" / "**" / "wireshark" / "plugins" / "*.lua"), recursive=True):
        shutil.copy(lua, plugins)
    return {"prefix": str(prefix), "site": sites[0], "home": str(home)}


@pytest.mark.parametrize("page, line, language, text", RUN, ids=[f"{b[0]}:{b[1]}" for b in RUN])
def test_the_block_runs_as_written(installed, tmp_path, page, line, language, text):
    script = tmp_path.parent / f"{tmp_path.name}-block.{'py' if language == 'python' else 'sh'}"
    script.write_text(text)
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "ETHERNET_BINARY", "ETHERNET_BUILD_DIR", "PYTHONPATH",
                        "XDG_DATA_HOME", "XDG_CONFIG_HOME", "ETHERNET_CONTROL", "ETHERNET_TOKEN")}
    env.update(PATH=os.pathsep.join([os.path.join(installed["prefix"], "bin"), "/usr/bin", "/bin"]),
               PYTHONPATH=installed["site"], HOME=installed["home"], PYTHONDONTWRITEBYTECODE="1")
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
    assert failure is None, (f"{page} line {line} (```{language}) {failure}:\n"
                             + output.decode(errors="replace")[-4000:])
