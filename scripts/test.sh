#!/usr/bin/env bash
# Installs what is missing, builds Corvane with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
# clang and its runtime build the fuzz targets; strace checks the receiver's order on disk;
# Xvfb, openbox and xdotool place real windows under a real window manager; dpkg-dev and
# appstream build and check the Debian package.
bash scripts/install-deps.sh clang libclang-rt-14-dev strace xvfb xauth openbox xdotool \
    x11-utils dpkg-dev file appstream
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=ON
cmake --build build-test
ctest --test-dir build-test --output-on-failure --timeout 600

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer: any report,
# leaks included, fails the run. The fuzz targets already carry both sanitizers and ran above.
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=ON \
    -DCORVANE_SANITIZE=ON -DCORVANE_FUZZ=OFF
cmake --build build-sanitize
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
    LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-sanitize --output-on-failure --timeout 1200 -LE fuzz
