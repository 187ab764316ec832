// The damage sweep: a small valid resource file, damaged in every way a
// byte or a field can be, must never crash, hang, write outside the output
// directory, or report success for data it did not write.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/programs/hostile.h"

namespace {

// All three kinds, a deflated resource of three blocks, a nested name and
// an empty resource, in under 300 bytes.
RawFile SmallFile() {
    return MakeRawFile({Stored("s.txt", "stored bytes\n"),
                        Deflated("d\\x/y.bin", TextBytes(80), 32),
                        Loose(LOOSE_NAME, LOOSE_DATA),
                        Stored("e", "")});
}

// The values every 32-bit field is set to in turn.
std::vector<std::uint32_t> FieldValues(std::uint32_t valid) {
    return {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, valid + 1, valid - 1};
}

void Check(const std::string& bytes, const std::string& label) {
    HostileRun run;
    RunOnBytes(&run, bytes);
    ExpectSound(run, label);
}

// Sets one field of a copy of file through set, to every value of the sweep.
void SweepField(const RawFile& file, const std::string& field, std::uint32_t valid,
                const std::function<void(RawFile*, std::uint32_t)>& set) {
    for (std::uint32_t value : FieldValues(valid)) {
        RawFile damaged = file;
        set(&damaged, value);
        Check(damaged.Serialize(), field + " = " + std::to_string(value));
    }
}

TEST(DamageSweep, UndamagedFileExtractsEverything) {
    HostileRun run;
    RunOnBytes(&run, SmallFile().Serialize());
    ExpectSound(run, "undamaged");
    EXPECT_EQ(0, run.result.status) << run.result.output;
    EXPECT_EQ(ReadWholeFile(run.outdir() + "/d/x/y.bin"), TextBytes(80));
    EXPECT_EQ(ReadWholeFile(run.outdir() + "/" + LOOSE_NAME), LOOSE_DATA);
}

TEST(DamageSweep, CutAtEveryLength) {
    const std::string bytes = SmallFile().Serialize();
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        Check(bytes.substr(0, length), "cut at " + std::to_string(length));
    }
}

TEST(DamageSweep, OneByteChangedAtEveryPosition) {
    const std::string bytes = SmallFile().Serialize();
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(~damaged[at]);
        Check(damaged, "byte " + std::to_string(at) + " inverted");
    }
}

TEST(DamageSweep, EveryDirectoryField) {
    const RawFile file = SmallFile();
    const std::vector<DirectoryRecord> records = GetRecords(file);
    // The five fields of a record, by their place in it.
    std::uint32_t DirectoryRecord::*fields[] = {
        &DirectoryRecord::nameOffset, &DirectoryRecord::kind, &DirectoryRecord::placement,
        &DirectoryRecord::size, &DirectoryRecord::blockLength};
    const char* names[] = {"nameOffset", "kind", "placement", "size", "blockLength"};
    for (std::size_t r = 0; r < records.size(); ++r) {
        for (int f = 0; f < 5; ++f) {
            std::uint32_t DirectoryRecord::*field = fields[f];
            SweepField(file, "record " + std::to_string(r) + " " + names[f], records[r].*field,
                       [&](RawFile* damaged, std::uint32_t value) {
                           std::vector<DirectoryRecord> changed = records;
                           changed[r].*field = value;
                           SetRecords(damaged, changed);
                       });
        }
    }
}

TEST(DamageSweep, EveryTableHeaderField) {
    const RawFile file = SmallFile();
    SweepField(file, "skip", static_cast<std::uint32_t>(file.data.size()),
               [](RawFile* damaged, std::uint32_t value) {
                   damaged->overrideSkip = true;
                   damaged->skip = value;
               });
    RawTable RawFile::*tables[] = {&RawFile::directory, &RawFile::names, &RawFile::blocks};
    const char* names[] = {"directory", "names", "blocks"};
    for (int t = 0; t < 3; ++t) {
        RawTable RawFile::*table = tables[t];
        const std::string name = names[t];
        const std::uint32_t packedLength =
            static_cast<std::uint32_t>(DeflateZlib((file.*table).inflated, 6).size());
        SweepField(file, name + " packed length", packedLength,
                   [&](RawFile* damaged, std::uint32_t value) {
                       (damaged->*table).overridePackedLength = true;
                       (damaged->*table).packedLength = value;
                   });
        SweepField(file, name + " count", (file.*table).count,
                   [&](RawFile* damaged, std::uint32_t value) { (damaged->*table).count = value; });
        SweepField(file, name + " element size", (file.*table).elementSize,
                   [&](RawFile* damaged, std::uint32_t value) {
                       (damaged->*table).elementSize = value;
                   });
    }
}

TEST(DamageSweep, EveryBlockOffset) {
    const RawFile file = SmallFile();
    std::vector<std::uint32_t> offsets(file.blocks.count);
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        offsets[i] = LoadLE32(reinterpret_cast<const std::uint8_t*>(file.blocks.inflated.data()) +
                              i * BLOCK_OFFSET_BYTES);
    }
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        SweepField(file, "block offset " + std::to_string(i), offsets[i],
                   [&](RawFile* damaged, std::uint32_t value) {
                       std::vector<std::uint32_t> changed = offsets;
                       changed[i] = value;
                       SetBlockOffsets(damaged, changed);
                   });
    }
}

}  // namespace
