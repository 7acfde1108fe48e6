#!/usr/bin/env bash
# The main job, shown through the reference host:
#   1. compression on (a temporary configuration folder whose s_zip.ini says
#      Compress = 1): compress the sample, restore it, compare byte for byte,
#      report sizes, ratio, and two throughputs: the service's own (the time
#      zip-host measures inside ZipTBuf/UnzipTBuf, --timing) and the whole
#      process's (start, load three modules, read, work, write, unload);
#   2. compression off: the same command passes the input through;
#   3. the modules' registries while the host holds objects, after it lets go,
#      and the unload protocol leaving nothing behind.
# Usage: scripts/demo.sh BUILD_DIR   (e.g. build/default)
# ZIP_EMULATOR, when set, names a program the host runs under (qemu-i386 for a
# 32-bit build on a kernel that does not run 32-bit programs).
set -euo pipefail

build=${1:?usage: demo.sh BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
host="$build/bin/zip-host"
run_host() { ${ZIP_EMULATOR:+"$ZIP_EMULATOR"} "$host" "$@"; }
sample="$root/samples/records.txt"
[ -x "$host" ] || { echo "demo: $host not found; build first" >&2; exit 1; }
[ -r "$sample" ] || { echo "demo: $sample not found" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zip-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
config="$work/config"
mkdir "$config"

now_ns() { date +%s%N; }
size_of() { stat -c %s "$1"; }
# MB/s from a byte count and a duration in nanoseconds.
rate() { awk -v b="$1" -v ns="$2" 'BEGIN { if (ns < 1) ns = 1; printf "%.1f MB/s", b / 1e6 / (ns / 1e9) }'; }

echo "== 1. compression on (s_zip.ini: Compress = 1)"
printf '[s_zip]\nCompress = 1\n' > "$config/s_zip.ini"
t0=$(now_ns)
run_host --config-dir "$config" --timing compress "$sample" "$work/records.z" 2> "$work/zip.timing"
t1=$(now_ns)
run_host --config-dir "$config" --timing decompress "$work/records.z" "$work/records.back" 2> "$work/unzip.timing"
t2=$(now_ns)
cmp "$sample" "$work/records.back"
in=$(size_of "$sample")
out=$(size_of "$work/records.z")
echo "   sample      $(basename "$sample"): $in bytes"
echo "   compressed  $out bytes, ratio $(awk -v a="$out" -v b="$in" 'BEGIN { printf "%.3f", a / b }')"
echo "   restored    identical, byte for byte"
# "zip-host: service: ZipTBuf N -> M bytes in T ms, R MB/s" -> "R MB/s"
service_rate() { sed -n 's/^zip-host: service: .*, \([0-9.]* MB\/s\)$/\1/p' "$1"; }
echo "   service     compress $(service_rate "$work/zip.timing"), decompress $(service_rate "$work/unzip.timing")" \
     "(time inside ZipTBuf / UnzipTBuf)"
echo "   process     compress $(rate "$in" $((t1 - t0))), decompress $(rate "$in" $((t2 - t1)))" \
     "(whole zip-host run: start, load three modules, read, work, write, unload)"

echo "== 2. compression off (s_zip.ini: Compress = 0)"
printf 'Compress = 0\n' > "$config/s_zip.ini"
run_host --config-dir "$config" compress "$sample" "$work/records.off" 2> "$work/stderr"
sed 's/^/   host says: /' "$work/stderr"
cmp "$sample" "$work/records.off"
echo "   output is the input unchanged ($(size_of "$work/records.off") bytes)"
run_host --config-dir "$config" decompress "$work/records.off" "$work/records.off2" 2> "$work/stderr"
sed 's/^/   restoring it: /' "$work/stderr"
cmp "$sample" "$work/records.off2"

echo "== 3. registries and the unload protocol (compression on again)"
printf 'Compress = 1\n' > "$config/s_zip.ini"
run_host --config-dir "$config" inspect | sed 's/^/   /'
echo "== demo done"
