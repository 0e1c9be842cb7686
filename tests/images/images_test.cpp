// The compiled-in images as the rest of the system sees them: their sizes, headers, record
// chains and texts, and the form the downloader depends on.
#include "boarddata/images/images.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <vector>

namespace flashwell::images {
namespace {

using test::Find;
using test::HexRecord;
using test::ParseHexText;
using test::StringDescriptor;
using test::UnpackText;

constexpr std::uint32_t kSentinel = 0xDEADBEEF;

std::vector<std::uint32_t> Words(std::span<const std::uint32_t> cells, std::size_t first,
                                 std::size_t count) {
    return {cells.begin() + static_cast<long>(first),
            cells.begin() + static_cast<long>(first + count)};
}

// ------------------------------------------------------------------- DSP images

TEST(DspImages, FlashProgramBuilderWritesCountAddressAndReturns2262) {
    std::vector<std::uint32_t> cells(kDspImageBufferCells, kSentinel);
    EXPECT_EQ(BuildFlashProgramImage(cells.data()), 2262);
    EXPECT_EQ(cells[0], 2260u);
    EXPECT_EQ(cells[1], 0x100u);
    for (int i = 0; i < 2262; ++i)
        EXPECT_LE(cells[i], 0xFFFFFFu) << "cell " << i;
    for (int i = 2262; i < kDspImageBufferCells; ++i)
        ASSERT_EQ(cells[i], kSentinel) << i;
}

TEST(DspImages, BootProgramBuilderWritesCountAddressAndReturns3418) {
    std::vector<std::uint32_t> cells(kDspImageBufferCells, kSentinel);
    EXPECT_EQ(BuildBootProgramImage(cells.data()), 3418);
    EXPECT_EQ(cells[0], 3416u);
    EXPECT_EQ(cells[1], 0x100u);
    for (int i = 0; i < 3418; ++i)
        EXPECT_LE(cells[i], 0xFFFFFFu) << "cell " << i;
    for (int i = 3418; i < kDspImageBufferCells; ++i)
        ASSERT_EQ(cells[i], kSentinel) << i;
}

TEST(DspImages, TwoCallsGiveIdenticalContents) {
    std::vector<std::uint32_t> a(kDspImageBufferCells, 0), b(kDspImageBufferCells, 1);
    BuildFlashProgramImage(a.data());
    BuildFlashProgramImage(b.data());
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + kFlashProgramCells, b.begin()));
    BuildBootProgramImage(a.data());
    BuildBootProgramImage(b.data());
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + kBootProgramCells, b.begin()));
}

TEST(DspImages, ViewsMatchBuilders) {
    std::vector<std::uint32_t> cells(kDspImageBufferCells);
    BuildFlashProgramImage(cells.data());
    EXPECT_TRUE(std::equal(FlashProgramImage().begin(), FlashProgramImage().end(), cells.begin()));
    BuildBootProgramImage(cells.data());
    EXPECT_TRUE(std::equal(BootProgramImage().begin(), BootProgramImage().end(), cells.begin()));
}

TEST(DspImages, FlashProgramTailHoldsFoursTextsAndZeros) {
    const auto cells = FlashProgramImage();
    // Program address 0x9C0 is cell 2 + (0x9C0 - 0x100).
    const std::size_t tail = 2 + (0x9C0 - 0x100);
    ASSERT_EQ(tail, cells.size() - 20);
    EXPECT_EQ(cells[tail], 4u);
    EXPECT_EQ(cells[tail + 1], 4u);
    const std::string name = UnpackText(Words(cells, tail + 2, 9));
    EXPECT_EQ(name.size(), 27u) << name;
    EXPECT_NE(name.find("1.02"), std::string::npos) << name;
    EXPECT_NE(name.find("2006"), std::string::npos) << name;
    EXPECT_EQ(cells[tail + 11], 0u);
    const std::string version = UnpackText(Words(cells, tail + 12, 7));
    EXPECT_EQ(version.size(), 21u) << version;
    EXPECT_NE(version.find("01.002"), std::string::npos) << version;
    EXPECT_EQ(cells[tail + 19], 0u);
}

