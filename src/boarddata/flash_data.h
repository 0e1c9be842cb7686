// The board's parameter block: its stored layout in flash and the record the rest of the
// program works on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace flashwell::boarddata {

inline constexpr std::size_t kFlashDataSize = 7174;

// The block exactly as it lies in flash, one byte per address.
using FlashDataBlock = std::array<std::uint8_t, kFlashDataSize>;
// The same block as the board protocol moves it: one flash byte per 32-bit cell.
using FlashDataCells = std::array<std::uint32_t, kFlashDataSize>;

// Offsets of the fields inside the stored block.
namespace offsets {
inline constexpr std::size_t RevisionStamps = 0; // 3 x 14 bytes
inline constexpr std::size_t RevisionStampSize = 14;
inline constexpr std::size_t InfoGroups = 42; // 2 x 30 bytes
inline constexpr std::size_t InfoGroupSize = 30;
inline constexpr std::size_t MiscByte = 102;
inline constexpr std::size_t MiscWord = 103;
inline constexpr std::size_t MiscValue = 105;
inline constexpr std::size_t ChannelGroups = 108; // 6 x 4 bytes
inline constexpr std::size_t ProductName = 132;
inline constexpr std::size_t Manufacturer = 164;
inline constexpr std::size_t Vendor = 196;
inline constexpr std::size_t Description = 228;
inline constexpr std::size_t SerialNumber = 260;
inline constexpr std::size_t Customer = 280;
inline constexpr std::size_t Reference = 312;
inline constexpr std::size_t BoardDate = 322;
inline constexpr std::size_t BoardDateYear = 326;
inline constexpr std::size_t OptionBytes = 330;
inline constexpr std::size_t FeatureFlags = 340;
inline constexpr std::size_t TableA = 350;
inline constexpr std::size_t TableB = 384;
inline constexpr std::size_t TableC = 512;
inline constexpr std::size_t QuadBytes = 3584;
inline constexpr std::size_t WordTable = 3728;
inline constexpr std::size_t ValueTable = 3872;
inline constexpr std::size_t TableD = 3920;
inline constexpr std::size_t CurveHeader = 4096;
inline constexpr std::size_t Curve = 4099;
} // namespace offsets

// Widths of the character fields.
namespace widths {
inline constexpr std::size_t StampDay = 2;
inline constexpr std::size_t StampMonth = 2;
inline constexpr std::size_t StampYear = 4;
inline constexpr std::size_t Text6 = 6;
inline constexpr std::size_t Text4 = 4;
inline constexpr std::size_t ProductName = 32;
inline constexpr std::size_t Manufacturer = 32;
inline constexpr std::size_t Vendor = 32;
inline constexpr std::size_t Description = 32;
inline constexpr std::size_t SerialNumber = 20;
inline constexpr std::size_t Customer = 32;
inline constexpr std::size_t Reference = 10;
} // namespace widths

struct RevisionStamp {
    std::array<std::uint8_t, 2> Code1{};
    std::array<std::uint8_t, 2> Code2{};
    // Byte 0 is the minor number, byte 1 the major number: revision 1.2 is {2, 1}.
    std::array<std::uint8_t, 2> Revision{};
    std::string Day;
    std::string Month;
    std::string Year;

    bool operator==(const RevisionStamp&) const = default;
};

struct InfoGroup {
    std::string Text6;
    std::uint8_t ByteA = 0;
    std::string Text4;
    std::uint8_t ByteB = 0;
    std::array<std::uint32_t, 6> Values{};

    bool operator==(const InfoGroup&) const = default;
};

struct ChannelGroup {
    std::uint8_t Count = 0;
    std::uint8_t Kind = 0;
    std::uint16_t Param = 0;

    bool operator==(const ChannelGroup&) const = default;
};

struct BoardDateText {
    std::string Day;
    std::string Month;
    std::string Year;

    bool operator==(const BoardDateText&) const = default;
};

// Feature flag bits the program reads or writes.
inline constexpr std::uint8_t kCounter32ModeMask = 0x04; // FeatureFlags[2]
inline constexpr std::uint8_t kSerialLetterMask = 0x08;  // FeatureFlags[2]

struct FlashDataRecord {
    std::array<RevisionStamp, 3> RevisionStamps{};
    std::array<InfoGroup, 2> InfoGroups{};
    std::uint8_t MiscByte = 0;
    std::uint16_t MiscWord = 0;
    std::uint32_t MiscValue = 0;
    std::array<ChannelGroup, 6> ChannelGroups{};
    std::string ProductName;
    std::string Manufacturer;
    std::string Vendor;
    std::string Description;
    std::string SerialNumber;
    std::string Customer;
    std::string Reference;
    BoardDateText BoardDate;
    std::array<std::uint8_t, 10> OptionBytes{};
    std::array<std::uint8_t, 10> FeatureFlags{};
    std::array<std::uint8_t, 34> TableA{};
    std::array<std::uint8_t, 128> TableB{};
    std::array<std::uint8_t, 3072> TableC{};
    std::array<std::uint8_t, 16> QuadBytes{};
    std::array<std::uint16_t, 16> WordTable{};
    std::array<std::uint32_t, 16> ValueTable{};
    std::array<std::uint8_t, 166> TableD{};
    std::uint32_t CurveHeader = 0;
    std::array<std::uint32_t, 1024> Curve{};
    std::uint32_t Spare = 0; // lives only in memory

    // RevisionStamps[0].Revision: byte 0 minor, byte 1 major.
    std::array<std::uint8_t, 2>& HardwareRevision() { return RevisionStamps[0].Revision; }
    const std::array<std::uint8_t, 2>& HardwareRevision() const {
        return RevisionStamps[0].Revision;
    }

    bool operator==(const FlashDataRecord&) const = default;
};

// Encodings of the stored block. Numbers are stored most significant byte first.
std::uint32_t GetBE24(const std::uint8_t* bytes);
std::uint16_t GetBE16(const std::uint8_t* bytes);
// Both write nothing and return false when no destination is given; higher bits are dropped.
bool PutBE24(std::uint32_t value, std::uint8_t* bytes);
bool PutBE16(std::uint16_t value, std::uint8_t* bytes);
// The characters up to the first NUL, or all width characters when there is none.
std::string CharFieldToText(const std::uint8_t* field, std::size_t width);
// Copies at most width characters and, when the text is shorter, one NUL after them; the rest
// of the field is left as it was.
bool TextToCharField(std::string_view text, std::uint8_t* field, std::size_t width);

// Years were once stored with two digits ("98", "05"); this turns them into four in place.
void ApplyTwoDigitYearRule(std::uint8_t* year4);

bool UnpackFlashData(const FlashDataBlock& block, FlashDataRecord& record);
// Writes only the bytes the fields cover; everything else in the block stays as it was.
bool PackFlashData(const FlashDataRecord& record, FlashDataBlock& block);
bool BlockToCells(const FlashDataBlock& block, FlashDataCells& cells);
bool CellsToBlock(const FlashDataCells& cells, FlashDataBlock& block);

// Sets the type flags of two special boards from their serial numbers. Returns 0.
int ClassifyBoardType(FlashDataRecord& record);

// What reading starts from, and what stays when no block could be read.
FlashDataRecord DefaultFlashDataRecord();

} // namespace flashwell::boarddata
