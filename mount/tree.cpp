#include "mount/tree.h"

#include <cstring>
#include <set>
#include <unordered_map>

#include "resource/ascii.h"
#include "common/names.h"
#include "common/print.h"

namespace rux {

namespace {


// The components of a name, without empty and "." ones; none when the
// last is empty or ".", which names no file.
std::vector<std::string> Components(const char* name) {
    std::vector<std::string> parts;
    const char* start = name;
    for (const char* p = name;; ++p) {
        if (*p != '\0' && !IsSeparator(*p)) continue;
        const std::string part(start, static_cast<std::size_t>(p - start));
        if (*p == '\0' && (part.empty() || part == ".")) return {};
        if (!part.empty() && part != ".") parts.push_back(part);
        if (*p == '\0') break;
        start = p + 1;
    }
    return parts;
}

// A resource that passed the name and data checks.
struct Candidate {
    int slot = -1;      // its own slot
    int dataSlot = -1;  // what a lookup of its name gives
    std::uint64_t size = 0;
    std::vector<std::string> parts;
    std::string path;  // parts joined by '/'
};

}  // namespace

int MountTree::AddChild(int dir, const std::string& name, int slot) {
    const int number = static_cast<int>(nodes_.size());
    nodes_.emplace_back();
    MountNode& node = nodes_.back();
    node.name = name;
    node.parent = dir;
    node.slot = slot;
    MountNode& parent = nodes_[static_cast<std::size_t>(dir)];
    parent.children.push_back(number);
    parent.byName.emplace(name, number);
    parent.byFolded.emplace(FoldedAscii(name), number);
    if (slot < 0) ++parent.subdirectories;
    return number;
}

void MountTree::Build(const ResourceSet& set, std::string* messages) {
    nodes_.clear();
    nodes_.emplace_back();
    const ResourceEntry* entries = set.Slots();

    std::vector<Candidate> candidates;
    for (int slot = 0; slot < INDEX_SLOTS; ++slot) {
        const ResourceEntry& entry = entries[slot];
        if (entry.kind == 0) continue;
        const std::string printed = EscapedName(entry.name);
        if (IsUnsafeName(entry.name, 0)) {
            *messages += "Refused unsafe name " + printed + "\n";
            continue;
        }
        Candidate c;
        c.slot = slot;
        c.parts = Components(entry.name);
        if (c.parts.empty()) {
            *messages += "Not shown " + printed + ": the name has no file name in it\n";
            continue;
        }
        c.dataSlot = set.Lookup(entry.name);
        ReadStatus status;
        const std::int64_t size = set.DataSize(c.dataSlot, &status);
        if (size < 0) {
            *messages += "Not shown " + printed + ": " + ReadErrorText(set, c.dataSlot, status) + "\n";
            continue;
        }
        c.size = static_cast<std::uint64_t>(size);
        for (const std::string& part : c.parts) c.path += (c.path.empty() ? "" : "/") + part;
        candidates.push_back(std::move(c));
    }

    // One resource per path: the first file's, and in it the last slot's.
    std::unordered_map<std::string, std::size_t> byPath;
    std::vector<char> shown(candidates.size(), 1);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const auto found = byPath.emplace(candidates[i].path, i);
        if (found.second) continue;
        const std::size_t other = found.first->second;
        const ResourceEntry& now = entries[candidates[i].slot];
        const ResourceEntry& before = entries[candidates[other].slot];
        const bool wins = now.fileSlot <= before.fileSlot;
        const std::size_t loser = wins ? other : i;
        const std::size_t winner = wins ? i : other;
        shown[loser] = 0;
        found.first->second = winner;
        if (std::strcmp(entries[candidates[loser].slot].name, entries[candidates[winner].slot].name) != 0) {
            *messages += "Not shown " + EscapedName(entries[candidates[loser].slot].name) + ": " +
                         EscapedName(entries[candidates[winner].slot].name) + " has the same path\n";
        }
    }

    // A path that other resources lie below is a directory.
    std::set<std::string> directories;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (!shown[i]) continue;
        const std::string& path = candidates[i].path;
        for (std::size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1)) {
            directories.insert(path.substr(0, at));
        }
    }

    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (!shown[i]) continue;
        const Candidate& c = candidates[i];
        if (directories.count(c.path)) {
            *messages += "Not shown " + EscapedName(entries[c.slot].name) +
                         ": other resources make that path a directory\n";
            continue;
        }
        int dir = 0;
        for (std::size_t k = 0; k + 1 < c.parts.size(); ++k) {
            const auto found = nodes_[static_cast<std::size_t>(dir)].byName.find(c.parts[k]);
            dir = found != nodes_[static_cast<std::size_t>(dir)].byName.end() ? found->second
                                                                                : AddChild(dir, c.parts[k], -1);
        }
        const int node = AddChild(dir, c.parts.back(), c.dataSlot);
        const ResourceEntry& data = entries[c.dataSlot];
        MountNode& file = nodes_[static_cast<std::size_t>(node)];
        file.size = c.size;
        file.packed = data.kind == KIND_LOOSE || data.packedSize == 0 ? c.size : data.packedSize;
        file.fileSlot = data.fileSlot;
    }
}

int MountTree::Find(int dir, const char* name) const {
    if (dir < 0 || static_cast<std::size_t>(dir) >= nodes_.size()) return -1;
    const MountNode& node = nodes_[static_cast<std::size_t>(dir)];
    if (!node.IsDirectory()) return -1;
    const auto exact = node.byName.find(name);
    if (exact != node.byName.end()) return exact->second;
    const auto folded = node.byFolded.find(FoldedAscii(name));
    return folded != node.byFolded.end() ? folded->second : -1;
}

}  // namespace rux