TEST(DspImages, BootProgramStartsWithAar1BcrPctlSettings) {
    const auto cells = BootProgramImage();
    // movep #$D00409,x:$FFFFF8 (AAR1); movep #$01FFFF,x:$FFFFFB (BCR);
    // movep #$A4001F,x:$FFFFFD (PCTL): 0000100s W1MMMRRR 1Spppppp + immediate word.
    const std::array<std::uint32_t, 6> expected{0x08F4B8, 0xD00409, 0x08F4BB,
                                                0x01FFFF, 0x08F4BD, 0xA4001F};
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(cells[2 + i], expected[i]) << i;
}

TEST(DspImages, BootProgramEndsWithBitPatternTable) {
    const auto cells = BootProgramImage();
    const std::array<std::uint32_t, 21> table{
        0xFFFFFF, 0xAAAAAA, 0x555555, 0x808080, 0x404040, 0x202020, 0x101010,
        0x080808, 0x040404, 0x020202, 0x010101, 0x7F7F7F, 0xBFBFBF, 0xDFDFDF,
        0xEFEFEF, 0xF7F7F7, 0xFBFBFB, 0xFDFDFD, 0xFEFEFE, 0,        0};
    const std::size_t first = 2 + (0xE43 - 0x100);
    ASSERT_EQ(first + table.size(), cells.size());
    for (std::size_t i = 0; i < table.size(); ++i)
        EXPECT_EQ(cells[first + i], table[i]) << i;
}

// ------------------------------------------------------------------- KPCI data

struct KpciRecordView {
    std::size_t offset;
    unsigned type;
    unsigned count;
    unsigned address;
    std::vector<std::uint32_t> words;
};

std::vector<KpciRecordView> WalkKpci(std::span<const std::uint8_t> data, std::size_t* end) {
    auto group = [&](std::size_t g) {
        return static_cast<std::uint32_t>(data[3 * g]) << 16 |
               static_cast<std::uint32_t>(data[3 * g + 1]) << 8 | data[3 * g + 2];
    };
    std::vector<KpciRecordView> records;
    std::size_t g = 0;
    const std::size_t groups = data.size() / 3;
    while (g + 2 <= groups) {
        KpciRecordView r{3 * g, group(g) >> 16, group(g) & 0xFFFF, group(g + 1), {}};
        if (g + 2 + r.count > groups) break;
        for (unsigned i = 0; i < r.count; ++i)
            r.words.push_back(group(g + 2 + i));
        g += 2 + r.count;
        records.push_back(std::move(r));
        if (records.back().type == 0xE0) break;
    }
    *end = 3 * g;
    return records;
}

TEST(Kpci, BuilderWritesAt86370BytesAndReturnsGroupCount) {
    // The callers' 512000-byte buffer, written from offset 6.
    std::vector<std::uint8_t> buffer(512000, 0x5A);
    EXPECT_EQ(BuildKpciImage(buffer.data() + 6), 28790);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 6, [](auto b) { return b == 0x5A; }));
    EXPECT_TRUE(std::equal(KpciImage().begin(), KpciImage().end(), buffer.begin() + 6));
    EXPECT_TRUE(std::all_of(buffer.begin() + 6 + kKpciBytes, buffer.end(),
                            [](auto b) { return b == 0x5A; }));
    std::vector<std::uint8_t> second(kKpciBytes);
    BuildKpciImage(second.data());
    EXPECT_TRUE(std::equal(second.begin(), second.end(), buffer.begin() + 6));
}

TEST(Kpci, WalkEndsExactlyAtTheEndWithTheClosingRecord) {
    std::size_t end = 0;
    const auto records = WalkKpci(KpciImage(), &end);
    EXPECT_EQ(end, 86370u);
    ASSERT_FALSE(records.empty());
    const auto& last = records.back();
    EXPECT_EQ(last.type, 0xE0u);
    EXPECT_EQ(last.count, 0u);
    EXPECT_EQ(last.address, 0x100u);
    EXPECT_EQ(last.offset, 86370u - 6);
    std::size_t groups = 0;
    for (const auto& r : records)
        groups += 2 + r.count;
    EXPECT_EQ(groups, 28790u);
}

