// One name, one resource: the identity of names across a set's files, and
// the lookups and listings that go by it (ResourceSet::Find, Hidden).
#include <cstring>

#include "resource/ascii.h"
#include "resource/index.h"
#include "resource/set_impl.h"

namespace rux {

namespace {

// A name's byte as identity compares it: ASCII letters folded, '\' as '/'.
unsigned char IdentityByte(char c) { return IsSeparator(c) ? '/' : FoldAscii(static_cast<unsigned char>(c)); }

// How closely a listed name matches the asked one: 0 byte for byte, 1
// equal ignoring ASCII case (as Lookup matches), 2 the same identity only.
int Closeness(const char* listed, const char* asked) {
    if (std::strcmp(listed, asked) == 0) return 0;
    for (const char *a = listed, *b = asked;; ++a, ++b) {
        if (FoldAscii(*a) != FoldAscii(*b)) return 2;
        if (*a == '\0') return 1;
    }
}

}  // namespace

int IdentityHome(const char* name) {
    // FNV-1a over the identity bytes, low 12 bits.
    std::uint32_t hash = 2166136261u;
    for (const char* p = name; *p != '\0'; ++p) hash = (hash ^ IdentityByte(*p)) * 16777619u;
    return static_cast<int>(hash & (INDEX_SLOTS - 1));
}

int SameIdentity(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (IdentityByte(*a) != IdentityByte(*b)) return 0;
        if (*a == '\0') return 1;
    }
}

int ResourceSet::Impl::Find(const char* name) const {
    const int home = HomeSlot(name);
    int best = -1;
    int bestFile = MOUNT_SLOTS, bestCloseness = 3, bestDistance = INDEX_SLOTS;
    for (int slot = foldHead[IdentityHome(name)]; slot >= 0; slot = foldNext[slot]) {
        const ResourceEntry& entry = entries[slot];
        if (!SameIdentity(entry.name, name)) continue;
        const int closeness = Closeness(entry.name, name);
        const int distance = (slot - home) & (INDEX_SLOTS - 1);
        // The first file first; in it, the exact spelling, then what Lookup
        // would find, then the nearest from the name's home slot.
        if (entry.fileSlot != bestFile ? entry.fileSlot < bestFile
                                       : closeness != bestCloseness ? closeness < bestCloseness
                                                                    : distance < bestDistance) {
            best = slot;
            bestFile = entry.fileSlot;
            bestCloseness = closeness;
            bestDistance = distance;
        }
    }
    return best;
}

void ResourceSet::Impl::MarkHidden() {
    for (int slot = 0; slot < INDEX_SLOTS; ++slot) {
        state[slot].hidden = 0;
        if (entries[slot].kind == 0) continue;
        const ResourceEntry& entry = entries[slot];
        for (int other = foldHead[IdentityHome(entry.name)]; other >= 0; other = foldNext[other]) {
            if (entries[other].fileSlot < entry.fileSlot && SameIdentity(entries[other].name, entry.name)) {
                state[slot].hidden = 1;
                break;
            }
        }
    }
}

int ResourceSet::Find(const char* name) const { return impl_->Find(name); }

int ResourceSet::Hidden(int slot) const {
    return slot >= 0 && slot < INDEX_SLOTS && impl_->entries[slot].kind != 0 && impl_->state[slot].hidden;
}

}  // namespace rux
