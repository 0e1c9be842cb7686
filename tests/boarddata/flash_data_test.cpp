#include "boarddata/flash_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

using namespace flashwell::boarddata;

namespace {

// A block in which every byte differs from its neighbours, so a field read from or written to
// the wrong offset shows.
FlashDataBlock PatternBlock() {
    FlashDataBlock block{};
    std::uint32_t x = 0x12345678;
    for (auto& b : block) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 8);
    }
    return block;
}

void PutText(FlashDataBlock& block, std::size_t at, std::size_t width, const char* text) {
    std::memset(&block[at], 0, width);
    std::memcpy(&block[at], text, std::min(std::strlen(text), width));
}

// Bytes that no field covers: packing must leave them alone.
bool Uncovered(std::size_t i) {
    return (i >= 3600 && i < 3728) || (i >= 3760 && i < 3872) || (i >= 4086 && i < 4096) ||
           i >= 7171;
}

std::string Unpacked(const FlashDataBlock& block, std::string FlashDataRecord::*field) {
    FlashDataRecord r;
    UnpackFlashData(block, r);
    return r.*field;
}

} // namespace

TEST(Encodings, BigEndianValuesDropHighBitsAndRefuseNull) {
    std::uint8_t b[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    ASSERT_TRUE(PutBE24(0x1234567, b));
    EXPECT_EQ(b[0], 0x23);
    EXPECT_EQ(b[1], 0x45);
    EXPECT_EQ(b[2], 0x67);
    EXPECT_EQ(b[3], 0xAA);
    EXPECT_EQ(GetBE24(b), 0x234567u);
    ASSERT_TRUE(PutBE16(0xBEEF, b));
    EXPECT_EQ(b[0], 0xBE);
    EXPECT_EQ(b[1], 0xEF);
    EXPECT_EQ(GetBE16(b), 0xBEEF);
    EXPECT_FALSE(PutBE24(1, nullptr));
    EXPECT_FALSE(PutBE16(1, nullptr));
    EXPECT_FALSE(TextToCharField("x", nullptr, 4));
}

TEST(Encodings, CharFieldsEndAtNulOrWidth) {
    const std::uint8_t full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(CharFieldToText(full, 4), "abcd");
    const std::uint8_t mid[4] = {'a', 0, 'c', 'd'};
    EXPECT_EQ(CharFieldToText(mid, 4), "a");

    std::uint8_t field[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    TextToCharField("ab", field, 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 6), std::string("ab\0xxx", 6));
    TextToCharField("abcdefgh", field, 6); // cut to the width, no NUL inside
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 6), "abcdef");
}

TEST(TwoDigitYear, MovesShortYearsIntoTheirCentury) {
    struct Case {
        const char in[4];
        std::string out;
    };
    const Case cases[] = {
        {{'9', '8', 0, 0}, "1998"},     {{'0', '5', 0, 0}, "2005"}, {{'1', '9', '9', '9'}, "1999"},
        {{'2', '0', '0', '9'}, "2009"}, {{'3', 0, 0, 0}, "203"},    {{0, 0, 0, 0}, "20"},
    };
    for (const auto& c : cases) {
        FlashDataBlock block{};
        std::memcpy(&block[offsets::BoardDateYear], c.in, 4);
        const FlashDataBlock before = block;
        FlashDataRecord r;
        UnpackFlashData(block, r);
        EXPECT_EQ(r.BoardDate.Year, c.out) << std::string(c.in, 4);
        EXPECT_EQ(block, before) << "unpacking changed the caller's block";
    }
}

TEST(Unpack, ProductNameLosesTrailingBlanksOnly) {
    FlashDataBlock block{};
    PutText(block, offsets::ProductName, 32, "vexta/USB                       ");
    EXPECT_EQ(Unpacked(block, &FlashDataRecord::ProductName), "vexta/USB");
    PutText(block, offsets::ProductName, 32, "vexta/USB ");
    EXPECT_EQ(Unpacked(block, &FlashDataRecord::ProductName), "vexta/USB");
    PutText(block, offsets::ProductName, 32, "                                ");
    EXPECT_EQ(Unpacked(block, &FlashDataRecord::ProductName), "");
    // Only the product name is trimmed; other texts keep their blanks.
    PutText(block, offsets::Customer, 32, "ACME  ");
    EXPECT_EQ(Unpacked(block, &FlashDataRecord::Customer), "ACME  ");
}

