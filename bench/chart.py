#!/usr/bin/env python3
"""The chart and tables of make bench, from its JSON (standard library only).

    chart.py BUILD_DIR/bench [OUT.svg]
    chart.py BENCHMARKS.json OUT.svg

draws throughput (uncompressed bytes per CPU second) against input size for
the ZIP service, libdeflate called directly and zlib: compress and restore,
text, binary and random data, into OUT.svg when given, and prints the
tables of the run again. Given one benchmark file instead of a folder
(docs/throughput.json, the run the README's chart shows), it draws the chart
only. run_bench.py calls write_svg() and print_tables() after each run.
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


def two_thread_speedup(cases, family, op, size):
    """Aggregate bytes per second of two threads over one's; NaN when not
    measured. The case names carry the benchmark's settings between the size
    and the thread count (min_time, real_time), so they are matched around
    them."""
    def case(threads):
        for name, c in cases.items():
            if name.startswith("%s/%s/%d/" % (family, op, size)) and name.endswith("/threads:%d" % threads):
                return c
        return None
    one, two = case(1), case(2)
    return two["bytes_per_second"] / one["bytes_per_second"] if one and two else float("nan")


def nice_range(values):
    """The smallest range of 1-2-5 steps (1, 2, 5, 10, 20, ...) around `values`, with some room."""
    steps = [m * 10 ** e for e in range(-3, 8) for m in (1, 2, 5)]
    lo = max([v for v in steps if v <= min(values) / 1.15] or steps[:1])
    hi = min([v for v in steps if v >= max(values) * 1.15] or steps[-1:])
    return lo, hi, [v for v in steps if lo <= v <= hi]


def write_svg(cases, path):
    """Throughput against size, one row of panels per operation (its own log
    scale, fitted to that operation's data), one column per kind of data, the
    legend to the right of the panels."""
    pw, ph, gap, ml, mt, legend_w = 230, 180, 50, 84, 50, 170
    row_h = ph + 70
    width, height = ml + 3 * pw + 2 * gap + 30 + legend_w, mt + 2 * row_h
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
           'font-size="11">' % (width, height), '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="20" font-size="14">Throughput against input size: MB of uncompressed data per CPU '
           'second (median of make bench), log scales</text>' % ml]
    for row, op in enumerate(("Compress", "Restore")):
        values = [r for kind in KINDS for variant, _, _ in SERIES for s in SIZES
                  for r in [rate(cases, op, variant, kind, s)] if r]
        if not values:
            continue
        lo, hi, ticks = nice_range(values)
        y0 = mt + row * row_h
        # The y-axis title, once per row, turned along the axis.
        cy = y0 + ph / 2
        out.append('<text x="20" y="%.1f" text-anchor="middle" transform="rotate(-90 20 %.1f)">%s throughput '
                   '(MB/s)</text>' % (cy, cy, op.lower()))
        for col, kind in enumerate(KINDS):
            x0 = ml + col * (pw + gap)

            def px(i):
                return x0 + i * pw / (len(SIZES) - 1)

            def py(v):
                return y0 + ph - (math.log10(v) - math.log10(lo)) / (math.log10(hi) - math.log10(lo)) * ph

            out.append('<text x="%d" y="%d" font-weight="bold">%s, %s data</text>' % (x0, y0 - 7, op, kind))
            out.append('<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="#888"/>' % (x0, y0, pw, ph))
            for v in ticks:
                decade = str(v).lstrip("0.").rstrip("0") == "1"
                out.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="%s"/>' %
                           (x0, x0 + pw, py(v), py(v), "#ccc" if decade else "#eee"))
                if col == 0:
                    out.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>' %
                               (x0 - 5, py(v) + 4, "{:,g}".format(v)))
            for i, s in enumerate(SIZES):
                out.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' % (px(i), y0 + ph + 16, LABEL[s]))
            out.append('<text x="%.1f" y="%d" text-anchor="middle">input size (log scale)</text>' %
                       (x0 + pw / 2, y0 + ph + 32))
            for variant, _, color in SERIES:
                pts = [(px(i), py(r)) for i, s in enumerate(SIZES)
                       for r in [rate(cases, op, variant, kind, s)] if r]
                if pts:
                    out.append('<polyline fill="none" stroke="%s" stroke-width="2" points="%s"/>' %
                               (color, " ".join("%.1f,%.1f" % p for p in pts)))
                    out.extend('<circle cx="%.1f" cy="%.1f" r="2.5" fill="%s"/>' % (x, y, color) for x, y in pts)
    # The legend beside the panels, level with the middle of the two rows.
    x = ml + 3 * pw + 2 * gap + 30
    y = mt + row_h - 35 - 10 * len(SERIES)
    out.append('<rect x="%d" y="%d" width="%d" height="%d" fill="white" stroke="#ccc"/>' %
               (x - 10, y - 18, legend_w - 10, 20 * len(SERIES) + 14))
    for i, (_, name, color) in enumerate(SERIES):
        yy = y + 20 * i
        out.append('<line x1="%d" x2="%d" y1="%d" y2="%d" stroke="%s" stroke-width="3"/>' % (x, x + 24, yy - 4, yy - 4,
                                                                                            color))
        out.append('<text x="%d" y="%d">%s</text>' % (x + 30, yy, name))
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
            m = [two_thread_speedup(cases, family, op, s) for family in ("Threads", "ThreadsDirect")]
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
    if sys.argv[1].endswith(".json"):
        # One benchmark file, e.g. docs/throughput.json: the chart only.
        write_svg(load(sys.argv[1]), sys.argv[2])
        sys.exit(0)
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
