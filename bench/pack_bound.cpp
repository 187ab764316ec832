// The trusting packer: the bound rux-pack is measured against. It reads
// every regular file below a directory whole, deflates it in blocks with
// libdeflate, and appends the blocks to one output file per thread; no
// tables, no offsets, no checks of any kind. Each of THREADS threads takes
// the next file in sorted order as it becomes free.
//
//   rux-pack-bound DIR OUT LEVEL [BLOCK [THREADS]]   (BLOCK 65536; THREADS 0: one per core)
//
// Prints the total bytes written to standard output.
#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s DIR OUT LEVEL [BLOCK [THREADS]]\n", argv[0]);
        return 2;
    }
    const int level = std::atoi(argv[3]);
    const std::size_t block = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 65536;
    unsigned threads = argc > 5 ? static_cast<unsigned>(std::atoi(argv[5])) : 0;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(argv[1])) {
        if (entry.is_regular_file()) files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    std::atomic<std::size_t> next{0};
    std::atomic<unsigned long long> total{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            libdeflate_compressor* c = libdeflate_alloc_compressor(level);
            const std::string name = std::string(argv[2]) + "." + std::to_string(t);
            std::FILE* out = std::fopen(name.c_str(), "wb");
            if (!c || !out) {
                failed = 1;
                return;
            }
            std::string data, packed;
            unsigned long long written = 0;
            for (std::size_t i; (i = next++) < files.size();) {
                std::FILE* in = std::fopen(files[i].c_str(), "rb");
                if (!in) {
                    failed = 1;
                    continue;
                }
                data.resize(static_cast<std::size_t>(fs::file_size(files[i])));
                const std::size_t got = data.empty() ? 0 : std::fread(&data[0], 1, data.size(), in);
                std::fclose(in);
                data.resize(got);
                for (std::size_t at = 0; at < data.size(); at += block) {
                    const std::size_t n = std::min(block, data.size() - at);
                    packed.resize(libdeflate_zlib_compress_bound(c, n));
                    const std::size_t size = libdeflate_zlib_compress(c, data.data() + at, n, &packed[0], packed.size());
                    std::fwrite(packed.data(), 1, size, out);
                    written += size;
                }
            }
            if (std::fclose(out) != 0) failed = 1;
            libdeflate_free_compressor(c);
            total += written;
        });
    }
    for (std::thread& t : pool) t.join();
    std::printf("%llu\n", total.load());
    return failed ? 1 : 0;
}
