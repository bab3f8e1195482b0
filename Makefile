# Front door to the two CMake presets. `make demo` copies a generated sample
# tree; `make test` runs every test of both builds. Both install what they
# need on a fresh Debian machine first.
SHELL := /bin/bash
PACKAGES := cmake make g++ googletest python3 libcap-dev acl attr rsync mount util-linux \
            e2fsprogs xfsprogs debhelper dpkg-dev fakeroot lintian systemd passwd adduser \
            libcap2-bin git file strace \
            g++-mingw-w64-x86-64-posix wine wine64 clang libclang-rt-14-dev \
            exfat-fuse exfatprogs logrotate
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS ?= 2
export WINEDEBUG := -all
# No .NET or HTML engine is needed; skipping them keeps the first boot quick.
export WINEDLLOVERRIDES := mscoree=;mshtml=

# How long `make test` fuzzes each target; `make fuzz` takes FUZZ_SECONDS.
FUZZ_SMOKE_SECONDS ?= 20
FUZZ_SECONDS ?= 600

.PHONY: all deps linux windows asan tsan fuzz-build test test-linux test-windows test-asan \
        test-tsan test-fuzz test-package fuzz package bench demo clean

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

# Sanitizers: every Linux test again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report fails the test.
asan: deps
	cmake --preset linux-asan >/dev/null
	cmake --build --preset linux-asan -j $(JOBS)

# ThreadSanitizer: every Linux test again, the workers of /Threads: among
# them; any report of a data race fails the test.
tsan: deps
	cmake --preset linux-tsan >/dev/null
	cmake --build --preset linux-tsan -j $(JOBS)

fuzz-build: deps
	cmake --preset fuzz -DFUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

test: test-linux test-windows test-asan test-tsan test-fuzz test-package

test-linux: linux
	ctest --preset linux -j $(JOBS)

test-asan: asan
	ctest --preset linux-asan -j $(JOBS)

test-tsan: tsan
	ctest --preset linux-tsan -j $(JOBS)

test-fuzz: FUZZ_SECONDS = $(FUZZ_SMOKE_SECONDS)
test-fuzz: fuzz-build
	ctest --preset fuzz -j $(JOBS)

# As long as asked: make fuzz FUZZ_SECONDS=3600
fuzz: fuzz-build
	ctest --preset fuzz -j $(JOBS)

test-windows: windows wine-up
	ctest --preset windows -j $(JOBS); status=$$?; wineserver -k >/dev/null 2>&1; exit $$status

# The .deb (with its debug symbols) built by debhelper from a copy of the
# tracked sources, in build/deb, and the zip of the Windows build in
# build/windows: velmox.exe alone is built for it, stripped into the zip,
# its debug sections kept beside it as velmox.exe.debug.
package: deps
	rm -rf build/deb && mkdir -p build/deb/src
	git ls-files -z | xargs -0 tar -cf - | tar -xf - -C build/deb/src
	cd build/deb/src && dpkg-buildpackage -us -uc -b -j$(JOBS) >../build.log 2>&1 || \
	  { tail -n 40 ../build.log; exit 1; }
	cmake --preset windows >/dev/null
	cmake --build --preset windows --target velmox -j $(JOBS)
	x86_64-w64-mingw32-objcopy --only-keep-debug build/windows/velmox.exe build/windows/velmox.exe.debug
	cd build/windows && cpack -G ZIP >/dev/null

# The packages as a user meets them: lintian, the units, and (as root) the
# .deb installed, run by a member of its group, removed and put back.
test-package: package
	tools/check-package.sh

# Not a test: velmox against cp -a and rsync -aAX on generated trees.
BENCH_PACKAGES := rsync strace linux-perf time btrfs-progs e2fsprogs libfuse-dev pkgconf gcc fuse rclone fpart
bench: linux
	@missing=$$(for p in $(BENCH_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; fi
	$(SUDO) python3 bench/bench.py

demo: linux windows wine-up
	@bash tools/demo.sh; status=$$?; wineserver -k >/dev/null 2>&1; exit $$status

clean:
	rm -rf build demo
