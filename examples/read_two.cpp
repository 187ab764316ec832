// Two resource files, each in a set of its own, read by four threads at once.
//
//   read_two A.rux B.rux NAME
//
// prints, for each file, "FILE: NAME: SIZE bytes, crc32 XXXXXXXX", or
// what went wrong; the status is 1 if anything did. Each thread reads a
// quarter of NAME by positioned reads, which need no stream and may run on
// one resource in any number of threads.
#include <rux/set.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

std::uint32_t Crc32(const std::vector<unsigned char>& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// One file's line: its reading, or the reason it failed. 1 on success.
int Report(const char* path, const char* name) {
    rux::ResourceSet set;
    const rux::MountResult mounted = set.Mount(path);
    if (!mounted.ok()) {
        std::printf("%s: %s\n", path, rux::MountErrorText(mounted).c_str());
        return 0;
    }
    const int slot = set.Lookup(name);  // ASCII case is ignored
    rux::ReadStatus status;
    const std::int64_t size = set.DataSize(slot, &status);
    if (size < 0) {
        std::printf("%s: %s: %s\n", path, name, rux::ReadErrorText(set, slot, status).c_str());
        return 0;
    }
    std::vector<unsigned char> data(static_cast<std::size_t>(size));
    std::vector<rux::ReadStatus> failures(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::uint64_t from = data.size() * t / 4, to = data.size() * (t + 1) / 4;
            for (std::uint64_t at = from; at < to && failures[t].error == rux::ReadError::NONE;) {
                const std::uint32_t piece = to - at < (1u << 20) ? static_cast<std::uint32_t>(to - at) : 1u << 20;
                if (set.ReadAt(slot, at, &data[at], piece, &failures[t]) != piece) break;
                at += piece;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const rux::ReadStatus& failure : failures) {
        if (failure.error != rux::ReadError::NONE) {
            std::printf("%s: %s: %s\n", path, name, rux::ReadErrorText(set, slot, failure).c_str());
            return 0;
        }
    }
    std::printf("%s: %s: %lld bytes, crc32 %08x\n", path, name, static_cast<long long>(size),
                static_cast<unsigned>(Crc32(data)));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s A.rux B.rux NAME\n", argv[0]);
        return 2;
    }
    const int first = Report(argv[1], argv[3]);
    const int second = Report(argv[2], argv[3]);
    return first && second ? 0 : 1;
}
