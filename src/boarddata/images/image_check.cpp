#include "boarddata/images/image_check.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace flashwell::images {
namespace {

// printf-style formatting into a std::string (messages are short).
template <typename... Args> std::string Format(const char* format, Args... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

using Bytes = std::span<const std::uint8_t>;

std::string CheckSize(Bytes bytes, std::size_t expected) {
    if (bytes.size() != expected)
        return Format("size %zu bytes, expected %zu", bytes.size(), expected);
    return {};
}

std::string CheckPrefix(Bytes bytes, std::span<const std::uint8_t> prefix) {
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (bytes[i] != prefix[i])
            return Format("byte %zu: 0x%02X, expected 0x%02X", i, bytes[i], prefix[i]);
    }
    return {};
}

// ---------------------------------------------------------------- RBF images

std::string CheckRbf(ImageKind kind, Bytes bytes) {
    if (auto e = CheckSize(bytes, ImageFileFor(kind).size); !e.empty()) return e;
    std::vector<std::uint8_t> prefix;
    auto add = [&prefix](std::initializer_list<std::uint8_t> values, int times = 1) {
        for (int t = 0; t < times; ++t)
            prefix.insert(prefix.end(), values);
    };
    switch (kind) {
    case ImageKind::RbfRev11:
        // 0xFF 0xFF 0x62 0xFF 0x39 0x00, then 0xFF bytes
        add({0xFF, 0xFF, 0x62, 0xFF, 0x39, 0x00, 0xFF, 0xFF});
        break;
    case ImageKind::RbfRev12:
        add({0xFF}, 16);
        add({0x6A, 0xD6, 0xFF, 0x40, 0x00, 0x18, 0x52, 0x05, 0x00}, 3);
        break;
    default:
        add({0xFF}, 16);
        add({0x6A, 0xDE, 0xFF, 0x7F, 0x00, 0xE8, 0xE6, 0x05, 0x00}, 3);
        break;
    }
    return CheckPrefix(bytes, prefix);
}

// ---------------------------------------------------------------- DspImage files

std::uint32_t Cell(Bytes bytes, std::size_t index) {
    const std::size_t o = index * 4;
    return static_cast<std::uint32_t>(bytes[o]) | static_cast<std::uint32_t>(bytes[o + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[o + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[o + 3]) << 24;
}

// A text of `chars` characters packed three per word (first character in bits 23-16): every
// character printable.
std::string CheckPackedText(Bytes bytes, std::size_t firstCell, std::size_t chars) {
    for (std::size_t c = 0; c < chars; ++c) {
        const std::uint32_t word = Cell(bytes, firstCell + c / 3);
        const unsigned ch = (word >> (16 - 8 * (c % 3))) & 0xFF;
        if (ch < 0x20 || ch > 0x7E)
            return Format("cell %zu: text character %zu is 0x%02X, not printable",
                          firstCell + c / 3, c, ch);
    }
    return {};
}

std::string CheckDsp(ImageKind kind, Bytes bytes) {
    if (bytes.size() % 4 != 0)
        return Format("size %zu bytes is not a whole number of 4-byte cells", bytes.size());
    const std::size_t expectedCells = ImageFileFor(kind).size / 4;
    const std::size_t cells = bytes.size() / 4;
    if (cells != expectedCells) return Format("%zu cells, expected %zu", cells, expectedCells);
    for (std::size_t i = 0; i < cells; ++i) {
        if (Cell(bytes, i) > 0xFFFFFF)
            return Format("cell %zu: 0x%08X exceeds 24 bits", i, Cell(bytes, i));
    }
    if (Cell(bytes, 0) + 2 != cells)
        return Format("cell 0 (word count N) is %u, but the image has %zu cells (N + 2 expected)",
                      Cell(bytes, 0), cells);
    if (Cell(bytes, 1) != 0x100)
        return Format("cell 1 (load address) is 0x%06X, expected 0x000100", Cell(bytes, 1));

    if (kind == ImageKind::FlashProgram) {
        // Last 20 words: 4, 4, 27-char text in 9 words, 0, 21-char text in 7 words, 0.
        const std::size_t t = cells - 20;
        if (Cell(bytes, t) != 4 || Cell(bytes, t + 1) != 4)
            return Format("cells %zu and %zu: 0x%06X 0x%06X, expected two words of 4", t, t + 1,
                          Cell(bytes, t), Cell(bytes, t + 1));
        if (auto e = CheckPackedText(bytes, t + 2, 27); !e.empty()) return e;
        if (Cell(bytes, t + 11) != 0)
            return Format("cell %zu: 0x%06X, expected 0 after the program text", t + 11,
                          Cell(bytes, t + 11));
        if (auto e = CheckPackedText(bytes, t + 12, 21); !e.empty()) return e;
        if (Cell(bytes, t + 19) != 0)
            return Format("cell %zu: 0x%06X, expected 0 after the version text", t + 19,
                          Cell(bytes, t + 19));
    } else {
        // Last 21 words: the bit-pattern table and two zero words.
        static constexpr std::array<std::uint32_t, 21> kTable{
            0xFFFFFF, 0xAAAAAA, 0x555555, 0x808080, 0x404040, 0x202020, 0x101010,
            0x080808, 0x040404, 0x020202, 0x010101, 0x7F7F7F, 0xBFBFBF, 0xDFDFDF,
            0xEFEFEF, 0xF7F7F7, 0xFBFBFB, 0xFDFDFD, 0xFEFEFE, 0x000000, 0x000000};
        const std::size_t t = cells - kTable.size();
        for (std::size_t i = 0; i < kTable.size(); ++i) {
            if (Cell(bytes, t + i) != kTable[i])
                return Format("cell %zu: 0x%06X, expected 0x%06X (bit-pattern table)", t + i,
                              Cell(bytes, t + i), kTable[i]);
        }
    }
    return {};
}

// ---------------------------------------------------------------- KPCI data

std::string CheckKpci(Bytes bytes) {
    if (auto e = CheckSize(bytes, 86370); !e.empty()) return e;
    std::size_t offset = 0;
    std::size_t groups = 0;
    int record = 0;
    unsigned lastType = 0;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < 6)
            return Format("record %d at byte %zu: header and address run past the end of the data",
                          record, offset);
        const unsigned type = bytes[offset];
        const std::size_t n = static_cast<std::size_t>(bytes[offset + 1]) << 8 | bytes[offset + 2];
        const unsigned address = static_cast<unsigned>(bytes[offset + 3]) << 16 |
                                 static_cast<unsigned>(bytes[offset + 4]) << 8 | bytes[offset + 5];
        if (type != 0x20 && type != 0x60 && type != 0xA0 && type != 0xE0)
            return Format("record %d at byte %zu: unknown type code 0x%02X", record, offset, type);
        const std::size_t end = offset + 6 + 3 * n;
        if (end > bytes.size())
            return Format("record %d at byte %zu: %zu data words run past the end of the data",
                          record, offset, n);
        if (type == 0xE0) {
            if (end != bytes.size())
                return Format("record %d at byte %zu: closing record (type 0xE0) before the end "
                              "of the data",
                              record, offset);
            if (n != 0 || address != 0x100)
                return Format("record %d at byte %zu: closing record has n = %zu and address "
                              "0x%06X, expected n = 0 and 0x000100",
                              record, offset, n, address);
        }
        groups += 2 + n;
        lastType = type;
        offset = end;
        ++record;
    }
    if (lastType != 0xE0)
        return Format("last record (%d) has type 0x%02X, expected the closing type 0xE0",
                      record - 1, lastType);
    if (groups != 28790) return Format("records hold %zu groups, expected 28790", groups);
    return {};
}

// ---------------------------------------------------------------- Intel-HEX text

int HexDigit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string CheckHex(Bytes text) {
    if (auto e = CheckSize(text, 10053); !e.empty()) return e;
    std::vector<bool> loaded(0x10000, false);
    std::size_t pos = 0;
    int line = 1;
    bool sawEnd = false;
    for (; pos < text.size(); ++line) {
        if (text[pos] != ':') return Format("line %d: does not start with ':'", line);
        if (text.size() - pos < 13)
            return Format("line %d: shorter than the 13 characters of a record", line);
        for (std::size_t i = 1; i < 11; ++i) {
            if (HexDigit(text[pos + i]) < 0)
                return Format("line %d: column %zu: character 0x%02X is not a hexadecimal digit",
                              line, i + 1, text[pos + i]);
        }
        auto byteAt = [&](std::size_t i) {
            return static_cast<unsigned>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1]));
        };
        const unsigned count = byteAt(pos + 1);
        const std::size_t length = 13 + 2 * static_cast<std::size_t>(count);
        if (length > text.size() - pos)
            return Format("line %d: a record of %u data bytes needs %zu characters, text ends "
                          "after %zu",
                          line, count, length, text.size() - pos);
        for (std::size_t i = 11; i < length - 2; ++i) {
            if (HexDigit(text[pos + i]) < 0)
                return Format("line %d: column %zu: character 0x%02X is not a hexadecimal digit",
                              line, i + 1, text[pos + i]);
        }
        if (text[pos + length - 2] != '\r' || text[pos + length - 1] != '\n')
            return Format("line %d: does not end in CR LF after 13 + 2 x %u characters", line,
                          count);
        unsigned sum = 0;
        for (std::size_t i = pos + 1; i < pos + length - 4; i += 2)
            sum += byteAt(i);
        const unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
        const unsigned checksum = byteAt(pos + length - 4);
        if (checksum != expected)
            return Format("line %d: checksum 0x%02X, expected 0x%02X", line, checksum, expected);
        const unsigned address = byteAt(pos + 3) << 8 | byteAt(pos + 5);
        const unsigned type = byteAt(pos + 7);
        if (type == 0x01) {
            if (count != 0 || address != 0)
                return Format("line %d: end-of-file record must be ':00000001FF'", line);
            if (pos + length != text.size())
                return Format("line %d: end-of-file record before the end of the text", line);
            sawEnd = true;
        } else if (type == 0x00) {
            if (count < 1 || count > 16)
                return Format("line %d: data record with %u data bytes, expected 1 to 16", line,
                              count);
            if (address + count > 0x10000)
                return Format("line %d: data record at 0x%04X runs past address 0xFFFF", line,
                              address);
            for (unsigned a = address; a < address + count; ++a) {
                if (loaded[a])
                    return Format("line %d: address 0x%04X is loaded a second time", line, a);
                loaded[a] = true;
            }
        } else {
            return Format("line %d: record type 0x%02X, only 00 (data) and 01 (end) allowed", line,
                          type);
        }
        pos += length;
    }
    if (!sawEnd) return "no end-of-file record ':00000001FF' as the last line";
    return {};
}

