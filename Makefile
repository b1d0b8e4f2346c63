# Entry points for building and testing Blockmend: the native Linux build and
# the 32-bit Windows cross build, whose tests run under Wine on a private Xvfb.
#   make deps | build-native | build-win | test | demo | clean
# Each recipe runs as one bash script that stops at the first failing command.

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.ONESHELL:

JOBS       ?= 2
CTEST_JOBS ?= 1
NATIVE_DIR := build/native
WIN_DIR    := build/win
WIN_PREFIX := $(CURDIR)/$(WIN_DIR)/wineprefix
WIN_RUN    := $(CURDIR)/$(WIN_DIR)/run

.PHONY: all deps build-native build-win test test-native test-win test-hardening demo clean

all: build-native build-win

deps:
	bash scripts/install-deps.sh

build-native: deps
	cmake -S . -B $(NATIVE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(NATIVE_DIR) -j$(JOBS)

# The prefix is made before building: test discovery may run the .exe files
# under Wine during the build, and a first Wine start takes 10-20 s.
build-win: deps
	bash scripts/wine-prefix.sh "$(WIN_PREFIX)"
	export WINEPREFIX="$(WIN_PREFIX)"
	cmake -S . -B $(WIN_DIR) -DCMAKE_TOOLCHAIN_FILE="$(CURDIR)/cmake/mingw-i686.cmake" \
	      -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WIN_DIR) -j$(JOBS)

test: deps
	@$(MAKE) --no-print-directory build-native build-win
	status=0
	$(MAKE) --no-print-directory test-native || status=1
	$(MAKE) --no-print-directory test-win || status=1
	$(MAKE) --no-print-directory test-hardening || status=1
	if [[ $$status -ne 0 ]]; then echo "make test: FAILED (see the ctest output above)"; fi
	exit $$status

test-native:
	@echo "=== native tests ==="
	ctest --test-dir $(NATIVE_DIR) --output-on-failure -j$(CTEST_JOBS)

# Wine's helper processes (services.exe, explorer.exe, ...) inherit the stdio of
# the Wine process that starts them and outlive it by seconds; under CTest that
# cost 2-5 s per test. A keeper process (cmd.exe blocked on a FIFO) starts them
# with stdio going to a log and keeps them up for the whole run. A Wine session
# left from the build (started without DISPLAY) is let to end first, so the
# helpers of this run see the Xvfb display.
test-win:
	@echo "=== windows tests (wine) ==="
	bash scripts/wine-prefix.sh "$(WIN_PREFIX)"
	export WINEPREFIX="$(WIN_PREFIX)" LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 WINEDEBUG=-all
	mkdir -p "$(WIN_RUN)"
	holder=
	cleanup() {
	    [[ -n $$holder ]] && kill "$$holder" 2>/dev/null || true
	    wineserver -k 2>/dev/null || true
	    wineserver -w 2>/dev/null || true
	    bash scripts/xvfb.sh stop "$(WIN_RUN)" || true
	}
	trap cleanup EXIT
	bash scripts/xvfb.sh start "$(WIN_RUN)"
	export DISPLAY=$$(cat "$(WIN_RUN)/display")
	echo "WINEPREFIX=$$WINEPREFIX DISPLAY=$$DISPLAY LANG=$$LANG"
	timeout 30 wineserver -w || echo "warning: another Wine session still uses $$WINEPREFIX"
	rm -f "$(WIN_RUN)/keeper.in"
	mkfifo "$(WIN_RUN)/keeper.in"
	sleep infinity >"$(WIN_RUN)/keeper.in" &
	holder=$$!
	wine cmd.exe <"$(WIN_RUN)/keeper.in" >"$(WIN_RUN)/keeper.log" 2>&1 &
	wine cmd.exe /c exit </dev/null >/dev/null 2>&1
	ctest --test-dir $(WIN_DIR) --output-on-failure -j$(CTEST_JOBS)

# The native suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# one end-to-end repair under valgrind's memcheck, and a bounded fuzzing run.
FUZZ_SECONDS ?= 60
test-hardening:
	@echo "=== hardening: sanitizers, valgrind, fuzzing ==="
	bash scripts/sanitize.sh
	bash scripts/valgrind-check.sh
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

demo: deps build-native
	bash scripts/demo.sh

clean:
	@if [[ -d $(WIN_DIR)/wineprefix ]]; then WINEPREFIX="$(WIN_PREFIX)" wineserver -k 2>/dev/null || true; fi
	if [[ -d $(WIN_RUN) ]]; then bash scripts/xvfb.sh stop "$(WIN_RUN)" || true; fi
	rm -rf build
	echo "removed build/"
