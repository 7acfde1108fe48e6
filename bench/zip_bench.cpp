// The ZIP service as client code meets it, against the codec it delegates to
// and against zlib, all in one run. The real modules are loaded through the
// reference host's loader (HostModules), with compression switched on in a
// configuration folder of the benchmark's own.
//
// Case names are "Op/variant/kind/size":
//   Compress, Restore   variant service  the zip buffer's own result, borrowed
//                                        through TZipBuffer_Interface
//                       variant stub     TZipBuffer::GetResultTBuf(), the copy
//                                        the client stub hands out
//                       variant direct   libdeflate called directly, state
//                                        kept, output into a warm buffer (of
//                                        the known size, when restoring)
//                       variant floor    (Restore) the contract's floor: the
//                                        direct codec, then its output copied
//                                        into a second warm buffer, as the
//                                        contract's createTBuf(bytes, len)
//                                        makes every implementation do
//                       variant zlib     compress2() at level 6; streaming
//                                        inflate() into a block that doubles
//   kinds: text, binary, random (synthetic, sample_data.h) and corpus, the
//   real files of bench/make_corpus.py at 1 MiB and 16 MiB (--corpus=PATH)
//   Threads/op/size     service path, one or two threads on zip buffers of
//                       their own (aggregate bytes per second, wall time)
//   ThreadsDirect/op/size  the same with libdeflate called directly: how
//                       far the machine itself lets two threads scale
//   Breakdown64/part    the pieces of a 64-byte ZipTBuf, each in a case of its
//                       own and all of them in turns (interleaved)
// Counters: out_bytes (the output of one call), allocs and trims (heap
// allocations, and shrinkings of the heap's end, per call).
//
// `zip_benchmarks --callgrind=PART [--calls=N]` runs one part of the 64-byte
// breakdown once, then N times in a function of its own, for valgrind's
// callgrind to count its instructions (bench/run_bench.py does that).
// `zip_benchmarks --write-sample=KIND,SIZE,PATH` writes the sample data to a
// file, for the whole-process comparison. `--corpus=PATH` adds the corpus
// cases (its first 1 MiB and 16 MiB). `--codec-level=SIZE` prints the level
// the zlib module compresses SIZE bytes at (not noise), which the direct
// case uses too.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <libdeflate.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cmn_abuf.h"
#include "codec_level.h"
#include "copy_bytes.h"
#include "host_modules.h"
#include "private_switch.h"
#include "sample_data.h"
#include "zipC.h"

// ---- heap accounting ---------------------------------------------------------
// The executable's own malloc family, which the modules and the codec
// libraries bind to as well: it counts allocations and, while a thread
// watches for them (WatchTrims), the times the heap's end moves down (a
// trim). glibc's allocator does the work. Watching costs two system calls'
// worth of instructions per free, so only the cases that report trims do it:
// the 64-byte breakdown and the thread cases price every instruction.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {
__thread unsigned long tAllocs = 0;
__thread unsigned long tTrims = 0;
__thread bool tWatchTrims = false;

struct WatchTrims {
    WatchTrims() { tWatchTrims = true; }
    ~WatchTrims() { tWatchTrims = false; }
    WatchTrims(WatchTrims const&) = delete;
    WatchTrims& operator=(WatchTrims const&) = delete;
};
}  // namespace

extern "C" {
void* malloc(size_t n) {
    ++tAllocs;
    return __libc_malloc(n);
}
void* calloc(size_t k, size_t n) {
    ++tAllocs;
    return __libc_calloc(k, n);
}
void* realloc(void* p, size_t n) {
    ++tAllocs;
    if (!tWatchTrims) return __libc_realloc(p, n);
    void* end = sbrk(0);
    void* q = __libc_realloc(p, n);
    if (sbrk(0) < end) ++tTrims;
    return q;
}
void free(void* p) {
    if (!tWatchTrims) return __libc_free(p);
    void* end = sbrk(0);
    __libc_free(p);
    if (sbrk(0) < end) ++tTrims;
}
}

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kSizes[] = {64, 4 << 10, 64 << 10, 1 << 20, 16 << 20};
// Where the codecs' fixed and per-byte costs cross (compression only).
constexpr size_t kCrossoverSizes[] = {8 << 10, 16 << 10, 32 << 10};
constexpr size_t kThreadSizes[] = {4 << 10, 64 << 10, 1 << 20};

