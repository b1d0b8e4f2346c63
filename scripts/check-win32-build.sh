#!/usr/bin/env bash
# Checks the 32-bit Windows build on a machine that cannot run it, against the
# x86_64 build whose suites ran under 64-bit Wine: both programs are 32-bit PE
# files of the right subsystem, and blockmend.exe carries exactly the
# resources (dialog templates MAINDLG, OVERWRITE_DLG and CODE_DLG, icon group IDI_ICON1)
# that the x86_64 build's window tests checked.
# usage: check-win32-build.sh WIN32_DIR WIN64_DIR
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: check-win32-build.sh WIN32_DIR WIN64_DIR" >&2; exit 2; }
win32=$1 win64=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "check-win32-build: $*"; failures=$((failures + 1)); }

header() {  # file -> "format subsystem"
    i686-w64-mingw32-objdump -p "$1" | awk '/file format/ {f=$NF} /^Subsystem/ {s=$2} END {print f, s}'
}
[[ $(header "$win32/app/blockmend.exe") == "pei-i386 00000002" ]] ||
    fail "$win32/app/blockmend.exe is not a 32-bit GUI program: $(header "$win32/app/blockmend.exe")"
[[ $(header "$win32/blockmend-cli.exe") == "pei-i386 00000003" ]] ||
    fail "$win32/blockmend-cli.exe is not a 32-bit console program: $(header "$win32/blockmend-cli.exe")"

i686-w64-mingw32-windres -J coff -O rc -i "$win32/app/blockmend.exe" -o "$work/win32.rc"
x86_64-w64-mingw32-windres -J coff -O rc -i "$win64/app/blockmend.exe" -o "$work/win64.rc"
for name in '"MAINDLG" DIALOGEX' '"OVERWRITE_DLG" DIALOG' '"CODE_DLG" DIALOG' '101 14 /\* RT_GROUP_ICON \*/'; do
    grep -q "^$name" "$work/win32.rc" || fail "the 32-bit blockmend.exe lacks the resource $name"
done
cmp -s "$work/win32.rc" "$work/win64.rc" ||
    fail "the resources of the two builds differ: $(diff "$work/win32.rc" "$work/win64.rc" | head -5)"

if [[ $failures -eq 0 ]]; then
    echo "check-win32-build: 32-bit blockmend.exe (GUI) and blockmend-cli.exe (console) are PE32 with the tested resources"
else
    exit 1
fi
