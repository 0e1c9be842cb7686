#include "boarddata/flash_data.h"

#include <algorithm>

namespace flashwell::boarddata {

std::uint32_t GetBE24(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 16) | (std::uint32_t{bytes[1]} << 8) | bytes[2];
}

std::uint16_t GetBE16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

bool PutBE24(std::uint32_t value, std::uint8_t* bytes) {
    if (bytes == nullptr) return false;
    bytes[0] = static_cast<std::uint8_t>(value >> 16);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
    bytes[2] = static_cast<std::uint8_t>(value);
    return true;
}

bool PutBE16(std::uint16_t value, std::uint8_t* bytes) {
    if (bytes == nullptr) return false;
    bytes[0] = static_cast<std::uint8_t>(value >> 8);
    bytes[1] = static_cast<std::uint8_t>(value);
    return true;
}

std::string CharFieldToText(const std::uint8_t* field, std::size_t width) {
    if (field == nullptr) return {};
    const auto* end = std::find(field, field + width, std::uint8_t{0});
    return std::string(field, end);
}

bool TextToCharField(std::string_view text, std::uint8_t* field, std::size_t width) {
    if (field == nullptr) return false;
    const std::size_t n = std::min(text.size(), width);
    std::copy_n(text.begin(), n, field);
    if (n < width) field[n] = 0;
    return true;
}

void ApplyTwoDigitYearRule(std::uint8_t* year) {
    if (year[0] == '1' || year[0] == '2') return;
    const bool nineteen = year[0] == '9';
    year[2] = year[0];
    year[3] = year[1];
    year[0] = nineteen ? '1' : '2';
    year[1] = nineteen ? '9' : '0';
}

namespace {

// One walk over the stored layout serves both directions, so packing and unpacking cannot
// drift apart. The visitor gets each field's block position and the record member behind it.
template <typename Block, typename Record, typename Visitor>
void VisitFields(Block& block, Record& record, Visitor&& v) {
    namespace o = offsets;
    namespace w = widths;
    for (std::size_t s = 0; s < 3; ++s) {
        auto& stamp = record.RevisionStamps[s];
        const std::size_t base = o::RevisionStamps + s * o::RevisionStampSize;
        v.Bytes(block, base + 0, stamp.Code1);
        v.Bytes(block, base + 2, stamp.Code2);
        v.Bytes(block, base + 4, stamp.Revision);
        v.Text(block, base + 6, w::StampDay, stamp.Day);
        v.Text(block, base + 8, w::StampMonth, stamp.Month);
        v.Text(block, base + 10, w::StampYear, stamp.Year);
    }
    for (std::size_t g = 0; g < 2; ++g) {
        auto& group = record.InfoGroups[g];
        const std::size_t base = o::InfoGroups + g * o::InfoGroupSize;
        v.Text(block, base + 0, w::Text6, group.Text6);
        v.Byte(block, base + 6, group.ByteA);
        v.Text(block, base + 7, w::Text4, group.Text4);
        v.Byte(block, base + 11, group.ByteB);
        for (std::size_t i = 0; i < 6; ++i)
            v.Be24(block, base + 12 + 3 * i, group.Values[i]);
    }
    v.Byte(block, o::MiscByte, record.MiscByte);
    v.Be16(block, o::MiscWord, record.MiscWord);
    v.Be24(block, o::MiscValue, record.MiscValue);
    for (std::size_t c = 0; c < 6; ++c) {
        auto& channel = record.ChannelGroups[c];
        v.Byte(block, o::ChannelGroups + 4 * c, channel.Count);
        v.Byte(block, o::ChannelGroups + 4 * c + 1, channel.Kind);
        v.Be16(block, o::ChannelGroups + 4 * c + 2, channel.Param);
    }
    v.Text(block, o::ProductName, w::ProductName, record.ProductName);
    v.Text(block, o::Manufacturer, w::Manufacturer, record.Manufacturer);
    v.Text(block, o::Vendor, w::Vendor, record.Vendor);
    v.Text(block, o::Description, w::Description, record.Description);
    v.Text(block, o::SerialNumber, w::SerialNumber, record.SerialNumber);
    v.Text(block, o::Customer, w::Customer, record.Customer);
    v.Text(block, o::Reference, w::Reference, record.Reference);
    v.Text(block, o::BoardDate, 2, record.BoardDate.Day);
    v.Text(block, o::BoardDate + 2, 2, record.BoardDate.Month);
    // The year is handled by the callers: both directions apply the two-digit-year rule.
    v.Bytes(block, o::OptionBytes, record.OptionBytes);
    v.Bytes(block, o::FeatureFlags, record.FeatureFlags);
    v.Bytes(block, o::TableA, record.TableA);
    v.Bytes(block, o::TableB, record.TableB);
    v.Bytes(block, o::TableC, record.TableC);
    v.Bytes(block, o::QuadBytes, record.QuadBytes);
    for (std::size_t i = 0; i < 16; ++i)
        v.Be16(block, o::WordTable + 2 * i, record.WordTable[i]);
    for (std::size_t i = 0; i < 16; ++i)
        v.Be24(block, o::ValueTable + 3 * i, record.ValueTable[i]);
    v.Bytes(block, o::TableD, record.TableD);
    v.Be24(block, o::CurveHeader, record.CurveHeader);
    for (std::size_t i = 0; i < record.Curve.size(); ++i)
        v.Be24(block, o::Curve + 3 * i, record.Curve[i]);
}

struct Unpacker {
    template <std::size_t N>
    void Bytes(const FlashDataBlock& b, std::size_t at, std::array<std::uint8_t, N>& field) {
        std::copy_n(b.begin() + at, N, field.begin());
    }
    void Byte(const FlashDataBlock& b, std::size_t at, std::uint8_t& field) { field = b[at]; }
    void Be16(const FlashDataBlock& b, std::size_t at, std::uint16_t& field) {
        field = GetBE16(&b[at]);
    }
    void Be24(const FlashDataBlock& b, std::size_t at, std::uint32_t& field) {
        field = GetBE24(&b[at]);
    }
    void Text(const FlashDataBlock& b, std::size_t at, std::size_t width, std::string& field) {
        field = CharFieldToText(&b[at], width);
    }
};

struct Packer {
    template <std::size_t N>
    void Bytes(FlashDataBlock& b, std::size_t at, const std::array<std::uint8_t, N>& field) {
        std::copy(field.begin(), field.end(), b.begin() + at);
    }
    void Byte(FlashDataBlock& b, std::size_t at, std::uint8_t field) { b[at] = field; }
    void Be16(FlashDataBlock& b, std::size_t at, std::uint16_t field) { PutBE16(field, &b[at]); }
    void Be24(FlashDataBlock& b, std::size_t at, std::uint32_t field) { PutBE24(field, &b[at]); }
    void Text(FlashDataBlock& b, std::size_t at, std::size_t width, const std::string& field) {
        TextToCharField(field, &b[at], width);
    }
};

} // namespace

