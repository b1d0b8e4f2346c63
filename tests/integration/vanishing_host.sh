#!/usr/bin/env bash
# A peer whose host vanishes without a word (a cable pulled: no FIN, no
# reset) is noticed within two minutes in every phase that waits on it.
# Each case runs blockmend-cli twice, in two network namespaces joined by a
# veth pair whose rate is limited (20 Mbit/s), so that every phase lasts
# long enough to be caught in; once the side under test shows the last line
# before the phase, the link is taken down (progress lines reach a file
# only when their phase ends), and that side must end with
# "相手との接続が切れました" within 120 s. A relay in user space cannot
# stand in for the link: the kernel would keep answering keepalive probes
# for a live relay. Two more cases stop the peer's process instead (SIGSTOP)
# while the side under test receives the repair's or the tail's data: its
# system still answers every probe, as it does for a killed Wine process
# whose end of the connection stays open, and the side must end with
# "相手とのデータの送受信が60秒間止まりました" within 120 s. And a peer whose
# checksum pass is slowed down (stopped 97.5 % of the time) must be waited
# for to the normal end. The cases run at once.
#   vanishing_host.sh BLOCKMEND_CLI         (ONLY=CASE: that case alone)
# Needs root (network namespaces, veth, tc).
set -euo pipefail
cli=$(realpath "$1")
limit_s=120
# The peers' status lines below are the Japanese ones.
export LC_ALL=ja_JP.UTF-8 2>/dev/null

if [[ $(id -u) -ne 0 ]] || ! command -v ip >/dev/null || ! command -v tc >/dev/null || ! command -v nsenter >/dev/null; then
    echo "vanishing_host: needs root, iproute2 (ip, tc) and nsenter" >&2
    exit 1
