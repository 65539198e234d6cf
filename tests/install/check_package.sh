#!/usr/bin/env bash
# The Debian package as a user gets it: built from this build tree with CPack,
# unpacked into a scratch root, its name, version and declared dependencies
# read back, the installed program run, and its desktop entry, AppStream
# metadata and manual page checked with the tools a distribution uses; then the
# Python package, its pytest plugin and ethernet-ctl as Debian's python3 finds
# them, the Wireshark dissector where Wireshark reads it with
# ethernet-trace-to-pcapng, and the manual with its samples and the copyright
# file where Debian keeps them.
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)

build=$1
version=2.0.0.16
name=ethernet-terminal-emulator
app_id=io.github.ethernet_emulator.Ethernet

scratch=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  fail "cpack could not build the package"
fi
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one package, found: ${debs[*]}"
deb=${debs[0]}
case $(basename "$deb") in
  "${name}_${version}_"*.deb) ;;
  *) fail "package file $(basename "$deb")" ;;
esac
[ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"

# What apt-get must pull in on a clean system: the libraries the program links
# and the Qt platform plugins it loads for its windows.
depends=$(dpkg-deb -f "$deb" Depends)
depend_names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for needed in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 \
              libqt6serialport6 libjpeg62-turbo qt6-qpa-plugins; do
  grep -qxF -- "$needed" <<<"$depend_names" || fail "Depends lacks $needed: $depends"
done
grep -qxF python3 <<<"$depend_names" || fail "Depends lacks python3: $depends"
suggests=$(dpkg-deb -f "$deb" Suggests)
tr ',' '\n' <<<"$suggests" | awk '{print $1}' | grep -qxF python3-pytest || fail "Suggests lacks python3-pytest: $suggests"
if dpkg-deb -f "$deb" Description | grep -q '^ *;'; then fail "the description has stray list separators"; fi

root=$scratch/root
dpkg -x "$deb" "$root"
dpkg-deb -e "$deb" "$scratch/control"
for script in postinst prerm; do
  [ -x "$scratch/control/$script" ] && sh -n "$scratch/control/$script" || fail "package script $script"
done
program=$root/usr/bin/ethernet
[ -x "$program" ] || fail "no /usr/bin/ethernet in the package"
[ "$("$program" --version)" = "ethernet $version" ] || fail "ethernet --version printed: $("$program" --version)"

desktop=$root/usr/share/applications/$app_id.desktop
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$app_id.svg" ] || fail "no icon named after the entry's Icon="
grep -qx "Icon=$app_id" "$desktop" || fail "desktop entry Icon"
desktop-file-validate "$desktop"
appstreamcli validate --no-net "$metainfo"
# Every file of the package belongs to root, and nothing lies outside /usr.
dpkg-deb -c "$deb" >"$scratch/contents"
awk '$2 != "root/root" { print; bad = 1 } END { exit bad }' "$scratch/contents" || fail "files not owned by root/root"
awk '{ print $6 }' "$scratch/contents" | grep -v -e '^\./$' -e '^\./usr/' && fail "files outside /usr"

# The manual as in the source tree, README.md with docs/ beside it, the
# samples its examples use, and the copyright file in Debian's format.
doc=$root/usr/share/doc/$name
[ -f "$doc/README.md" ] || fail "no README.md in $doc"
cmp -s "$doc/README.md" "$source/README.md" || fail "$doc/README.md is not the source tree's"
for page in "$source"/docs/*.md; do
  cmp -s "$doc/docs/$(basename "$page")" "$page" || fail "no docs/$(basename "$page") in $doc"
done
[ -x "$doc/samples/shopfloor_host.py" ] || fail "no sample host"
[ -f "$doc/samples/demo/Config.ini" ] || fail "no demo folder"
[ -f "$doc/samples/locustfile.py" ] || fail "no locustfile"
/usr/bin/python3 - "$doc/copyright" <<'PY' || fail "copyright is not in Debian's machine-readable format"
import re, sys
paragraphs = [p for p in re.split(r"\n\s*\n", open(sys.argv[1], encoding="utf-8").read()) if p.strip()]
def fields(paragraph):
    found = {}
    for line in paragraph.splitlines():
        if not line.startswith((" ", "\t")):
            key, _, value = line.partition(":")
            found[key] = value.strip()
    return found
header, *rest = map(fields, paragraphs)
assert header.get("Format") == "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/", header
files = [p for p in rest if "Files" in p]
assert files and files[0]["Files"] == "*", "the first Files paragraph covers everything"
texts = {p["License"] for p, text in zip(rest, paragraphs[1:]) if "Files" not in p and "License" in p
         and len(text.strip().splitlines()) > 1}
for paragraph in files:
    assert paragraph.get("Copyright") and paragraph.get("License"), paragraph
    assert paragraph["License"] in texts, f"no text for the license {paragraph['License']}"
PY

# The manual page renders without a warning and names every option.
manpage=$root/usr/share/man/man1/ethernet.1
man --warnings -l "$manpage" >"$scratch/man.txt" 2>"$scratch/man.warnings" || fail "man failed"
[ ! -s "$scratch/man.warnings" ] || { cat "$scratch/man.warnings"; fail "manual page warnings"; }
for option in --headless --folder --user-folder --equipment --control --help --version; do
  grep -q -- "$option" "$scratch/man.txt" || fail "manual page lacks $option"
done

# Started from the menu the program works in the per-user data folder, which
# it creates; it is ready (its control interface announced) once "Config.ini"
# is loaded there.
exec_line=$(grep '^Exec=' "$desktop")
[ "$exec_line" = "Exec=ethernet --user-folder" ] || fail "desktop entry $exec_line"
XDG_DATA_HOME=$scratch/data "$program" --headless --user-folder \
  --control "unix:$scratch/control.sock" >"$scratch/ready" 2>"$scratch/stderr" </dev/null &
pid=$!
for _ in $(seq 300); do
  [ -s "$scratch/ready" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
grep -q '"ready"' "$scratch/ready" || { cat "$scratch/stderr"; fail "the installed program did not start headless"; }
[ -f "$scratch/data/ethernet/Config.ini" ] || fail "no Config.ini in the per-user folder"

# The Python package where Debian's python3 reads it, with the .dist-info that
# registers the pytest plugin and the command; nothing from the source tree.
site=$root/usr/lib/python3/dist-packages
python=/usr/bin/python3
export PYTHONPATH=$site PYTHONDONTWRITEBYTECODE=1
[ -f "$site/ethernet_control/py.typed" ] || fail "no ethernet_control in $site"
entry_points=$(cat "$site"/ethernet_control-"$version".dist-info/entry_points.txt) || fail "no .dist-info of version $version"
grep -qx '\[pytest11\]' <<<"$entry_points" || fail "no pytest11 entry point"
imported=$(cd "$scratch" && "$python" -c "import ethernet_control, ethernet_control.pytest_plugin; print(ethernet_control.__file__)")
[ "$imported" = "$site/ethernet_control/__init__.py" ] || fail "import ethernet_control found $imported"
plugin_help=$(cd "$scratch" && "$python" -m pytest --help -p no:cacheprovider)
for option in --ethernet-binary --ethernet-traces; do
  grep -q -- "$option" <<<"$plugin_help" || fail "pytest --help does not list $option"
done

# ethernet-ctl: its help, its manual page, and a request to the program above.
ctl=$root/usr/bin/ethernet-ctl
"$ctl" --help >"$scratch/ctl-help" || fail "ethernet-ctl --help failed"
grep -q '^usage: ethernet-ctl' "$scratch/ctl-help" || fail "ethernet-ctl --help printed: $(cat "$scratch/ctl-help")"
man --warnings -l "$root/usr/share/man/man1/ethernet-ctl.1" >"$scratch/ctl-man.txt" 2>"$scratch/ctl-man.warnings" \
  || fail "man ethernet-ctl failed"
[ ! -s "$scratch/ctl-man.warnings" ] || { cat "$scratch/ctl-man.warnings"; fail "ethernet-ctl manual page warnings"; }
# The manual pages of ethernet and ethernet-ctl lead to the manual, and every
# file of it that a manual page names is in the package.
for page in "$root"/usr/share/man/man1/*.1; do
  named=$(sed 's/\\-/-/g' "$page" | grep -o -e '/usr/share/doc/[^ ]*' -e '[a-z-]*\.md' | sed 's/[.,;)]*$//' | sort -u || true)
  case $(basename "$page") in
    ethernet.1 | ethernet-ctl.1) [ -n "$named" ] || fail "$(basename "$page") names no page of the manual" ;;
  esac
  for file in $named; do
    case $file in
      /*) [ -e "$root$file" ] || fail "$(basename "$page") names $file, which the package lacks" ;;
      *) [ -f "$doc/docs/$file" ] || [ -f "$doc/$file" ] || fail "$(basename "$page") names $file, which the package lacks" ;;
    esac
  done
done

"$ctl" --control "unix:$scratch/control.sock" state | "$python" -c "import json, sys; json.load(sys.stdin)['display']" \
  || fail "ethernet-ctl state did not answer with the terminal's state"

# ethernet-trace-to-pcapng: its help and its manual page.
"$root/usr/bin/ethernet-trace-to-pcapng" --help | grep -q '^usage: ethernet-trace-to-pcapng' \
  || fail "ethernet-trace-to-pcapng --help failed"
man --warnings -l "$root/usr/share/man/man1/ethernet-trace-to-pcapng.1" >/dev/null 2>"$scratch/conv-man.warnings" \
  || fail "man ethernet-trace-to-pcapng failed"
[ ! -s "$scratch/conv-man.warnings" ] || { cat "$scratch/conv-man.warnings"; fail "ethernet-trace-to-pcapng manual page warnings"; }
# ethernet-trace-to-pcapng, run from the package with the package's Python
# modules only, turns a trace into a pcapng capture (it starts with a Section
# Header Block) and names the port the terminal listened on.
converter=$root/usr/bin/ethernet-trace-to-pcapng
[ -x "$converter" ] || fail "no /usr/bin/ethernet-trace-to-pcapng"
printf '%s\n' '{"kind":"link","event":"listening","t_us":1000,"text":"listening on port 1001"}' \
  '{"kind":"received","dir":"in","peer":"127.0.0.1:40000","t_us":2000,"hex":"024450524f4e544f03"}' >"$scratch/t.jsonl"
converted=$(cd "$scratch" && "$converter" "$scratch/t.jsonl" "$scratch/t.pcapng") || fail "ethernet-trace-to-pcapng failed"
grep -q 'zorvane.port:1001' <<<"$converted" || fail "ethernet-trace-to-pcapng printed: $converted"
[ "$(head -c 4 "$scratch/t.pcapng" | od -An -tx1 | tr -d ' ')" = 0a0d0d0a ] || fail "the capture is not pcapng"

# The dissector in Wireshark's global Lua plugin folder decodes the terminal's
# default port, 1001, with no option.
if command -v tshark >/dev/null; then
  global_lua=$(HOME=$scratch tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
  lua=$root$global_lua/zorvane.lua
  [ -f "$lua" ] || fail "no dissector in $global_lua"
  decoded=$(HOME=$scratch tshark -n -r "$scratch/t.pcapng" -X "lua_script:$lua" -Y zorvane -T fields \
            -e zorvane.letter -e zorvane.text 2>"$scratch/tshark.stderr")
  [ "$decoded" = "$(printf 'D\tPRONTO')" ] || fail "tshark with the packaged dissector decoded: $decoded"
fi
echo "package $(basename "$deb") checked"
