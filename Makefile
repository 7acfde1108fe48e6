# Front door of the project. Every target installs missing Debian packages
# first, then configures, builds and tests one CMake preset under build/.
#
#   make test   build the default preset and run every test
#   make asan   the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   make tsan   the same under ThreadSanitizer
#   make m32    the same as a 32-bit x86 build
#   make demo   build, then run the main job through the reference host
#   make bench  build and run the benchmarks
#   make install PREFIX=DIR   build, then install everything under DIR
#                (default /usr/local; DESTDIR is honoured)
#   make install-strip   the same with the programs and modules stripped
#   make uninstall       remove what the last install from build/default put
#                in place (its manifest, build/default/install_manifest.txt)
#   make docs   the API reference of the client headers (Doxygen) in build/docs;
#               fails on any Doxygen warning (an undocumented member included)
#   make fuzz   build the libFuzzer targets (clang 14) and run each for
#               FUZZ_SECONDS (default 60) under ASan + UBSan
#   make verify model-check the framework's lock order with spin
#   make lint   clang-format and clang-tidy over the code (scripts/lint.sh)

JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
# Warnings are errors in CI.
export ZIP_WERROR := $(if $(CI),ON,OFF)

FUZZ_SECONDS ?= 60

.PHONY: all deps test asan tsan m32 demo bench install install-strip uninstall docs fuzz verify lint clean
all: test

deps:
	@bash scripts/install-deps.sh

define preset_test
	cmake --preset $(1) >/dev/null
	cmake --build --preset $(1) -j $(JOBS)
	ctest --preset $(1) -j $(JOBS)
endef

test: deps
	$(call preset_test,default)

asan: deps
	$(call preset_test,asan)

tsan: deps
	$(call preset_test,tsan)

# Says whether the 32-bit tests run natively or under qemu-i386 (the kernel may
# not run 32-bit programs; configure decides and records it in the cache).
m32: deps
	cmake --preset m32 >/dev/null
	@echo "m32: tests run $$(sed -n 's/^ZIP_M32_RUNS:INTERNAL=//p' build/m32/CMakeCache.txt)"
	cmake --build --preset m32 -j $(JOBS)
	ctest --preset m32 -j $(JOBS)

demo: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)
	bash scripts/demo.sh build/default

# Goals are printed as met or NOT MET, or as not judged when another process
# competed for the processors; the results, the lock table and the chart go
# to build/default/bench/ (bench/run_bench.py).
bench: deps
	@bash scripts/install-deps.sh bench
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target zip_benchmarks zip-floor zip-measure zip-host zip-locks lockcount
	python3 bench/run_bench.py build/default

# The installed layout follows GNUInstallDirs for PREFIX, so the prefix is
# given at configure time; the installed zip-host finds its modules from there.
PREFIX ?= /usr/local
install: deps
	cmake --preset default -DCMAKE_INSTALL_PREFIX=$(abspath $(PREFIX)) >/dev/null
	cmake --build --preset default -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install build/default

install-strip: deps
	cmake --preset default -DCMAKE_INSTALL_PREFIX=$(abspath $(PREFIX)) >/dev/null
	cmake --build --preset default -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install build/default --strip

# The manifest lists the paths as installed, DESTDIR included.
uninstall:
	cmake -DMANIFEST=$(CURDIR)/build/default/install_manifest.txt -P cmake/ZipUninstall.cmake

# Doxygen and Graphviz come with the docs group of install-deps.sh. Every
# public class, member and function must be documented: any Doxygen warning
# (build/docs/warnings.log) fails the target. Without Doxygen (no root to
# install it) it says so and does nothing, except in CI, where that fails too.
# The version shown is the one in zip/include/zip_version.h.
ZIP_VERSION := $(shell sed -n 's/^\#define S_ZIP_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$$/\2/p' zip/include/zip_version.h | paste -sd.)
docs:
	@bash scripts/install-deps.sh docs || true
	@if command -v doxygen >/dev/null; then \
	  mkdir -p build/docs && S_ZIP_VERSION_STRING=$(ZIP_VERSION) doxygen docs/Doxyfile || exit 1; \
	  if [ -s build/docs/warnings.log ]; then \
	    cat build/docs/warnings.log >&2; \
	    echo "docs: $$(wc -l < build/docs/warnings.log) warning line(s); every public member needs documentation" >&2; \
	    exit 1; \
	  fi; \
	  echo "docs: build/docs/html/index.html, no warnings"; \
	elif [ -n "$(CI)" ]; then echo "docs: doxygen is not installed" >&2; exit 1; \
	else echo "docs: doxygen is not installed; nothing rendered"; fi

fuzz:
	@bash scripts/install-deps.sh fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	bash scripts/fuzz.sh build/fuzz $(FUZZ_SECONDS)

# The lock order model (verify/lock_order.pml): no deadlock and no assertion
# violation as the code takes the locks; a deadlock with one order inverted.
verify:
	@bash scripts/install-deps.sh verify
	@bash scripts/verify.sh

# clang-tidy reads the compile commands of the lint preset, configured with
# clang and never built.
lint:
	@bash scripts/install-deps.sh lint fuzz
	cmake --preset lint >/dev/null
	bash scripts/lint.sh build/lint

clean:
	rm -rf build
