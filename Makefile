# Entry points for building, testing and packaging Blockmend.
#   make demo           blockmend-cli alone, and a sample repair on 127.0.0.1
#   make test           everything: native suites, Windows suites under Wine,
#                       packages, sanitizers/valgrind/fuzzing; one summary
#   make test-native    the native suites only (no Windows toolchain needed)
#   make test-win       the Windows builds and their suites under Wine
#   make install        blockmend-cli and its man page under PREFIX (/usr/local)
#   make package        a .deb of blockmend-cli and a zip of the Windows programs
#   make deps | build-native | build-cli | build-win | build-win64 | clean
# Each recipe runs as one bash script that stops at the first failing command.

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.ONESHELL:

JOBS       ?= 2
CTEST_JOBS ?= 1
PREFIX     ?= /usr/local
NATIVE_DIR := build/native
CLI_DIR    := build/cli
PACKAGE_DIR := build/packages

# Which Windows build the Windows suites run on: i686 (the deliverable, under
# 32-bit Wine) where this kernel runs 32-bit programs, else x86_64 under 64-bit
# Wine. Probed once per make run; BLOCKMEND_WIN_ARCH=i686|x86_64 overrides it.
WIN_ARCH ?= $(shell bash scripts/windows-arch.sh)
export WIN_ARCH
ifeq ($(WIN_ARCH),x86_64)
WIN_TEST_DIR := build/win64
WIN32_TESTS  := OFF
else
WIN_TEST_DIR := build/win
WIN32_TESTS  := ON
endif

.PHONY: all deps deps-demo deps-native build-native build-cli build-win build-win64 \
        test test-native test-win test-package test-hardening demo install package clean

all: build-native build-win

deps:
	bash scripts/install-deps.sh all
deps-demo:
	bash scripts/install-deps.sh demo
deps-native:
	bash scripts/install-deps.sh native

