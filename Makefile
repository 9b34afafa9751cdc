# Tarq: one command builds and runs the program, one builds and runs every test.
# Both install the Debian packages the build needs when they are missing.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
PACKAGES   := cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libedit-dev libpcre2-dev qt6-base-dev xvfb xauth
# The Jupyter kernel (xeus) and what its tests drive it with.
PACKAGES   += xeus-dev nlohmann-json3-dev cppzmq-dev python3-jupyter-kernel-test jupyter-client python3-nbconvert

PREFIX     ?= /usr/local
# The host tests (pseudo-terminal, README examples) run under python3; dpkg-dev
# gives `make package` the dependency scan of the binaries; lintian checks the
# package (`make lintian`, CI); the language server test drives tarq-lsp with
# Neovim's own client.
HOST_PACKAGES := python3 dpkg-dev lintian file neovim

.PHONY: all deps configure build test test-asan run bench clean install package lintian

all: build

deps:
	@missing=""; for p in $(PACKAGES) $(HOST_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: $(BUILD)/CMakeCache.txt

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTARQ_SANITIZE=ON -DTARQ_BUILD_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

run: build
	@if [ -x $(BUILD)/frontend/tarq ] && [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	  exec $(BUILD)/frontend/tarq; \
	else \
	  [ -x $(BUILD)/frontend/tarq ] && echo "No display found (DISPLAY is not set): starting the command-line host tarqsh instead."; \
	  exec $(BUILD)/cli/tarqsh; \
	fi

bench: build
	$(BUILD)/bench/tarq_bench
	$(BUILD)/bench/tarq_workloads
	$(BUILD)/bench/tarq_check_bench

# Installs under $(PREFIX) (programs, library, desktop entry, man page, reference).
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)
	@[ "$$(id -u)" -ne 0 ] || ldconfig

# A Debian package in $(BUILD): apt install ./$(BUILD)/tarq_*.deb
package: build
	cd $(BUILD) && cpack -G DEB

# Debian's checks of the package: fails on any error or warning.
lintian: package
	lintian --fail-on error,warning --no-tag-display-limit $(BUILD)/tarq_*.deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