Bytes randomBytes(size_t n, uint32_t seed = 3) {
    Bytes out(n);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = static_cast<unsigned char>(x >> 32);
    }
    return out;
}

struct Sample {
    std::string kind;
    Bytes plain;
    Bytes packed;  // by zlib's compress2 at level 6: the input of every restore case
};

Bytes zlibPack(Bytes const& plain) {
    uLongf n = compressBound(plain.size());
    Bytes out(n);
    compress2(out.data(), &n, plain.data(), plain.size(), 6);
    out.resize(n);
    return out;
}

Sample makeSample(std::string const& kind, size_t n, bool pack = true) {
    Sample s;
    s.kind = kind;
    s.plain = kind == "text" ? textLike(n) : kind == "binary" ? binaryLike(n) : randomBytes(n);
    if (pack) s.packed = zlibPack(s.plain);
    return s;
}

// A byte buffer holding `bytes`, with the hold given back at the end.
struct InputBuffer {
    TBuf* buf;
    explicit InputBuffer(Bytes const& bytes) : buf(createTBuf(bytes.data(), static_cast<unsigned>(bytes.size()))) {}
    ~InputBuffer() {
        if (buf != nullptr) buf->release();
    }
};

enum class Path { Service, Stub };

// One client call: a zip buffer over `in`, ZipTBuf or UnzipTBuf, the output
// read (borrowed from the zip buffer, or the stub's copy), everything dropped.
// Returns the output length, or -1 on failure.
long clientCall(TBuf* in, bool compress, Path path) {
    TZipBuffer zip(in);
    unsigned code = compress ? zip.ZipTBuf() : zip.UnzipTBuf();
    if (code != ZIP_OK) return -1;
    if (path == Path::Service) {
        TBuf* out = zip.holder.pointee->GetResultTBuf();
        benchmark::DoNotOptimize(out->datap());
        return out->len();
    }
    TBuf* out = zip.GetResultTBuf();
    if (out == nullptr) return -1;
    benchmark::DoNotOptimize(out->datap());
    long n = out->len();
    out->release();
    return n;
}

// This thread's allocations and trims from its construction on.
struct HeapCount {
    unsigned long allocs = tAllocs, trims = tTrims;
};

void setCounters(benchmark::State& state, size_t bytes, long made, HeapCount const& from) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["out_bytes"] = double(made);
    double calls = double(state.iterations());
    state.counters["allocs"] = double(tAllocs - from.allocs) / calls;
}

void moduleCase(benchmark::State& state, Sample const* s, bool compress, Path path) {
    InputBuffer in(compress ? s->plain : s->packed);
    long made = clientCall(in.buf, compress, path);  // warm
    HeapCount heap;
    for (auto _ : state) {
        made = clientCall(in.buf, compress, path);
        if (made < 0) state.SkipWithError("the service failed");
    }
    setCounters(state, s->plain.size(), made, heap);
    // Trims are counted over calls of their own, after the timed loop, so
    // that watching for them adds nothing to the time.
    int const watched = s->plain.size() <= (1u << 20) ? 16 : 3;
    unsigned long const before = tTrims;
    {
        WatchTrims watch;
        for (int i = 0; i < watched; ++i) clientCall(in.buf, compress, path);
    }
    state.counters["trims"] = double(tTrims - before) / watched;
}

