#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (those that are missing), then
# configures and builds the given preset (default: "default"). The source check (ctest label
# "source") needs python3 and the clang-format the tree is formatted with, version 14.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

scripts/install-missing.sh build-essential cmake ninja-build pkg-config libplist-dev \
    liburiparser-dev libsystemd-dev libgtest-dev libgmock-dev libbenchmark-dev dbus dbus-daemon \
    desktop-file-utils attr libxcb1-dev libxcb-ewmh-dev libwayland-dev strace python3 clang-format-14

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
