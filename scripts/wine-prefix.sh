#!/usr/bin/env bash
# Creates and initialises a Wine prefix for running the Windows build: 32-bit
# (i686, the default) or 64-bit (x86_64), no Mono/Gecko install prompts,
# Japanese locale (code page 932), and IPA Gothic standing in for the Japanese
# UI fonts (MS PGothic, MS UI Gothic, ...).
# Usage: wine-prefix.sh PREFIXDIR [i686|x86_64]    Idempotent: a stamp file marks a
# finished prefix; it holds a hash of this script and the architecture, so a
# prefix made by an older version is redone. Each build folder has its own prefix.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: wine-prefix.sh PREFIXDIR [i686|x86_64]" >&2
    exit 2
fi
arch=${2:-i686}
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
wine_for_arch "$arch"
mkdir -p "$1"
prefix=$(cd "$1" && pwd)
stamp=$prefix/.blockmend-prefix-ready

version="$(sha256sum "${BASH_SOURCE[0]}" | cut -c1-16) $arch"

# Several test processes may ask for the same prefix at once; one builds it.
exec 9>"$prefix/.blockmend-prefix.lock"
flock 9
if [[ -f $stamp && $(<"$stamp") == "$version" ]]; then
    exit 0
fi

export WINEPREFIX=$prefix
export WINEDEBUG=-all
# Empty overrides disable mscoree/mshtml, so wineboot does not offer Mono or Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="

log=$prefix/.blockmend-prefix.log
: >"$log"
run_logged() {
    # Wine takes the code page (932) from the locale; passed through env so this
    # shell never switches to a locale that may not be generated.
    if ! env LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 "$@" >>"$log" 2>&1; then
        echo "wine-prefix: '$*' failed; its output:" >&2
        cat "$log" >&2
        exit 1
    fi
}

echo "wine-prefix: initialising $prefix"
start=$SECONDS
run_logged "$WINE" wineboot -i
run_logged wineserver -w

font_src=/usr/share/fonts/opentype/ipafont-gothic
font_dir=$prefix/drive_c/windows/Fonts
mkdir -p "$font_dir"
for f in ipagp.ttf ipag.ttf; do
    if [[ -f $font_src/$f ]]; then
        cp -f "$font_src/$f" "$font_dir/$f"
    else
        echo "wine-prefix: warning: $font_src/$f missing (fonts-ipafont-gothic)" >&2
    fi
done

# The caption buttons are drawn with Marlett, which this Wine build does not
# find by itself.
if [[ -f /usr/share/wine/fonts/marlett.ttf ]]; then
    cp -f /usr/share/wine/fonts/marlett.ttf "$font_dir/marlett.ttf"
fi

# Font replacements: value = requested family, data = family used instead.
# regedit reads a UTF-16LE file with a BOM, which keeps the Japanese names intact.
reg_utf8=$(mktemp)
trap 'rm -f "$reg_utf8"' EXIT
{
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    for name in "ＭＳ Ｐゴシック" "MS PGothic" "MS UI Gothic" "MS Shell Dlg" "MS Shell Dlg 2"; do
        printf '"%s"="IPAPGothic"\r\n' "$name"
    done
    for name in "ＭＳ ゴシック" "MS Gothic"; do
        printf '"%s"="IPAGothic"\r\n' "$name"
    done
    printf '\r\n'
    # No window manager runs on the test display: Wine draws the captions
    # itself and does not wait (2 s) for a manager to withdraw a closed window.
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n'
    printf '"Managed"="N"\r\n'
    printf '\r\n'
} >"$reg_utf8"
reg_file=$prefix/drive_c/blockmend-fonts.reg
{ printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$reg_utf8"; } >"$reg_file"
run_logged "$WINE" regedit /S 'C:\blockmend-fonts.reg'
run_logged wineserver -w
rm -f "$reg_file"

echo "$version" >"$stamp"
echo "wine-prefix: ready in $((SECONDS - start)) s"
