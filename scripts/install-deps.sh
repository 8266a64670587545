#!/usr/bin/env bash
# Installs the Debian packages that Corvane needs and that are not there yet.
# Usage: install-deps.sh [extra packages...]
set -euo pipefail
# Qt Designer's plugin interface and UI Tools need qt6-tools-dev and libqt6opengl6-dev; the
# checksums need libssl-dev; the manuals are made with help2man.
packages=(cmake g++ ninja-build qt6-base-dev libgl-dev qt6-tools-dev libqt6opengl6-dev libssl-dev
    help2man "$@")
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
