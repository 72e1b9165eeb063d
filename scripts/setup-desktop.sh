#!/usr/bin/env bash
# Installs what the desktop tests need beyond the build: an X server, a window manager, the
# accessibility bus, window tools, and the real applications the connectors are tried against.
set -euo pipefail

packages=(xvfb openbox at-spi2-core x11-utils xdotool imagemagick libglib2.0-bin dbus-x11
          chromium firefox-esr gedit mousepad)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