// ---------------------------------------------------------------- EEPROM boot image

std::string CheckEeprom(Bytes bytes) {
    if (auto e = CheckSize(bytes, 3818); !e.empty()) return e;
    static constexpr std::array<std::uint8_t, 8> kHeader{0xC2, 0x47, 0x05, 0x31,
                                                         0x21, 0x00, 0x00, 0x04};
    if (auto e = CheckPrefix(bytes, kHeader); !e.empty()) return e + " (0xC2 header)";
    std::size_t offset = 8;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < 4)
            return Format("record at byte %zu: length word and address run past the end of the "
                          "image",
                          offset);
        const unsigned word = static_cast<unsigned>(bytes[offset]) << 8 | bytes[offset + 1];
        const unsigned address = static_cast<unsigned>(bytes[offset + 2]) << 8 | bytes[offset + 3];
        const std::size_t count = word & 0x3FF;
        const bool last = (word & 0x8000) != 0;
        if ((word & 0x7C00) != 0)
            return Format("record at byte %zu: length word 0x%04X has reserved bits 10-14 set",
                          offset, word);
        const std::size_t end = offset + 4 + count;
        if (end > bytes.size())
            return Format("record at byte %zu: %zu bytes run past the end of the image (%zu "
                          "bytes)",
                          offset, count, bytes.size());
        if (address + count > 0x10000)
            return Format("record at byte %zu: %zu bytes at 0x%04X run past address 0xFFFF", offset,
                          count, address);
        if (last) {
            if (end != bytes.size())
                return Format("record at byte %zu: last record (bit 15 set) ends at byte %zu, "
                              "expected the image's last byte %zu",
                              offset, end - 1, bytes.size() - 1);
            if (count != 1 || address != 0xE600 || bytes[offset + 4] != 0x00)
                return Format("record at byte %zu: last record must write 0x00 to 0xE600 (CPU "
                              "control register)",
                              offset);
            return {};
        }
        offset = end;
    }
    return "no last record (bit 15 set in its length word) before the end of the image";
}

} // namespace

