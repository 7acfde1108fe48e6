#!/usr/bin/env python3
"""The chart and tables of make bench, from its JSON (standard library only).

    chart.py BUILD_DIR/bench [OUT.svg]

draws throughput (uncompressed bytes per CPU second) against input size for
the ZIP service, libdeflate called directly and zlib: compress and restore,
text, binary and random data, into OUT.svg when given, and prints the
tables of the run again. run_bench.py calls write_svg() and print_tables()
after each run.
"""
import json, math, os, sys  # noqa: E401

SIZES = [64, 4096, 65536, 1 << 20, 16 << 20]
KINDS = ["text", "binary", "random"]
SERIES = [("service", "ZIP service", "#1f77b4"), ("direct", "libdeflate direct", "#2ca02c"),
          ("zlib", "zlib", "#d62728")]
LABEL = {64: "64 B", 4096: "4 KiB", 65536: "64 KiB", 1 << 20: "1 MiB", 16 << 20: "16 MiB"}


def load(path):
    with open(path) as f:
        data = json.load(f)
    return {b["run_name"]: b for b in data["benchmarks"]
            if not b.get("error_occurred") and b.get("aggregate_name") in (None, "median")}


def rate(cases, op, variant, kind, size):
    c = cases.get("%s/%s/%s/%d" % (op, variant, kind, size))
    return c["bytes_per_second"] / 1e6 if c else None


def write_svg(cases, path):
    pw, ph, ml, mt, gap = 250, 190, 60, 40, 50
    width, height = ml + 3 * (pw + gap) + 10, mt + 2 * (ph + gap + 25) + 40
    lo, hi = 1.0, 100000.0  # MB/s, log scale
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
           'font-size="11">' % (width, height), '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="18" font-size="14">Throughput against input size (MB of uncompressed data per CPU '
           'second, median; make bench)</text>' % ml]
    for row, op in enumerate(("Compress", "Restore")):
        for col, kind in enumerate(KINDS):
            x0, y0 = ml + col * (pw + gap), mt + row * (ph + gap + 25)

            def px(i):
                return x0 + i * pw / (len(SIZES) - 1)

            def py(v):
                v = min(max(v, lo), hi)
                return y0 + ph - (math.log10(v) - math.log10(lo)) / (math.log10(hi) - math.log10(lo)) * ph

            out.append('<text x="%d" y="%d" font-weight="bold">%s, %s data</text>' % (x0, y0 - 6, op, kind))
            out.append('<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="#888"/>' % (x0, y0, pw, ph))
            for e in range(0, 6):
                v = 10 ** e
                out.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#ddd"/>' % (x0, x0 + pw, py(v), py(v)))
                if col == 0:
                    out.append('<text x="%d" y="%.1f" text-anchor="end">%g</text>' % (x0 - 4, py(v) + 4, v))
            for i, s in enumerate(SIZES):
                out.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' % (px(i), y0 + ph + 14, LABEL[s]))
            for variant, _, color in SERIES:
                pts = [(px(i), py(r)) for i, s in enumerate(SIZES)
                       for r in [rate(cases, op, variant, kind, s)] if r]
                if pts:
                    out.append('<polyline fill="none" stroke="%s" stroke-width="2" points="%s"/>' %
                               (color, " ".join("%.1f,%.1f" % p for p in pts)))
                    out.extend('<circle cx="%.1f" cy="%.1f" r="2.5" fill="%s"/>' % (x, y, color) for x, y in pts)
    y = height - 14
    for i, (_, name, color) in enumerate(SERIES):
        x = ml + i * 170
        out.append('<line x1="%d" x2="%d" y1="%d" y2="%d" stroke="%s" stroke-width="3"/>' % (x, x + 24, y - 4, y - 4,
                                                                                            color))
        out.append('<text x="%d" y="%d">%s</text>' % (x + 30, y, name))
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def goal_line(r, load):
    """A goal's line: met or NOT MET, or not judged when the machine was busy."""
    verdict = ("met" if r["met"] else "NOT MET") if r.get("judged", True) else \
        "not judged (machine busy: load %.2f)" % load
    return "goal %s: measured %.3g (%s), target %s, %s" % (r["goal"], r["measured"], r["where"], r["target"], verdict)


