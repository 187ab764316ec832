#include "mount/tree.h"

#include <algorithm>
#include <cstring>
#include <iterator>
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
    set_ = &set;
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
        if (set.Hidden(slot)) {
            // An earlier file's resource stands for every spelling; only a
            // spelling of its own is worth a line.
            const int winner = set.Find(entry.name);
            if (winner >= 0 && std::strcmp(entries[winner].name, entry.name) != 0) {
                *messages += "Not shown " + printed + ": " + EscapedName(entries[winner].name) +
                             " of an earlier file is the same resource\n";
            }
            continue;
        }
        Candidate c;
        c.slot = slot;
        c.parts = Components(entry.name);
        if (c.parts.empty()) {
            *messages += "Not shown " + printed + ": the name has no file name in it\n";
            continue;
        }
        c.dataSlot = set.Find(entry.name);
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

    // The first file's resources first, so that a directory's spelling is
    // the first file's too.
    std::stable_sort(candidates.begin(), candidates.end(), [&](const Candidate& a, const Candidate& b) {
        return entries[a.slot].fileSlot < entries[b.slot].fileSlot;
    });

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
        const int fileSlot = entries[c.slot].fileSlot;
        int dir = 0;
        for (std::size_t k = 0; k + 1 < c.parts.size(); ++k) {
            dir = DirectoryFor(dir, c.parts[k], fileSlot);
        }
        const int node = AddChild(dir, c.parts.back(), c.dataSlot);
        const ResourceEntry& data = entries[c.dataSlot];
        MountNode& file = nodes_[static_cast<std::size_t>(node)];
        file.size = c.size;
        file.packed = data.kind == KIND_LOOSE || data.packedSize == 0 ? c.size : data.packedSize;
        file.fileSlot = data.fileSlot;
    }
}

int MountTree::DirectoryFor(int dir, const std::string& name, int fileSlot) {
    const MountNode& parent = nodes_[static_cast<std::size_t>(dir)];
    const auto exact = parent.byName.find(name);
    if (exact != parent.byName.end()) return exact->second;
    // Another file's spelling of this directory is the one shown.
    const auto folded = parent.byFolded.equal_range(FoldedAscii(name));
    for (auto it = folded.first; it != folded.second; ++it) {
        const MountNode& other = nodes_[static_cast<std::size_t>(it->second)];
        if (other.IsDirectory() && other.fileSlot != fileSlot) return it->second;
    }
    const int made = AddChild(dir, name, -1);
    nodes_[static_cast<std::size_t>(made)].fileSlot = fileSlot;
    return made;
}

std::string MountTree::Path(int node) const {
    std::string path;
    for (int at = node; at != 0; at = nodes_[static_cast<std::size_t>(at)].parent) {
        path.insert(0, (path.empty() ? "" : "/") + nodes_[static_cast<std::size_t>(at)].name);
    }
    return path;
}

int MountTree::Find(int dir, const char* name) const {
    if (dir < 0 || static_cast<std::size_t>(dir) >= nodes_.size()) return -1;
    const MountNode& node = nodes_[static_cast<std::size_t>(dir)];
    if (!node.IsDirectory()) return -1;
    const auto exact = node.byName.find(name);
    if (exact != node.byName.end()) return exact->second;
    const auto folded = node.byFolded.equal_range(FoldedAscii(name));
    if (folded.first == folded.second) return -1;
    // Of several files that differ in case, the one the set's lookup gives.
    if (set_ && std::next(folded.first) != folded.second) {
        const std::string prefix = Path(dir);
        const int slot = set_->Find(((prefix.empty() ? "" : prefix + "/") + name).c_str());
        for (auto it = folded.first; it != folded.second; ++it) {
            if (nodes_[static_cast<std::size_t>(it->second)].slot == slot && slot >= 0) return it->second;
        }
    }
    return folded.first->second;
}

}  // namespace rux