std::span<const ImageFile> ImageFiles() {
    return kImageFiles;
}

const ImageFile& ImageFileFor(ImageKind kind) {
    return ImageFileOf(kind);
}

std::string CheckImage(ImageKind kind, std::span<const std::uint8_t> bytes) {
    switch (kind) {
    case ImageKind::RbfRev11:
    case ImageKind::RbfRev12:
    case ImageKind::RbfRev13:
        return CheckRbf(kind, bytes);
    case ImageKind::FlashProgram:
    case ImageKind::BootProgram:
        return CheckDsp(kind, bytes);
    case ImageKind::Kpci:
        return CheckKpci(bytes);
    case ImageKind::RamFirmwareHex:
        return CheckHex(bytes);
    case ImageKind::EepromBoot:
        return CheckEeprom(bytes);
    }
    return "unknown image kind";
}

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string CheckImageFile(const std::string& folder, const ImageFile& file,
                           std::vector<std::uint8_t>* contents) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
    path += file.fileName;
    std::vector<std::uint8_t> bytes;
    if (!ReadFileBytes(path, bytes)) return path + ": cannot be read";
    if (auto e = CheckImage(file.kind, bytes); !e.empty()) return path + ": " + e;
    if (contents) *contents = std::move(bytes);
    return {};
}

} // namespace flashwell::images
