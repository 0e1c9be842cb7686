// Cross-check of the embedded Intel-HEX text with an independent tool: binutils' objcopy turns
// it into a binary image, which must agree with the records read by the tests' own parser.
#include "boarddata/images/images.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

namespace flashwell::images {
namespace {

TEST(HexObjcopy, ObjcopyBinaryMatchesParsedRecords) {
    const std::string objcopy = FLASHWELL_OBJCOPY;
    if (objcopy.empty() || objcopy.find("NOTFOUND") != std::string::npos)
        GTEST_SKIP() << "objcopy not found";

    test::TempDir dir("objcopy");
    const auto hex = dir.path() / "ramfirmware.hex";
    const auto bin = dir.path() / "ramfirmware.bin";
    const auto text = RamFirmwareHexText();
    test::WriteBytes(hex, text.data(), text.size());
    ASSERT_EQ(test::RunCommand("'" + objcopy + "' -I ihex -O binary '" + hex.string() + "' '" +
                               bin.string() + "'"),
              0);
    const auto binary = test::ReadBytes(bin);

    const auto records = test::ParseHexText(text);
    ASSERT_TRUE(records.has_value());
    unsigned lowest = UINT_MAX, highest = 0;
    for (const auto& r : *records) {
        if (r.type != 0) continue;
        lowest = std::min(lowest, r.address);
        highest = std::max(highest, r.address + r.count - 1);
    }
    // objcopy's binary starts at the lowest loaded address (the base, here 0x0000) and fills
    // the gaps between records; only the covered addresses are compared.
    EXPECT_EQ(lowest, 0x0000u);
    EXPECT_EQ(highest, 0x0D82u);
    ASSERT_EQ(binary.size(), highest - lowest + 1);
    std::size_t compared = 0;
    for (const auto& r : *records) {
        for (unsigned i = 0; i < r.count; ++i) {
            ASSERT_EQ(binary[r.address - lowest + i], r.data[i])
                << "address 0x" << std::hex << r.address + i << " (line " << std::dec << r.line
                << ")";
            ++compared;
        }
    }
    EXPECT_EQ(compared, 3343u);
}

} // namespace
} // namespace flashwell::images
