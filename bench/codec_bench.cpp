// Throughput of the zlib service's codec backends, zlib as the baseline.
//
// Every case runs once per backend on the same bytes; at the end a table
// (from CPU time, which a busy machine disturbs less than wall time)
// gives each backend's speed as a multiple of zlib's in this run, and its
// compressed size as a fraction of zlib's. Counters per case:
//   bytes_per_second  uncompressed bytes handled per second
//   ratio             compressed size / original size
//
// Backends: zlib, libdeflate, and "service", the mix the zlib service uses
// (codec.h). Decompress cases use the service's path (output size unknown, one pass,
// output limit 1 GiB); DecompressKnownSize cases give the decoder the exact
// output size, the floor any unknown-size strategy is measured against.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "codec.h"
#include "sample_data.h"

#if S_ZLIB_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kSizes[] = {64, 4 << 10, 64 << 10, 1 << 20, 16 << 20};
// Extra compression points between 4 KiB and 64 KiB, where the backends'
// fixed and per-byte costs cross over.
constexpr size_t kCrossoverSizes[] = {8 << 10, 16 << 10, 32 << 10};
constexpr size_t kLimit = size_t(1) << 30;

struct Sample {
    std::string kind;
    Bytes plain;
    Bytes packed;  // by zlib at level 6
};

std::vector<Sample> const& samples() {
    static std::vector<Sample> all = [] {
        std::vector<Sample> v;
        std::vector<size_t> sizes(std::begin(kSizes), std::end(kSizes));
        sizes.insert(sizes.end(), std::begin(kCrossoverSizes), std::end(kCrossoverSizes));
        for (size_t n : sizes)
            for (char const* kind : {"text", "binary"}) {
                Sample s;
                s.kind = kind;
                s.plain = s.kind == "text" ? textLike(n) : binaryLike(n);
                CodecOutput o;
                ZlibCodec::compress(s.plain.data(), s.plain.size(), o);
                s.packed.assign(o.data(), o.data() + o.size());
                v.push_back(std::move(s));
            }
        return v;
    }();
    return all;
}

template <class C>
void compressCase(benchmark::State& state, Sample const* s) {
    size_t made = 0;
    for (auto _ : state) {
        CodecOutput o;
        if (C::compress(s->plain.data(), s->plain.size(), o) != 0) state.SkipWithError("compress failed");
        made = o.size();
        benchmark::DoNotOptimize(o.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s->plain.size()));
    state.counters["ratio"] = double(made) / double(s->plain.size());
}

template <class C>
void decompressCase(benchmark::State& state, Sample const* s) {
    for (auto _ : state) {
        CodecOutput o;
        if (C::decompress(s->packed.data(), s->packed.size(), kLimit, o) != 0 || o.size() != s->plain.size())
            state.SkipWithError("decompress failed");
        benchmark::DoNotOptimize(o.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s->plain.size()));
    state.counters["ratio"] = double(s->packed.size()) / double(s->plain.size());
}

void zlibKnownSize(benchmark::State& state, Sample const* s) {
    Bytes out(s->plain.size());
    for (auto _ : state) {
        uLongf n = out.size();
        if (uncompress(out.data(), &n, s->packed.data(), s->packed.size()) != Z_OK) state.SkipWithError("failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s->plain.size()));
}

#if S_ZLIB_HAVE_LIBDEFLATE
void libdeflateKnownSize(benchmark::State& state, Sample const* s) {
    Bytes out(s->plain.size());
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    for (auto _ : state) {
        size_t n = 0;
        if (libdeflate_zlib_decompress(d, s->packed.data(), s->packed.size(), out.data(), out.size(), &n) !=
            LIBDEFLATE_SUCCESS)
            state.SkipWithError("failed");
        benchmark::DoNotOptimize(out.data());
    }
    libdeflate_free_decompressor(d);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s->plain.size()));
}

// What a compressor per call would cost: allocation plus a 64-byte input.
void libdeflateFreshCompressor(benchmark::State& state, Sample const* s) {
    Bytes out(s->plain.size() + 64);
    for (auto _ : state) {
        libdeflate_compressor* c = libdeflate_alloc_compressor(kCodecLevel);
        benchmark::DoNotOptimize(
            libdeflate_zlib_compress(c, s->plain.data(), s->plain.size(), out.data(), out.size()));
        libdeflate_free_compressor(c);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s->plain.size()));
}
#endif

