// What the end-to-end tests of rux-extract share: the target's conventions
// (line endings, separators, the reasons a Windows build words itself), the
// listing lines expected, and the fixture that runs the real executable in a
// fresh directory.
#ifndef RUX_TESTS_PROGRAMS_EXTRACT_FIXTURE_H
#define RUX_TESTS_PROGRAMS_EXTRACT_FIXTURE_H

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pack/writer.h"
#include "resource/index.h"
#include "tests/support/fixture.h"
#include "tests/support/run.h"

namespace extract_test {

using namespace rux;
namespace fs = std::filesystem;

inline bool Windows() {
    const char* target = std::getenv("RUX_TARGET");
    return target && std::string(target) == "windows";
}

inline char Separator() { return Windows() ? '\\' : '/'; }

// Text as the target prints it: each "\n" is CR LF on Windows.
inline std::string Console(const std::string& text) {
    if (!Windows()) return text;
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// The output path printed for a resource: the directory as given, then the
// name, joined and with the name's separators in the target's form.
inline std::string OutPath(const std::string& outdir, const std::string& name) {
    std::string path = outdir + Separator();
    for (char c : name) path += (c == '/' || c == '\\') ? Separator() : c;
    return path;
}

// The line on standard error that says why a failure happened, as a POSIX
// build words it. A Windows build gives the system's own texts, which are
// not checked: there it is "".
inline std::string Why(const std::string& what, const std::string& reason) {
    return Windows() ? "" : "rux-extract: " + what + ": " + reason + "\n";
}

// text without the lines that begin with "rux-extract: ".
inline std::string WithoutReasons(const std::string& text) {
    std::string kept;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(at, 13, "rux-extract: ") != 0) kept += text.substr(at, end - at);
        at = end;
    }
    return kept;
}

// One listing line, and what the tool prints right after it.
struct Line {
    std::string name;
    std::uint32_t kind;
    std::uint32_t size;
    std::string after = "";
};

inline Line LineOf(const PackResource& r, const std::string& after = "") {
    const bool data = r.kind == KIND_LOOSE || r.kind == KIND_STORED || r.kind == KIND_DEFLATED;
    return {r.name, r.kind, data ? static_cast<std::uint32_t>(r.data.size()) : 0, after};
}

// The lines whose names are given, in the order given: the first of each
// name not yet taken. Tests write out the slot order the index gives.
inline std::vector<Line> Ordered(const std::vector<Line>& lines, const std::vector<std::string>& names) {
    std::vector<Line> out;
    std::vector<bool> used(lines.size(), false);
    for (const std::string& name : names) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (used[i] || lines[i].name != name) continue;
            used[i] = true;
            out.push_back(lines[i]);
            break;
        }
    }
    EXPECT_EQ(lines.size(), out.size()) << "every line has its place";
    return out;
}

// The lines of text, sorted.
inline std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

inline std::string Text(const std::vector<Line>& lines) {
    std::string text;
    for (const Line& l : lines) {
        text += std::to_string(l.kind) + " " + l.name + " " + std::to_string(l.size) + "\n" + l.after;
    }
    return Console(text);
}

// The listing of lines given in slot order.
inline std::string Listing(const std::vector<Line>& lines) { return Text(lines); }

// The listing of resources, in the slot order that names writes out (or
// as given).
inline std::string ListingOf(const std::vector<PackResource>& resources, const std::vector<std::string>& names = {}) {
    std::vector<Line> lines;
    for (const PackResource& r : resources) lines.push_back(LineOf(r));
    return Listing(names.empty() ? lines : Ordered(lines, names));
}

// A name of the given prefix (and suffix) whose home slot is home.
inline std::string NameAtHome(int home, const std::string& prefix, const std::string& suffix = "") {
    for (int i = 0;; ++i) {
        const std::string name = prefix + std::to_string(i) + suffix;
        if (HomeSlot(name.c_str()) == home) return name;
    }
}

using Files = std::map<std::string, std::string>;  // relative path -> contents

class Extract : public testing::Test {
protected:
    void Write(const std::vector<PackResource>& resources, const std::string& file = "in.rux") {
        fs::create_directories(fs::path(At(file)).parent_path());
        std::string error;
        ASSERT_TRUE(WriteResourceFile(At(file), resources, &error)) << error;
    }
    void WriteBytes(const std::string& bytes, const std::string& file = "in.rux") {
        ASSERT_TRUE(WriteWholeFile(At(file), bytes));
    }

    RunResult Run(const std::vector<std::string>& args, bool errorsOnTerminal = false) {
        return ::Run(ProgramFromEnvironment("RUX_EXTRACT"), args, temp->path(), 60, errorsOnTerminal);
    }