bool UnpackFlashData(const FlashDataBlock& block, FlashDataRecord& record) {
    FlashDataBlock copy = block;
    ApplyTwoDigitYearRule(&copy[offsets::BoardDateYear]);
    VisitFields(copy, record, Unpacker{});
    record.BoardDate.Year = CharFieldToText(&copy[offsets::BoardDateYear], widths::StampYear);
    auto& name = record.ProductName;
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return true;
}

bool PackFlashData(const FlashDataRecord& record, FlashDataBlock& block) {
    const FlashDataRecord& r = record; // packing never changes the caller's record
    VisitFields(block, r, Packer{});
    std::uint8_t year[4] = {0, 0, 0, 0};
    const std::string& text = r.BoardDate.Year;
    for (std::size_t i = 0; i < 4 && i < text.size(); ++i)
        year[i] = static_cast<std::uint8_t>(text[i]);
    ApplyTwoDigitYearRule(year);
    TextToCharField(CharFieldToText(year, 4), &block[offsets::BoardDateYear], widths::StampYear);
    return true;
}

bool BlockToCells(const FlashDataBlock& block, FlashDataCells& cells) {
    std::copy(block.begin(), block.end(), cells.begin());
    return true;
}

bool CellsToBlock(const FlashDataCells& cells, FlashDataBlock& block) {
    std::transform(cells.begin(), cells.end(), block.begin(),
                   [](std::uint32_t cell) { return static_cast<std::uint8_t>(cell & 0xFF); });
    return true;
}

int ClassifyBoardType(FlashDataRecord& record) {
    if (record.SerialNumber == "2003-K7A-1024-6-0219") {
        record.FeatureFlags[0] |= 0x04;
        record.ChannelGroups[5].Count = 1;
    }
    if (record.SerialNumber == "2003-K7A-1024-9-0221") record.FeatureFlags[0] |= 0x01;
    return 0;
}

FlashDataRecord DefaultFlashDataRecord() {
    FlashDataRecord record;
    const std::uint8_t counts[5] = {0x40, 0x40, 0x20, 0x10, 0x10};
    for (std::size_t c = 0; c < 5; ++c) {
        record.ChannelGroups[c].Count = counts[c];
        record.ChannelGroups[c].Kind = 0;
    }
    record.ProductName = "Uninstalled Device";
    record.Manufacturer = "Havelunde GmbH";
    record.Vendor = "Havelunde GmbH";
    record.Spare = 0;
    return record;
}

} // namespace flashwell::boarddata
