# Front door to the two CMake presets. `make demo` copies a generated sample
# tree; `make test` runs every test of both builds. Both install what they
# need on a fresh Debian machine first.
SHELL := /bin/bash
PACKAGES := cmake make g++ googletest python3 libcap-dev acl attr \
            g++-mingw-w64-x86-64-posix wine wine64
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS ?= 2
export WINEDEBUG := -all
# No .NET or HTML engine is needed; skipping them keeps the first boot quick.
export WINEDLLOVERRIDES := mscoree=;mshtml=

.PHONY: all deps linux windows test test-linux test-windows demo clean

all: linux windows

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing: $$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

linux: deps
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j $(JOBS)

windows: deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS)

# Wine: one persistent server and a booted prefix, all three standard streams
# on /dev/null so that no Wine service holds ctest's pipes open.
wine-up:
	@wineserver -p </dev/null >/dev/null 2>&1; wine cmd /c exit </dev/null >/dev/null 2>&1; true

test: test-linux test-windows

test-linux: linux
	ctest --preset linux -j $(JOBS)

test-windows: windows wine-up
	ctest --preset windows -j $(JOBS); status=$$?; wineserver -k >/dev/null 2>&1; exit $$status

demo: linux windows wine-up
	@bash tools/demo.sh; status=$$?; wineserver -k >/dev/null 2>&1; exit $$status

clean:
	rm -rf build demo
