// Shared pieces of the library's unit tests: a fixture that starts every
// test with empty tables and its own temporary directory, and helpers that
// write and mount resource files in it.
#ifndef RUX_TESTS_RESOURCE_RESOURCE_SUPPORT_H
#define RUX_TESTS_RESOURCE_RESOURCE_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resource/blocks.h"
#include "resource/cache.h"
#include "resource/index.h"
#include "resource/set_impl.h"
#include "tests/support/fixture.h"

using namespace rux;

class ResourceTest : public ::testing::Test {
protected:
    void SetUp() override { ReleaseResourceTables(); }
    void TearDown() override { ReleaseResourceTables(); }

    // Writes bytes as a file named name in the test's directory; its path.
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = dir / name;
        EXPECT_TRUE(WriteWholeFile(path, bytes)) << path;
        return path;
    }

    // Writes and mounts a file in the test's directory; the mount's result.
    int Mount(const RawFile& file, const std::string& name = "test.rux") {
        return MountResourceFile(Write(name, file.Serialize()).c_str());
    }
    // With the loose files beside it.
    int Mount(const std::vector<PackResource>& resources, const std::string& name = "test.rux") {
        std::string error;
        EXPECT_TRUE(WriteResourceFile(dir / name, resources, &error)) << error;
        return MountResourceFile((dir / name).c_str());
    }

    static const ResourceEntry& Entry(int slot) { return IndexSlots()[slot]; }
    static SlotState& State(int slot) { return ImplOf(DefaultResourceSet()).state[slot]; }

    static int OccupiedSlots() {
        int n = 0;
        for (int i = 0; i < INDEX_SLOTS; ++i) n += IndexSlots()[i].kind != 0;
        return n;
    }

    // The whole resource through ReadDeflated, in one call.
    static std::string ReadAllDeflated(int slot) {
        std::string out(Entry(slot).size, '\0');
        out.resize(ReadDeflated(&out[0], slot, 0, Entry(slot).size));
        return out;
    }

    TempDir dir;
};

#endif
