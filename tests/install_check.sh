#!/usr/bin/env bash
# Checks a scratch installation and the Debian package unpacked, installing nothing here.
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
installed=$(cd "$prefix" && find . -printf '%P\n')
packaged=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for file in bin/corvane{,-demo,-cli} libcorvane.so.1 share/man/man1/corvane{,-demo,-cli}.1.gz \
    include/corvane/{corvane_export.h,library/componentfactory.h,sender/binarysender.h} \
    include/corvane/{receiver/binaryreceiver.h,protocol/socketendpoint.h} \
    cmake/Corvane/Corvane{Config,ConfigVersion,Targets}.cmake share/applications/corvane.desktop \
    "$plugins/designer/libcorvanewidgets.so" share/icons/hicolor/scalable/apps/corvane.svg \
    share/metainfo/io.github.corvane.Corvane.metainfo.xml \
    share/bash-completion/completions/corvane-cli; do
    grep -Eq "^(.+/)?$file\$" <<<"$installed" || fail "missing after install: $file"
    grep -Eq "^\./usr/(.+/)?$file\$" <<<"$packaged" || fail "missing from package: $file"
done
! grep -Eq "/(tst_|bench|fuzz)" <<<"$packaged" || fail "test or benchmark files in the package"
[[ $(dpkg-deb -f "$deb" Depends) == *libqt6widgets6* ]] || fail "dependencies miss Qt"

# State behind the private pointer only, so the library can change without breaking its users.
for header in sender/binarysender.h receiver/binaryreceiver.h protocol/socketendpoint.h; do
    state=$(sed -n '/^private:/,/^};/p' "$prefix/include/corvane/$header" | grep -v -e '^private:' \
        -e '^};' -e 'class Private;' -e 'std::unique_ptr<Private> const d;' || true)
    [[ -z $state ]] || fail "$header keeps private state in the header: $state"
done

library=$(realpath "$(find "$prefix" -name libcorvane.so.1)")
resolved=$(ldd "$prefix/bin/corvane" | awk '$1 == "libcorvane.so.1" { print $3 }')
[[ -n $resolved && $(realpath "$resolved") == "$library" ]] || fail "bin/corvane uses '$resolved'"
sanitize=() # a library built with the sanitizers needs their runtime first in its users
ldd "$library" | grep -q libasan && sanitize=(-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined)
cmake -S "$outside" -B "$scratch/outside" -DCMAKE_PREFIX_PATH="$prefix" "${sanitize[@]}" >/dev/null
cmake --build "$scratch/outside" >/dev/null
QT_QPA_PLATFORM=offscreen "$scratch/outside/outside"

# corvane-demo loads the library at run time: it must keep running (2: library not found),
# in a private network namespace where one can be made, for its fixed ports.
net=()
unshare --net true 2>/dev/null && net=(unshare --net)
status=$(QT_QPA_PLATFORM=offscreen timeout 3 "${net[@]}" "$prefix/bin/corvane-demo" >&2; echo $?)
[[ $status -eq 124 ]] || fail "installed corvane-demo ended with $status instead of running"

dpkg-deb -x "$deb" "$root"
[[ $("$root/usr/bin/corvane-cli" --version) == "corvane-cli $version" ]] || fail "cli version"
# Designer loads the plugin from Qt's folder; its run path must lead to the packaged library.
[[ $(ldd "$root/usr/$plugins/designer/libcorvanewidgets.so") == *"libcorvane.so.1 => $root/"* ]] ||
    fail "the Designer plugin does not find the packaged library"
for page in corvane corvane-demo corvane-cli; do
    text=$(zcat "$root/usr/share/man/man1/$page.1.gz")
    [[ $text == *'\-\-version'* && $text == *'EXIT STATUS'* &&
        ($page != corvane-cli || $text == *'(default 1700)'*) ]] ||
        fail "manual $page lacks its options, exit codes or default ports (from --help)"
done
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.corvane.Corvane.metainfo.xml"
