#!/usr/bin/env bash
# Installs what the desktop tests need beyond the build: an X server, a window manager, the
# accessibility bus, window tools, and the real applications the connectors are tried against.
set -euo pipefail

cd "$(dirname "$0")/.."
scripts/install-missing.sh --no-install-recommends xvfb openbox at-spi2-core x11-utils xdotool \
    imagemagick libglib2.0-bin dbus-x11 chromium firefox-esr gedit mousepad