fi
work=$(mktemp -d /tmp/blockmend-vanish.XXXXXX)
tag=bmv$$
cases=()
cleanup() {
    for c in "${cases[@]}"; do
        for side in a b; do
            [[ -f $work/$c/$side.pid ]] && kill -9 "$(cat "$work/$c/$side.pid")" 2>/dev/null || true
            ip netns del "$tag$c$side" 2>/dev/null || true
        done
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Commands run in a namespace through nsenter, which enters the network
# namespace only (ip netns exec and ip -n also remount the root in a mount
# namespace of their own, which a chroot's root cannot take) and then
# becomes the command: $! is the command's own pid.
netns=/run/netns

# sparse FILE SIZE: a file of zeros with no blocks on disk.
sparse() { rm -f "$1"; truncate -s "$2" "$1"; }

# wait_line FILE LINE SECONDS: until FILE holds LINE as a whole line.
wait_line() {
    local deadline=$((SECONDS + $3))
    until grep -qxF -- "$2" "$1" 2>/dev/null; do
        ((SECONDS < deadline)) || return 1
        sleep 0.02
    done
}

# make_link NAME: the namespaces of a case, joined by a rate-limited veth
# pair; sets n (the case's number) and dir (its folder).
make_link() {
    local name=$1 side
    n=${#cases[@]}
    dir=$work/$name
    cases+=("$name")
    mkdir -p "$dir"
    ip netns add "$tag${name}a"
    ip netns add "$tag${name}b"
    ip link add "v${n}a$$" netns "$tag${name}a" type veth peer name "v${n}b$$" netns "$tag${name}b"
    for side in a b; do
        local ns=$tag$name$side address=10.78.$n.1
        [[ $side == b ]] && address=10.78.$n.2
        nsenter --net="$netns/$ns" ip link set lo up
        nsenter --net="$netns/$ns" ip addr add "$address/24" dev "v${n}$side$$"
        nsenter --net="$netns/$ns" ip link set "v${n}$side$$" up
        nsenter --net="$netns/$ns" tc qdisc add dev "v${n}$side$$" root tbf rate 20mbit burst 64kb latency 2s
    done
}

# start_sides NAME A_ARGS B_ARGS: in the case's folder, the side under test
# (a) listens in namespace a at 10.78.N.1 and the peer (b) connects from
# namespace b; a.pid and b.pid hold their processes.
start_sides() {
    local name=$1 a_args=$2 b_args=$3
    # shellcheck disable=SC2086
    nsenter --net="$netns/$tag${name}a" "$cli" $a_args --listen --log-dir "$dir" >a.out 2>a.err &
    echo $! >a.pid
    wait_line a.out "接続待ち・・・" 20 || { echo "$name: the side under test did not listen" >result; return 1; }
    # shellcheck disable=SC2086
    nsenter --net="$netns/$tag${name}b" "$cli" $b_args --connect 10.78.$n.1 --log-dir "$dir" >b.out 2>b.err &
    echo $! >b.pid
}

# run_slow_case NAME UNDER_TEST_ARGS PEER_ARGS: the peer (a Copy) runs 2.5 %
# of the time during its checksum pass (stopped for 975 ms of every second),
# which makes the pass last longer than the connection's limit on data that
# waits before a closed window. The side under test (the Original), whose
# list waits for the peer, must not give up: it reaches the normal end.
run_slow_case() {
    local name=$1 a_args=$2 b_args=$3
    [[ -z ${ONLY:-} || $ONLY == "$name" ]] || return 0
    make_link "$name"
    (
        cd "$dir"
        start_sides "$name" "$a_args" "$b_args" || exit 0
        wait_line b.out "Devide Size = 4096" 60 || { echo "$name: the peer's pass never began" >result; exit 0; }
        local a_pid b_pid started=$SECONDS rc=0
        a_pid=$(cat a.pid)
        b_pid=$(cat b.pid)
        while kill -0 "$b_pid" 2>/dev/null && ! grep -qxF "CRCデータ受信中・・・" b.out; do
            kill -STOP "$b_pid"
            sleep 0.975
            kill -CONT "$b_pid"
            sleep 0.025
        done
        local slowed=$((SECONDS - started))
        while kill -0 "$a_pid" 2>/dev/null && ((SECONDS - started <= 420)); do sleep 0.5; done
        wait "$a_pid" || rc=$?
        if ((rc != 0)); then
            echo "$name: the side under test gave up on a slow peer (exit $rc after $((SECONDS - started)) s): $(tail -n 3 a.out | tr '\n' '|')" >result
        elif ((slowed < 45)); then
            echo "$name: the peer's pass took only $slowed s, too short to show anything" >result
        else
            echo "ok $name: waited $slowed s for the slow pass" >result
        fi
    ) &
}

# run_case NAME UNDER_TEST_ARGS PEER_ARGS TRIGGER [PEER_TRIGGER TOUCH_FILE]
# The side under test (a) listens in namespace a at 10.78.N.1; the peer (b)
# connects from namespace b. Once a shows TRIGGER the link goes down (with
# FREEZE=1 in the environment: the peer's process is stopped instead). With
# PEER_TRIGGER, TOUCH_FILE is touched once b shows PEER_TRIGGER (the peer
# then reads its file again at the end, which holds it back).
run_case() {
    local name=$1 a_args=$2 b_args=$3 trigger=$4 peer_trigger=${5:-} touch_file=${6:-}
    local freeze=${FREEZE:-0} expected="相手との接続が切れました"
    ((!freeze)) || expected="相手とのデータの送受信が60秒間止まりました"
    [[ -z ${ONLY:-} || $ONLY == "$name" ]] || return 0
    make_link "$name"
    (
        cd "$dir"
        start_sides "$name" "$a_args" "$b_args" || exit 0
        if [[ -n $peer_trigger ]]; then
            wait_line b.out "$peer_trigger" 120 || { echo "$name: the peer never showed $peer_trigger" >result; exit 0; }
            touch -d '+1 hour' "$touch_file"
        fi
        wait_line a.out "$trigger" 120 || { echo "$name: the phase never began (no $trigger)" >result; exit 0; }
        if ((freeze)); then
            # The stop reaches the peer's data a little later than the line.
            sleep 1
            kill -STOP "$(cat b.pid)"
        else
            nsenter --net="$netns/$tag${name}b" ip link set "v${n}b$$" down
        fi
        local downed=$SECONDS
        # The side under test must still have been in the phase.
        local last
        last=$(grep -v '^$' a.out | tail -n 1 | tr -d '\r')
        last=${last##*$'\e[K'}
        local a_pid
        a_pid=$(cat a.pid)
        local rc=0
        while kill -0 "$a_pid" 2>/dev/null && ((SECONDS - downed <= limit_s + 10)); do sleep 0.5; done
        if kill -0 "$a_pid" 2>/dev/null; then
            echo "$name: still running $((SECONDS - downed)) s after the link went down; last line: $(tail -n 1 a.out)" >result
            exit 0
        fi
        wait "$a_pid" || rc=$?
        local took=$((SECONDS - downed))
        local tail3
        tail3=$(tail -n 4 a.out | head -n 3 | tr '\n' '|')  # the summary comes last
        if [[ $tail3 != "$expected|切断しました||" ]]; then
            echo "$name: ended with '$tail3' (exit $rc), last line before the cut: $last" >result
        elif ((rc != 1 || took > limit_s)); then
            echo "$name: exit $rc after $took s" >result
        else
            echo "ok $name: noticed after $took s" >result
        fi
    ) &
}

mkdir -p "$work/files"
f=$work/files
# Lists: 2M blocks of 4096 bytes, 16 MiB of hashes each way (some 7 s on
# the link); the Original waits for the Copy's list.
sparse "$f/list-orig.bin" 8G
sparse "$f/list-copy.bin" 8G
# Repairs: 64 MiB of damage (some 27 s on the link).
sparse "$f/rs-orig.bin" 256M
sparse "$f/rs-copy.bin" 256M
head -c $((64 << 20)) < <(yes) | dd of="$f/rs-copy.bin" bs=1M seek=64 iflag=fullblock conv=notrunc status=none
sparse "$f/rr-orig.bin" 256M
cp --sparse=always "$f/rs-copy.bin" "$f/rr-copy.bin"
# Tails: 256 MiB beyond a copy of 64 KiB.
sparse "$f/ts-orig.bin" 256M
sparse "$f/ts-copy.bin" 64K
sparse "$f/tr-orig.bin" 256M
sparse "$f/tr-copy.bin" 64K
# Digest: identical files; the Original's file is touched during the
# transfer, so it reads all 8 GiB again before it sends its digest, and the
# Copy waits for it.
sparse "$f/dg-orig.bin" 8G
sparse "$f/dg-copy.bin" 8G

run_case list "original $f/list-orig.bin --block-size 4096" "copy $f/list-copy.bin" \
    "CRCデータ受信中・・・"
run_case repair-send "original $f/rs-orig.bin --protocol 1" "copy $f/rs-copy.bin --protocol 1" \
    "CRC不一致"
run_case repair-receive "copy $f/rr-copy.bin" "original $f/rr-orig.bin" \
    "CRC不一致"
run_case tail-send "original $f/ts-orig.bin" "copy $f/ts-copy.bin" \
    "CRCは全て一致しています。"
run_case tail-receive "copy $f/tr-copy.bin --protocol 1" "original $f/tr-orig.bin --protocol 1" \
    "CRCは全て一致しています。"
run_case digest "copy $f/dg-copy.bin" "original $f/dg-orig.bin --block-size 4096" \
    "CRCは全て一致しています。" "CRCデータ送信中・・・" "$f/dg-orig.bin"
sparse "$f/fr-orig.bin" 256M
cp --sparse=always "$f/rs-copy.bin" "$f/fr-copy.bin"
sparse "$f/ft-orig.bin" 256M
sparse "$f/ft-copy.bin" 64K
FREEZE=1 run_case frozen-repair "copy $f/fr-copy.bin" "original $f/fr-orig.bin" "CRC不一致"
FREEZE=1 run_case frozen-tail "copy $f/ft-copy.bin" "original $f/ft-orig.bin" "CRCは全て一致しています。"
# A slow pass: 768K blocks (6 MiB of hashes, far more than the peer's
# receive buffer), some 5 s of work at full speed.
sparse "$f/sl-orig.bin" 3G
sparse "$f/sl-copy.bin" 3G
run_slow_case slow "original $f/sl-orig.bin --block-size 4096" "copy $f/sl-copy.bin"
wait

status=0
for c in "${cases[@]}"; do
    result=$(cat "$work/$c/result" 2>/dev/null || echo "$c: no result")
    echo "$result"
    if [[ $result != ok* ]]; then
        status=1
        for side in a b; do
            echo "  --- $c, $side:"
            sed 's/^/  | /' "$work/$c/$side.out" | tail -n 8
            sed 's/^/  ! /' "$work/$c/$side.err" | tail -n 3
        done
    fi
done
exit $status