void directCompress(benchmark::State& state, Sample const* s) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(codecLevelFor(s->plain.size()));
    Bytes out(libdeflate_zlib_compress_bound(c, s->plain.size()));
    size_t made = 0;
    HeapCount heap;
    for (auto _ : state) {
        made = libdeflate_zlib_compress(c, s->plain.data(), s->plain.size(), out.data(), out.size());
        benchmark::DoNotOptimize(out.data());
    }
    setCounters(state, s->plain.size(), long(made), heap);
    libdeflate_free_compressor(c);
}

// libdeflate decoding into a warm buffer of the known size (which the service
// cannot know). With `handOver`, the contract's floor for restoring: what any
// implementation of it must do, decode and hand the bytes over in a new byte
// buffer, a copy; made with the byte-buffer module's own copyBytes, so that
// the floor is not slowed by the distance its two buffers happen to lie
// apart (copy_bytes.h).
void libdeflateRestore(benchmark::State& state, Sample const* s, bool handOver) {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    Bytes out(s->plain.size()), copy(handOver ? s->plain.size() : 0);
    HeapCount heap;
    for (auto _ : state) {
        size_t n = 0;
        if (libdeflate_zlib_decompress(d, s->packed.data(), s->packed.size(), out.data(), out.size(), &n) !=
            LIBDEFLATE_SUCCESS)
            state.SkipWithError("failed");
        if (handOver) copyBytes(copy.data(), out.data(), n);
        benchmark::DoNotOptimize(handOver ? copy.data() : out.data());
    }
    setCounters(state, s->plain.size(), long(out.size()), heap);
    libdeflate_free_decompressor(d);
}

void directRestore(benchmark::State& state, Sample const* s) { libdeflateRestore(state, s, false); }
void floorRestore(benchmark::State& state, Sample const* s) { libdeflateRestore(state, s, true); }

void zlibCompress(benchmark::State& state, Sample const* s) {
    Bytes out(compressBound(s->plain.size()));
    uLongf made = 0;
    HeapCount heap;
    for (auto _ : state) {
        made = out.size();
        if (compress2(out.data(), &made, s->plain.data(), s->plain.size(), 6) != Z_OK) state.SkipWithError("failed");
        benchmark::DoNotOptimize(out.data());
    }
    setCounters(state, s->plain.size(), long(made), heap);
}

// Streaming inflate into a block that starts at four times the input and
// doubles as it fills: what a caller does who does not know the output size.
long zlibInflateGrowing(Bytes const& packed) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return -1;
    size_t room = packed.size() * 4 + 64, made = 0;
    auto* block = static_cast<unsigned char*>(malloc(room));
    z.next_in = const_cast<unsigned char*>(packed.data());
    z.avail_in = static_cast<uInt>(packed.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (made == room) {
            room *= 2;
            block = static_cast<unsigned char*>(realloc(block, room));
        }
        z.next_out = block + made;
        z.avail_out = static_cast<uInt>(room - made);
        rc = inflate(&z, Z_NO_FLUSH);
        made = room - z.avail_out;
    }
    inflateEnd(&z);
    benchmark::DoNotOptimize(block);
    free(block);
    return rc == Z_STREAM_END ? long(made) : -1;
}

void zlibRestore(benchmark::State& state, Sample const* s) {
    long made = 0;
    HeapCount heap;
    for (auto _ : state) {
        made = zlibInflateGrowing(s->packed);
        if (made != long(s->plain.size())) state.SkipWithError("failed");
    }
    setCounters(state, s->plain.size(), made, heap);
}

