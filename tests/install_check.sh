#!/usr/bin/env bash
# Installs a built tree into a scratch prefix, checks that everything is in place, builds a
# small outside project against the installed package with find_package(Corvane) and runs it,
# and checks that both installed programs find the installed library.
# Usage: install_check.sh BUILD_DIR OUTSIDE_SOURCE_DIR
set -euo pipefail
build=$1
outside=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=lib
[[ -d $prefix/lib ]] || libdir=$(cd "$prefix" && ls -d lib* | head -n1)
for file in bin/corvane bin/corvane-demo "$libdir"/libcorvane.so.1 \
    include/corvane/corvane_export.h include/corvane/library/componentfactory.h \
    include/corvane/sender/binarysender.h include/corvane/receiver/binaryreceiver.h \
    include/corvane/protocol/socketendpoint.h \
    "$libdir"/cmake/Corvane/CorvaneConfig.cmake "$libdir"/cmake/Corvane/CorvaneConfigVersion.cmake \
    "$libdir"/cmake/Corvane/CorvaneTargets.cmake share/applications/corvane.desktop; do
    [[ -e $prefix/$file ]] || { echo "missing after install: $file"; exit 1; }
done

# The installed classes keep their state behind their private pointer and nothing else, so
# the library can change inside without breaking programs built against it.
for header in sender/binarysender.h receiver/binaryreceiver.h protocol/socketendpoint.h; do
    state=$(sed -n '/^private:/,/^};/p' "$prefix/include/corvane/$header" |
        grep -v -e '^private:' -e '^};' -e 'class Private;' -e 'std::unique_ptr<Private> const d;' || true)
    [[ -z $state ]] || { echo "$header keeps private state in the header: $state"; exit 1; }
done

# corvane links the library: its run path must lead to the installed one.
resolved=$(ldd "$prefix/bin/corvane" | awk '$1 == "libcorvane.so.1" { print $3 }')
if [[ -z $resolved || $(realpath "$resolved") != $(realpath "$prefix/$libdir/libcorvane.so.1") ]]; then
    echo "bin/corvane does not resolve the installed library but '$resolved'"
    exit 1
fi

# A library built with the sanitizers needs their runtime first in any program that uses it.
sanitize=()
if ldd "$prefix/$libdir/libcorvane.so.1" | grep -q libasan; then
    sanitize=(-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined
        -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined)
fi
cmake -S "$outside" -B "$scratch/outside" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" "${sanitize[@]}" >/dev/null
cmake --build "$scratch/outside" >/dev/null
QT_QPA_PLATFORM=offscreen "$scratch/outside/outside"
echo "outside project built against the package and connected its components"

# corvane-demo loads the library at run time: started from the installation it must keep
# running (exit code 2 means it did not find the library). A private network namespace keeps
# its fixed ports away from anything else on this machine, where one can be made.
isolate=()
if unshare --net true 2>/dev/null; then
    isolate=(unshare --net)
fi
status=0
QT_QPA_PLATFORM=offscreen timeout 3 "${isolate[@]}" "$prefix/bin/corvane-demo" || status=$?
if [[ $status -ne 124 ]]; then
    echo "installed corvane-demo ended with $status instead of running"
    exit 1
fi
echo "installed corvane-demo found its library"
