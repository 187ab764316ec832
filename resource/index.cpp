// The default set's free functions: thin forwards to DefaultResourceSet().
#include "resource/index.h"

#include <cstring>
#include <zlib.h>

#include "resource/cache.h"
#include "resource/set_impl.h"

namespace rux {

namespace {

ResourceSet::Impl& Default() { return ImplOf(DefaultResourceSet()); }

}  // namespace

const ResourceEntry* IndexSlots() { return Default().entries; }
ResourceFile* MountSlots() { return Default().files; }

void ResetResourceTables() {
    Default().Reset();
    CacheReset();
}

void ReleaseResourceTables() {
    Default().Release();
    CacheFree();
    TheBlockCache().inflations = 0;
}

int HomeSlot(const char* name) {
    const std::size_t length = std::strlen(name) + 1;  // the NUL is hashed too
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(name), static_cast<uInt>(length));
    return static_cast<int>(crc & (INDEX_SLOTS - 1));
}

int LookupResource(const char* name) { return Default().Lookup(name); }

void InsertResource(const DirectoryRecord& record, int fileSlot, const char* names) {
    Default().Insert(record, fileSlot, names, nullptr);
}

int MountResourceFile(const char* path) { return Default().Mount(path).ok() ? 1 : 0; }

int OpenDataFiles() { return DefaultResourceSet().OpenDataFiles(); }

}  // namespace rux
