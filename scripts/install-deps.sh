#!/usr/bin/env bash
# Installs the Debian packages the native build, the Windows cross build and its
# Wine test run need, and generates the ja_JP.UTF-8 locale. Idempotent: when
# everything is present it touches neither apt nor the locale files.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

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

packages=(
    cmake make g++ libgtest-dev googletest
    g++-mingw-w64-i686 g++-mingw-w64-i686-posix
    wine wine32:i386
    xvfb xauth
    locales fonts-ipafont-gothic
    rsync hyperfine time
    clang libclang-rt-14-dev valgrind iproute2
)
command -v python3 >/dev/null 2>&1 || packages+=(python3)

missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

if [[ ${#missing[@]} -gt 0 ]]; then
    echo "install-deps: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root apt-get update -qq
    # With recommends: Wine loads libxrender, libxrandr, ... at run time for its X driver.
    as_root apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
    echo "install-deps: generating ja_JP.UTF-8 locale"
    if grep -q '^# *ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
        as_root sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    elif ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
        echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
    fi
    as_root locale-gen >/dev/null
fi

echo "install-deps: all dependencies present"
