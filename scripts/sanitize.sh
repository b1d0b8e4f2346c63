#!/usr/bin/env bash
# Builds the native program and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/asan) and runs the native test suite
# there. Any report of either, a leak included, fails the run.
#   scripts/sanitize.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${SANITIZE_DIR:-build/asan}
jobs=${JOBS:-2}

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBLOCKMEND_SANITIZE=ON
cmake --build "$dir" -j"$jobs"

# The tests run blockmend-cli as child processes, which read the same options.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:exitcode=86:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
# The vanishing-host test checks the system's side of a connection (probes,
# time limits) and takes some 90 s; the sanitizers have nothing to add there.
ctest --test-dir "$dir" --output-on-failure -j"${CTEST_JOBS:-2}" -E '^vanishing_host$' "$@"