    // Runs and checks the status and the exact output.
    // With errors, also the exact standard error (where the launcher's
    // chatter makes it unknowable, that it ends so).
    void Expect(const std::vector<std::string>& args, int status, const std::string& output,
                const std::string& errors = "") {
        const RunResult r = Run(args);
        EXPECT_EQ(0, r.signal);
        EXPECT_EQ(status, r.status) << r.errors;
        EXPECT_EQ(output, r.output);
        // A launcher may chatter on standard error; the tool itself does only when told to.
        // Windows words the reasons of failures itself (see Why).
        const std::string got = Windows() && errors.find("rux-extract: ") == std::string::npos ? WithoutReasons(r.errors) : r.errors;
        if (!Launcher()) {
            EXPECT_EQ(errors, got);
        } else if (!errors.empty()) {
            ASSERT_GE(got.size(), errors.size());
            EXPECT_EQ(errors, got.substr(got.size() - errors.size()));
        }
    }

    // Every file below root (relative to the test directory) with its contents.
    Files Tree(const std::string& root = "out") {
        Files files;
        for (const std::string& path : ListTree(At(root))) files[path] = ReadWholeFile(At(root + "/" + path));
        return files;
    }
    std::vector<std::string> All() { return ListTree(temp->path(), true); }

    // The syntax line, after the line before, if any; on standard error
    // with onErrors (and then nothing on standard output). The pointer to
    // --help follows it on standard error.
    void ExpectSyntax(const std::vector<std::string>& args, const std::string& before = "", bool onErrors = false) {
        const RunResult r = Run(args);
        EXPECT_EQ(1, r.status);
        const std::string& text = onErrors ? r.errors : r.output;
        const std::string help = Console("Try 'rux-extract --help' for more information.\n");
        if (onErrors) {
            EXPECT_EQ("", r.output);
        } else if (!std::getenv("RUX_LAUNCHER")) {
            EXPECT_EQ(help, r.errors);
        }
        const std::string head = Console(before) + "Syntax: ";
        const std::string tail = Console(" file.rux [outdir]\n") + (onErrors ? help : "");
        if (Windows()) {
            // The program's own name is whatever path Windows hands it; a
            // launcher may chatter on standard error first.
            const std::size_t at = onErrors ? text.find(head) : text.rfind(head, 0);
            ASSERT_NE(std::string::npos, at) << text;
            EXPECT_NE(std::string::npos, text.find("rux-extract", at)) << text;
            ASSERT_GE(text.size(), tail.size());
            EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
        } else {
            EXPECT_EQ(head + std::string(std::getenv("RUX_EXTRACT")) + tail, text);
        }
    }

    // Runs on bytes holding a resource that is not delivered in full beside
    // the good ok.txt, and checks the report: the bad line with its printed
    // size, "Cannot read", ok.txt still written, status 1. The failed
    // resource leaves no file, not even a temporary; run again over an
    // existing file of its name, it leaves that file as it was. Standard
    // error says why.
    void ExpectIncomplete(const std::string& bytes, const Line& bad, const std::string& reason) {
        WriteBytes(bytes);
        Line line = bad;
        line.after = "Cannot read " + bad.name + "\n";
        const std::string listing = Listing({line, {"ok.txt", KIND_STORED, 4}});
        Expect({"in.rux", "out"}, 1, listing, Why(bad.name, reason));
        EXPECT_EQ((Files{{"ok.txt", "fine"}}), Tree());
        WriteBytes("important old content", "out/" + bad.name);
        Expect({"in.rux", "out"}, 1, listing, Why(bad.name, reason));
        EXPECT_EQ((Files{{bad.name, "important old content"}, {"ok.txt", "fine"}}), Tree());
    }

    // A fresh directory for the test, or for one case of it.
    void Fresh() { temp = std::make_unique<TempDir>(); }
    std::string At(const std::string& name) const { return *temp / name; }

    std::unique_ptr<TempDir> temp = std::make_unique<TempDir>();
};

inline const PackResource kOk = Stored("ok.txt", "fine");

// The resources of the option and run tests: every kind, nested names, one empty.
inline const std::vector<PackResource> kKinds = {
    Stored("readme.txt", "A stored resource.\n"),
    Deflated("text/poem.txt", TextBytes(20000), 4096),
    Loose("config/keys.cfg", "fire=space\n"),
    Stored("sounds\\shot.wav", RandomBytes(5000)),
    Deflated("empty.dat", ""),
};

// Their names in the order of their index slots.
inline const std::vector<std::string> kKindsInSlotOrder = {"empty.dat", "sounds\\shot.wav", "readme.txt",
                                                           "config/keys.cfg", "text/poem.txt"};

// Those of kKinds that names gives, in slot order.
inline std::vector<PackResource> Only(const std::vector<std::string>& names) {
    std::vector<PackResource> taken;
    for (const std::string& name : kKindsInSlotOrder) {
        if (std::find(names.begin(), names.end(), name) == names.end()) continue;
        for (const PackResource& r : kKinds) {
            if (r.name == name) taken.push_back(r);
        }
    }
    return taken;
}

inline Files FilesOf(const std::vector<PackResource>& resources) {
    Files files;
    for (const PackResource& r : resources) {
        std::string path = r.name;
        std::replace(path.begin(), path.end(), '\\', '/');
        files[path] = r.data;
    }
    return files;
}

}  // namespace extract_test

#endif
