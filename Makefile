# Front door of the project. Every target installs missing Debian packages
# first, then configures, builds and tests one CMake preset under build/.
#
#   make test   build the default preset and run every test
#   make asan   the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   make tsan   the same under ThreadSanitizer
#   make m32    the same as a 32-bit x86 build
#   make demo   build, then run the main job through the reference host
#   make bench  build and run the benchmarks

JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
# Warnings are errors in CI.
export ZIP_WERROR := $(if $(CI),ON,OFF)

.PHONY: all deps test asan tsan m32 demo bench clean
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

# Goals are printed as met or NOT MET; the results and the chart go to
# build/default/bench/ (bench/run_bench.py).
bench: deps
	@bash scripts/install-deps.sh bench
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target zip_benchmarks zip-floor zip-measure zip-host
	python3 bench/run_bench.py build/default

clean:
	rm -rf build