TEST(Kpci, RecordCountsByType) {
    std::size_t end = 0;
    const auto records = WalkKpci(KpciImage(), &end);
    EXPECT_EQ(records.size(), 107u);
    std::map<unsigned, std::pair<int, unsigned>> byType;
    for (const auto& r : records) {
        ++byType[r.type].first;
        byType[r.type].second += r.count;
    }
    EXPECT_EQ(byType.size(), 4u);
    EXPECT_EQ(byType[0x20], (std::pair<int, unsigned>{10, 129}));
    EXPECT_EQ(byType[0x60], (std::pair<int, unsigned>{14, 1614}));
    EXPECT_EQ(byType[0xA0], (std::pair<int, unsigned>{82, 26833}));
    EXPECT_EQ(byType[0xE0], (std::pair<int, unsigned>{1, 0}));
}

TEST(Kpci, FirstProgramRecordAndTexts) {
    std::size_t end = 0;
    const auto records = WalkKpci(KpciImage(), &end);
    const auto firstA0 =
        std::find_if(records.begin(), records.end(), [](const auto& r) { return r.type == 0xA0; });
    ASSERT_NE(firstA0, records.end());
    EXPECT_EQ(firstA0->address, 0x100u);
    const auto name = std::find_if(records.begin(), records.end(), [](const auto& r) {
        return r.type == 0xA0 && r.address == 0x67B && r.count == 9;
    });
    ASSERT_NE(name, records.end());
    EXPECT_NE(UnpackText(name->words).find("2.9.05.14"), std::string::npos)
        << UnpackText(name->words);
    const auto date = std::find_if(records.begin(), records.end(), [](const auto& r) {
        return r.type == 0xA0 && r.address == 0x684 && r.count == 4;
    });
    ASSERT_NE(date, records.end());
    EXPECT_NE(UnpackText(date->words).find("2016"), std::string::npos) << UnpackText(date->words);
}

// ------------------------------------------------------------------- EEPROM boot image

struct EepromRecord {
    std::size_t offset;
    unsigned lengthWord;
    unsigned address;
    std::vector<std::uint8_t> data;
};

std::vector<EepromRecord> WalkEeprom(std::span<const std::uint8_t> image, std::size_t* end) {
    std::vector<EepromRecord> records;
    std::size_t pos = 8;
    while (pos + 4 <= image.size()) {
        EepromRecord r{pos,
                       static_cast<unsigned>(image[pos]) << 8 | image[pos + 1],
                       static_cast<unsigned>(image[pos + 2]) << 8 | image[pos + 3],
                       {}};
        const std::size_t count = r.lengthWord & 0x3FF;
        if (pos + 4 + count > image.size()) break;
        r.data.assign(image.begin() + static_cast<long>(pos + 4),
                      image.begin() + static_cast<long>(pos + 4 + count));
        pos += 4 + count;
        records.push_back(std::move(r));
        if (records.back().lengthWord & 0x8000) break;
    }
    *end = pos;
    return records;
}

TEST(EepromBootImage, HeaderIsC2WithVendorProductReleaseAndConfig) {
    const std::array<std::uint8_t, 8> header{0xC2, 0x47, 0x05, 0x31, 0x21, 0x00, 0x00, 0x04};
    EXPECT_TRUE(std::equal(header.begin(), header.end(), EepromBootImage));
}

TEST(EepromBootImage, WalkEndsAfterByte3817WithTheLastRecord) {
    std::size_t end = 0;
    const auto records = WalkEeprom(EepromBootImageView(), &end);
    EXPECT_EQ(end, 3818u);
    ASSERT_FALSE(records.empty());
    EXPECT_NE(records.back().lengthWord & 0x8000, 0u);
    for (std::size_t i = 0; i + 1 < records.size(); ++i)
        EXPECT_EQ(records[i].lengthWord & 0x8000, 0u) << i;
}

TEST(EepromBootImage, RecordsAreExactlyAsListed) {
    std::size_t end = 0;
    const auto records = WalkEeprom(EepromBootImageView(), &end);
    const std::vector<std::pair<unsigned, unsigned>> expected{
        {3, 0x0000},    {3, 0x000B},    {3, 0x001B},    {3, 0x0033},   {3, 0x0043},     {3, 0x0053},
        {1023, 0x0080}, {1023, 0x047F}, {1023, 0x087E}, {678, 0x0C7D}, {0x8001, 0xE600}};
    ASSERT_EQ(records.size(), expected.size());
    unsigned programBytes = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(records[i].lengthWord, expected[i].first) << i;
        EXPECT_EQ(records[i].address, expected[i].second) << i;
        if (i + 1 < expected.size()) programBytes += static_cast<unsigned>(records[i].data.size());
    }
    EXPECT_EQ(programBytes, 3765u);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(records[i].data[0], 0x02) << "LJMP " << i;
    // Last record: 0x80 0x01 0xE6 0x00 0x00, ending at byte 3817.
    const std::array<std::uint8_t, 5> release{0x80, 0x01, 0xE6, 0x00, 0x00};
    EXPECT_TRUE(std::equal(release.begin(), release.end(), EepromBootImage + 3813));
}

