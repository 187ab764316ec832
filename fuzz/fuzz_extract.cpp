// Fuzz target: one whole extraction per input.
//
// Each input (see fuzz/input.h) becomes a resource file and a loose file
// beside it in a private temporary directory. The extraction then runs as
// the tool runs it: mount, the walk over the index, and the open, read and
// write of every resource below a temporary output directory. Afterwards
// the target aborts when anything appeared outside the output directory,
// when a link planted in the output directory was written through, when
// the output holds anything but directories and regular files, or
// when a run that reported success did not write every listed resource in
// full. The tables are released between inputs.
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <system_error>

#include "fuzz/input.h"
#include "pack/writer.h"
#include "tests/support/pack_bytes.h"
#include "resource/blocks.h"
#include "resource/set.h"
#include "engine/extract.h"
#include "common/names.h"
#include "programs/extract_print.h"

using namespace rux;

namespace fs = std::filesystem;

namespace {

// Output files larger than this fail to write ("Cannot write", status 1)
// instead of filling the disk: a small input can legitimately expand
// about 1000:1, and many records may share the same blocks.
constexpr rlim_t MAX_OUTPUT_FILE_BYTES = 64u << 20;

std::string gRoot;  // the private temporary directory
std::FILE* gSink = nullptr;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "rux-fuzz-extract: %s\n", what.c_str());
    std::abort();
}

void RemoveRoot() {
    std::error_code ec;
    if (!gRoot.empty()) fs::remove_all(gRoot, ec);
}

void Setup() {
    if (!gRoot.empty()) return;
    std::string pattern = (fs::temp_directory_path() / "rux-fuzz-XXXXXX").string();
    if (!mkdtemp(&pattern[0])) Fail("cannot make a temporary directory");
    gRoot = pattern;
    std::atexit(RemoveRoot);
    gSink = std::fopen("/dev/null", "w");
    if (!gSink) Fail("cannot open /dev/null");
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
        (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > MAX_OUTPUT_FILE_BYTES)) {
        limit.rlim_cur = MAX_OUTPUT_FILE_BYTES;
        setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN);
    }
}

// Creates the directories that the separators of path imply, from start on.
void MakeParents(const std::string& path, std::size_t start) {
    for (std::size_t i = start; i < path.size(); ++i) {
        if (path[i] == '/' || path[i] == '\\') MakeDirectory(path.substr(0, i).c_str());
    }
}

// Every path below the root, outside the output directory.
std::set<std::string> Outside(const std::string& outdir) {
    std::set<std::string> paths;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(gRoot, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string path = it->path().string();
        if (path == outdir) {
            it.disable_recursion_pending();
            continue;
        }
        paths.insert(path);
    }
    if (ec) Fail("cannot list " + gRoot + ": " + ec.message());
    return paths;
}

// Only directories and regular files may be made below the output.
void CheckOutputTypes(const std::string& outdir) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(outdir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::file_status status = it->symlink_status(ec);
        if (!fs::is_directory(status) && !fs::is_regular_file(status)) {
            Fail("output holds a special file: " + it->path().string());
        }
    }
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string NativeName(const char* name) {
    std::string native = name;
    for (char& c : native) {
        if (c == '\\') c = '/';
    }
    return native;
}

