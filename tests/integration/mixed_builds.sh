#!/usr/bin/env bash
# The Linux command-line peer against the Windows one under Wine, both
# directions, in protocol 1 (--protocol 1) and protocol 2: a damaged, shorter
# copy repaired across the two builds, and a whole file sent to a side that
# has none; in protocol 2 a sparse file beyond 4 GiB with damaged spots
# beyond 4 GiB and a shorter copy; a repair paired with a code, which
# both builds must encrypt alike; and a name with no code page 932 form.
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

for protocol in 1 2; do
    p=(--protocol $protocol)
    # Linux Original listening, Windows Copy connecting.
    port=$((port + 1))
    damage "$work/copy1.bin"
    run_pair linux-original-$protocol "$linux_cli" original "$work/original.bin" --listen --port $port --log-dir "$work" "${p[@]}" -- \
        "${windows_cli[@]}" copy "$work/copy1.bin" --connect 127.0.0.1 --port $port --log-dir "$work" "${p[@]}" || failures=$((failures + 1))
    cmp "$work/original.bin" "$work/copy1.bin" || failures=$((failures + 1))

    # Windows Original listening, Linux Copy connecting.
    port=$((port + 1))
    damage "$work/copy2.bin"
    run_pair windows-original-$protocol "${windows_cli[@]}" original "$work/original.bin" --listen --port $port --log-dir "$work" "${p[@]}" -- \
        "$linux_cli" copy "$work/copy2.bin" --connect 127.0.0.1 --port $port --log-dir "$work" "${p[@]}" || failures=$((failures + 1))
    cmp "$work/original.bin" "$work/copy2.bin" || failures=$((failures + 1))

    # A whole file from Linux to a Windows side that has none.
    port=$((port + 1))
    rm -rf "$work/into" && mkdir -p "$work/into"
    run_pair windows-nothing-$protocol "${windows_cli[@]}" nothing "$work/into" --listen --port $port "${p[@]}" -- \
        "$linux_cli" original "$work/original.bin" --connect 127.0.0.1 --port $port --log-dir "$work" "${p[@]}" || failures=$((failures + 1))
    cmp "$work/original.bin" "$work/into/original.bin" || failures=$((failures + 1))

    # Each side names protocol 2 exactly when it is used.
    for out in "$work"/*-$protocol.*.out; do
        if grep -qE "プロトコル2 \(XXH3\) で転送します|^protocol 2 \(XXH3\)" "$out"; then used=2; else used=1; fi
        [[ $used == "$protocol" ]] || { echo "$out: protocol $used, not $protocol"; failures=$((failures + 1)); }
    done
done

# Beyond 4 GiB (sparse): spots at 1 GiB and beyond 4 GiB, the copy 3 MiB
# shorter; the Windows side repairs, then sends the file back whole.
big=$((5 << 30))
truncate -s $big "$work/big.bin"
truncate -s $((big - (3 << 20) - 100)) "$work/big.copy"
for at in 0 $((1 << 30)) $(((4 << 30) + 28672)) $((big - 5000)); do
    head -c 4096 /dev/urandom | dd of="$work/big.bin" bs=1 seek=$at conv=notrunc status=none
done
head -c 4096 "$work/big.bin" | dd of="$work/big.copy" bs=1 conv=notrunc status=none
head -c 4096 /dev/urandom | dd of="$work/big.copy" bs=1 seek=$(((4 << 30) + 300000)) conv=notrunc status=none
port=$((port + 1))
run_pair big-repair "$linux_cli" original "$work/big.bin" --listen --port $port --log-dir "$work" -- \
    "${windows_cli[@]}" copy "$work/big.copy" --connect 127.0.0.1 --port $port --log-dir "$work" || failures=$((failures + 1))
cmp "$work/big.bin" "$work/big.copy" || failures=$((failures + 1))
rm -f "$work/big.copy"
port=$((port + 1))
rm -rf "$work/into" && mkdir -p "$work/into"
run_pair big-whole "$linux_cli" nothing "$work/into" --listen --port $port -- \
    "${windows_cli[@]}" original "$work/big.bin" --connect 127.0.0.1 --port $port --log-dir "$work" || failures=$((failures + 1))
cmp "$work/big.bin" "$work/into/big.bin" || failures=$((failures + 1))

# Paired with a code: the Windows Original listening, the Linux Copy.
port=$((port + 1))
damage "$work/copy3.bin"
run_pair paired "${windows_cli[@]}" original "$work/original.bin" --listen --port $port --log-dir "$work" \
    --code mixed-code-1 -- \
    "$linux_cli" copy "$work/copy3.bin" --connect 127.0.0.1 --port $port --log-dir "$work" --code mixed-code-1 ||
    failures=$((failures + 1))
cmp "$work/original.bin" "$work/copy3.bin" || failures=$((failures + 1))
for out in "$work"/paired.*.out; do
    grep -qE "プロトコル2 \(XXH3\) で転送します \(暗号化: |^protocol 2 \(XXH3\), encrypted with " "$out" || { echo "$out: not encrypted"; failures=$((failures + 1)); }
done

# Any name: the Linux Original sends a file whose name has no code page 932
# form into a Windows Nothing folder of such a name, paired by a code with
# an é, typed with dashes on one side and spaces on the other.
port=$((port + 1))
name="résumé € 😀.bin"
rm -rf "$work/in é€😀" && mkdir -p "$work/in é€😀"
cp "$work/original.bin" "$work/$name"
run_pair unicode "${windows_cli[@]}" nothing "$work/in é€😀" --listen --port $port --code "café-code-1" -- \
    "$linux_cli" original "$work/$name" --connect 127.0.0.1 --port $port --log-dir "$work" --code "café code 1" ||
    failures=$((failures + 1))
cmp "$work/original.bin" "$work/in é€😀/$name" || failures=$((failures + 1))

if [[ $failures -eq 0 ]]; then
    echo "mixed builds: 10 passed, 0 failed"
else
    echo "mixed builds: failures: $failures"
    exit 1
fi
