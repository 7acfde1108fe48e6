#!/usr/bin/env bash
# The installed package through pkg-config alone: the files validate and
# carry no language standard, no run path and no unnormalised path; the
# example client module and its host, built against the install in STAGE,
# run; a consumer beside another library's zip.h builds with -std=c++20,
# also against the tree moved to MOVED (found with --define-prefix).
# Usage: pkg_config.sh STAGE MOVED EXAMPLES_DIR CONSUMER_DIR OUT_DIR
#        (CXX, CXXFLAGS, ZIP_EMULATOR)
set -euo pipefail
stage=$1 moved=$2 src=$3 consumer=$4 out=$5
pcdir=$(find "$stage" -name s_zip.pc -printf '%h')
export PKG_CONFIG_PATH=$pcdir
rm -rf "$out" && mkdir -p "$out"
cxx=${CXX:-c++}
fail() { echo "pkg_config.sh: $*" >&2; exit 1; }

pkg-config --validate s_zip s_zip-client
flags=$(pkg-config --cflags --libs s_zip-client)
case " $flags " in
  *-std=*) fail "flags force a language standard: $flags" ;;
  *rpath*) fail "flags carry a run path: $flags" ;;
  */../* | */./* | *//*) fail "flags carry an unnormalised path: $flags" ;;
esac
cflags=$(pkg-config --cflags s_zip)
[ "${cflags% }" = "-I$stage/include" ] || fail "s_zip's Cflags are not -I$stage/include"

# shellcheck disable=SC2086  # the flags are words
$cxx ${CXXFLAGS:-} -shared -o "$out/libzip_example.so" "$src/zip_example.cpp" $flags
# shellcheck disable=SC2086
$cxx ${CXXFLAGS:-} -o "$out/zip-example-host" "$src/example_host.cpp" $(pkg-config --cflags s_zip) -ldl
${ZIP_EMULATOR:+"$ZIP_EMULATOR"} "$out/zip-example-host" "$(pkg-config --variable=moduledir s_zip)" \
  "$out/libzip_example.so" "$src/config"

# The consumer, at C++20, with its own zip.h first on the path; once against
# the moved tree.
build_consumer() {  # NAME PKG-CONFIG-OPTIONS...
  local name=$1
  shift
  # shellcheck disable=SC2086
  $cxx ${CXXFLAGS:-} -std=c++20 -DCONSUMER_EXPECTS_STD=202002L -I"$consumer/other" -shared \
    -o "$out/$name.so" "$consumer/consumer.cpp" $(pkg-config "$@" --cflags --libs s_zip-client)
  # shellcheck disable=SC2086
  $cxx ${CXXFLAGS:-} -std=c++20 -I"$consumer/other" -o "$out/$name-host" "$consumer/host.cpp" \
    $(pkg-config "$@" --cflags s_zip)
}
build_consumer consumer
export PKG_CONFIG_PATH=${pcdir/#$stage/$moved}
moved_flags=$(pkg-config --define-prefix --cflags --libs s_zip-client)
case " $moved_flags " in
  *"$moved/include "*) ;;
  *) fail "the moved tree's flags do not name it: $moved_flags" ;;
esac
build_consumer consumer-moved --define-prefix
