#include "engine/collisions.h"

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "resource/ascii.h"

namespace rux {

namespace {

// A byte as output paths compare: letters folded, every separator '/'.
char PathByte(char c) { return IsSeparator(c) ? '/' : FoldAscii(c); }

// FNV-1a over path bytes, one byte at a time, so that the hash of every
// prefix of a name comes on the way to the hash of the whole.
constexpr std::uint64_t HASH_START = 14695981039346656037ull;
std::uint64_t HashStep(std::uint64_t hash, char c) {
    return (hash ^ static_cast<unsigned char>(PathByte(c))) * 1099511628211ull;
}

int SamePath(const char* a, const char* b, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (PathByte(a[i]) != PathByte(b[i])) return 0;
    }
    return 1;
}

int Root(std::vector<int>& parent, int i) {
    while (parent[static_cast<std::size_t>(i)] != i) {
        int& up = parent[static_cast<std::size_t>(i)];
        up = parent[static_cast<std::size_t>(up)];
        i = up;
    }
    return i;
}

void Join(std::vector<int>& parent, int a, int b) {
    a = Root(parent, a);
    b = Root(parent, b);
    if (a != b) parent[static_cast<std::size_t>(a < b ? b : a)] = a < b ? a : b;
}

// The items' whole names in an open-addressed table, one place per
// distinct path.
class NameTable {
public:
    NameTable(const char* const* names, int count) : names_(names), hashes_(static_cast<std::size_t>(count)),
                                                     lengths_(static_cast<std::size_t>(count)) {
        std::size_t places = 16;
        while (places < 2 * static_cast<std::size_t>(count)) places *= 2;
        places_.assign(places, -1);
    }
    // Enters item, whose whole path hashes to hash over length bytes;
    // returns the item already there with that path (item then takes no
    // place), or -1.
    int Add(int item, std::uint64_t hash, std::size_t length) {
        hashes_[static_cast<std::size_t>(item)] = hash;
        lengths_[static_cast<std::size_t>(item)] = length;
        std::size_t at;
        const int same = Probe(names_[item], hash, length, &at);
        if (same < 0) places_[at] = item;
        return same;
    }
    // The item whose whole path is name's first length bytes, or -1.
    int Find(const char* name, std::uint64_t hash, std::size_t length) const {
        std::size_t at;
        return Probe(name, hash, length, &at);
    }

private:
    // The item with that path, or -1 with *free the place it would take.
    int Probe(const char* name, std::uint64_t hash, std::size_t length, std::size_t* free) const {
        const std::size_t mask = places_.size() - 1;
        for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
            const int there = places_[at];
            if (there < 0) {
                *free = at;
                return -1;
            }
            const std::size_t t = static_cast<std::size_t>(there);
            if (hashes_[t] == hash && lengths_[t] == length && SamePath(names_[t], name, length)) return there;
        }
    }

    const char* const* names_;
    std::vector<std::uint64_t> hashes_;
    std::vector<std::size_t> lengths_;
    std::vector<int> places_;
};

}  // namespace

void OrderCollisions(const char* const* names, int count, int* after) {
    std::vector<int> parent(static_cast<std::size_t>(count));
    std::iota(parent.begin(), parent.end(), 0);
    // Equal paths join at once; every item's place is taken before any
    // directory part is looked up.
    NameTable table(names, count);
    for (int i = 0; i < count; ++i) {
        std::uint64_t hash = HASH_START;
        std::size_t length = 0;
        for (const char* p = names[i]; *p != '\0'; ++p, ++length) hash = HashStep(hash, *p);
        const int same = table.Add(i, hash, length);
        if (same >= 0) Join(parent, same, i);
    }
    // A name below another one as a directory: each directory part of it,
    // up to each separator, is looked up as a whole name.
    for (int i = 0; i < count; ++i) {
        std::uint64_t hash = HASH_START;
        for (const char* p = names[i]; *p != '\0'; ++p) {
            if (IsSeparator(*p)) {
                const int above = table.Find(names[i], hash, static_cast<std::size_t>(p - names[i]));
                if (above >= 0) Join(parent, above, i);
            }
            hash = HashStep(hash, *p);
        }
    }
    // Each item waits for the one before it in its group.
    std::vector<int> last(static_cast<std::size_t>(count), -1);
    for (int i = 0; i < count; ++i) {
        const int root = Root(parent, i);
        after[i] = last[static_cast<std::size_t>(root)];
        last[static_cast<std::size_t>(root)] = i;
    }
}

}  // namespace rux
