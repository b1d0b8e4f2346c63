#!/usr/bin/env bash
# Installs the Debian packages a target needs, and for the Windows suites the
# ja_JP.UTF-8 locale. Idempotent: when everything is present it touches
# neither apt nor the locale files.
#   install-deps.sh demo     blockmend-cli alone (make demo)
#   install-deps.sh native   + the native test suites (make test-native)
#   install-deps.sh all      + the Windows cross builds, Wine, the hardening
#                              checks, packaging and the benchmarks (make test)
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
set_name=${1:-all}

as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo -E "$@"
    else
        echo "install-deps: need root (or sudo) to run: $*" >&2
        return 1
    fi
}

demo=(cmake make g++ libxxhash-dev libsodium-dev)
native=("${demo[@]}" libgtest-dev libgmock-dev e2fsprogs iproute2 strace)
all=("${native[@]}"
    googletest
    g++-mingw-w64-i686 g++-mingw-w64-i686-posix
    g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix
    autoconf automake libtool
    wine wine64
    xvfb xauth locales fonts-ipafont-gothic
    clang libclang-rt-14-dev valgrind
    dpkg-dev file man-db
    rsync hyperfine time iproute2
)
case $set_name in
    demo) packages=("${demo[@]}") ;;
    native) packages=("${native[@]}") ;;
    all)
        packages=("${all[@]}")
        command -v python3 >/dev/null 2>&1 || packages+=(python3)
        # 32-bit Wine only where this kernel can run it; elsewhere the Windows
        # suites run on the x86_64 build under the 64-bit loader.
        [[ $(BLOCKMEND_WIN_ARCH= bash "$here/windows-arch.sh") == i686 ]] && packages+=(wine32:i386)
        ;;
    *) echo "usage: install-deps.sh [demo|native|all]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

if [[ ${#missing[@]} -gt 0 ]]; then
    echo "install-deps: installing ${missing[*]}"
    if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root apt-get update -qq
    # With recommends: Wine loads libxrender, libxrandr, ... at run time for its X driver.
    as_root apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The Windows builds make their libsodium from Debian's source package of
# the native one (scripts/build-sodium.sh): apt-get source needs a deb-src
# entry for the archive that the deb entries use.
has_deb_src() {
    grep -rqsE '^[[:space:]]*(Types:.*deb-src|deb-src[[:space:]])' /etc/apt/sources.list /etc/apt/sources.list.d/
}
if [[ $set_name == all ]] && ! has_deb_src; then
    echo "install-deps: adding a deb-src entry for the Debian archive in use"
    if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
        sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            as_root tee /etc/apt/sources.list.d/blockmend-src.sources >/dev/null
    elif [[ -f /etc/apt/sources.list ]]; then
        sed -n 's/^deb[[:space:]]/deb-src /p' /etc/apt/sources.list |
            as_root tee /etc/apt/sources.list.d/blockmend-src.list >/dev/null
    fi
    as_root apt-get update -qq
fi

if [[ $set_name == all ]] && ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
    echo "install-deps: generating ja_JP.UTF-8 locale"
    if grep -q '^# *ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
        as_root sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    elif ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
        echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
    fi
    as_root locale-gen >/dev/null
fi

echo "install-deps: what '$set_name' needs is present"
