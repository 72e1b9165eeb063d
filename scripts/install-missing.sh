#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing; the rest are left as they are.
#   scripts/install-missing.sh [--no-install-recommends] package...
set -euo pipefail
options=()
if [[ "${1:-}" == --no-install-recommends ]]; then
    options+=("$1")
    shift
fi
missing=()
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
fi
