#!/usr/bin/env bash
# Builds the libFuzzer target tests/fuzz (arbitrary bytes as the peer's
# stream to a side in each role) with Debian's clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it for a bounded time.
#   scripts/fuzz.sh [SECONDS]     (default 60)
# The corpus grows in build/fuzz/corpus; a crash leaves its input in
# build/fuzz/findings and fails the run: copy that file into
# tests/fuzz/regressions/, where the unit tests replay it.
#
# clang takes no -fexec-charset=CP932, so this build keeps its text literals
# in UTF-8; nothing the target checks depends on their bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=${FUZZ_DIR:-build/fuzz}
cxx=${FUZZ_CXX:-clang++}
jobs=${JOBS:-2}

mkdir -p "$dir/obj" "$dir/corpus" "$dir/seeds" "$dir/findings"
flags=(-std=c++20 -g -O1 -I. -fno-omit-frame-pointer -Wall -Wno-unused-parameter
       -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
       '-DBLOCKMEND_CLI=""')
sources=(engine/*.cpp log/*.cpp net/*.cpp wire/crc16.cpp wire/strong_hash.cpp wire/block_size.cpp
         wire/link.cpp wire/messages.cpp wire/pairing.cpp wire/protocol.cpp wire/records.cpp platform/*_common.cpp
         platform/posix/*.cpp
         tests/support/engine_fixture.cpp tests/support/fixtures.cpp tests/support/peer.cpp
         tests/support/process.cpp tests/support/recorder_frontend.cpp tests/support/transfer_reset.cpp
         tests/support/wire_script.cpp
         tests/fuzz/peer_stream.cpp tests/fuzz/fuzz_peer_stream.cpp)

# Objects are rebuilt when their source or any header is newer.
newest_header=$(find engine log net wire platform tests/support tests/fuzz -name '*.h' -printf '%T@\n' | sort -n | tail -1)
objects=()
pids=()
for src in "${sources[@]}"; do
    obj="$dir/obj/$(echo "$src" | tr '/' '_' ).o"
    objects+=("$obj")
    if [[ -f $obj ]]; then
        obj_time=$(stat -c %Y "$obj")
        src_time=$(stat -c %Y "$src")
        if (( obj_time >= src_time )) && (( obj_time >= ${newest_header%.*} )); then continue; fi
    fi
    "$cxx" "${flags[@]}" -c "$src" -o "$obj" &
    pids+=($!)
    if (( ${#pids[@]} >= jobs )); then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done
for pid in "${pids[@]}"; do wait "$pid"; done
"$cxx" -fsanitize=fuzzer,address,undefined "${objects[@]}" -o "$dir/peer_stream_fuzz" -lsodium -lpthread

echo "fuzz.sh: running for ${seconds} s"
BLOCKMEND_FUZZ_SEEDS="$dir/seeds" "$dir/peer_stream_fuzz" \
    -max_total_time="$seconds" -max_len=262144 -timeout=60 -rss_limit_mb=2048 \
    -artifact_prefix="$dir/findings/" -print_final_stats=1 \
    "$dir/corpus" "$dir/seeds" tests/fuzz/regressions
