#!/usr/bin/env bash
# Builds the example client module and its host with pkg-config alone
# against the install in STAGE, and runs them.
# Usage: pkg_config.sh STAGE EXAMPLES_DIR OUT_DIR   (CXX, CXXFLAGS, ZIP_EMULATOR)
set -euo pipefail
stage=$1 src=$2 out=$3
PKG_CONFIG_PATH=$(find "$stage" -name s_zip.pc -printf '%h')
export PKG_CONFIG_PATH
rm -rf "$out" && mkdir -p "$out"
cxx=${CXX:-c++}
# shellcheck disable=SC2086  # the flags are words
$cxx ${CXXFLAGS:-} -shared -o "$out/libzip_example.so" "$src/zip_example.cpp" $(pkg-config --cflags --libs s_zip-client)
# shellcheck disable=SC2086
$cxx ${CXXFLAGS:-} -o "$out/zip-example-host" "$src/example_host.cpp" $(pkg-config --cflags s_zip) -ldl
${ZIP_EMULATOR:+"$ZIP_EMULATOR"} "$out/zip-example-host" "$(pkg-config --variable=moduledir s_zip)" \
  "$out/libzip_example.so" "$src/config"
