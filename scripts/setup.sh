#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (those that are missing), then
# configures and builds the given preset (default: "default").
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

packages=(build-essential cmake ninja-build pkg-config libplist-dev liburiparser-dev
          libsystemd-dev libgtest-dev libgmock-dev libbenchmark-dev dbus dbus-daemon
          desktop-file-utils attr libxcb1-dev libxcb-ewmh-dev)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
