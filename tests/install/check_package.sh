#!/usr/bin/env bash
# The Debian package as a user gets it: built from this build tree with CPack,
# unpacked into a scratch root, its name, version and declared dependencies
# read back, the installed program run, and its desktop entry, AppStream
# metadata and manual page checked with the tools a distribution uses.
set -euo pipefail

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

root=$scratch/root
dpkg -x "$deb" "$root"
program=$root/usr/bin/ethernet
[ -x "$program" ] || fail "no /usr/bin/ethernet in the package"
[ "$("$program" --version)" = "ethernet $version" ] || fail "ethernet --version printed: $("$program" --version)"

desktop=$root/usr/share/applications/$app_id.desktop
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$app_id.svg" ] || fail "no icon named after the entry's Icon="
grep -qx "Icon=$app_id" "$desktop" || fail "desktop entry Icon"
desktop-file-validate "$desktop"
appstreamcli validate --no-net "$metainfo"
[ -f "$root/usr/share/doc/$name/host-guide.md" ] || fail "no host programmer's guide"
[ -x "$root/usr/share/doc/$name/samples/shopfloor_host.py" ] || fail "no sample host"

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
echo "package $(basename "$deb") checked"