// ------------------------------------------------------------------- RAM firmware HEX text

class RamFirmware : public ::testing::Test {
protected:
    void SetUp() override {
        auto parsed = ParseHexText(RamFirmwareHexText());
        ASSERT_TRUE(parsed.has_value());
        records = std::move(*parsed);
    }
    std::vector<HexRecord> records;
};

TEST_F(RamFirmware, TextIs10053CharactersWithNul) {
    EXPECT_EQ(RamFirmwareHexText().size(), 10053u);
    EXPECT_EQ(std::strlen(RamFirmwareHex), 10053u);
    EXPECT_EQ(RamFirmwareHex[10053], '\0');
}

TEST_F(RamFirmware, EveryLineIs13Plus2nCharactersWithCrLf) {
    ASSERT_EQ(records.size(), 259u);
    std::size_t total = 0;
    for (const auto& r : records) {
        EXPECT_EQ(r.length, 13 + 2 * r.count) << "line " << r.line;
        EXPECT_EQ(RamFirmwareHexText().substr(r.offset + r.length - 2, 2), "\r\n");
        EXPECT_TRUE(r.checksumOk) << "line " << r.line;
        total += r.length;
    }
    EXPECT_EQ(total, 10053u);
}

TEST_F(RamFirmware, LastThirteenCharactersAreTheEndRecord) {
    EXPECT_EQ(RamFirmwareHexText().substr(10053 - 13), ":00000001FF\r\n");
    EXPECT_EQ(records.back().type, 1u);
}

TEST_F(RamFirmware, Has258DataRecordsOf1To16Bytes) {
    int data = 0;
    for (std::size_t i = 0; i + 1 < records.size(); ++i) {
        EXPECT_EQ(records[i].type, 0u) << "line " << records[i].line;
        EXPECT_GE(records[i].count, 1u);
        EXPECT_LE(records[i].count, 16u);
        ++data;
    }
    EXPECT_EQ(data, 258);
}

TEST_F(RamFirmware, Covers3343BytesOf0000To0D82NoneTwice) {
    std::set<unsigned> covered;
    std::size_t bytes = 0;
    for (const auto& r : records) {
        for (unsigned i = 0; i < r.count; ++i) {
            EXPECT_TRUE(covered.insert(r.address + i).second) << "twice: " << r.address + i;
            ++bytes;
        }
    }
    EXPECT_EQ(bytes, 3343u);
    EXPECT_EQ(covered.size(), 3343u);
    EXPECT_EQ(*covered.begin(), 0x0000u);
    EXPECT_EQ(*covered.rbegin(), 0x0D82u);
}

// The downloader's run detection, applied to the text as the downloader does.
TEST_F(RamFirmware, FormsThirtyThreeRunsTheFirstAt08CD) {
    struct Run {
        unsigned address;
        unsigned length;
        unsigned records;
    };
    std::vector<Run> runs;
    for (std::size_t i = 0; i + 1 < records.size();) {
        Run run{records[i].address, records[i].count, 1};
        std::size_t j = i + 1;
        while (j < records.size() && records[j].address == run.address + run.length &&
               records[j].address != 0) {
            run.length += records[j].count;
            ++run.records;
            ++j;
        }
        runs.push_back(run);
        i = j;
    }
    ASSERT_EQ(runs.size(), 33u);
    unsigned total = 0;
    for (const auto& r : runs)
        total += r.length;
    EXPECT_EQ(total, 3343u);
    EXPECT_EQ(runs[0].address, 0x08CDu);
    EXPECT_EQ(runs[0].length, 49u);
    EXPECT_EQ(runs[0].records, 4u);
    EXPECT_EQ(records[0].count, 16u);
    EXPECT_EQ(records[1].address, 0x08DDu);
    EXPECT_EQ(records[2].address, 0x08EDu);
    EXPECT_EQ(records[3].address, 0x08FDu);
    EXPECT_EQ(records[3].count, 1u);
    EXPECT_EQ(records[4].address, 0x0778u);
    EXPECT_EQ(runs[1].address, 0x0778u);
    // The downloader's position arithmetic: pos advances 13 x records + 2 x length per run and
    // stops with the 13 characters of the end record left.
    std::size_t pos = 0;
    for (const auto& r : runs)
        pos += 13 * r.records + 2 * r.length;
    EXPECT_EQ(pos, 10053u - 13);
}