def print_tables(cases, grind, procs):
    print("\nMB per CPU second (median) and the service's multiple of direct libdeflate, of the contract's floor "
          "(restore: libdeflate, then a copy) and of zlib")
    print("%-9s %-7s %8s | %9s %9s %9s %9s %9s | %7s %7s %7s" % ("op", "kind", "size", "service", "stub", "direct",
                                                               "floor", "zlib", "/direct", "/floor", "/zlib"))
    rows = [(k, s) for k in KINDS for s in SIZES] + [("corpus", s) for s in (1 << 20, 16 << 20)]
    for op in ("Compress", "Restore"):
        for kind, s in rows:
            r = {v: rate(cases, op, v, kind, s) for v in ("service", "stub", "direct", "floor", "zlib")}
            if not r["service"]:
                continue
            f = lambda v: "%9.1f" % v if v else "%9s" % "-"  # noqa: E731
            g = lambda v: "%7.2f" % (r["service"] / r[v]) if r[v] else "%7s" % "-"  # noqa: E731
            print("%-9s %-7s %8s | %s %s %s %s %s | %s %s %s" % (
                op, kind, LABEL[s], f(r["service"]), f(r["stub"]), f(r["direct"]), f(r["floor"]), f(r["zlib"]),
                g("direct"), g("floor"), g("zlib")))
    print("\nCompressed size over zlib level 6's")
    for kind, s in rows:
        a, b = (cases.get("Compress/%s/%s/%d" % (v, kind, s), {}).get("out_bytes") for v in ("service", "zlib"))
        if a and b and s >= 65536:
            print("  %-7s %8s %+7.2f%%" % (kind, LABEL[s], (a / b - 1) * 100))
    print("\nlibdeflate called directly, as a multiple of zlib's speed (compress2 level 6; streaming inflate)")
    print("%-9s %8s %8s %8s" % ("op", "size", "text", "binary"))
    for op, sizes in (("Compress", SIZES[:2] + [8192, 16384, 32768] + SIZES[2:]), ("Restore", SIZES)):
        for s in sizes:
            m = [rate(cases, op, "direct", k, s) / rate(cases, op, "zlib", k, s)
                 if rate(cases, op, "zlib", k, s) else 0 for k in ("text", "binary")]
            print("%-9s %8s %7.2fx %7.2fx" % (op, LABEL.get(s, "%d KiB" % (s >> 10)), m[0], m[1]))
    print("\n64-byte ZipTBuf in pieces: CPU time (median) and instructions (callgrind) per call")
    for part in ("zip", "roundtrip", "codec", "codec-libdeflate", "switch", "holders"):
        c = cases.get("Breakdown64/" + part, {})
        print("  %-17s %8.2f us %10.0f instructions %6.1f allocations" % (
            part, c.get("cpu_time", float("nan")), grind.get(part, {}).get("instructions", float("nan")),
            c.get("allocs", float("nan"))))
    if "zip" in grind:
        print("  allocator instructions within zip: %.0f" % grind["zip"].get("allocator_instructions", 0))
    print("\nTwo threads against one (aggregate bytes per second), binary data")
    print("%-9s %8s %9s %9s %9s" % ("op", "size", "service", "direct", "ratio"))
    for op in ("compress", "restore"):
        for s in (4096, 65536, 1 << 20):
            m = []
            for family in ("Threads", "ThreadsDirect"):
                one, two = ("%s/%s/%d/real_time/threads:%d" % (family, op, s, t) for t in (1, 2))
                m.append(cases[two]["bytes_per_second"] / cases[one]["bytes_per_second"]
                         if one in cases and two in cases else float("nan"))
            print("%-9s %8s %8.2fx %8.2fx %9.2f" % (op, LABEL[s], m[0], m[1], m[0] / m[1]))
    print("\nWhole processes: CPU seconds (median, and the fastest and slowest run), peak resident MiB (median),"
          " and zip-host's paired ratios (median of the rounds)")
    for p in procs:
        spread = "(%.3f-%.3f)" % (p["cpu_seconds_min"], p["cpu_seconds_max"]) if "cpu_seconds_min" in p else ""
        pairs = "".join("  /%s %.2f" % (o, p["paired_ratio_" + o]) for o in ("floor", "pigz")
                        if "paired_ratio_" + o in p)
        print("  %-11s %-10s %4d MiB %-11s cpu %7.4f s %-17s peak %7.1f MiB  in %8.1f MiB  out %8.1f MiB%s" % (
            p["op"], p["kind"], p["size"] >> 20, p["program"], p["cpu_seconds"], spread, p["peak_rss_kib"] / 1024,
            p["input_bytes"] / 2**20, p["output_bytes"] / 2**20, pairs))


if __name__ == "__main__":
    folder = sys.argv[1]
    cases = load(os.path.join(folder, "zip_benchmarks.json"))
    if len(sys.argv) > 2:
        write_svg(cases, sys.argv[2])
    with open(os.path.join(folder, "callgrind.json")) as f, open(os.path.join(folder, "process.json")) as g:
        print_tables(cases, json.load(f), json.load(g))
    load = float("nan")
    if os.path.exists(os.path.join(folder, "machine.json")):
        with open(os.path.join(folder, "machine.json")) as f:
            load = json.load(f)["load"]
    with open(os.path.join(folder, "goals.json")) as f:
        for r in json.load(f):
            print(goal_line(r, load))
