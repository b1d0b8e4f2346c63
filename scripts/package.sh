#!/usr/bin/env bash
# Makes the two packages: a Debian package of blockmend-cli (CPack, from the
# release build CLI_DIR) and a zip of the Windows programs (from WIN_DIR, the
# 32-bit build) with a plain-text README, the licence and the notices of the
# libraries compiled into them (libsodium, xxHash), both in OUT_DIR.
# usage: package.sh CLI_DIR WIN_DIR OUT_DIR
set -euo pipefail
[[ $# -eq 3 ]] || { echo "usage: package.sh CLI_DIR WIN_DIR OUT_DIR" >&2; exit 2; }
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cli_dir=$(cd "$1" && pwd)
win_dir=$(cd "$2" && pwd)
mkdir -p "$3"
out=$(cd "$3" && pwd)
version=$(sed -n 's/^project(Blockmend VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

rm -f "$out"/*.deb "$out"/*.zip
(cd "$cli_dir" && cpack -G DEB -B "$cli_dir/cpack" >/dev/null)
mv "$cli_dir"/cpack/*.deb "$out/"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
dir=$stage/blockmend-$version-windows
mkdir -p "$dir"
cp "$win_dir/app/blockmend.exe" "$win_dir/blockmend-cli.exe" "$dir/"
# Plain text with Windows line ends, as Notepad shows it.
sed 's/$/\r/' "$root/docs/windows-readme.txt" >"$dir/README.txt"
sed 's/$/\r/' "$root/LICENSE" >"$dir/LICENSE.txt"
# The programs link libsodium statically and compile xxHash in: their
# licences ask for their notices beside the programs.
sodium_licence=$(ls "$root"/build/deps/libsodium-src/libsodium-*/LICENSE 2>/dev/null | head -n 1)
[[ -n $sodium_licence ]] || { echo "package: no libsodium licence under build/deps (build the Windows program first)" >&2; exit 1; }
{
    printf 'blockmend.exe and blockmend-cli.exe contain libsodium and xxHash.\n\n'
    printf '== libsodium ==\n\n'
    cat "$sodium_licence"
    printf '\n== xxHash (Debian package libxxhash-dev, its copyright file) ==\n\n'
    cat /usr/share/doc/libxxhash-dev/copyright
} | sed 's/$/\r/' >"$dir/THIRD-PARTY.txt"
(cd "$stage" && cmake -E tar cf "$out/blockmend-$version-windows.zip" --format=zip "blockmend-$version-windows")

echo "package: $(cd "$out" && ls *.deb *.zip | tr '\n' ' ')in $out"
