#!/usr/bin/env bash
# Decides which Windows build the Windows suites run on: the 32-bit one under
# 32-bit Wine where this kernel runs 32-bit programs, else an x86_64 build
# under 64-bit Wine. Some kernels ship with 32-bit emulation switched off
# (ia32_emulation=off), and there no 32-bit Wine can start.
#   windows-arch.sh          prints i686 or x86_64
#   windows-arch.sh --why    prints one sentence saying which and why
# BLOCKMEND_WIN_ARCH=i686|x86_64 overrides the probe (to try the other path).
set -euo pipefail

probe() {
    # A 96-byte static i386 ELF program that only calls exit(42): no compiler,
    # no libraries, nothing but the kernel's ability to run 32-bit code.
    local dir rc=0
    dir=$(mktemp -d)
    printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$dir/probe"
    chmod +x "$dir/probe"
    "$dir/probe" 2>/dev/null || rc=$?
    rm -rf "$dir"
    [[ $rc -eq 42 ]]
}

forced=${BLOCKMEND_WIN_ARCH-}
case $forced in
    i686|x86_64) arch=$forced; why="forced by BLOCKMEND_WIN_ARCH=$forced" ;;
    "")
        if probe; then
            arch=i686; why="this kernel runs 32-bit programs"
        else
            arch=x86_64; why="this kernel runs no 32-bit program (32-bit emulation is off), so 32-bit Wine cannot start"
        fi ;;
    *) echo "windows-arch: BLOCKMEND_WIN_ARCH must be i686 or x86_64, not '$forced'" >&2; exit 2 ;;
esac

if [[ ${1-} == --why ]]; then
    if [[ $arch == i686 ]]; then
        echo "Windows suites: the 32-bit build (build/win) under 32-bit Wine: $why."
    else
        echo "Windows suites: the x86_64 build (build/win64) under 64-bit Wine: $why; the 32-bit build (build/win) is built and its resources and headers are checked."
    fi
else
    echo "$arch"
fi