// "Op/backend/kind/size": collects every run for the comparison table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(std::vector<Run> const& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (Run const& r : runs) {
            // One figure per case: the median when repeated, else the run.
            bool repeated = r.repetitions > 1;
            if (r.error_occurred) continue;
            if (repeated ? r.run_type != Run::RT_Aggregate || r.aggregate_name != "median"
                         : r.run_type != Run::RT_Iteration)
                continue;
            std::string name = r.run_name.str();
            size_t a = name.find('/'), b = name.find('/', a + 1);
            if (a == std::string::npos || b == std::string::npos) continue;
            std::string key = name.substr(0, a) + name.substr(b);
            std::string backend = name.substr(a + 1, b - a - 1);
            Entry& e = table[key][backend];
            e.seconds = r.GetAdjustedCPUTime();
            auto it = r.counters.find("ratio");
            e.ratio = it != r.counters.end() ? double(it->second) : 0;
            if (std::find(order.begin(), order.end(), key) == order.end()) order.push_back(key);
        }
    }

    void printTable() const {
        std::printf("\n%-36s %-12s %10s %12s\n", "case (zlib = 1.00)", "backend", "speed", "size vs zlib");
        for (std::string const& key : order) {
            auto const& byBackend = table.at(key);
            auto base = byBackend.find("zlib");
            if (base == byBackend.end()) continue;
            for (auto const& [backend, e] : byBackend) {
                if (backend == "zlib") continue;
                double size = base->second.ratio > 0 && e.ratio > 0 ? e.ratio / base->second.ratio : 0;
                std::printf("%-36s %-12s %9.2fx", key.c_str(), backend.c_str(), base->second.seconds / e.seconds);
                if (size > 0)
                    std::printf(" %11.3f\n", size);
                else
                    std::printf(" %11s\n", "-");
            }
        }
    }

private:
    struct Entry {
        double seconds = 0;
        double ratio = 0;
    };
    std::map<std::string, std::map<std::string, Entry>> table;
    std::vector<std::string> order;
};

void registerAll() {
    for (Sample const& s : samples()) {
        std::string tail = "/" + s.kind + "/" + std::to_string(s.plain.size());
        benchmark::RegisterBenchmark(("Compress/zlib" + tail).c_str(), compressCase<ZlibCodec>, &s);
#if S_ZLIB_HAVE_LIBDEFLATE
        benchmark::RegisterBenchmark(("Compress/libdeflate" + tail).c_str(), compressCase<LibdeflateCodec>, &s);
        benchmark::RegisterBenchmark(("Compress/service" + tail).c_str(), compressCase<Codec>, &s);
#endif
        bool crossover = std::find(std::begin(kCrossoverSizes), std::end(kCrossoverSizes), s.plain.size()) !=
                         std::end(kCrossoverSizes);
        if (crossover) continue;
        benchmark::RegisterBenchmark(("Decompress/zlib" + tail).c_str(), decompressCase<ZlibCodec>, &s);
#if S_ZLIB_HAVE_LIBDEFLATE
        benchmark::RegisterBenchmark(("Decompress/libdeflate" + tail).c_str(), decompressCase<LibdeflateCodec>, &s);
        benchmark::RegisterBenchmark(("Decompress/service" + tail).c_str(), decompressCase<Codec>, &s);
#endif
        benchmark::RegisterBenchmark(("DecompressKnownSize/zlib" + tail).c_str(), zlibKnownSize, &s);
#if S_ZLIB_HAVE_LIBDEFLATE
        benchmark::RegisterBenchmark(("DecompressKnownSize/libdeflate" + tail).c_str(), libdeflateKnownSize, &s);
        if (s.plain.size() == 64) {
            benchmark::RegisterBenchmark(("CompressFreshState/zlib" + tail).c_str(), compressCase<ZlibCodec>, &s);
            benchmark::RegisterBenchmark(("CompressFreshState/libdeflate" + tail).c_str(), libdeflateFreshCompressor,
                                         &s);
        }
#endif
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    registerAll();
    RatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                 : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printTable();
    benchmark::Shutdown();
    return 0;
}
