#!/usr/bin/env bash
# The main job end to end: a sample file and a copy of it that is damaged in
# a few places and a few KiB short, repaired by two blockmend-cli peers on
# 127.0.0.1. Shows both sides' status lines and checks the result.
set -euo pipefail
cd "$(dirname "$0")/.."
cli=${BLOCKMEND_CLI:-build/cli/blockmend-cli}
work=${DEMO_DIR:-build/demo}
size_mib=${DEMO_SIZE_MIB:-64}
port=${DEMO_PORT:-46699}

rm -rf "$work"
mkdir -p "$work"
echo "== Making a ${size_mib} MiB sample and a damaged, shorter copy in $work"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/sample.bin"
cp "$work/sample.bin" "$work/copy.bin"
for offset in 1000 5000000 33554432 50000000; do
  [ "$offset" -lt $((size_mib * 1024 * 1024 - 8192)) ] || continue
  printf 'DAMAGE' | dd of="$work/copy.bin" bs=1 seek="$offset" conv=notrunc status=none
done
truncate -s $((size_mib * 1024 * 1024 - 5000)) "$work/copy.bin"
cmp -s "$work/sample.bin" "$work/copy.bin" && { echo "copy is not damaged?"; exit 1; }

echo "== Original side listens on port $port; the copy side connects"
"$cli" original "$work/sample.bin" --listen --port "$port" --log-dir "$work" > "$work/original.out" 2>&1 &
original=$!
for _ in $(seq 100); do grep -q . "$work/original.out" 2>/dev/null && break; sleep 0.05; done
set +e
"$cli" copy "$work/copy.bin" --connect 127.0.0.1 --port "$port" --log-dir "$work" > "$work/copy.out" 2>&1
copy_rc=$?
wait "$original"
original_rc=$?
set -e
echo
echo "---- original side ----"; cat "$work/original.out"
echo "---- copy side ----"; cat "$work/copy.out"
echo "-----------------------"
echo "exit status: original $original_rc, copy $copy_rc"
if cmp "$work/sample.bin" "$work/copy.bin"; then
  echo "The copy now equals the original."
else
  echo "The copy still differs from the original." >&2
  exit 1
fi
[ "$copy_rc" -eq 0 ] && [ "$original_rc" -eq 0 ]
