#!/usr/bin/env python3
"""The real-file corpus of make bench: the same bytes on every Debian 12 machine with the build's packages.

    make_corpus.py OUT

Concatenates, in this order, each group sorted by path: the C++ standard
library headers of g++ 12 (/usr/include/c++/12, package libstdc++-12-dev),
the license texts every Debian system ships (/usr/share/common-licenses,
base-files), and a fixed list of shared libraries the build's packages
install; then cuts the result to 16 MiB. The benchmark takes its first 1 MiB
and the whole. Exits 1, naming what is missing, when a file of the list is
absent or the files come to less than 16 MiB.
"""
import hashlib, os, sys  # noqa: E401

SIZE = 16 << 20
HEADERS = "/usr/include/c++/12"
LICENSES = "/usr/share/common-licenses"
LIBDIR = "/usr/lib/x86_64-linux-gnu"
# Symbolic names, each followed to its file: libstdc++6, libc6, zlib1g,
# libdeflate0, libbenchmark1debian and googletest's static library.
LIBRARIES = ["libstdc++.so.6", "libc.so.6", "libz.so.1", "libdeflate.so.0", "libbenchmark.so.1debian",
             "libgtest.a"]


def files():
    headers = sorted(os.path.join(root, f) for root, _, names in os.walk(HEADERS) for f in names)
    licenses = sorted(os.path.join(LICENSES, f) for f in os.listdir(LICENSES)) if os.path.isdir(LICENSES) else []
    libraries = [os.path.join(LIBDIR, n) for n in LIBRARIES]
    return headers + licenses + libraries


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_corpus.py OUT")
    missing = [p for p in files()[-len(LIBRARIES):] if not os.path.isfile(p)]
    if not os.path.isdir(HEADERS) or not os.path.isdir(LICENSES) or missing:
        sys.exit("make_corpus.py: missing: %s" % " ".join([HEADERS, LICENSES] + missing))
    data = bytearray()
    for path in files():
        if os.path.isfile(path):  # the headers folder has symbolic links to folders
            with open(path, "rb") as f:
                data += f.read()
        if len(data) >= SIZE:
            break
    if len(data) < SIZE:
        sys.exit("make_corpus.py: the files come to %d bytes, less than %d" % (len(data), SIZE))
    with open(sys.argv[1], "wb") as f:
        f.write(data[:SIZE])
    print("corpus: %s, %d bytes, sha256 %s" % (sys.argv[1], SIZE, hashlib.sha256(data[:SIZE]).hexdigest()[:16]))


if __name__ == "__main__":
    main()
