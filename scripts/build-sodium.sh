#!/usr/bin/env bash
# Builds a static libsodium for a MinGW-w64 target from Debian's source
# package of the libsodium that the native build uses (the same version), and
# installs it under build/deps/sodium-ARCH. A finished build is kept: a second
# run only prints the folder.
#   build-sodium.sh i686|x86_64     prints the install folder on stdout
# Needs deb-src for Debian's archive (install-deps.sh adds it), dpkg-dev,
# autoconf, automake, libtool and the MinGW-w64 C compiler.
set -euo pipefail
arch=${1:?usage: build-sodium.sh i686|x86_64}
case $arch in
    i686 | x86_64) ;;
    *) echo "build-sodium: unknown architecture '$arch'" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps=$root/build/deps
prefix=$deps/sodium-$arch
if [[ -f $prefix/.built ]]; then
    echo "$prefix"
    exit 0
fi

mkdir -p "$deps"
src=$deps/libsodium-src
if [[ ! -f $src/.fetched ]]; then
    rm -rf "$src"
    mkdir -p "$src"
    # apt-get source unpacks into the current folder; as root, _apt cannot
    # write there, which only costs a warning.
    (cd "$src" && apt-get source -qq libsodium >/dev/null 2>&1) ||
        { echo "build-sodium: apt-get source libsodium failed (is there a deb-src entry?)" >&2; exit 1; }
    touch "$src/.fetched"
fi
tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'libsodium-*' | head -n 1)
[[ -n $tree ]] || { echo "build-sodium: no unpacked source in $src" >&2; exit 1; }

# An out-of-tree build per architecture from one generated configure.
if [[ ! -x $tree/configure ]]; then
    (cd "$tree" && autoreconf -fi >/dev/null 2>&1) || { echo "build-sodium: autoreconf failed" >&2; exit 1; }
fi
work=$deps/sodium-build-$arch
rm -rf "$work" "$prefix"
mkdir -p "$work"
echo "build-sodium: building libsodium for $arch-w64-mingw32 (about a minute)" >&2
(
    cd "$work"
    # Without --disable-ssp the link fails on __memcpy_chk.
    "$tree/configure" --host="$arch-w64-mingw32" CC="$arch-w64-mingw32-gcc-posix" --prefix="$prefix" \
        --disable-shared --enable-static \
        --disable-ssp --disable-dependency-tracking >configure.log 2>&1
    make -j"${JOBS:-2}" >make.log 2>&1
    make install >install.log 2>&1
) || { echo "build-sodium: the build failed; see $work/*.log" >&2; exit 1; }
touch "$prefix/.built"
echo "$prefix"
