# 32-bit x86 builds (ZIP_M32): how their programs run on this machine.
#
# A trivial -m32 program is built and started. If the kernel runs it, test
# programs run natively. If it refuses (a kernel without 32-bit support), or
# ZIP_M32_EMULATE is ON, every 32-bit program that the tests start goes
# through qemu-i386 (Debian package qemu-user):
#   - CMAKE_CROSSCOMPILING_EMULATOR initialises each target's
#     CROSSCOMPILING_EMULATOR, which add_test() and gtest_discover_tests()
#     prefix to the executable (so this file is included before any target);
#   - ZIP_EMULATOR holds the same program for tests that start zip-host
#     themselves (the end-to-end script, the demo): empty when native.
# add_test() and gtest_discover_tests() use the emulator without
# CMAKE_CROSSCOMPILING only while policy CMP0158 is unset or OLD, which
# cmake_minimum_required(VERSION 3.25) guarantees.
set(ZIP_EMULATOR "")
if(NOT ZIP_M32)
  return()
endif()

option(ZIP_M32_EMULATE "Run 32-bit test programs under qemu-i386 even where the kernel runs them" OFF)

set(_zip_probe_dir ${PROJECT_BINARY_DIR}/CMakeFiles/ZipM32Probe)
file(WRITE ${_zip_probe_dir}/probe.c "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
try_compile(_zip_probe_built ${_zip_probe_dir}/build ${_zip_probe_dir}/probe.c
  CMAKE_FLAGS "-DCMAKE_C_FLAGS=-m32" "-DCMAKE_EXE_LINKER_FLAGS=-m32"
  OUTPUT_VARIABLE _zip_probe_log
  COPY_FILE ${_zip_probe_dir}/probe)
if(NOT _zip_probe_built)
  message(FATAL_ERROR "ZIP_M32: cannot build a 32-bit x86 program (gcc-multilib missing?):\n${_zip_probe_log}")
endif()

execute_process(COMMAND ${_zip_probe_dir}/probe RESULT_VARIABLE _zip_probe_rc OUTPUT_QUIET ERROR_QUIET)
if(_zip_probe_rc STREQUAL "0" AND NOT ZIP_M32_EMULATE)
  message(STATUS "32-bit programs run natively")
  set(ZIP_M32_RUNS "natively" CACHE INTERNAL "How 32-bit test programs run")
  return()
endif()

find_program(ZIP_QEMU_I386 NAMES qemu-i386 qemu-i386-static
  DOC "Emulator for 32-bit x86 test programs where the kernel does not run them")
if(NOT ZIP_QEMU_I386)
  message(FATAL_ERROR "ZIP_M32: this kernel does not run 32-bit x86 programs (${_zip_probe_rc}) "
    "and qemu-i386 was not found: install qemu-user (scripts/install-deps.sh does)")
endif()
execute_process(COMMAND ${ZIP_QEMU_I386} ${_zip_probe_dir}/probe RESULT_VARIABLE _zip_probe_rc
  OUTPUT_QUIET ERROR_QUIET)
if(NOT _zip_probe_rc STREQUAL "0")
  message(FATAL_ERROR "ZIP_M32: ${ZIP_QEMU_I386} does not run a 32-bit x86 program (${_zip_probe_rc})")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZIP_QEMU_I386})
set(ZIP_EMULATOR ${ZIP_QEMU_I386})
message(STATUS "32-bit programs run under qemu-i386 (${ZIP_QEMU_I386})")
set(ZIP_M32_RUNS "under qemu-i386" CACHE INTERNAL "How 32-bit test programs run")