// ------------------------------------------------------------------- USB identity

std::vector<std::uint8_t> HexRam(std::string_view text) {
    std::vector<std::uint8_t> ram(0x10000, 0);
    const auto records = ParseHexText(text);
    for (const auto& r : *records) {
        for (unsigned i = 0; i < r.count; ++i)
            ram[r.address + i] = r.data[i];
    }
    return ram;
}

std::vector<std::uint8_t> EepromRam() {
    std::vector<std::uint8_t> ram(0x10000, 0);
    std::size_t end = 0;
    for (const auto& r : WalkEeprom(EepromBootImageView(), &end)) {
        std::copy(r.data.begin(), r.data.end(), ram.begin() + r.address);
    }
    return ram;
}

void ExpectIdentity(const std::vector<std::uint8_t>& ram) {
    // Device descriptor: bLength 0x12, type 1, bcdUSB 0x0200, ...
    const long device = Find(ram, {0x12, 0x01, 0x00, 0x02});
    ASSERT_GE(device, 0);
    const auto d = ram.begin() + device;
    EXPECT_EQ(d[7], 64) << "bMaxPacketSize0";
    EXPECT_EQ(d[8] | d[9] << 8, 0x1057) << "idVendor";
    EXPECT_EQ(d[10] | d[11] << 8, 0x1801) << "idProduct";
    const long manufacturer = Find(ram, StringDescriptor("Havelunde"));
    const long product = Find(ram, StringDescriptor("OV4USB"));
    EXPECT_GE(manufacturer, 0);
    EXPECT_GE(product, 0);
}

TEST(UsbIdentity, RamFirmwareCarriesDeviceAndStringDescriptors) {
    ExpectIdentity(HexRam(RamFirmwareHexText()));
}

TEST(UsbIdentity, EepromFirmwareCarriesDeviceAndStringDescriptors) {
    ExpectIdentity(EepromRam());
}

// ------------------------------------------------------------------- RBF images

TEST(RbfImages, FileNames) {
    EXPECT_STREQ(RbfFileNameRev11, "usbvexta_05_10_2004.rbf");
    EXPECT_STREQ(RbfFileNameRev12, "usbvexta_21_05_2008.rbf");
    EXPECT_STREQ(RbfFileNameRev13, "usbvexta_21_05_2008_08_11_2016.rbf");
}

TEST(RbfImages, SizesAndFirstBytes) {
    EXPECT_EQ(sizeof RbfImageRev11, 59215u);
    EXPECT_EQ(sizeof RbfImageRev12, 43589u);
    EXPECT_EQ(sizeof RbfImageRev13, 48349u);
    const std::vector<std::uint8_t> rev11{0xFF, 0xFF, 0x62, 0xFF, 0x39, 0x00, 0xFF};
    EXPECT_TRUE(std::equal(rev11.begin(), rev11.end(), RbfImageRev11));
    auto expectCyclone = [](const std::uint8_t* image, std::array<std::uint8_t, 9> pattern) {
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(image[i], 0xFF) << i;
        for (int k = 0; k < 3; ++k) {
            EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), image + 16 + 9 * k)) << k;
        }
    };
    expectCyclone(RbfImageRev12, {0x6A, 0xD6, 0xFF, 0x40, 0x00, 0x18, 0x52, 0x05, 0x00});
    expectCyclone(RbfImageRev13, {0x6A, 0xDE, 0xFF, 0x7F, 0x00, 0xE8, 0xE6, 0x05, 0x00});
    EXPECT_EQ(RbfImageRev11View().data(), RbfImageRev11);
    EXPECT_EQ(RbfImageRev12View().size(), 43589u);
    EXPECT_EQ(RbfImageRev13View().size(), 48349u);
}

} // namespace
} // namespace flashwell::images