TEST(Unpack, FieldsComeFromTheirOffsets) {
    FlashDataBlock block = PatternBlock();
    PutText(block, offsets::SerialNumber, 20, "2003-K7A-1024-9-0221"); // no NUL: all 20
    PutText(block, offsets::Reference, 10, "REF");
    std::memcpy(&block[offsets::BoardDateYear], "2007", 4);
    FlashDataRecord r;
    UnpackFlashData(block, r);

    EXPECT_EQ(r.SerialNumber, "2003-K7A-1024-9-0221");
    EXPECT_EQ(r.Reference, "REF");
    EXPECT_EQ(r.RevisionStamps[0].Revision[0], block[4]);
    EXPECT_EQ(r.RevisionStamps[0].Revision[1], block[5]);
    EXPECT_EQ(r.RevisionStamps[2].Code2[1], block[28 + 3]);
    EXPECT_EQ(r.InfoGroups[1].ByteB, block[72 + 11]);
    EXPECT_EQ(r.InfoGroups[1].Values[5], GetBE24(&block[72 + 12 + 15]));
    EXPECT_EQ(r.MiscWord, GetBE16(&block[103]));
    EXPECT_EQ(r.MiscValue, GetBE24(&block[105]));
    EXPECT_EQ(r.ChannelGroups[5].Count, block[128]);
    EXPECT_EQ(r.ChannelGroups[5].Param, GetBE16(&block[130]));
    EXPECT_EQ(r.FeatureFlags[9], block[349]);
    EXPECT_EQ(r.TableC[3071], block[3583]);
    EXPECT_EQ(r.QuadBytes[15], block[3599]);
    EXPECT_EQ(r.WordTable[15], GetBE16(&block[3758]));
    EXPECT_EQ(r.ValueTable[15], GetBE24(&block[3917]));
    EXPECT_EQ(r.TableD[165], block[4085]);
    EXPECT_EQ(r.CurveHeader, GetBE24(&block[4096]));
    EXPECT_EQ(r.Curve[0], GetBE24(&block[4099]));
    EXPECT_EQ(r.Curve[1023], GetBE24(&block[7168]));
}

TEST(Unpack, OverwritesEveryFieldButSpare) {
    FlashDataRecord r = DefaultFlashDataRecord();
    r.Spare = 0xCAFE;
    FlashDataBlock zero{};
    UnpackFlashData(zero, r);
    EXPECT_EQ(r.ProductName, "");
    EXPECT_EQ(r.Manufacturer, "");
    EXPECT_EQ(r.ChannelGroups[0].Count, 0);
    EXPECT_EQ(r.Spare, 0xCAFEu);
}

TEST(Pack, RoundTripKeepsEveryCoveredByteAndNothingElseIsWritten) {
    FlashDataBlock original = PatternBlock();
    // Fields the round trip legitimately changes are given stable content.
    PutText(original, offsets::ProductName, 32, "vexta/USB");
    std::memcpy(&original[offsets::BoardDateYear], "2006", 4);
    for (std::size_t s = 0; s < 3; ++s) { // stamp texts and other char fields: no NUL inside
        std::memcpy(&original[s * 14 + 6], "0101", 4);
        std::memcpy(&original[s * 14 + 10], "2004", 4);
    }
    const std::size_t texts[][2] = {{42, 6},   {49, 4},   {72, 6},   {79, 4},
                                    {164, 32}, {196, 32}, {228, 32}, {260, 20},
                                    {280, 32}, {312, 10}, {322, 2},  {324, 2}};
    for (const auto& t : texts)
        std::memset(&original[t[0]], 'A' + static_cast<int>(t[0] % 26), t[1]);

    FlashDataRecord r;
    UnpackFlashData(original, r);
    FlashDataBlock repacked;
    repacked.fill(0xEE);
    PackFlashData(r, repacked);
    for (std::size_t i = 0; i < kFlashDataSize; ++i) {
        if (Uncovered(i)) {
            EXPECT_EQ(repacked[i], 0xEE) << "byte " << i << " outside every field was written";
        } else if (i >= offsets::ProductName + 9 && i < offsets::ProductName + 32) {
            // "vexta/USB" then one NUL; the rest of the field is not written.
            EXPECT_EQ(repacked[i], i == offsets::ProductName + 9 ? 0 : 0xEE) << i;
        } else {
            ASSERT_EQ(repacked[i], original[i]) << "byte " << i;
        }
    }
}

