#!/usr/bin/env bash
# The packages as a user gets them: the .deb unpacked into a scratch root,
# its control fields, a repair on 127.0.0.1 between two installed binaries
# (one of them reaching the other by host name) with the logs in the default
# per-user folder, the man page rendered, and the Windows zip's contents.
# usage: package_test.sh PACKAGE_DIR
set -euo pipefail
packages=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
failures=0
fail() { echo "package test: $*"; failures=$((failures + 1)); }

deb=$(ls "$packages"/blockmend-cli_*.deb)
dpkg-deb -x "$deb" "$work/root"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "Depends lacks libc6 or libstdc++6: '$depends'"
for f in usr/bin/blockmend-cli usr/share/man/man1/blockmend-cli.1.gz usr/share/doc/blockmend-cli/README.md \
         usr/share/doc/blockmend-cli/copyright; do
    [[ -e $work/root/$f ]] || fail "missing /$f"
done
cli=$work/root/usr/bin/blockmend-cli

# A repair between two installed binaries; the copy side connects by name,
# and the original side lets only that name in.
head -c 3000000 /dev/urandom >"$work/original.bin"
cp "$work/original.bin" "$work/copy.bin"
printf 'DAMAGE' | dd of="$work/copy.bin" bs=1 seek=1234567 conv=notrunc status=none
truncate -s 2900000 "$work/copy.bin"
port=$((30000 + RANDOM % 20000))
export XDG_STATE_HOME=$work/state
# A bare root (a container, a fresh debootstrap) may have no /etc/hosts:
# there the name does not resolve, and the address stands in.
host=localhost
getent hosts localhost >/dev/null || { host=127.0.0.1; echo "package test: localhost does not resolve here; using 127.0.0.1"; }
"$cli" original "$work/original.bin" --listen --allow $host --port $port >"$work/original.out" 2>&1 &
server=$!
for _ in $(seq 100); do grep -q . "$work/original.out" 2>/dev/null && break; sleep 0.05; done
copy_rc=0 original_rc=0
timeout 60 "$cli" copy "$work/copy.bin" --connect $host --port $port >"$work/copy.out" 2>&1 || copy_rc=$?
wait "$server" || original_rc=$?
[[ $copy_rc -eq 0 && $original_rc -eq 0 ]] || { fail "repair exit status: original $original_rc, copy $copy_rc"; cat "$work"/*.out; }
cmp -s "$work/original.bin" "$work/copy.bin" || fail "the repaired copy differs from the original"
for log in log_server.dat log_client.dat; do
    [[ -s $work/state/blockmend/$log ]] || fail "no $log in \$XDG_STATE_HOME/blockmend"
done

# The man page renders, with its sections.
page=$(MANWIDTH=80 man -l "$work/root/usr/share/man/man1/blockmend-cli.1.gz" 2>"$work/man.err")
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES SECURITY; do
    grep -q "^$section" <<<"$page" || fail "the man page has no section $section"
done
[[ ! -s $work/man.err ]] || { fail "man reported:"; cat "$work/man.err"; }

# The Windows zip: the two programs, a plain-text README, the licence and the
# notices of the libraries compiled in.
zip=$(ls "$packages"/blockmend-*-windows.zip)
listing=$(cd "$work" && cmake -E tar tf "$zip")
for f in blockmend.exe blockmend-cli.exe README.txt LICENSE.txt THIRD-PARTY.txt; do
    grep -q "/$f\$" <<<"$listing" || fail "the zip has no $f"
done

if [[ $failures -eq 0 ]]; then echo "package test: passed"; else exit 1; fi
