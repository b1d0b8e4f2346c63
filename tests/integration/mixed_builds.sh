#!/usr/bin/env bash
# The Linux command-line peer against the Windows one under Wine, both
# directions: a damaged, shorter copy repaired across the two builds, and a
# whole file sent to a side that has none.
set -euo pipefail
# usage: mixed_builds.sh LINUX_CLI WINDOWS_RUNNER... WINDOWS_CLI.exe
linux_cli=$1
shift
windows_cli=("$@")
[[ -x $linux_cli ]] || { echo "mixed builds: no Linux peer at $linux_cli (build the native build first)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
port=$((30000 + RANDOM % 20000))

head -c 3000000 /dev/urandom > "$work/original.bin"
failures=0

run_pair() {  # name server-command... -- client-command...
    local name=$1; shift
    local server=() client=()
    while [[ $1 != -- ]]; do server+=("$1"); shift; done
    shift
    client=("$@")
    "${server[@]}" > "$work/$name.server.out" 2>&1 &
    local pid=$!
    for _ in $(seq 400); do
        grep -q . "$work/$name.server.out" 2>/dev/null && break
        sleep 0.05
    done
    local client_rc=0 server_rc=0
    timeout 120 "${client[@]}" > "$work/$name.client.out" 2>&1 || client_rc=$?
    wait "$pid" || server_rc=$?
    if [[ $client_rc -ne 0 || $server_rc -ne 0 ]]; then
        echo "$name: exit status server $server_rc, client $client_rc"
        cat "$work/$name.server.out" "$work/$name.client.out"
        return 1
    fi
}

damage() {
    cp "$work/original.bin" "$1"
    printf 'XXXX' | dd of="$1" bs=1 seek=100000 conv=notrunc status=none
    printf 'YYYY' | dd of="$1" bs=1 seek=2000000 conv=notrunc status=none
    truncate -s 2990000 "$1"
}

# Linux Original listening, Windows Copy connecting.
port=$((port + 1))
damage "$work/copy1.bin"
run_pair linux-original "$linux_cli" original "$work/original.bin" --listen --port $port --log-dir "$work" -- \
    "${windows_cli[@]}" copy "$work/copy1.bin" --connect 127.0.0.1 --port $port --log-dir "$work" || failures=$((failures + 1))
cmp "$work/original.bin" "$work/copy1.bin" || failures=$((failures + 1))

# Windows Original listening, Linux Copy connecting.
port=$((port + 1))
damage "$work/copy2.bin"
run_pair windows-original "${windows_cli[@]}" original "$work/original.bin" --listen --port $port --log-dir "$work" -- \
    "$linux_cli" copy "$work/copy2.bin" --connect 127.0.0.1 --port $port --log-dir "$work" || failures=$((failures + 1))
cmp "$work/original.bin" "$work/copy2.bin" || failures=$((failures + 1))

# A whole file from Linux to a Windows side that has none.
port=$((port + 1))
mkdir -p "$work/into"
run_pair windows-nothing "${windows_cli[@]}" nothing "$work/into" --listen --port $port -- \
    "$linux_cli" original "$work/original.bin" --connect 127.0.0.1 --port $port --log-dir "$work" || failures=$((failures + 1))
cmp "$work/original.bin" "$work/into/original.bin" || failures=$((failures + 1))

if [[ $failures -eq 0 ]]; then
    echo "mixed builds: 3 passed, 0 failed"
else
    echo "mixed builds: failures: $failures"
    exit 1
fi
