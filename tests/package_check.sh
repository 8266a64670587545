#!/usr/bin/env bash
# Builds the Debian package of a built tree in a scratch folder, checks its contents,
# dependencies, manuals and metadata, and runs corvane-cli from the unpacked package without
# installing anything on this machine.
# Usage: package_check.sh BUILD_DIR QT_PLUGIN_DIR (Qt's plugin folder under /usr, as lib/...)
set -euo pipefail
build=$1
plugins=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack -G DEB -B "$scratch" --config "$build/CPackConfig.cmake" >/dev/null
deb=$(echo "$scratch"/corvane_*.deb)
version=$(dpkg-deb -f "$deb" Version)
[[ $deb == "$scratch/corvane_${version}_$(dpkg --print-architecture).deb" ]] \
    || { echo "unexpected package name: $deb"; exit 1; }
echo "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB"

contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for file in bin/corvane bin/corvane-demo bin/corvane-cli libcorvane.so.1 \
    include/corvane/sender/binarysender.h include/corvane/receiver/binaryreceiver.h \
    cmake/Corvane/CorvaneConfig.cmake "$plugins/designer/libcorvanewidgets.so" \
    share/applications/corvane.desktop share/icons/hicolor/scalable/apps/corvane.svg \
    share/metainfo/io.github.corvane.Corvane.metainfo.xml share/man/man1/corvane.1.gz \
    share/man/man1/corvane-demo.1.gz share/man/man1/corvane-cli.1.gz \
    share/bash-completion/completions/corvane-cli; do
    grep -Eq "^\./usr/(.+/)?$file\$" <<<"$contents" || { echo "missing from package: $file"; exit 1; }
done
if grep -Eq "/(tst_|bench|fuzz)" <<<"$contents"; then
    echo "test or benchmark files in the package"
    exit 1
fi

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ $depends == *libqt6widgets6* ]] || { echo "dependencies miss Qt"; exit 1; }

root=$scratch/root
dpkg-deb -x "$deb" "$root"
answer=$("$root/usr/bin/corvane-cli" --version)
[[ $answer == "corvane-cli $version" ]] || { echo "unpacked corvane-cli said '$answer'"; exit 1; }
# Designer loads the plugin from Qt's folder; its run path must lead to the packaged library.
libraries=$(ldd "$root/usr/$plugins/designer/libcorvanewidgets.so")
[[ $libraries == *"libcorvane.so.1 => $root/"* ]] \
    || { echo "the Designer plugin does not find the packaged library"; exit 1; }
for page in corvane corvane-demo corvane-cli; do
    text=$(zcat "$root/usr/share/man/man1/$page.1.gz")
    [[ $text == *'\-\-version'* && $text == *'EXIT STATUS'* ]] \
        || { echo "manual $page lacks its options or exit codes"; exit 1; }
done
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.corvane.Corvane.metainfo.xml"
