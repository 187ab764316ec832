// What the end-to-end tests of rux-pack share: running the real rux-pack
// and rux-extract, trees made in code or copied from the system's headers,
// listings parsed back, and the checks of a round trip and of a refusal.
#ifndef RUX_TESTS_PROGRAMS_PACK_FIXTURE_H
#define RUX_TESTS_PROGRAMS_PACK_FIXTURE_H

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/fixture.h"
#include "tests/support/run.h"
#include "common/glob.h"
#include "common/names.h"

namespace pack_test {

using namespace rux;
namespace fs = std::filesystem;

inline RunResult Pack(const std::vector<std::string>& args, const std::string& cwd) {
    return Run(ProgramFromEnvironment("RUX_PACK"), args, cwd);
}

inline RunResult Extract(const std::vector<std::string>& args, const std::string& cwd) {
    return Run(ProgramFromEnvironment("RUX_EXTRACT"), args, cwd);
}

inline void MakeTree(const std::string& root, const std::map<std::string, std::string>& files) {
    for (const auto& file : files) {
        const fs::path path = fs::path(root) / file.first;
        fs::create_directories(path.parent_path());
        // Not through DiskFile: names here may hold a literal '\'.
        std::ofstream out(path, std::ios::binary);
        out << file.second;
        ASSERT_TRUE(out.good()) << path;
    }
}

inline std::string Fold(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Copies up to count of the system's C headers (regular files, in sorted
// order, at most maxBytes each) below dest, keeping their relative paths.
// Names the tool rightly refuses are left out: unsafe ones, and a second
// name equal to an earlier one but for case.
inline std::vector<std::string> CopyHeaders(const std::string& dest, std::size_t count,
                                     std::uintmax_t maxBytes = 1 << 20) {
    std::vector<std::string> all;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator("/usr/include", ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file() && !it->is_symlink()) {
            all.push_back(fs::relative(it->path(), "/usr/include").generic_string());
        }
    }
    std::sort(all.begin(), all.end());
    std::vector<std::string> chosen;
    std::set<std::string> folded;
    for (const std::string& name : all) {
        if (chosen.size() == count) break;
        if (IsUnsafeName(name.c_str(), 1) || name.find('\\') != std::string::npos ||
            fs::file_size("/usr/include/" + name, ec) > maxBytes ||
            !folded.insert(Fold(name)).second) {
            continue;
        }
        const fs::path to = fs::path(dest) / name;
        fs::create_directories(to.parent_path());
        fs::copy_file("/usr/include/" + name, to, ec);
        if (!ec) chosen.push_back(name);
    }
    return chosen;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

struct Listed {
    unsigned kind;
    std::string name;
    unsigned long size;
};

inline std::vector<Listed> Listing(const std::string& output) {
    std::vector<Listed> listed;
    for (const std::string& line : Lines(output)) {
        const std::size_t first = line.find(' ');
        const std::size_t last = line.rfind(' ');
        listed.push_back({static_cast<unsigned>(std::stoul(line.substr(0, first))),
                          line.substr(first + 1, last - first - 1),
                          std::stoul(line.substr(last + 1))});
    }
    return listed;
}

inline void ExpectSameTree(const std::string& expected, const std::string& actual) {
    const std::vector<std::string> files = ListTree(expected);
    ASSERT_EQ(files, ListTree(actual));
    for (const std::string& file : files) {
        ASSERT_EQ(ReadWholeFile(expected + "/" + file), ReadWholeFile(actual + "/" + file))
            << file;
    }
}

// Only the requested file (and loose files) beside it: no temporaries.
inline void ExpectNoTemporaries(const std::string& dir) {
    for (const std::string& file : ListTree(dir)) {
        EXPECT_EQ(std::string::npos, file.find(".part")) << file;
        EXPECT_EQ(std::string::npos, file.find(".rux-")) << file;
    }
}

// Packs src with options, checks the listing against the tree, extracts
// the result and compares the trees. Returns the listing.
inline std::vector<Listed> RoundTrip(const TempDir& tmp, const std::string& src,
                              const std::vector<std::string>& options) {
    std::vector<std::string> args = options;
    args.push_back(tmp / "out.rux");
    args.push_back(src);
    const RunResult packed = Pack(args, tmp.path());
    EXPECT_EQ(0, packed.status) << packed.errors;
    EXPECT_EQ("", packed.errors);
    const std::vector<Listed> listed = Listing(packed.output);
    const std::vector<std::string> files = ListTree(src);
    const bool backslash = std::find(options.begin(), options.end(), "--backslash") != options.end();
    EXPECT_EQ(files.size(), listed.size());
    for (std::size_t i = 0; i < files.size() && i < listed.size(); ++i) {
        std::string name = files[i];
        if (backslash) std::replace(name.begin(), name.end(), '/', '\\');
        EXPECT_EQ(name, listed[i].name);
        EXPECT_EQ(fs::file_size(src + "/" + files[i]), listed[i].size) << name;
    }
    const RunResult extracted = Extract({tmp / "out.rux", tmp / "extracted"}, tmp.path());
    EXPECT_EQ(0, extracted.status) << extracted.output;
    // The extractor lists in index order; the same lines, though.
    std::vector<std::string> packLines = Lines(packed.output);
    std::vector<std::string> extractLines = Lines(extracted.output);
    std::sort(packLines.begin(), packLines.end());
    std::sort(extractLines.begin(), extractLines.end());
    EXPECT_EQ(packLines, extractLines);
    ExpectSameTree(src, tmp / "extracted");
    ExpectNoTemporaries(tmp.path());
    return listed;
}

inline int CountKind(const std::vector<Listed>& listed, unsigned kind) {
    return static_cast<int>(std::count_if(listed.begin(), listed.end(),
                                          [kind](const Listed& l) { return l.kind == kind; }));
}

// Two trees of large and small files: one of more than 64 blocks and
// several chunks, runs of zeros, random bytes that are stored, empty files.
inline std::map<std::string, std::string> MixedTree(unsigned seed) {
    std::map<std::string, std::string> tree = {
        {"big.txt", TextBytes(70 * 65536 + 123, seed)}, {"random.bin", RandomBytes(300000, seed)},
        {"empty", ""}, {"d/e/empty", ""}, {"zeros", std::string(3 << 20, '\0')}};
    for (unsigned i = 0; i < 40; ++i) {
        tree["d/many/f" + std::to_string(i) + ".txt"] = TextBytes(100 + 997 * i, seed + i);
    }
    return tree;
}


// A refused run: status 1, a message, the old output untouched, nothing new.
inline void ExpectRefused(const RunResult& run, const TempDir& tmp, const std::string& message) {
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.errors.find(message)) << run.errors;
    EXPECT_EQ("old", ReadWholeFile(tmp / "out.rux"));
    EXPECT_EQ((std::vector<std::string>{"out.rux"}), ListTree(tmp.path()));
}

}  // namespace pack_test

#endif
