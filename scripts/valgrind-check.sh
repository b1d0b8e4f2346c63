#!/usr/bin/env bash
# One end-to-end repair between two blockmend-cli peers on 127.0.0.1, both
# under valgrind's memcheck: a damaged, shorter copy is repaired, refined
# and given its tail. Fails on any memcheck error, on any leak (definite,
# indirect, possible or still reachable), on a failed repair or on a copy
# that does not equal the original afterwards.
#   scripts/valgrind-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${VALGRIND_DIR:-build/valgrind}
work="$dir/work"
# A port with no socket on it at all: a listening side does not reuse a
# port that an earlier connection still holds in TIME_WAIT.
port=${VALGRIND_PORT:-}
while [[ -z $port ]]; do
    port=$((20000 + RANDOM % 12000))
    [[ -z $(ss -Htan "( sport = :$port or dport = :$port )" 2>/dev/null) ]] || port=
done

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBLOCKMEND_TESTS=OFF >/dev/null
cmake --build "$dir" -j"${JOBS:-2}" --target blockmend-cli
cli="$dir/blockmend-cli"

rm -rf "$work"
mkdir -p "$work"
head -c $((3 * 1024 * 1024)) /dev/urandom >"$work/original.bin"
cp "$work/original.bin" "$work/copy.bin"
for offset in 777 1500000 2100000; do
    printf 'DAMAGE' | dd of="$work/copy.bin" bs=1 seek="$offset" conv=notrunc status=none
done
truncate -s $((3 * 1024 * 1024 - 70000)) "$work/copy.bin"

export LC_ALL=C  # the peers' lines in English
memcheck=(valgrind --tool=memcheck --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all
          --error-exitcode=99 --track-origins=yes --num-callers=30)
"${memcheck[@]}" --log-file="$work/original.valgrind" \
    "$cli" original "$work/original.bin" --listen --port "$port" --block-size 1048576 --log-dir "$work" \
    >"$work/original.out" 2>&1 &
original=$!
for _ in $(seq 200); do grep -q . "$work/original.out" 2>/dev/null && break; sleep 0.1; done
set +e
"${memcheck[@]}" --log-file="$work/copy.valgrind" \
    "$cli" copy "$work/copy.bin" --connect 127.0.0.1 --port "$port" --log-dir "$work" >"$work/copy.out" 2>&1
copy_rc=$?
wait "$original"
original_rc=$?
set -e

status=0
for side in original copy; do
    echo "---- $side ----"
    cat "$work/$side.out"
    grep -E "ERROR SUMMARY|in use at exit|definitely lost|indirectly lost|possibly lost|still reachable" \
        "$work/$side.valgrind" || true
    if ! grep -q "ERROR SUMMARY: 0 errors" "$work/$side.valgrind" ||
       ! grep -q "All heap blocks were freed" "$work/$side.valgrind"; then
        echo "valgrind-check: memcheck found errors or leaks on the $side side; see $work/$side.valgrind" >&2
        status=1
    fi
done
echo "exit status: original $original_rc, copy $copy_rc"
if [[ $original_rc -ne 0 || $copy_rc -ne 0 ]]; then
    echo "valgrind-check: the repair did not end normally" >&2
    status=1
fi
if ! cmp -s "$work/original.bin" "$work/copy.bin"; then
    echo "valgrind-check: the copy differs from the original" >&2
    status=1
fi
grep -q "the repair is complete" "$work/copy.out" || { echo "valgrind-check: no repair took place" >&2; status=1; }
[[ $status -eq 0 ]] && echo "valgrind-check: no errors, no leaks, copy repaired"
exit "$status"
