#!/usr/bin/env bash
# Installs the Debian packages the build needs and the machine lacks.
# Idempotent, and silent when everything is already present.
#
#   install-deps.sh [GROUP...]   the build's packages, plus those of each GROUP:
#     fuzz    clang 14 and its sanitizer/libFuzzer runtime
#     verify  the spin model checker
#     bench   pigz, the whole-process comparison
#     docs    doxygen and graphviz
#     lint    clang-format and clang-tidy
set -euo pipefail

# lib32z1-dev gives 32-bit x86 builds their zlib without a foreign architecture;
# qemu-user (qemu-i386) runs their tests where the kernel refuses 32-bit programs.
need=(cmake g++ make python3 libgtest-dev googletest libbenchmark-dev zlib1g-dev libdeflate-dev
      gcc-multilib g++-multilib lib32z1-dev qemu-user valgrind abigail-tools pkg-config)
for group in "$@"; do
  case "$group" in
    fuzz)   need+=(clang-14 libclang-rt-14-dev) ;;
    verify) need+=(spin) ;;
    bench)  need+=(pigz) ;;
    docs)   need+=(doxygen graphviz) ;;
    lint)   need+=(clang-format-14 clang-tidy-14) ;;
    *) echo "install-deps: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# An index that fails to download (a mirror mid-sync) is not fatal as long as
# the packages can still be installed; try a few times before giving up.
for attempt in 1 2 3; do
  apt-get update -qq >&2 || true
  if apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2; then exit 0; fi
  sleep 5
done
echo "install-deps: could not install ${missing[*]}" >&2
exit 1
