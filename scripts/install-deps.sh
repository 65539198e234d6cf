#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the emulator need.
# Only what is missing is installed; nothing is fetched except through apt-get.
set -euo pipefail

packages=(
  cmake make g++ pkg-config ccache
  qt6-base-dev qt6-serialport-dev qt6-websockets-dev libgl-dev
  libjpeg-dev
  libbenchmark-dev
  clang libclang-rt-14-dev
  socat inetutils-telnetd inetutils-telnet
  xvfb xdotool x11-apps imagemagick
  fonts-dejavu-core
  desktop-file-utils appstream dpkg-dev man-db
  python3 python3-pytest python3-pytest-xdist python3-setuptools python3-pip python3-wheel python3-venv
  python3-locust prometheus
  tshark
  chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# tshark's wireshark-common asks whether ordinary users may capture; the
# answer is given beforehand (no: the tests only read capture files), so the
# install never stops for a question.
echo "wireshark-common wireshark-common/install-setuid boolean false" | "${sudo_cmd[@]}" debconf-set-selections
"${sudo_cmd[@]}" apt-get update -qq
# dpkg skips its fsync before each file's rename while unpacking, much of the
# time of a first install on some file systems; an interrupted install is
# simply run again.
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends -o Dpkg::Options::=--force-unsafe-io "${missing[@]}"