// After status 0: every listed resource's file exists, and each file holds
// as many bytes as the stream of the last resource written to it had.
void CheckComplete(const std::string& resourceFile, const std::string& outdir) {
    std::map<std::pair<dev_t, ino_t>, std::pair<std::string, std::uint64_t>> expected;
    // The run mounted the file into a set of its own; so does the check.
    ResourceSet set;
    if (!set.Mount(resourceFile.c_str()).ok()) Fail("status 0 but the file does not mount");
    const ResourceEntry* slots = set.Slots();
    for (int slot = 0; slot < INDEX_SLOTS; ++slot) {
        if (slots[slot].kind == 0) continue;
        const std::string path = outdir + "/" + NativeName(slots[slot].name);
        struct stat info;
        if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            Fail("status 0 but no file " + path);
        }
        const int found = set.Lookup(slots[slot].name);
        if (found < 0) Fail("status 0 but no lookup for " + path);
        const ResourceEntry& entry = slots[found];
        std::uint64_t size = entry.size;
        if (entry.kind == KIND_LOOSE) {
            const std::string loose =
                NativeName((std::string(set.MountPath(entry.fileSlot)) + entry.name).c_str());
            struct stat looseInfo;
            if (stat(loose.c_str(), &looseInfo) != 0) Fail("status 0 but no loose file " + loose);
            size = static_cast<std::uint64_t>(looseInfo.st_size);
        } else if (entry.kind != KIND_STORED && entry.kind != KIND_DEFLATED) {
            Fail("status 0 for a resource of kind " + std::to_string(entry.kind));
        }
        expected[{info.st_dev, info.st_ino}] = {path, size};
    }
    for (const auto& file : expected) {
        struct stat info;
        if (stat(file.second.first.c_str(), &info) != 0 ||
            static_cast<std::uint64_t>(info.st_size) != file.second.second) {
            Fail("status 0 but " + file.second.first + " is short or long");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Setup();
    const FuzzInput input = DecodeFuzzInput(data, size);
    const std::string in = gRoot + "/in";
    const std::string outdir = gRoot + "/out";
    const std::string resourceFile = in + "/f.rux";
    MakeDirectory(in.c_str());
    if (!WriteWholeFile(resourceFile, input.resourceFile)) Fail("cannot write " + resourceFile);
    const std::string looseName = input.looseName.substr(0, input.looseName.find('\0'));
    if (!looseName.empty() && !IsUnsafeName(looseName.c_str(), 0)) {
        const std::string loose = resourceFile + looseName;
        MakeParents(loose, resourceFile.size());
        WriteWholeFile(loose, input.looseData);  // a name that cannot be made stays missing
    }
    // Every third input finds a link already in the output directory, named
    // after the first part of the loose name, which the input's resources
    // often share: to a directory outside it, or, for a name of one part,
    // to a file outside it. Neither may be written through.
    std::string planted;
    const std::string target = gRoot + "/target";
    const std::string victim = gRoot + "/victim";
    if (size % 3 == 0 && !looseName.empty() && !IsUnsafeName(looseName.c_str(), 0)) {
        const std::string first = NativeName(looseName.c_str());
        const std::size_t cut = first.find('/');
        if (cut != 0) {
            planted = outdir + "/" + first.substr(0, cut);
            MakeDirectory(outdir.c_str());
            MakeDirectory(target.c_str());
            WriteWholeFile(victim, "victim");
            std::error_code ec;
            fs::create_symlink(cut == std::string::npos ? victim : target, planted, ec);
            if (ec) planted.clear();
        }
    }
    const std::set<std::string> before = Outside(outdir);

    // Every other input (those of odd length, so that a finding replays the
    // same way) runs on 2 jobs: races and ordering faults meet hostile files
    // too. The result must not depend on it.
    ExtractOptions options;
    options.jobs = size % 2 == 1 ? 2 : 1;
    const int status =
        ExtractAndPrint("rux-extract", options, resourceFile.c_str(), outdir.c_str(), gSink, gSink);
    if (status != 0 && status != 1) Fail("status " + std::to_string(status));

    const std::set<std::string> after = Outside(outdir);
    for (const std::string& path : after) {
        if (!before.count(path)) Fail("written outside the output directory: " + path);
    }
    if (!planted.empty()) {
        std::error_code ec;
        if (!fs::is_empty(target, ec) || ReadWhole(victim) != "victim") {
            Fail("written through a link: " + planted);
        }
        if (fs::is_symlink(planted, ec)) fs::remove(planted, ec);  // a directory link stays
    }
    CheckOutputTypes(outdir);
    if (status == 0) CheckComplete(resourceFile, outdir);

    // Every fourth input goes to standard output on 1 job and on 3: the
    // same bytes on both streams, and the same status.
    if (size % 4 == 1) {
        std::string streams[2];
        int statuses[2];
        for (int run = 0; run < 2; ++run) {
            std::FILE* out = std::tmpfile();
            std::FILE* err = std::tmpfile();
            if (!out || !err) Fail("cannot make a temporary file");
            CacheFree();
            ExtractOptions toStdout;
            toStdout.mode = MODE_STDOUT;
            toStdout.jobs = run == 0 ? 1 : 3;
            statuses[run] = ExtractAndPrint("rux-extract", toStdout, resourceFile.c_str(), nullptr, out, err);
            for (std::FILE* file : {out, err}) {
                std::rewind(file);
                char buffer[65536];
                for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) streams[run].append(buffer, n);
                streams[run] += '|';
                std::fclose(file);
            }
        }
        if (statuses[0] != statuses[1] || streams[0] != streams[1]) Fail("-O on 3 jobs differs from 1 job");
    }

    CacheFree();
    std::error_code ec;
    fs::remove_all(in, ec);
    fs::remove_all(outdir, ec);
    fs::remove_all(target, ec);
    fs::remove(victim, ec);
    return 0;
}
