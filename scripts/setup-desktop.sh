#!/usr/bin/env bash
# Installs what the desktop tests need beyond the build: an X server, a window manager, the
# accessibility bus, window tools, a Wayland compositor (sway, with wtype for its keyboard, jq to
# read its window tree and wl-clipboard to own a selection), and the real applications the
# connectors are tried against (LibreOffice with the toolkit it shows its windows and
# accessibility tree through; the file managers Nautilus and Thunar and the browser Epiphany,
# which show their place in a location field). Run
# as root, it also adds the user without privileges that the desktop tests run as a second
# time, as a person's desktop does (editors show a normal user's files under "~"), and lets
# that user read the checkout and its build tree.
set -euo pipefail

cd "$(dirname "$0")/.."
scripts/install-missing.sh --no-install-recommends xvfb openbox at-spi2-core x11-utils xdotool \
    imagemagick libglib2.0-bin dbus-x11 chromium firefox-esr gedit mousepad libreoffice-calc \
    libreoffice-gtk3 libreoffice-writer libreoffice-impress evince geany kwrite kate \
    gnome-text-editor nautilus thunar epiphany-browser sway wtype jq wl-clipboard \
    gnome-terminal xfce4-terminal thunderbird

desktop_user=pendra-desktop
if ((EUID == 0)); then
    if ! id -u "$desktop_user" >/dev/null 2>&1; then
        useradd --no-create-home --shell /usr/sbin/nologin "$desktop_user"
    fi
    # The user reads the tests and bundles where they were built: every folder above the
    # checkout searchable, the checkout itself readable.
    folder=$PWD
    while [[ "$folder" != / ]]; do
        chmod o+x "$folder"
        folder=$(dirname "$folder")
    done
    chmod -R o+rX .
fi
