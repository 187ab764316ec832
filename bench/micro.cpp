// Microbenchmarks of the library's hot paths: fetching and reading deflated
// blocks, stored reads, and name lookups that hit and that miss. They run on
// one resource file made at start in a temporary directory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "pack/writer.h"
#include "resource/blocks.h"
#include "resource/index.h"
#include "resource/inflate.h"
#include "resource/set.h"
#include "resource/stream.h"

using namespace rux;

namespace {

constexpr std::uint32_t BLOCK = 65536;
constexpr std::uint32_t BIG = 64 * BLOCK;  // 4 MiB per large resource
constexpr int NAMED = 2000;               // small resources for the lookups

// Text-like bytes: words from a small vocabulary, so they deflate about
// as well as source code does.
std::string Words(std::size_t length, std::uint32_t seed) {
    static const char* const vocabulary[] = {"int ", "return ", "const ", "struct ", "(x)", ";\n",
                                             "buffer", "_length", " = ", "0x1f", "{\n", "}\n"};
    std::string out;
    out.reserve(length + 16);
    while (out.size() < length) {
        seed = seed * 1103515245u + 12345u;
        out += vocabulary[(seed >> 16) % 12];
    }
    out.resize(length);
    return out;
}

std::string NamedResource(int i) { return "dir" + std::to_string(i % 37) + "/file" + std::to_string(i) + ".h"; }

struct Corpus {
    std::string directory;
    std::string path;
    int deflated = -1;
    int stored = -1;

    Corpus() {
        char pattern[] = "/tmp/rux-micro.XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        directory = pattern;
        std::vector<PackResource> resources;
        resources.push_back({"big.bin", KIND_DEFLATED, Words(BIG, 1), BLOCK, 6});
        resources.push_back({"stored.bin", KIND_STORED, Words(BIG, 2), BLOCK, 6});
        for (int i = 0; i < NAMED; ++i) {
            resources.push_back({NamedResource(i), KIND_DEFLATED, Words(100, i), BLOCK, 6});
        }
        path = directory + "/micro.rux";
        std::string error;
        if (!WriteResourceFile(path, resources, &error)) std::abort();
        ResetResourceTables();
        if (!MountResourceFile(path.c_str())) std::abort();
        deflated = LookupResource("big.bin");
        stored = LookupResource("stored.bin");
    }
    ~Corpus() {
        std::remove(path.c_str());
        ::rmdir(directory.c_str());
    }
};

Corpus& TheCorpus() {
    static Corpus corpus;
    return corpus;
}

// Inflation of a block that is never in the cache (more blocks than slots).
void BM_FetchBlockInflate(benchmark::State& state) {
    const int slot = TheCorpus().deflated;
    std::uint32_t block = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FetchBlock(slot, block));
        block = (block + 1) % (BIG / BLOCK);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * BLOCK);
    state.SetLabel(InflateBackEnd());
}
BENCHMARK(BM_FetchBlockInflate);

// A block already in the cache.
void BM_FetchBlockCached(benchmark::State& state) {
    const int slot = TheCorpus().deflated;
    FetchBlock(slot, 3);
    for (auto _ : state) benchmark::DoNotOptimize(FetchBlock(slot, 3));
}
BENCHMARK(BM_FetchBlockCached);

// A whole resource front to back in pieces of the given size.
void ReadWhole(benchmark::State& state, const char* name) {
    std::vector<unsigned char> buffer(static_cast<std::size_t>(state.range(0)));
    const std::uint32_t piece = static_cast<std::uint32_t>(buffer.size());
    for (auto _ : state) {
        ResourceStream stream;
        stream.Open(name);
        std::uint64_t total = 0;
        while (std::uint32_t got = stream.Read(buffer.data(), piece)) total += got;
        stream.Close();
        if (total != BIG) state.SkipWithError("short read");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * BIG);
}

void BM_ReadDeflated(benchmark::State& state) {
    TheCorpus();
    ReadWhole(state, "big.bin");
}
BENCHMARK(BM_ReadDeflated)->Arg(4096)->Arg(65536)->Arg(1 << 20);

void BM_ReadStored(benchmark::State& state) {
    TheCorpus();
    ReadWhole(state, "stored.bin");
}
BENCHMARK(BM_ReadStored)->Arg(4096)->Arg(65536)->Arg(1 << 20);

void Lookups(benchmark::State& state, const char* prefix) {
    TheCorpus();
    std::vector<std::string> names;
    for (int i = 0; i < NAMED; ++i) names.push_back(prefix + NamedResource(i));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(LookupResource(names[i].c_str()));
        i = (i + 1) % names.size();
    }
}

void BM_LookupResourceHit(benchmark::State& state) { Lookups(state, ""); }
BENCHMARK(BM_LookupResourceHit);

// A miss probes from the home slot to the first slot never used, then
// checks the chain of names equal but for case.
void BM_LookupResourceMiss(benchmark::State& state) { Lookups(state, "missing/"); }
BENCHMARK(BM_LookupResourceMiss);

// Positioned reads of the given size at offsets that walk the resource in
// steps of a block and a bit, so that most reads need a block not cached.
void ReadAtSteps(benchmark::State& state, int slot) {
    std::vector<unsigned char> buffer(static_cast<std::size_t>(state.range(0)));
    const std::uint32_t count = static_cast<std::uint32_t>(buffer.size());
    const ResourceSet& set = DefaultResourceSet();
    std::uint64_t offset = 0;
    for (auto _ : state) {
        if (set.ReadAt(slot, offset, buffer.data(), count) < 0) state.SkipWithError("read failed");
        offset = (offset + BLOCK + 4099) % (BIG - count);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * count);
}

void BM_ReadAtDeflated(benchmark::State& state) { ReadAtSteps(state, TheCorpus().deflated); }
BENCHMARK(BM_ReadAtDeflated)->Arg(4096)->Arg(65536);

void BM_ReadAtStored(benchmark::State& state) { ReadAtSteps(state, TheCorpus().stored); }
BENCHMARK(BM_ReadAtStored)->Arg(4096)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
