// The build's image checks: sound images pass, every class of defect is caught with a message
// that names it, and the tool executable stops with a non-zero status naming the file.
#include "boarddata/images/image_check.h"

#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace flashwell::images {
namespace {

using ::testing::HasSubstr;

std::vector<std::uint8_t> Load(ImageKind kind) {
    return test::ReadBytes(std::filesystem::path(FLASHWELL_EMBEDDED_IMAGE_DIR) /
                           ImageFileFor(kind).fileName);
}

std::string Check(ImageKind kind, const std::vector<std::uint8_t>& bytes) {
    return CheckImage(kind, bytes);
}

void SetCell(std::vector<std::uint8_t>& bytes, std::size_t cell, std::uint32_t value) {
    for (int b = 0; b < 4; ++b)
        bytes[4 * cell + b] = static_cast<std::uint8_t>(value >> (8 * b));
}

TEST(ImageCheck, EveryImageInTheFolderIsSound) {
    for (const auto& file : ImageFiles()) {
        const auto bytes = Load(file.kind);
        EXPECT_EQ(bytes.size(), file.size) << file.fileName;
        EXPECT_EQ(Check(file.kind, bytes), "") << file.fileName;
    }
}

TEST(ImageCheck, EmptyInputIsRejectedForEveryKind) {
    for (const auto& file : ImageFiles())
        EXPECT_NE(CheckImage(file.kind, {}), "") << file.fileName;
}

// ------------------------------------------------------------------- RBF

TEST(ImageCheckRbf, WrongSize) {
    auto bytes = Load(ImageKind::RbfRev11);
    bytes.pop_back();
    EXPECT_EQ(Check(ImageKind::RbfRev11, bytes), "size 59214 bytes, expected 59215");
}

TEST(ImageCheckRbf, WrongFirstBytes) {
    auto bytes = Load(ImageKind::RbfRev11);
    bytes[2] = 0x63;
    EXPECT_EQ(Check(ImageKind::RbfRev11, bytes), "byte 2: 0x63, expected 0x62");
    bytes = Load(ImageKind::RbfRev12);
    bytes[16 + 9 + 1] = 0xDE; // second copy of the pattern, Rev13's byte
    EXPECT_EQ(Check(ImageKind::RbfRev12, bytes), "byte 26: 0xDE, expected 0xD6");
    bytes = Load(ImageKind::RbfRev13);
    bytes[15] = 0x00;
    EXPECT_EQ(Check(ImageKind::RbfRev13, bytes), "byte 15: 0x00, expected 0xFF");
}

// ------------------------------------------------------------------- DspImage

TEST(ImageCheckDsp, CellBeyond24Bits) {
    auto bytes = Load(ImageKind::FlashProgram);
    bytes[4 * 100 + 3] = 0x01;
    EXPECT_THAT(Check(ImageKind::FlashProgram, bytes), HasSubstr("cell 100: 0x01"));
    EXPECT_THAT(Check(ImageKind::FlashProgram, bytes), HasSubstr("exceeds 24 bits"));
}

TEST(ImageCheckDsp, WordCountDoesNotMatchCellCount) {
    auto bytes = Load(ImageKind::BootProgram);
    SetCell(bytes, 0, 3415);
    EXPECT_THAT(Check(ImageKind::BootProgram, bytes), HasSubstr("cell 0 (word count N) is 3415"));
}

TEST(ImageCheckDsp, WrongLoadAddress) {
    auto bytes = Load(ImageKind::FlashProgram);
    SetCell(bytes, 1, 0x200);
    EXPECT_EQ(Check(ImageKind::FlashProgram, bytes),
              "cell 1 (load address) is 0x000200, expected 0x000100");
}

TEST(ImageCheckDsp, WrongCellCountOrPartialCell) {
    auto bytes = Load(ImageKind::FlashProgram);
    bytes.resize(bytes.size() - 1);
    EXPECT_THAT(Check(ImageKind::FlashProgram, bytes), HasSubstr("whole number of 4-byte cells"));
    bytes.resize(bytes.size() - 3);
    EXPECT_EQ(Check(ImageKind::FlashProgram, bytes), "2261 cells, expected 2262");
}

TEST(ImageCheckDsp, DamagedTails) {
    auto bytes = Load(ImageKind::FlashProgram);
    SetCell(bytes, 2262 - 20, 5);
    EXPECT_THAT(Check(ImageKind::FlashProgram, bytes), HasSubstr("expected two words of 4"));
    bytes = Load(ImageKind::FlashProgram);
    SetCell(bytes, 2262 - 1, 0x414243);
    EXPECT_THAT(Check(ImageKind::FlashProgram, bytes), HasSubstr("cell 2261"));
    bytes = Load(ImageKind::BootProgram);
    SetCell(bytes, 3418 - 21 + 3, 0x808081);
    EXPECT_EQ(Check(ImageKind::BootProgram, bytes),
              "cell 3400: 0x808081, expected 0x808080 (bit-pattern table)");
}

// ------------------------------------------------------------------- KPCI

TEST(ImageCheckKpci, WrongSize) {
    auto bytes = Load(ImageKind::Kpci);
    bytes.push_back(0);
    EXPECT_EQ(Check(ImageKind::Kpci, bytes), "size 86371 bytes, expected 86370");
}

TEST(ImageCheckKpci, UnknownTypeCode) {
    auto bytes = Load(ImageKind::Kpci);
    bytes[0] = 0x40;
    EXPECT_EQ(Check(ImageKind::Kpci, bytes), "record 0 at byte 0: unknown type code 0x40");
}

TEST(ImageCheckKpci, RecordRunsPastTheEnd) {
    auto bytes = Load(ImageKind::Kpci);
    bytes[1] = 0xFF;
    bytes[2] = 0xFF;
    EXPECT_THAT(Check(ImageKind::Kpci, bytes), HasSubstr("65535 data words run past the end"));
}

TEST(ImageCheckKpci, ClosingRecordTooEarly) {
    auto bytes = Load(ImageKind::Kpci);
    const std::size_t second = 6 + 3 * (static_cast<std::size_t>(bytes[1]) << 8 | bytes[2]);
    bytes[second] = 0xE0;
    EXPECT_THAT(Check(ImageKind::Kpci, bytes), HasSubstr("before the end of the data"));
}

TEST(ImageCheckKpci, LastRecordNotClosing) {
    auto bytes = Load(ImageKind::Kpci);
    bytes[86370 - 6] = 0xA0;
    EXPECT_EQ(Check(ImageKind::Kpci, bytes),
              "last record (106) has type 0xA0, expected the closing type 0xE0");
    bytes = Load(ImageKind::Kpci);
    bytes[86370 - 2] = 0x02; // address 0x000200
    EXPECT_THAT(Check(ImageKind::Kpci, bytes), HasSubstr("closing record has n = 0 and address"));
}

// ------------------------------------------------------------------- Intel-HEX text

class ImageCheckHex : public ::testing::Test {
protected:
    void SetUp() override {
        const auto bytes = Load(ImageKind::RamFirmwareHex);
        text.assign(bytes.begin(), bytes.end());
        auto parsed = test::ParseHexText(text);
        ASSERT_TRUE(parsed.has_value());
        records = *parsed;
    }
    std::string Run() const {
        return CheckImage(
            ImageKind::RamFirmwareHex,
            std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    // Recomputes the checksum of the line starting at offset (its length unchanged).
    void FixChecksum(std::size_t line) {
        const auto& r = records[line - 1];
        unsigned sum = 0;
        for (std::size_t i = r.offset + 1; i < r.offset + r.length - 4; i += 2)
            sum += static_cast<unsigned>(std::stoi(text.substr(i, 2), nullptr, 16));
        char buffer[3];
        std::snprintf(buffer, sizeof buffer, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
        text.replace(r.offset + r.length - 4, 2, buffer);
    }
    void SetField(std::size_t line, std::size_t column, const char* digits) {
        text.replace(records[line - 1].offset + column, std::strlen(digits), digits);
    }
    std::string text;
    std::vector<test::HexRecord> records;
};

TEST_F(ImageCheckHex, WrongChecksum) {
    const auto& r = records[16];
    // Change the first data byte's low digit: the stored checksum stays.
    char& digit = text[r.offset + 10];
    digit = digit == '0' ? '1' : '0';
    auto changed = test::ParseHexText(text);
    ASSERT_TRUE(changed.has_value());
    unsigned sum = 0;
    for (std::size_t i = r.offset + 1; i < r.offset + r.length - 4; i += 2)
        sum += static_cast<unsigned>(std::stoi(text.substr(i, 2), nullptr, 16));
    char expected[80];
    std::snprintf(expected, sizeof expected, "line 17: checksum 0x%02X, expected 0x%02X",
                  r.checksum, (0x100 - (sum & 0xFF)) & 0xFF);
    EXPECT_EQ(Run(), expected);
}

TEST_F(ImageCheckHex, CharacterThatIsNoHexDigit) {
    text[records[4].offset + 12] = 'G';
    EXPECT_EQ(Run(), "line 5: column 13: character 0x47 is not a hexadecimal digit");
    SetUp();
    text[records[0].offset] = ';';
    EXPECT_EQ(Run(), "line 1: does not start with ':'");
}

TEST_F(ImageCheckHex, LineEndIsNotCrLf) {
    const auto& r = records[2];
    text[r.offset + r.length - 2] = '0';
    EXPECT_THAT(Run(), HasSubstr("line 3: does not end in CR LF"));
}

TEST_F(ImageCheckHex, RecordTypeOtherThanDataAndEnd) {
    SetField(8, 7, "04");
    FixChecksum(8);
    EXPECT_EQ(Run(), "line 8: record type 0x04, only 00 (data) and 01 (end) allowed");
}

TEST_F(ImageCheckHex, EndRecordNotLast) {
    const auto& last = records.back();
    const auto& before = records[records.size() - 2];
    const std::string endLine = text.substr(last.offset, last.length);
    const std::string dataLine = text.substr(before.offset, before.length);
    text.replace(before.offset, before.length + last.length, endLine + dataLine);
    EXPECT_EQ(Run(), "line 258: end-of-file record before the end of the text");
}

TEST_F(ImageCheckHex, AddressLoadedTwice) {
    char address[5];
    std::snprintf(address, sizeof address, "%04X", records[0].address + 1);
    SetField(2, 3, address);
    FixChecksum(2);
    char expected[80];
    std::snprintf(expected, sizeof expected, "line 2: address 0x%04X is loaded a second time",
                  records[0].address + 1);
    EXPECT_EQ(Run(), expected);
}

TEST_F(ImageCheckHex, DataRecordTooLongOrEmpty) {
    SetField(258, 1, "00");
    FixChecksum(258); // the line's length no longer matches its count
    EXPECT_THAT(Run(), HasSubstr("line 258:"));
    SetUp();
    // An end record turned into an empty data record.
    SetField(259, 7, "00");
    FixChecksum(259);
    EXPECT_EQ(Run(), "line 259: data record with 0 data bytes, expected 1 to 16");
}

// ------------------------------------------------------------------- EEPROM

TEST(ImageCheckEeprom, WrongHeader) {
    auto bytes = Load(ImageKind::EepromBoot);
    bytes[0] = 0xC0;
    EXPECT_EQ(Check(ImageKind::EepromBoot, bytes), "byte 0: 0xC0, expected 0xC2 (0xC2 header)");
    bytes = Load(ImageKind::EepromBoot);
    bytes[3] = 0x32;
    EXPECT_EQ(Check(ImageKind::EepromBoot, bytes), "byte 3: 0x32, expected 0x31 (0xC2 header)");
}

TEST(ImageCheckEeprom, NoLastRecord) {
    auto bytes = Load(ImageKind::EepromBoot);
    bytes[3818 - 5] = 0x00; // length word 0x0001: bit 15 cleared
    EXPECT_EQ(Check(ImageKind::EepromBoot, bytes),
              "no last record (bit 15 set in its length word) before the end of the image");
}

TEST(ImageCheckEeprom, LastRecordEndsEarly) {
    auto bytes = Load(ImageKind::EepromBoot);
    // The 678-byte record starts at 8 + 6 x 7 + 3 x 1027.
    const std::size_t record = 8 + 6 * 7 + 3 * 1027;
    ASSERT_EQ(bytes[record], 0x02);
    ASSERT_EQ(bytes[record + 1], 0xA6);
    bytes[record] |= 0x80;
    EXPECT_THAT(Check(ImageKind::EepromBoot, bytes),
                HasSubstr("last record (bit 15 set) ends at byte 3812"));
}

TEST(ImageCheckEeprom, ChainBrokenOrPastTheEnd) {
    auto bytes = Load(ImageKind::EepromBoot);
    bytes[8 + 6 * 7 + 3 * 1027 + 1] = 0xFF; // 678 -> 767 bytes
    EXPECT_THAT(Check(ImageKind::EepromBoot, bytes), HasSubstr("run past the end of the image"));
    bytes = Load(ImageKind::EepromBoot);
    bytes[8] = 0x04; // reserved bit 10
    EXPECT_THAT(Check(ImageKind::EepromBoot, bytes), HasSubstr("reserved bits 10-14"));
}

TEST(ImageCheckEeprom, LastRecordMustReleaseTheCpu) {
    auto bytes = Load(ImageKind::EepromBoot);
    bytes[3817] = 0x01;
    EXPECT_THAT(Check(ImageKind::EepromBoot, bytes), HasSubstr("must write 0x00 to 0xE600"));
}

// ------------------------------------------------------------------- the tool executable

class ImageToolExecutable : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& file : ImageFiles())
            std::filesystem::copy_file(std::filesystem::path(FLASHWELL_EMBEDDED_IMAGE_DIR) /
                                           file.fileName,
                                       dir.path() / file.fileName);
    }
    int Tool(const std::string& arguments) {
        return test::RunCommand(std::string("'") + FLASHWELL_IMAGETOOL_EXE + "' " + arguments +
                                " 2>'" + (log.path() / "stderr.txt").string() + "'");
    }
    std::string Stderr() { return test::ReadText(log.path() / "stderr.txt"); }
    test::TempDir dir{"tool-images"};
    test::TempDir log{"tool-log"};
};

TEST_F(ImageToolExecutable, SoundFolderPassesAndGeneratesSource) {
    EXPECT_EQ(Tool("check '" + dir.str() + "'"), 0) << Stderr();
    const auto output = log.path() / "images.cpp";
    EXPECT_EQ(Tool("generate '" + dir.str() + "' '" + output.string() + "'"), 0) << Stderr();
    EXPECT_TRUE(std::filesystem::exists(output));
    EXPECT_GT(std::filesystem::file_size(output), 250000u);
}

TEST_F(ImageToolExecutable, CorruptedHexStopsWithMessageNamingTheFile) {
    // A source generated from the sound images must not survive the failed run below.
    const auto output = log.path() / "images.cpp";
    ASSERT_EQ(Tool("generate '" + dir.str() + "' '" + output.string() + "'"), 0) << Stderr();
    const auto path = dir.path() / "ramfirmware.hex";
    auto text = test::ReadText(path);
    text[10] = text[10] == '0' ? '1' : '0'; // first data digit of line 1
    test::WriteBytes(path, text.data(), text.size());
    EXPECT_EQ(Tool("check '" + dir.str() + "'"), 1);
    const auto message = Stderr();
    EXPECT_THAT(message, HasSubstr(path.string() + ": line 1: checksum 0x"));
    EXPECT_EQ(Tool("generate '" + dir.str() + "' '" + output.string() + "'"), 1);
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_F(ImageToolExecutable, CorruptedEepromAndMissingFileAreNamed) {
    const auto path = dir.path() / "eepromboot.iic";
    auto bytes = test::ReadBytes(path);
    bytes.pop_back();
    test::WriteBytes(path, bytes.data(), bytes.size());
    EXPECT_EQ(Tool("check '" + dir.str() + "'"), 1);
    EXPECT_THAT(Stderr(), HasSubstr("eepromboot.iic: size 3817 bytes, expected 3818"));
    std::filesystem::remove(dir.path() / "kpci.bin");
    EXPECT_EQ(Tool("check '" + dir.str() + "'"), 1);
    EXPECT_THAT(Stderr(), HasSubstr("kpci.bin: cannot be read"));
}

} // namespace
} // namespace flashwell::images
