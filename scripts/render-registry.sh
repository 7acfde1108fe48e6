#!/usr/bin/env bash
# Renders the modules' object registries, as zip-host inspect --dot prints
# them while the host holds a byte buffer and a zip buffer over it (after
# ZipTBuf, compression on), into an SVG picture with Graphviz's dot.
# Usage: scripts/render-registry.sh [BUILD_DIR [OUT.svg]]
#        (defaults: build/default, docs/registry.svg)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
out=${2:-$root/docs/registry.svg}
host="$build/bin/zip-host"
[ -x "$host" ] || { echo "render-registry: $host not found; build first" >&2; exit 1; }
command -v dot >/dev/null || { echo "render-registry: dot not found (scripts/install-deps.sh docs)" >&2; exit 1; }

config=$(mktemp -d "${TMPDIR:-/tmp}/zip-registry.XXXXXX")
trap 'rm -rf "$config"' EXIT
printf '[s_zip]\nCompress = 1\n' > "$config/s_zip.ini"
${ZIP_EMULATOR:+"$ZIP_EMULATOR"} "$host" --config-dir "$config" inspect --dot > "$config/registry.dot"
dot -Tsvg "$config/registry.dot" > "$out"
echo "render-registry: $out"
