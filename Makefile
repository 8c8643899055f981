# Busprobe: set-up, build and checks. `make run` and `make test` do all set-up
# on a fresh Debian 12 machine (they install missing packages with apt-get).

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
PACKAGE_BUILD ?= build-package
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 60
SOAK_COMMANDS ?= 1000
WERROR     := $(if $(CI),ON,OFF)

PACKAGES      := cmake ninja-build g++ make libgtest-dev libgmock-dev qt6-base-dev fonts-ipafont-gothic \
                 xvfb openbox xdotool wmctrl x11-utils libx11-dev
BENCH_PACKAGES := libbenchmark-dev
FUZZ_PACKAGES := clang libclang-rt-14-dev
PACKAGE_PACKAGES := dpkg-dev file lintian desktop-file-utils
VERSION := $(shell sed -n "s/^project.busprobe VERSION \([0-9.]*\).*/\1/p" CMakeLists.txt)

SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
missing = $(strip $(foreach p,$(1),$(if $(shell dpkg-query -W -f='$${Status}' $(p) 2>/dev/null | grep -q 'ok installed' && echo y),,$(p))))

CONFIGURE = cmake -S . -G Ninja -DBUSPROBE_WERROR=$(WERROR)

.PHONY: all deps deps-bench deps-fuzz deps-package build run test sanitize asan tsan bench fuzz soak screenshot install package package-check clean

all: build

deps:
	@m="$(call missing,$(PACKAGES))"; if [ -n "$$m" ]; then \
	  echo "Installing: $$m"; $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$m; fi

deps-bench: deps
	@m="$(call missing,$(BENCH_PACKAGES))"; if [ -n "$$m" ]; then \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$m; fi

deps-package: deps
	@m="$(call missing,$(PACKAGE_PACKAGES))"; if [ -n "$$m" ]; then \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$m; fi

deps-fuzz: deps
	@m="$(call missing,$(FUZZ_PACKAGES))"; if [ -n "$$m" ]; then \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$m; fi

# Configured on every build, so that CI=1 on an existing build folder still
# turns warnings into errors (a re-run with unchanged options is quick).
build: deps
	$(CONFIGURE) -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@if [ -x $(BUILD)/ui/busprobe ]; then exec $(BUILD)/ui/busprobe; \
	 else exec $(BUILD)/apps/cli/busprobe-cli --help; fi

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The suite under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# threaded tests and the window tests (offscreen; monitor lines cross from the
# I/O thread into the window) under ThreadSanitizer. Qt itself is not built
# with ThreadSanitizer: ignore_noninstrumented_modules keeps its internal
# allocations and atomics out of the reports (no suppressions file needed).
sanitize: asan tsan

asan: deps
	$(CONFIGURE) -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DBUSPROBE_SANITIZE=address,undefined
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

tsan: deps
	$(CONFIGURE) -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DBUSPROBE_SANITIZE=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS='halt_on_error=1 ignore_noninstrumented_modules=1' ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L 'threaded|^ui$$'

bench: deps-bench
	$(CONFIGURE) -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DBUSPROBE_BUILD_BENCH=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@$(BENCH_BUILD)/bench/run_all.sh $(BENCH_BUILD)

fuzz: deps-fuzz
	CC=clang CXX=clang++ $(CONFIGURE) -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DBUSPROBE_BUILD_UI=OFF -DBUSPROBE_BUILD_FUZZ=ON \
	  -DBUSPROBE_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
	cmake --build $(FUZZ_BUILD) --target busprobe_fuzzers -j $(JOBS)
	@FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run_all.sh $(FUZZ_BUILD)

soak: deps-bench
	$(CONFIGURE) -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DBUSPROBE_BUILD_BENCH=ON
	cmake --build $(BENCH_BUILD) --target busprobe-soak busprobe-soak-tcp busprobe-soak-tcp-busy -j $(JOBS)
	$(BENCH_BUILD)/bench/soak/busprobe-soak --seconds $(SOAK_SECONDS)
	$(BENCH_BUILD)/bench/soak/busprobe-soak-tcp --seconds $(SOAK_SECONDS)
	$(BENCH_BUILD)/bench/soak/busprobe-soak-tcp-busy --commands $(SOAK_COMMANDS) --traffic 120

screenshot: build
	QT_QPA_PLATFORM=offscreen $(BUILD)/ui/busprobe --screenshot docs

install: build
	cmake --install $(BUILD)

# The Debian package busprobe_<version>_<arch>.deb in this folder: built for
# /usr with Debian's hardening flags, without the tests; dependencies come
# from the binaries (dpkg-shlibdeps) plus the font and Qt's platform plugins.
package: deps-package
	$(CONFIGURE) -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCMAKE_CXX_FLAGS="$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS) $$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)" > /dev/null
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	rm -f $(PACKAGE_BUILD)/busprobe_*.deb
	cd $(PACKAGE_BUILD) && cpack -G DEB > /dev/null
	cp $(PACKAGE_BUILD)/busprobe_$(VERSION)_*.deb .
	@ls busprobe_$(VERSION)_*.deb

# What CI checks of the package: file list, dependencies, lintian, and the
# unpacked programs.
package-check: package
	packaging/check-package.sh $$(ls busprobe_$(VERSION)_*.deb) $(VERSION)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD) $(PACKAGE_BUILD) busprobe_*.deb
