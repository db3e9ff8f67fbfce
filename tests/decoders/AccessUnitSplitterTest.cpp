#include "AccessUnitSplitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A stream from NAL unit shorthands: "D" delimiter, "S" SPS, "P" PPS,
// "E" SEI, "I" IDR slice, "i" IDR slice that continues a picture, "p" and
// "c" the same for non-IDR slices; "4" before one gives it a four-byte start
// code. Each NAL unit carries two payload bytes.
std::vector<std::uint8_t> stream(const std::string& nals) {
    std::vector<std::uint8_t> bytes;
    bool longCode = false;
    for (char c : nals) {
        if (c == '4') {
            longCode = true;
            continue;
        }
        if (longCode) bytes.push_back(0);
        longCode = false;
        bytes.insert(bytes.end(), {0, 0, 1});
        switch (c) {
        case 'D': bytes.insert(bytes.end(), {0x09, 0x10, 0x80}); break;
        case 'S': bytes.insert(bytes.end(), {0x67, 0x42, 0x80}); break;
        case 'P': bytes.insert(bytes.end(), {0x68, 0xce, 0x80}); break;
        case 'E': bytes.insert(bytes.end(), {0x06, 0x05, 0x80}); break;
        case 'I': bytes.insert(bytes.end(), {0x65, 0x88, 0x80}); break;
        case 'i': bytes.insert(bytes.end(), {0x65, 0x48, 0x80}); break;
        case 'p': bytes.insert(bytes.end(), {0x41, 0x9a, 0x80}); break;
        case 'c': bytes.insert(bytes.end(), {0x41, 0x5a, 0x80}); break;
        }
    }
    return bytes;
}

} // namespace

TEST(AccessUnitSplitter, Table) {
    struct Case {
        const char* nals;
        std::vector<std::string> units;
    } cases[] = {
        {"DSPIDpDp", {"DSPI", "Dp", "Dp"}},
        {"SPEIiipcpc", {"SPEIii", "pc", "pc"}},
        {"4D4S4P4I4D4p", {"4D4S4P4I", "4D4p"}},
        {"SPIpSPIp", {"SPI", "p", "SPI", "p"}},
        {"DD", {"D", "D"}},
        {"", {}},
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> bytes = stream(c.nals);
        std::vector<std::uint8_t> expectedBytes;
        const std::vector<AccessUnitSplitter::Unit> units = AccessUnitSplitter::split(bytes.data(), bytes.size());
        ASSERT_EQ(units.size(), c.units.size()) << c.nals;
        std::size_t offset = 0;
        for (std::size_t i = 0; i < units.size(); ++i) {
            const std::vector<std::uint8_t> expected = stream(c.units[i]);
            EXPECT_EQ(units[i].offset, offset) << c.nals << " unit " << i;
            EXPECT_EQ(units[i].length, expected.size()) << c.nals << " unit " << i;
            offset += expected.size();
        }
    }
}

TEST(AccessUnitSplitter, BytesBeforeTheFirstStartCodeAreDropped) {
    std::vector<std::uint8_t> bytes = {7, 7, 7};
    const std::vector<std::uint8_t> rest = stream("DI");
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    const auto units = AccessUnitSplitter::split(bytes.data(), bytes.size());
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].offset, 3u);
}
