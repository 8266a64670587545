#!/usr/bin/env bash
# Installs a built tree into a scratch prefix: an outside project builds against it with
# find_package(Corvane) and runs, both programs find the installed library. Then builds the
# Debian package and checks its name, contents, dependencies, manuals and metadata, and runs
# from it unpacked, installing nothing on this machine.
# Usage: install_check.sh BUILD_DIR OUTSIDE_SOURCE_DIR QT_PLUGIN_DIR (under /usr, as lib/...)
set -euo pipefail
build=$1 outside=$2 plugins=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix root=$scratch/root
fail() { echo "$*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
cpack -G DEB -B "$scratch" --config "$build/CPackConfig.cmake" >/dev/null
deb=$(echo "$scratch"/corvane_*.deb)
version=$(dpkg-deb -f "$deb" Version)
[[ $deb == "$scratch/corvane_${version}_$(dpkg --print-architecture).deb" ]] ||
    fail "unexpected package name: $deb"
echo "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB"

installed=$(cd "$prefix" && find . -printf '%P\n')
packaged=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for file in bin/corvane bin/corvane-demo bin/corvane-cli libcorvane.so.1 \
    include/corvane/{corvane_export.h,library/componentfactory.h,sender/binarysender.h} \
    include/corvane/{receiver/binaryreceiver.h,protocol/socketendpoint.h} \
    cmake/Corvane/Corvane{Config,ConfigVersion,Targets}.cmake \
    "$plugins/designer/libcorvanewidgets.so" share/applications/corvane.desktop \
    share/icons/hicolor/scalable/apps/corvane.svg \
    share/metainfo/io.github.corvane.Corvane.metainfo.xml \
    share/man/man1/{corvane,corvane-demo,corvane-cli}.1.gz \
    share/bash-completion/completions/corvane-cli; do
    grep -Eq "^(.+/)?$file\$" <<<"$installed" || fail "missing after install: $file"
    grep -Eq "^\./usr/(.+/)?$file\$" <<<"$packaged" || fail "missing from package: $file"
done
! grep -Eq "/(tst_|bench|fuzz)" <<<"$packaged" || fail "test or benchmark files in the package"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ $depends == *libqt6widgets6* ]] || fail "dependencies miss Qt"

# The installed classes keep their state behind their private pointer and nothing else, so
# the library can change inside without breaking programs built against it.
for header in sender/binarysender.h receiver/binaryreceiver.h protocol/socketendpoint.h; do
    state=$(sed -n '/^private:/,/^};/p' "$prefix/include/corvane/$header" | grep -v -e '^private:' \
        -e '^};' -e 'class Private;' -e 'std::unique_ptr<Private> const d;' || true)
    [[ -z $state ]] || fail "$header keeps private state in the header: $state"
done

# corvane links the library: its run path must lead to the installed one.
library=$(realpath "$(find "$prefix" -name libcorvane.so.1)")
resolved=$(ldd "$prefix/bin/corvane" | awk '$1 == "libcorvane.so.1" { print $3 }')
[[ -n $resolved && $(realpath "$resolved") == "$library" ]] ||
    fail "bin/corvane does not resolve the installed library but '$resolved'"

# A library built with the sanitizers needs their runtime first in any program that uses it.
sanitize=()
if ldd "$library" | grep -q libasan; then
    sanitize=(-DCMAKE_{CXX_FLAGS,EXE_LINKER_FLAGS}=-fsanitize=address,undefined)
fi
cmake -S "$outside" -B "$scratch/outside" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" "${sanitize[@]}" >/dev/null
cmake --build "$scratch/outside" >/dev/null
QT_QPA_PLATFORM=offscreen "$scratch/outside/outside"
echo "outside project built against the installation and connected its components"

# corvane-demo loads the library at run time: started from the installation it must keep
# running (exit code 2 means it did not find the library). A private network namespace keeps
# its fixed ports away from anything else on this machine, where one can be made.
isolate=()
unshare --net true 2>/dev/null && isolate=(unshare --net)
status=0
QT_QPA_PLATFORM=offscreen timeout 3 "${isolate[@]}" "$prefix/bin/corvane-demo" || status=$?
[[ $status -eq 124 ]] || fail "installed corvane-demo ended with $status instead of running"

dpkg-deb -x "$deb" "$root"
answer=$("$root/usr/bin/corvane-cli" --version)
[[ $answer == "corvane-cli $version" ]] || fail "unpacked corvane-cli said '$answer'"
# Designer loads the plugin from Qt's folder; its run path must lead to the packaged library.
[[ $(ldd "$root/usr/$plugins/designer/libcorvanewidgets.so") == *"libcorvane.so.1 => $root/"* ]] ||
    fail "the Designer plugin does not find the packaged library"
for page in corvane corvane-demo corvane-cli; do
    text=$(zcat "$root/usr/share/man/man1/$page.1.gz")
    [[ $text == *'\-\-version'* && $text == *'EXIT STATUS'* ]] ||
        fail "manual $page lacks its options or exit codes"
done
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.corvane.Corvane.metainfo.xml"
