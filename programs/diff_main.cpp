// rux-diff: what changed between two versions of a set of resources.
//
//   rux-diff [OPTIONS] OLD NEW
//
// Prints "A NAME", "D NAME", "M NAME" (and with -v "K NAME") in name
// order, or one JSON document; a summary and every trouble go to standard
// error. The comparing is diff/diff.h's. Exit status as diff and cmp
// have it: 0 nothing differs, 1 something does, 2 trouble.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "diff/diff.h"
#include "engine/listing.h"
#include "common/print.h"
#include "common/reason.h"
#include "platform/console.h"
#include "programs/cli.h"
#include "programs/diff_options.h"

namespace rux {
namespace {

int Trouble(const std::string& message) { return Complain("rux-diff", message, 2); }

std::string JsonSide(const DiffSide& side) {
    if (side.files.empty()) return "{\"directory\": " + JsonName(side.dir.c_str()) + "}";
    std::string text = "{\"files\": [";
    for (std::size_t i = 0; i < side.files.size(); ++i) {
        text += (i ? ", " : "") + JsonName(side.files[i].c_str());
    }
    return text + "]}";
}

std::string JsonListed(const DiffListed& l) {
    if (!l.present) return "null";
    std::string text = "{\"name\": " + JsonName(l.name.c_str()) + ", \"size\": " + std::to_string(l.size);
    if (l.resource) {
        text += std::string(", \"kind\": \"") + KindWord(l.kind) + "\", \"kind_number\": " + std::to_string(l.kind) +
                ", \"packed_size\": " + std::to_string(l.packedSize) + ", \"block_length\": " +
                std::to_string(l.blockLength) + ", \"blocks\": " + std::to_string(l.blocks) +
                ", \"file\": " + std::to_string(l.file);
    }
    return text + "}";
}

void PrintJson(const DiffSide& old, const DiffSide& now, const DiffResult& r) {
    std::string text = "{\n  \"old\": " + JsonSide(old) + ",\n  \"new\": " + JsonSide(now) + ",\n  \"changes\": [";
    for (std::size_t i = 0; i < r.items.size(); ++i) {
        const DiffItem& item = r.items[i];
        text += std::string(i ? ",\n    " : "\n    ") + "{\"change\": \"" + item.change + "\", \"name\": " +
                JsonName(item.name().c_str()) + ", \"old\": " + JsonListed(item.old) + ", \"new\": " +
                JsonListed(item.now) + "}";
        if (text.size() > (1u << 16)) {
            std::fputs(text.c_str(), stdout);
            text.clear();
        }
    }
    text += std::string(r.items.empty() ? "" : "\n  ") + "],\n  \"troubles\": [";
    for (std::size_t i = 0; i < r.troubles.size(); ++i) {
        text += std::string(i ? ",\n    " : "\n    ") + "{\"name\": " + JsonName(r.troubles[i].name.c_str()) +
                ", \"reason\": " + JsonName(r.troubles[i].reason.c_str()) + "}";
    }
    text += std::string(r.troubles.empty() ? "" : "\n  ") + "],\n  \"totals\": {\"added\": " +
            std::to_string(r.added) + ", \"deleted\": " + std::to_string(r.deleted) + ", \"changed\": " +
            std::to_string(r.changed) + ", \"listed_otherwise\": " + std::to_string(r.kinds) +
            ", \"compared\": " + std::to_string(r.compared) + ", \"troubles\": " +
            std::to_string(r.troubles.size()) + "}\n}\n";
    std::fputs(text.c_str(), stdout);
}

int Run(int argc, char** argv) {
    DiffCommandLine line;
    const int parsed = ParseDiffCommandLine(argc, argv, &line);
    if (parsed >= 0) return parsed;
    DiffSide old, now;
    std::string error;
    if (!SideOf(line.old, &old, &error) || !SideOf(line.now, &now, &error)) return Trouble(error);
    DiffResult result;
    if (!Diff(old, now, line.options, &result, &error)) return Trouble(error);

    for (const PackWarning& w : result.warnings) {
        std::fprintf(stderr, "rux-diff: warning: %s: %s\n", EscapedName(w.path.c_str()).c_str(), w.what.c_str());
    }
    if (line.json) {
        PrintJson(old, now, result);
    } else if (!line.quiet) {
        for (const DiffItem& item : result.items) {
            if (item.change == 'K' && !line.verbose) continue;
            std::printf("%c ", item.change);
            PrintName(stdout, item.name().c_str());
            std::putchar('\n');
        }
    }
    FlushStream(stdout);
    for (const DiffTrouble& t : result.troubles) {
        std::fputs(ReasonLine("rux-diff", t.name, t.reason).c_str(), stderr);
    }
    for (const std::string& glob : result.unmatched) {
        std::fprintf(stderr, "rux-diff: %s: Not found on either side\n", EscapedName(glob.c_str()).c_str());
    }
    if (!line.quiet) {
        std::string summary = "rux-diff: " + std::to_string(result.added) + " added, " +
                              std::to_string(result.deleted) + " deleted, " + std::to_string(result.changed) +
                              " changed";
        if (line.verbose || line.json) summary += ", " + std::to_string(result.kinds) + " listed otherwise";
        summary += "; " + std::to_string(result.compared) + " on both sides";
        if (!result.troubles.empty()) summary += ", " + std::to_string(result.troubles.size()) + " not compared";
        std::fprintf(stderr, "%s\n", summary.c_str());
    }
    if (!result.troubles.empty() || !result.unmatched.empty()) return 2;
    return result.differs() ? 1 : 0;
}

}  // namespace
}  // namespace rux

int main(int argc, char** argv) { return rux::RunProgram("rux-diff", rux::Run, argc, argv, 2); }