build-native: deps-native
	cmake -S . -B $(NATIVE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBLOCKMEND_TESTS=ON
	cmake --build $(NATIVE_DIR) -j$(JOBS)

# blockmend-cli alone, as it is installed and packaged: no tests, no benchmarks.
build-cli: deps-demo
	cmake -S . -B $(CLI_DIR) -DCMAKE_BUILD_TYPE=Release -DBLOCKMEND_TESTS=OFF -DBLOCKMEND_BENCH=OFF
	cmake --build $(CLI_DIR) -j$(JOBS)

# A Windows build in folder $(1) with toolchain $(2), tests $(3). With tests,
# the prefix is made before building: test discovery may run the .exe files
# under Wine during the build, and a first Wine start takes 10-20 s.
define build_windows
	if [[ $(3) == ON ]]; then bash scripts/wine-prefix.sh "$(CURDIR)/$(1)/wineprefix" $(2); fi
	export WINEPREFIX="$(CURDIR)/$(1)/wineprefix"
	cmake -S . -B $(1) -DCMAKE_TOOLCHAIN_FILE="$(CURDIR)/cmake/mingw-$(2).cmake" \
	      -DCMAKE_BUILD_TYPE=Release -DBLOCKMEND_TESTS=$(3)
	cmake --build $(1) -j$(JOBS)
endef

# The 32-bit build, the deliverable; it is always made. Its test programs are
# built only where they can run.
build-win: deps
	$(call build_windows,build/win,i686,$(WIN32_TESTS))

build-win64: deps
	$(call build_windows,build/win64,x86_64,ON)

test:
	@status=0
	summary=()
	part() {  # name target
	    if $(MAKE) --no-print-directory "$$2"; then summary+=("  $$1: passed")
	    else summary+=("  $$1: FAILED"); status=1; fi
	}
	part "native suites" test-native
	part "Windows suites" test-win
	part "packages" test-package
	part "hardening" test-hardening
	echo "=== make test summary ==="
	printf '%s\n' "$${summary[@]}"
	bash scripts/windows-arch.sh --why | sed 's/^/  /'
	if [[ $$status -ne 0 ]]; then echo "make test: FAILED"; else echo "make test: passed"; fi
	exit $$status

test-native: build-native
	@echo "=== native tests ==="
	ctest --test-dir $(NATIVE_DIR) --output-on-failure --no-tests=error -j$(CTEST_JOBS)

# Wine's helper processes (services.exe, explorer.exe, ...) inherit the stdio of
# the Wine process that starts them and outlive it by seconds; under CTest that
# cost 2-5 s per test. A keeper process (cmd.exe blocked on a FIFO) starts them
# with stdio going to a log and keeps them up for the whole run. A Wine session
# left from the build (started without DISPLAY) is let to end first, so the
# helpers of this run see the Xvfb display.
test-win: build-win
	@echo "=== windows tests (wine) ==="
	bash scripts/windows-arch.sh --why
	if [[ $(WIN_ARCH) == x86_64 ]]; then
	    $(MAKE) --no-print-directory build-win64
	    bash scripts/check-win32-build.sh build/win build/win64
	fi
	# The mixed-build test needs the Linux peer beside the Windows one.
	[[ -x $(NATIVE_DIR)/blockmend-cli ]] || $(MAKE) --no-print-directory build-native
	dir=$(CURDIR)/$(WIN_TEST_DIR)
	source scripts/wine-env.sh
	wine_for_arch $(WIN_ARCH)
	bash scripts/wine-prefix.sh "$$dir/wineprefix" $(WIN_ARCH)
	export WINEPREFIX="$$dir/wineprefix" LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 WINEDEBUG=-all
	run=$$dir/run
	mkdir -p "$$run"
	holder=
	cleanup() {
	    [[ -n $$holder ]] && kill "$$holder" 2>/dev/null || true
	    wineserver -k 2>/dev/null || true
	    wineserver -w 2>/dev/null || true
	    bash scripts/xvfb.sh stop "$$run" || true
	}
	trap cleanup EXIT
	bash scripts/xvfb.sh start "$$run"
	export DISPLAY=$$(cat "$$run/display")
	echo "WINEPREFIX=$$WINEPREFIX DISPLAY=$$DISPLAY LANG=$$LANG WINE=$$WINE"
	timeout 30 wineserver -w || echo "warning: another Wine session still uses $$WINEPREFIX"
	rm -f "$$run/keeper.in"
	mkfifo "$$run/keeper.in"
	sleep infinity >"$$run/keeper.in" &
	holder=$$!
	"$$WINE" cmd.exe <"$$run/keeper.in" >"$$run/keeper.log" 2>&1 &
	"$$WINE" cmd.exe /c exit </dev/null >/dev/null 2>&1
	ctest --test-dir $(WIN_TEST_DIR) --output-on-failure --no-tests=error -j$(CTEST_JOBS)
	# Every Windows suite must have run: a missing one is a failure, not a pass.
	listed=$$(ctest --test-dir $(WIN_TEST_DIR) -N | sed -n 's/^ *Test *#[0-9]*: //p' | sort | tr '\n' ' ')
	[[ $$listed == "gui_tests hostile_tests integration_tests mixed_builds unit_tests " ]] ||
	    { echo "test-win: expected the suites gui_tests hostile_tests integration_tests mixed_builds unit_tests, found: $$listed"; exit 1; }

# The .deb installed into a scratch root: a loopback repair with the installed
# binary, and its man page.
test-package: package
	@echo "=== packages ==="
	bash tests/package/package_test.sh $(PACKAGE_DIR)

# The native suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# one end-to-end repair under valgrind's memcheck, and a bounded fuzzing run.
FUZZ_SECONDS ?= 60
test-hardening: deps
	@echo "=== hardening: sanitizers, valgrind, fuzzing ==="
	bash scripts/sanitize.sh
	bash scripts/valgrind-check.sh
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

demo: build-cli
	BLOCKMEND_CLI=$(CLI_DIR)/blockmend-cli bash scripts/demo.sh

install: build-cli
	cmake --install $(CLI_DIR) --prefix "$(PREFIX)"

package: build-win
	$(MAKE) --no-print-directory build-cli
	bash scripts/package.sh $(CLI_DIR) build/win $(PACKAGE_DIR)

clean:
	@for dir in build/win build/win64; do
	    if [[ -d $$dir/wineprefix ]]; then WINEPREFIX="$(CURDIR)/$$dir/wineprefix" wineserver -k 2>/dev/null || true; fi
	    if [[ -d $$dir/run ]]; then bash scripts/xvfb.sh stop "$$dir/run" || true; fi
	done
	rm -rf build
	echo "removed build/"