void threadsCase(benchmark::State& state, size_t size, bool compress, bool direct) {
    // Each thread its own input and zip buffers (or codec state and output).
    Sample s = makeSample("binary", size);
    if (direct) {
        compress ? directCompress(state, &s) : directRestore(state, &s);
        return;
    }
    InputBuffer in(compress ? s.plain : s.packed);
    for (auto _ : state) {
        if (clientCall(in.buf, compress, Path::Service) < 0) state.SkipWithError("the service failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// ---- the 64-byte breakdown ---------------------------------------------------
// zip       the whole client call (Compress/service at 64 bytes)
// roundtrip the same, then its result restored by a second zip buffer
// codec     the codec's work alone, state kept and reset, output into a warm
//           buffer: zlib, which the zlib module uses below 4 KiB (s_zlib.h),
//           and libdeflate (codec-libdeflate); the goal takes the faster
//           of the two, so the rest is never understated
// switch    the two opens of the switch file a ZipTBuf makes: one to find
//           it, one to read it as the zip module does
// holders   a zip buffer made over the input and dropped, no call: the
//           service lookup, the holders and the zip buffer's allocation

std::string gSwitchPath;

struct Breakdown {
    Sample sample = makeSample("text", 64);
    InputBuffer in{sample.plain};
    z_stream z{};
    Bytes out = Bytes(256);
    libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    Breakdown() { deflateInit(&z, 6); }
    ~Breakdown() {
        deflateEnd(&z);
        libdeflate_free_compressor(c);
    }

    long zip() { return clientCall(in.buf, true, Path::Service); }
    long codec() {
        deflateReset(&z);
        z.next_in = sample.plain.data();
        z.avail_in = static_cast<uInt>(sample.plain.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        return long(z.total_out);
    }
    // The switch file's platform calls as the module makes them: the path's
    // check (stat, fopen, fstat, fclose), then the read (stat, fopen, fstat,
    // fgets in 63-byte pieces to the end, fclose).
    static std::FILE* openRegular() {
        struct stat st {};
        if (stat(gSwitchPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
        std::FILE* f = std::fopen(gSwitchPath.c_str(), "r");
        if (f != nullptr && (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))) {
            std::fclose(f);
            return nullptr;
        }
        return f;
    }
    static long switchFile() {
        if (std::FILE* probe = openRegular()) std::fclose(probe);
        std::FILE* f = openRegular();
        if (f == nullptr) return -1;
        char piece[63];
        long n = 0;
        while (std::fgets(piece, sizeof piece, f) != nullptr) n += long(std::strlen(piece));
        std::fclose(f);
        return n;
    }
    long roundTrip() {
        TZipBuffer zip(in.buf);
        if (zip.ZipTBuf() != ZIP_OK) return -1;
        TZipBuffer back(zip.holder.pointee->GetResultTBuf());
        if (back.UnzipTBuf() != ZIP_OK) return -1;
        return back.holder.pointee->GetResultTBuf()->len();
    }
    long holders() {
        TZipBuffer zip(in.buf);
        return zip.isBound() ? 1 : -1;
    }
    long part(std::string const& name) {
        if (name == "zip") return zip();
        if (name == "roundtrip") return roundTrip();
        if (name == "codec") return codec();
        if (name == "codec-libdeflate")
            return long(libdeflate_zlib_compress(c, sample.plain.data(), 64, out.data(), out.size()));
        if (name == "switch") return switchFile();
        if (name == "holders") return holders();
        return -1;
    }
};

void breakdownCase(benchmark::State& state, char const* part) {
    Breakdown b;
    std::string name = part;
    if (b.part(name) < 0) state.SkipWithError("part failed");
    HeapCount heap;
    for (auto _ : state) benchmark::DoNotOptimize(b.part(name));
    setCounters(state, 64, 0, heap);
}

double threadCpuNanoseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// The pieces timed one call at a time, in turns, so that the machine's load
// weighs on each alike; per piece the median call, less the clock's own cost
// (the piece "none"). Counters in microseconds; "rest" is the whole call less
// the faster codec and the switch file.
void breakdownInterleaved(benchmark::State& state) {
    Breakdown b;
    std::vector<std::string> const parts = {"zip", "codec", "codec-libdeflate", "switch", "none"};
    std::vector<std::vector<double>> took(parts.size());
    size_t turn = 0;
    for (auto _ : state) {
        for (size_t k = 0; k < parts.size(); ++k) {
            size_t i = (turn + k) % parts.size();
            double t0 = threadCpuNanoseconds();
            if (i + 1 < parts.size()) benchmark::DoNotOptimize(b.part(parts[i]));
            took[i].push_back(threadCpuNanoseconds() - t0);
        }
        ++turn;
    }
    std::vector<double> median(parts.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        std::vector<double>& v = took[i];
        std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
        median[i] = v[v.size() / 2];
    }
    double const clock = median.back();
    for (size_t i = 0; i + 1 < parts.size(); ++i) state.counters[parts[i] + "_us"] = (median[i] - clock) / 1e3;
    double const codec = std::min(median[1], median[2]) - clock;
    state.counters["rest_us"] = (median[0] - clock - codec - (median[3] - clock)) / 1e3;
}

// Kept out of line: callgrind counts from its entry (--toggle-collect).
__attribute__((noinline)) long callgrindLoop(Breakdown& b, std::string const& part, long calls) {
    long sum = 0;
    for (long i = 0; i < calls; ++i) sum += b.part(part);
    return sum;
}

std::string gCorpusPath;
constexpr size_t kCorpusSizes[] = {1 << 20, 16 << 20};

Bytes readCorpus(size_t n) {
    Bytes out(n);
    std::FILE* f = std::fopen(gCorpusPath.c_str(), "rb");
    size_t got = f != nullptr ? std::fread(out.data(), 1, n, f) : 0;
    if (f != nullptr) std::fclose(f);
    out.resize(got);
    return out;
}

std::vector<Sample> const& samples() {
    static std::vector<Sample> all = [] {
        std::vector<Sample> v;
        std::vector<size_t> sizes(std::begin(kSizes), std::end(kSizes));
        sizes.insert(sizes.end(), std::begin(kCrossoverSizes), std::end(kCrossoverSizes));
        for (size_t n : sizes)
            for (char const* kind : {"text", "binary", "random"}) v.push_back(makeSample(kind, n));
        if (!gCorpusPath.empty())
            for (size_t n : kCorpusSizes) {
                Sample c;
                c.kind = "corpus";
                c.plain = readCorpus(n);
                if (c.plain.size() != n) {
                    std::fprintf(stderr, "zip_benchmarks: %s is shorter than %zu bytes\n", gCorpusPath.c_str(), n);
                    std::exit(2);
                }
                c.packed = zlibPack(c.plain);
                v.push_back(std::move(c));
            }
        return v;
    }();
    return all;
}

void registerAll() {
    for (Sample const& s : samples()) {
        std::string tail = "/" + s.kind + "/" + std::to_string(s.plain.size());
        auto reg = [&](std::string const& name, auto fn) {
            benchmark::RegisterBenchmark(name.c_str(), fn)->Unit(benchmark::kMicrosecond);
        };
        Sample const* p = &s;
        reg("Compress/direct" + tail, [p](benchmark::State& st) { directCompress(st, p); });
        reg("Compress/zlib" + tail, [p](benchmark::State& st) { zlibCompress(st, p); });
        bool crossover = std::find(std::begin(kCrossoverSizes), std::end(kCrossoverSizes), s.plain.size()) !=
                         std::end(kCrossoverSizes);
        if (crossover) continue;
        reg("Compress/service" + tail, [p](benchmark::State& st) { moduleCase(st, p, true, Path::Service); });
        reg("Compress/stub" + tail, [p](benchmark::State& st) { moduleCase(st, p, true, Path::Stub); });
        reg("Restore/service" + tail, [p](benchmark::State& st) { moduleCase(st, p, false, Path::Service); });
        reg("Restore/stub" + tail, [p](benchmark::State& st) { moduleCase(st, p, false, Path::Stub); });
        reg("Restore/direct" + tail, [p](benchmark::State& st) { directRestore(st, p); });
        reg("Restore/floor" + tail, [p](benchmark::State& st) { floorRestore(st, p); });
        reg("Restore/zlib" + tail, [p](benchmark::State& st) { zlibRestore(st, p); });
    }
    for (size_t n : kThreadSizes)
        for (bool compress : {true, false})
            for (bool direct : {false, true}) {
                std::string name = std::string(direct ? "ThreadsDirect/" : "Threads/") +
                                   (compress ? "compress" : "restore") + "/" + std::to_string(n);
                benchmark::RegisterBenchmark(
                    name.c_str(), [n, compress, direct](benchmark::State& st) { threadsCase(st, n, compress, direct); })
                    ->Threads(1)
                    ->Threads(2)
                    ->MinTime(0.3)  // wall time on a shared machine: longer runs, each less moved by a burst
                    ->UseRealTime()
                    ->Unit(benchmark::kMicrosecond);
            }
    benchmark::RegisterBenchmark("Breakdown64/interleaved", breakdownInterleaved)->Unit(benchmark::kMicrosecond);
    for (char const* part : {"zip", "roundtrip", "codec", "codec-libdeflate", "switch", "holders"})
        benchmark::RegisterBenchmark((std::string("Breakdown64/") + part).c_str(), breakdownCase, part)
            ->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
    std::string part;
    long calls = 1000;
    std::string modulesDir = ZIP_MODULE_DIR;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--callgrind=", 0) == 0) {
            part = a.substr(12);
        } else if (a.rfind("--calls=", 0) == 0) {
            calls = std::stol(a.substr(8));
        } else if (a.rfind("--write-sample=", 0) == 0) {
            std::string what = a.substr(15);
            size_t c1 = what.find(','), c2 = what.find(',', c1 + 1);
            if (c1 == std::string::npos || c2 == std::string::npos) return 2;
            Sample s = makeSample(what.substr(0, c1), std::stoul(what.substr(c1 + 1, c2 - c1 - 1)), false);
            std::FILE* f = std::fopen(what.substr(c2 + 1).c_str(), "wb");
            bool ok = f != nullptr && std::fwrite(s.plain.data(), 1, s.plain.size(), f) == s.plain.size();
            return f != nullptr && std::fclose(f) == 0 && ok ? 0 : 1;
        } else if (a.rfind("--corpus=", 0) == 0) {
            gCorpusPath = a.substr(9);
        } else if (a.rfind("--codec-level=", 0) == 0) {
            std::printf("%d\n", codecLevelFor(std::stoul(a.substr(14))));
            return 0;
        } else if (a.rfind("--modules=", 0) == 0) {
            modulesDir = a.substr(10);
        } else {
            rest.push_back(argv[i]);
        }
    }
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 2;

    // Compression on, in a folder of our own.
    PrivateSwitchFile on;
    std::string error;
    if (!on.switchOn(&error)) {
        std::fprintf(stderr, "zip_benchmarks: %s\n", error.c_str());
        return 1;
    }
    gSwitchPath = on.folder() + "/s_zip.ini";

    int status = 0;
    {
        HostModules modules;
        if (!modules.loadStandardSet(modulesDir, &error)) {
            std::fprintf(stderr, "zip_benchmarks: %s\n", error.c_str());
            status = 1;
        } else if (!part.empty()) {
            Breakdown b;
            status = b.part(part) < 0 || callgrindLoop(b, part, calls) < 0 ? 1 : 0;
        } else {
            for (HostModule const& m : modules.modules())
                if (auto name = reinterpret_cast<char const* (*)()>(dlsym(m.handle, "s_zlib_codec_name")))
                    std::fprintf(stderr, "zlib module codec: %s\n", name());
            registerAll();
            benchmark::RunSpecifiedBenchmarks();
        }
        x509cmn_fini();
        modules.unloadAll();
    }
    benchmark::Shutdown();
    return status;
}