TEST(Pack, YearGetsItsCenturyAndTextsAreCut) {
    FlashDataRecord r = DefaultFlashDataRecord();
    FlashDataBlock block{};
    r.BoardDate.Year = "1998";
    PackFlashData(r, block);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&block[326]), 4), "1998");
    r.BoardDate.Year = "98";
    PackFlashData(r, block);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&block[326]), 4), "1998");
    r.BoardDate.Year = "";
    block.fill(0x77);
    PackFlashData(r, block);
    EXPECT_EQ(block[326], '2');
    EXPECT_EQ(block[327], '0');
    EXPECT_EQ(block[328], 0);
    EXPECT_EQ(block[329], 0x77);

    r.SerialNumber = std::string(25, 'S'); // longer than its 20-character field
    block.fill(0x77);
    PackFlashData(r, block);
    EXPECT_EQ(block[279], 'S');
    EXPECT_EQ(block[280], 0) << "the customer field after it holds the empty text";

    const FlashDataRecord copy = r;
    PackFlashData(r, block);
    EXPECT_EQ(r, copy) << "packing changed the caller's record";
}

TEST(Pack, TwentyFourBitValuesAreCut) {
    FlashDataRecord r;
    r.Curve[1023] = 0x1234567;
    r.ValueTable[0] = 0xFF000001;
    FlashDataBlock block{};
    PackFlashData(r, block);
    EXPECT_EQ(block[7168], 0x23);
    EXPECT_EQ(block[7169], 0x45);
    EXPECT_EQ(block[7170], 0x67);
    FlashDataRecord back;
    UnpackFlashData(block, back);
    EXPECT_EQ(back.Curve[1023], 0x234567u);
    EXPECT_EQ(back.ValueTable[0], 1u);
}

TEST(Cells, CarryOneByteEach) {
    FlashDataBlock block = PatternBlock();
    block[0] = 0xFF;
    FlashDataCells cells;
    BlockToCells(block, cells);
    EXPECT_EQ(cells[0], 0x000000FFu);
    for (std::size_t i = 0; i < kFlashDataSize; ++i)
        ASSERT_EQ(cells[i], block[i]);

    cells[7173] = 0xFFFFFF41;
    FlashDataBlock back{};
    CellsToBlock(cells, back);
    EXPECT_EQ(back[7173], 0x41);
    EXPECT_TRUE(std::equal(back.begin(), back.end() - 1, block.begin()));
}

TEST(ClassifyBoardType, MarksOnlyTheExactSerialNumbers) {
    FlashDataRecord r = DefaultFlashDataRecord();
    r.FeatureFlags[0] = 0x30;
    r.SerialNumber = "2003-K7A-1024-6-0219";
    EXPECT_EQ(ClassifyBoardType(r), 0);
    EXPECT_EQ(r.FeatureFlags[0], 0x34);
    EXPECT_EQ(r.ChannelGroups[5].Count, 1);

    r = DefaultFlashDataRecord();
    r.SerialNumber = "2003-K7A-1024-9-0221";
    ClassifyBoardType(r);
    EXPECT_EQ(r.FeatureFlags[0], 0x01);
    EXPECT_EQ(r.ChannelGroups[5].Count, 0);

    for (const char* other : {"2003-K7A-1024-6-0219 ", "2003-k7a-1024-6-0219", ""}) {
        FlashDataRecord untouched = DefaultFlashDataRecord();
        untouched.FeatureFlags[0] = 0x30;
        untouched.SerialNumber = other;
        const FlashDataRecord before = untouched;
        ClassifyBoardType(untouched);
        EXPECT_EQ(untouched, before) << '"' << other << '"';
    }
}

TEST(DefaultRecord, HoldsTheKnownValues) {
    const FlashDataRecord r = DefaultFlashDataRecord();
    EXPECT_EQ(r.ProductName, "Uninstalled Device");
    EXPECT_EQ(r.Manufacturer, "Havelunde GmbH");
    EXPECT_EQ(r.Vendor, "Havelunde GmbH");
    const int counts[] = {0x40, 0x40, 0x20, 0x10, 0x10};
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(r.ChannelGroups[c].Count, counts[c]);
        EXPECT_EQ(r.ChannelGroups[c].Kind, 0);
    }
    EXPECT_EQ(r.Spare, 0u);
}
