#!/usr/bin/env bash
# Installs what is missing, builds Corvane and starts it: both windows, the receiver
# listening on 1700/3000, the sender pointed at 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
exec ./build/demo/corvane "$@"
