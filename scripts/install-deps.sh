#!/usr/bin/env bash
# Installs the Debian packages that Corvane needs and that are not there yet.
# Usage: install-deps.sh [extra packages...]
set -euo pipefail
packages=(cmake g++ ninja-build qt6-base-dev libgl-dev "$@")
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
