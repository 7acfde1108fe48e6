#!/usr/bin/env python3
"""Every mutex acquisition of a 4 KiB UnzipTBuf and ZipTBuf through the service interface.

    locks.py BUILD_DIR [--size N] [--json OUT]

Counts them twice and checks that the two counts agree:
- from inside: zip-locks counts the acquisitions of CALLS calls alone,
  between two marks (bench/lock_count.cpp, bench/lockcount.c);
- from outside: zip-locks runs under liblockcount.so (LD_PRELOAD) with no
  marks, once with CALLS calls and once with 2 x CALLS; the difference,
  divided by CALLS, is what one call takes.
Then prints one table per call: the mutex, the module it belongs to, the
function that takes it (the first frame above the lock wrappers) and its
caller, and the acquisitions per call. Exits 1 when the counts disagree.
"""
import collections, json, os, re, subprocess, sys, tempfile  # noqa: E401

CALLS = 200
# Frames that only pass a lock on: the mutex wrappers themselves.
WRAPPERS = re.compile(r"^(pthread_mutex_|CMN_RecursiveMutex::|CMN_Mutex::|CMN_ScopedLock<|std::mutex::|std::lock_guard<|"
                      r"std::unique_lock<|__gthread|(\(anonymous namespace\)::)?HoldLock|CMN_GuardedRef::lockHolderList)")


def read(path):
    out = collections.Counter()
    with open(path) as f:
        for line in f:
            count, mutex, frames = (line.rstrip("\n").split("\t") + [""])[:3]
            out[(mutex, frames)] += int(count)
    return out


class Names:
    """Names functions and static objects of the build's files (addr2line, nm)."""

    def __init__(self, build):
        self.build, self.cache, self.statics = build, {}, {}

    def path(self, module):
        for d in ("lib", "bin"):
            p = os.path.join(self.build, d, module)
            if os.path.exists(p):
                return p
        return None

    def functions(self, frame):
        """The functions at a frame, innermost first (inlined ones included)."""
        if frame not in self.cache:
            module, off = frame.rsplit("+", 1)
            p = self.path(module)
            names = []
            if p:
                out = subprocess.run(["addr2line", "-f", "-C", "-i", "-e", p, off], capture_output=True,
                                     text=True).stdout.splitlines()
                names = [re.sub(r"\((?!anonymous namespace\)).*$", "", f) for f in out[0::2] if f != "??"]
            self.cache[frame] = [(module, n) for n in names] or [(module, module)]
        return self.cache[frame]

    def static(self, mutex):
        module, off = mutex.split(":")
        if module not in self.statics:
            p = self.path(module)
            syms = []
            if p:
                for line in subprocess.run(["nm", "-C", "-S", p], capture_output=True, text=True).stdout.splitlines():
                    parts = line.split(None, 3)
                    if len(parts) == 4 and parts[2] in "bBdD":
                        syms.append((int(parts[0], 16), int(parts[1], 16), parts[3]))
            self.statics[module] = syms
        at = int(off, 16)
        for start, size, name in self.statics[module]:
            if start <= at < start + size:
                return name, module
        return off, module


def describe(names, mutex, frames):
    """(mutex, its module, the function taking it, that function's caller)."""
    named = [n for f in frames.split(";") if f and not f.startswith("libc.so") for n in names.functions(f)]
    inner = [n for n in named if not WRAPPERS.match(n[1])]
    taker = inner[0] if inner else ("?", "?")
    caller = inner[1][1] if len(inner) > 1 else ""
    if mutex == "heap":
        if any(n[1] == "CMN_GuardedRef::lockHolderList" for n in named):
            what = "holderLock"
        elif taker[1].startswith("HostModules::"):
            what = "the host's module table"
        else:
            what = "a mutex on the heap"
        return what, "client (HOST)" if taker[0] == "zip-locks" else taker[0], taker[1], caller
    name, module = names.static(mutex)
    return name.replace("CMN_Reference::RefMutex", "RefMutex"), module, taker[1], caller


def table(names, counts, calls):
    rows = collections.Counter()
    for (mutex, frames), n in counts.items():
        rows[describe(names, mutex, frames)] += n
    return {k: v / calls for k, v in rows.items()}


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    build = os.path.abspath(args[0] if args else "build/default")
    size = int(sys.argv[sys.argv.index("--size") + 1]) if "--size" in sys.argv else 4096
    locks, shim = os.path.join(build, "bin", "zip-locks"), os.path.join(build, "lib", "liblockcount.so")
    names = Names(build)
    result, agree = {}, True
    with tempfile.TemporaryDirectory() as tmp:
        for op in ("unzip", "zip"):
            inside = os.path.join(tmp, op + ".in")
            subprocess.run([locks, op, str(size), str(CALLS), inside], check=True)
            outside = []
            for calls in (CALLS, 2 * CALLS):
                path = os.path.join(tmp, "%s.%d.out" % (op, calls))
                subprocess.run([locks, op, str(size), str(calls)], check=True,
                               env=dict(os.environ, LD_PRELOAD=shim, ZIP_LOCKCOUNT_OUT=path))
                outside.append(read(path))
            diff = outside[1]
            diff.subtract(outside[0])
            t_in, t_out = table(names, read(inside), CALLS), table(names, +diff, CALLS)
            same = t_in == t_out
            agree &= same
            label = "UnzipTBuf" if op == "unzip" else "ZipTBuf"
            print("\n%s of %d bytes through the service interface: mutex acquisitions per call" % (label, size))
            print("  %5s  %-36s %-14s %s" % ("count", "mutex", "module", "taken in (called from)"))
            for (what, module, taker, caller), n in sorted(t_in.items(), key=lambda kv: (kv[0][1], kv[0][0], -kv[1])):
                print("  %5g  %-36s %-14s %s (%s)" % (n, what, module, taker, caller))
            print("  %5g  in all, from inside; from outside (liblockcount.so, %d and %d calls): %g, %s" % (
                sum(t_in.values()), CALLS, 2 * CALLS, sum(t_out.values()),
                "the same" if same else "NOT THE SAME"))
            if not same:
                for k in sorted(set(t_in) | set(t_out)):
                    if t_in.get(k) != t_out.get(k):
                        print("    differs: %s inside %g outside %g" % (k, t_in.get(k, 0), t_out.get(k, 0)))
            result[label] = {"inside": [list(k) + [v] for k, v in t_in.items()],
                             "outside": [list(k) + [v] for k, v in t_out.items()], "agree": same}
    if "--json" in sys.argv:
        with open(sys.argv[sys.argv.index("--json") + 1], "w") as f:
            json.dump(result, f, indent=1)
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
