// InflateExact's contract, which both back ends keep: exactly the expected
// length with a valid header and checksum, or failure. The suite is built
// and run once per back end.
#include <gtest/gtest.h>

#include <string>
#include <zlib.h>

#include "pack/writer.h"
#include "resource/inflate.h"
#include "tests/support/fixture.h"

using namespace rux;

namespace {

const std::uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

int Inflate(const std::string& packed, std::string* out, std::uint32_t room) {
    out->assign(room, '\0');
    return InflateExact(Bytes(packed), static_cast<std::uint32_t>(packed.size()),
                        reinterpret_cast<std::uint8_t*>(&(*out)[0]), room);
}


}  // namespace

TEST(InflateExact, BuiltWithTheConfiguredBackEnd) {
    EXPECT_STREQ(RUX_EXPECTED_INFLATE, InflateBackEnd());
}

TEST(InflateExact, ExactLengthOnlySucceeds) {
    const std::string data = TextBytes(70000, 3);
    const std::string packed = DeflateZlib(data, 6);
    std::string out;
    ASSERT_EQ(1, Inflate(packed, &out, static_cast<std::uint32_t>(data.size())));
    EXPECT_EQ(data, out);
    EXPECT_EQ(0, Inflate(packed, &out, static_cast<std::uint32_t>(data.size() - 1)));
    EXPECT_EQ(0, Inflate(packed, &out, static_cast<std::uint32_t>(data.size() + 1)));
}

TEST(InflateExact, EmptyAndStoredStreams) {
    std::string out;
    EXPECT_EQ(1, Inflate(DeflateZlib("", 6), &out, 0));
    const std::string noise = RandomBytes(5000, 9);
    ASSERT_EQ(1, Inflate(DeflateZlib(noise, 0), &out, 5000));
    EXPECT_EQ(noise, out);
}

TEST(InflateExact, DamageIsRefused) {
    const std::string data = TextBytes(20000, 5);
    const std::string packed = DeflateZlib(data, 9);
    std::string out;
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"wrong checksum", packed.substr(0, packed.size() - 1) + static_cast<char>(packed.back() ^ 1)},
        {"no checksum", packed.substr(0, packed.size() - 4)},
        {"cut in the middle", packed.substr(0, packed.size() / 2)},
        {"header check bits", static_cast<char>(packed[0]) + std::string(1, packed[1] ^ 1) + packed.substr(2)},
        {"not deflate", std::string(1, '\x79') + packed.substr(1)},
        {"preset dictionary", DeflateWithDictionary(data, "dictionary words")},
        {"nothing", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(0, Inflate(c.bytes, &out, static_cast<std::uint32_t>(data.size()))) << c.what;
    }
}

TEST(InflateExact, BytesAfterTheStreamAreIgnored) {
    const std::string data = TextBytes(3000, 7);
    std::string out;
    ASSERT_EQ(1, Inflate(DeflateZlib(data, 6) + "trailing", &out, 3000));
    EXPECT_EQ(data, out);
}
