#include "imagegen/imagegen.h"

#include "boarddata/images/image_check.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <span>
#include <stdexcept>

namespace flashwell::imagegen {
namespace {

using images::ImageKind;

// splitmix64: a fixed, portable pseudo-random sequence (no library distributions, whose output
// may differ between standard libraries).
class Prng {
public:
    explicit Prng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Next() >> 56); }
    std::uint32_t Word24() { return static_cast<std::uint32_t>(Next() >> 40); }
    // A value in [0, n), n > 0 (the tiny modulo bias is irrelevant here).
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }

private:
    std::uint64_t state_;
};

// One seed per image, so that no two bodies share a byte sequence.
constexpr std::uint64_t kSeedRbf11 = 0x466C617368524231ull;
constexpr std::uint64_t kSeedRbf12 = 0x466C617368524232ull;
constexpr std::uint64_t kSeedRbf13 = 0x466C617368524233ull;
constexpr std::uint64_t kSeedFlashProgram = 0x466C617368445350ull;
constexpr std::uint64_t kSeedBootProgram = 0x426F6F7444535030ull;
constexpr std::uint64_t kSeedKpci = 0x4B50434944415441ull;
constexpr std::uint64_t kSeedRamFirmware = 0x52414D4649524D57ull;
constexpr std::uint64_t kSeedEeprom = 0x45455052424F4F54ull;

void Require(bool condition, const char* what) {
    if (!condition) throw std::logic_error(what);
}

// ---------------------------------------------------------------- RBF images

std::vector<std::uint8_t> MakeRbf(ImageKind kind, std::uint64_t seed) {
    std::vector<std::uint8_t> prefix;
    if (kind == ImageKind::RbfRev11) {
        prefix = {0xFF, 0xFF, 0x62, 0xFF, 0x39, 0x00};
        prefix.insert(prefix.end(), 10, 0xFF); // "then 0xFF bytes"
    } else {
        const std::array<std::uint8_t, 9> pattern =
            kind == ImageKind::RbfRev12
                ? std::array<std::uint8_t, 9>{0x6A, 0xD6, 0xFF, 0x40, 0x00, 0x18, 0x52, 0x05, 0x00}
                : std::array<std::uint8_t, 9>{0x6A, 0xDE, 0xFF, 0x7F, 0x00, 0xE8, 0xE6, 0x05, 0x00};
        prefix.assign(16, 0xFF);
        for (int i = 0; i < 3; ++i)
            prefix.insert(prefix.end(), pattern.begin(), pattern.end());
    }
    std::vector<std::uint8_t> bytes(images::ImageFileFor(kind).size);
    std::copy(prefix.begin(), prefix.end(), bytes.begin());
    Prng prng(seed);
    for (std::size_t i = prefix.size(); i < bytes.size(); ++i)
        bytes[i] = prng.Byte();
    return bytes;
}

// ---------------------------------------------------------------- DSP images

// Packs text three characters per 24-bit word, first character in bits 23-16, into `words`
// words (missing characters are 0).
std::vector<std::uint32_t> PackText(std::string_view text, std::size_t words) {
    Require(text.size() <= 3 * words, "text too long for its words");
    std::vector<std::uint32_t> out(words, 0);
    for (std::size_t i = 0; i < text.size(); ++i)
        out[i / 3] |= static_cast<std::uint32_t>(static_cast<unsigned char>(text[i]))
                      << (16 - 8 * (i % 3));
    return out;
}

std::vector<std::uint8_t> CellsToBytes(const std::vector<std::uint32_t>& cells) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(cells.size() * 4);
    for (std::uint32_t c : cells) {
        Require(c <= 0xFFFFFF, "DSP word beyond 24 bits");
        for (int b = 0; b < 4; ++b)
            bytes.push_back(static_cast<std::uint8_t>(c >> (8 * b)));
    }
    return bytes;
}

// Flash-access program: 2260 words at 0x100-0x9D3; the last 20 words are 4, 4, the program's
// name text (27 characters, 9 words), 0, its version text (21 characters, 7 words), 0.
std::vector<std::uint8_t> MakeFlashProgram() {
    constexpr std::size_t kCells = 2262;
    std::vector<std::uint32_t> cells(kCells);
    cells[0] = kCells - 2;
    cells[1] = 0x100;
    Prng prng(kSeedFlashProgram);
    const std::size_t tail = kCells - 20; // cell of program address 0x9C0
    for (std::size_t i = 2; i < tail; ++i)
        cells[i] = prng.Word24();
    Require(kFlashProgramNameText.size() == 27 && kFlashProgramVersionText.size() == 21,
            "flash program text lengths");
    std::vector<std::uint32_t> t{4, 4};
    for (auto w : PackText(kFlashProgramNameText, 9))
        t.push_back(w);
    t.push_back(0);
    for (auto w : PackText(kFlashProgramVersionText, 7))
        t.push_back(w);
    t.push_back(0);
    Require(t.size() == 20, "flash program tail");
    std::copy(t.begin(), t.end(), cells.begin() + static_cast<std::ptrdiff_t>(tail));
    return CellsToBytes(cells);
}

// DSP56300 "MOVEP #xxxxxx,X:pp": 0000100s W1MMMRRR 1Spppppp with s = 0 (X peripheral space),
// W = 1 (write to the peripheral), MMMRRR = 110100 (immediate, in the extension word), S = 0,
// pppppp = the low 6 bits of the I/O address X:$FFFFC0-$FFFFFF. The second word is the immediate.
constexpr std::uint32_t MovepImmediateToX(std::uint32_t ioAddress) {
    return 0x08F480u | (ioAddress & 0x3F);
}
constexpr std::uint32_t kAar1 = 0xFFFFF8; // address attribute register 1, X:$FFFFF8
constexpr std::uint32_t kBcr = 0xFFFFFB;  // bus control register, X:$FFFFFB
constexpr std::uint32_t kPctl = 0xFFFFFD; // PLL control register, X:$FFFFFD

// DSP boot program: 3416 words at 0x100-0xE57. It starts with
//   0x100: 08F4B8 D00409   movep #$D00409,x:M_AAR1
//   0x102: 08F4BB 01FFFF   movep #$01FFFF,x:M_BCR
//   0x104: 08F4BD A4001F   movep #$A4001F,x:M_PCTL
// and ends with the bit-pattern table and two zero words (0xE43-0xE57).
std::vector<std::uint8_t> MakeBootProgram() {
    constexpr std::size_t kCells = 3418;
    std::vector<std::uint32_t> cells(kCells);
    cells[0] = kCells - 2;
    cells[1] = 0x100;
    const std::array<std::uint32_t, 6> start{MovepImmediateToX(kAar1), 0xD00409,
                                             MovepImmediateToX(kBcr),  0x01FFFF,
                                             MovepImmediateToX(kPctl), 0xA4001F};
    std::copy(start.begin(), start.end(), cells.begin() + 2);
    static constexpr std::array<std::uint32_t, 21> kTable{
        0xFFFFFF, 0xAAAAAA, 0x555555, 0x808080, 0x404040, 0x202020, 0x101010,
        0x080808, 0x040404, 0x020202, 0x010101, 0x7F7F7F, 0xBFBFBF, 0xDFDFDF,
        0xEFEFEF, 0xF7F7F7, 0xFBFBFB, 0xFDFDFD, 0xFEFEFE, 0x000000, 0x000000};
    const std::size_t tail = kCells - kTable.size();
    Prng prng(kSeedBootProgram);
    for (std::size_t i = 2 + start.size(); i < tail; ++i)
        cells[i] = prng.Word24();
    std::copy(kTable.begin(), kTable.end(), cells.begin() + static_cast<std::ptrdiff_t>(tail));
    return CellsToBytes(cells);
}

// ---------------------------------------------------------------- KPCI data

struct KpciRecord {
    std::uint8_t type;
    std::uint32_t address;
    std::vector<std::uint32_t> words;
};

// 107 records: 10 of type 0x20 (129 words), 14 of type 0x60 (1614 words), 82 of type 0xA0
// (26833 words), and the closing record (0xE0, n = 0, address 0x100).
std::vector<std::uint8_t> MakeKpci() {
    Prng prng(kSeedKpci);
    std::vector<KpciRecord> records;
    auto randomWords = [&prng](std::size_t n) {
        std::vector<std::uint32_t> w(n);
        for (auto& x : w)
            x = prng.Word24();
        return w;
    };
    auto addSeries = [&](std::uint8_t type, std::span<const std::size_t> sizes,
                         std::uint32_t address) {
        for (std::size_t n : sizes) {
            records.push_back({type, address, randomWords(n)});
            address += static_cast<std::uint32_t>(n) + prng.Below(32);
        }
    };
    static constexpr std::array<std::size_t, 10> kX{32, 16, 8, 1, 12, 20, 4, 6, 14, 16};
    static constexpr std::array<std::size_t, 14> kY{256, 256, 128, 64,  200, 100, 50,
                                                    10,  3,   17,  300, 100, 80,  50};
    addSeries(0x20, kX, 0x000000);
    addSeries(0x60, kY, 0x000000);

    // Program records: the first loads at 0x100 and runs up to the name text at 0x67B, followed
    // by the date text at 0x684; then 79 records of pseudo-random sizes.
    records.push_back({0xA0, 0x100, randomWords(0x67B - 0x100)});
    records.push_back({0xA0, 0x67B, PackText(kKpciNameText, 9)});
    records.push_back({0xA0, 0x684, PackText(kKpciDateText, 4)});
    constexpr std::size_t kRest = 26833 - (0x67B - 0x100) - 9 - 4;
    std::array<std::uint32_t, 79> weights{};
    std::uint64_t weightSum = 0;
    for (auto& w : weights)
        weightSum += (w = 200 + prng.Below(200));
    std::array<std::size_t, 79> sizes{};
    std::size_t assigned = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i)
        assigned += sizes[i] = static_cast<std::size_t>(weights[i] * kRest / weightSum);
    for (std::size_t i = 0; assigned < kRest; ++i, ++assigned)
        ++sizes[i];
    std::uint32_t address = 0x688 + 0x10;
    for (std::size_t n : sizes) {
        records.push_back({0xA0, address, randomWords(n)});
        address += static_cast<std::uint32_t>(n) + prng.Below(8);
    }
    records.push_back({0xE0, 0x100, {}});

    std::vector<std::uint8_t> bytes;
    auto put24 = [&bytes](std::uint32_t v) {
        bytes.push_back(static_cast<std::uint8_t>(v >> 16));
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        bytes.push_back(static_cast<std::uint8_t>(v));
    };
    for (const auto& r : records) {
        put24(static_cast<std::uint32_t>(r.type) << 16 |
              static_cast<std::uint32_t>(r.words.size()));
        put24(r.address);
        for (auto w : r.words)
            put24(w);
    }
    Require(records.size() == 107, "KPCI record count");
    Require(bytes.size() == 86370, "KPCI size");
    return bytes;
}

// ---------------------------------------------------------------- EZ-USB firmwares

// The USB descriptors both firmwares carry: device (18 bytes), device qualifier, one
// configuration with one vendor-specific interface and two bulk endpoints (EP2 OUT, EP6 IN),
// string 0 (language 0x0409), string 1 "Havelunde", string 2 "OV4USB".
std::vector<std::uint8_t> UsbDescriptors() {
    std::vector<std::uint8_t> d = {// device
                                   0x12, 0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x40, 0x57, 0x10, 0x01,
                                   0x18, 0x00, 0x01, 0x01, 0x02, 0x00, 0x01,
                                   // device qualifier
                                   0x0A, 0x06, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x40, 0x01, 0x00,
                                   // configuration, interface, endpoints (32 bytes in all)
                                   0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, //
                                   0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00, //
                                   0x07, 0x05, 0x02, 0x02, 0x00, 0x02, 0x00,             //
                                   0x07, 0x05, 0x86, 0x02, 0x00, 0x02, 0x00,             //
                                                                             // string 0: languages
                                   0x04, 0x03, 0x09, 0x04};
    for (std::string_view s : {std::string_view("Havelunde"), std::string_view("OV4USB")}) {
        d.push_back(static_cast<std::uint8_t>(2 + 2 * s.size()));
        d.push_back(0x03);
        for (char c : s) {
            d.push_back(static_cast<std::uint8_t>(c));
            d.push_back(0x00);
        }
    }
    return d;
}

void PutLjmp(std::vector<std::uint8_t>& memory, std::size_t at, std::uint16_t target) {
    memory[at] = 0x02; // 8051 LJMP addr16
    memory[at + 1] = static_cast<std::uint8_t>(target >> 8);
    memory[at + 2] = static_cast<std::uint8_t>(target);
}

struct Segment {
    std::uint16_t start;
    std::uint16_t length;
};

// The address ranges the RAM firmware loads, in address order: 33 runs, 3343 bytes within
// 0x0000-0x0D82, every two separated by at least one unloaded byte (so a run is the same thing
// whatever the text order).
constexpr std::array<Segment, 33> kHexSegments{{
    {0x0000, 3},   {0x000A, 93},  {0x006C, 107}, {0x00D8, 112}, {0x0158, 338}, {0x02AB, 197},
    {0x0371, 110}, {0x03E1, 20},  {0x03F8, 183}, {0x04B1, 123}, {0x052E, 87},  {0x0586, 47},
    {0x05BB, 88},  {0x0616, 100}, {0x067D, 152}, {0x0717, 96},  {0x0778, 27},  {0x0796, 282},
    {0x08B7, 20},  {0x08CD, 49},  {0x0900, 12},  {0x090D, 90},  {0x0968, 159}, {0x0A08, 52},
    {0x0A44, 24},  {0x0A5F, 122}, {0x0ADE, 59},  {0x0B21, 50},  {0x0B54, 60},  {0x0B94, 98},
    {0x0BFB, 22},  {0x0C16, 15},  {0x0C29, 346},
}};
constexpr std::uint16_t kHexDescriptorAddress = 0x0C40; // inside the last segment, even
constexpr std::size_t kHexDataRecords = 258;

void AppendHexRecord(std::string& text, std::uint8_t type, std::uint16_t address,
                     std::span<const std::uint8_t> data) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    unsigned sum = 0;
    auto put = [&](std::uint8_t b) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
        sum += b;
    };
    text += ':';
    put(static_cast<std::uint8_t>(data.size()));
    put(static_cast<std::uint8_t>(address >> 8));
    put(static_cast<std::uint8_t>(address));
    put(type);
    for (auto b : data)
        put(b);
    put(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
    text += "\r\n";
}

// RAM firmware: 258 data records of 1-16 bytes in 33 runs, then the end record. The first run
// is 0x08CD (16, 16, 16 and 1 bytes), the second starts at 0x0778; the others follow in a
// shuffled order. Within a run, 34 of the 16-byte records are split in two so that the record
// count is 258.
std::vector<std::uint8_t> MakeRamFirmwareHex() {
    Prng prng(kSeedRamFirmware);
    std::vector<std::uint8_t> memory(0x0D83);
    for (auto& b : memory)
        b = prng.Byte();
    PutLjmp(memory, 0x0000, 0x0158);
    const auto descriptors = UsbDescriptors();
    std::copy(descriptors.begin(), descriptors.end(), memory.begin() + kHexDescriptorAddress);

    // Record sizes per segment: 16-byte records and a shorter last one.
    std::vector<std::vector<std::uint16_t>> sizes(kHexSegments.size());
    std::size_t recordCount = 0;
    for (std::size_t s = 0; s < kHexSegments.size(); ++s) {
        for (unsigned left = kHexSegments[s].length; left > 0;) {
            const unsigned n = std::min(left, 16u);
            sizes[s].push_back(static_cast<std::uint16_t>(n));
            left -= n;
            ++recordCount;
        }
    }
    const std::size_t firstRun = 19; // segment 0x08CD keeps its 16, 16, 16, 1
    Require(kHexSegments[firstRun].start == 0x08CD, "first run segment");
    while (recordCount < kHexDataRecords) {
        const std::size_t s = prng.Below(static_cast<std::uint32_t>(kHexSegments.size()));
        if (s == firstRun) continue;
        auto& list = sizes[s];
        const std::size_t r = prng.Below(static_cast<std::uint32_t>(list.size()));
        if (list[r] != 16) continue;
        const auto k = static_cast<std::uint16_t>(1 + prng.Below(15));
        list[r] = k;
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(r) + 1,
                    static_cast<std::uint16_t>(16 - k));
        ++recordCount;
    }

    // Text order of the segments.
    std::vector<std::size_t> order;
    for (std::size_t s = 0; s < kHexSegments.size(); ++s) {
        if (s != firstRun && kHexSegments[s].start != 0x0778) order.push_back(s);
    }
    for (std::size_t i = order.size() - 1; i > 0; --i)
        std::swap(order[i], order[prng.Below(static_cast<std::uint32_t>(i + 1))]);
    order.insert(order.begin(), {firstRun, 16});
    Require(kHexSegments[16].start == 0x0778, "second run segment");

    std::string text;
    for (std::size_t s : order) {
        unsigned address = kHexSegments[s].start;
        for (auto n : sizes[s]) {
            AppendHexRecord(text, 0x00, static_cast<std::uint16_t>(address),
                            std::span<const std::uint8_t>(memory).subspan(address, n));
            address += n;
        }
    }
    AppendHexRecord(text, 0x01, 0, {});
    Require(text.size() == 10053, "HEX text length");
    return {text.begin(), text.end()};
}

// EEPROM boot image: header C2 47 05 31 21 00 00 04, six 3-byte records (LJMP at the reset
// vector and five interrupt vectors), records of 1023, 1023, 1023 and 678 bytes covering
// 0x0080-0x0F22, and last the record 80 01 E6 00 00 that releases the CPU.
std::vector<std::uint8_t> MakeEepromBoot() {
    Prng prng(kSeedEeprom);
    std::vector<std::uint8_t> memory(0x0F23);
    for (auto& b : memory)
        b = prng.Byte();
    struct Vector {
        std::uint16_t at;
        std::uint16_t target;
    };
    static constexpr std::array<Vector, 6> kVectors{{{0x0000, 0x0080},
                                                     {0x000B, 0x0D10},
                                                     {0x001B, 0x0D40},
                                                     {0x0033, 0x0D70},
                                                     {0x0043, 0x0DA0},
                                                     {0x0053, 0x0DD0}}};
    for (auto v : kVectors)
        PutLjmp(memory, v.at, v.target);
    const auto descriptors = UsbDescriptors();
    constexpr std::size_t kDescriptorAddress = 0x0E00; // inside the 678-byte record
    std::copy(descriptors.begin(), descriptors.end(), memory.begin() + kDescriptorAddress);

    std::vector<std::uint8_t> image{0xC2, 0x47, 0x05, 0x31, 0x21, 0x00, 0x00, 0x04};
    auto record = [&image](std::uint16_t lengthWord, std::uint16_t address,
                           std::span<const std::uint8_t> data) {
        image.push_back(static_cast<std::uint8_t>(lengthWord >> 8));
        image.push_back(static_cast<std::uint8_t>(lengthWord));
        image.push_back(static_cast<std::uint8_t>(address >> 8));
        image.push_back(static_cast<std::uint8_t>(address));
        image.insert(image.end(), data.begin(), data.end());
    };
    const std::span<const std::uint8_t> mem(memory);
    for (auto v : kVectors)
        record(3, v.at, mem.subspan(v.at, 3));
    static constexpr std::array<Segment, 4> kBlocks{
        {{0x0080, 1023}, {0x047F, 1023}, {0x087E, 1023}, {0x0C7D, 678}}};
    for (auto b : kBlocks)
        record(b.length, b.start, mem.subspan(b.start, b.length));
    const std::array<std::uint8_t, 1> release{0x00};
    record(0x8001, 0xE600, release);
    Require(image.size() == 3818, "EEPROM image size");
    return image;
}

} // namespace

std::vector<GeneratedFile> GenerateImages() {
    std::vector<GeneratedFile> files;
    for (const auto& f : images::ImageFiles()) {
        std::vector<std::uint8_t> bytes;
        switch (f.kind) {
        case ImageKind::RbfRev11:
            bytes = MakeRbf(f.kind, kSeedRbf11);
            break;
        case ImageKind::RbfRev12:
            bytes = MakeRbf(f.kind, kSeedRbf12);
            break;
        case ImageKind::RbfRev13:
            bytes = MakeRbf(f.kind, kSeedRbf13);
            break;
        case ImageKind::FlashProgram:
            bytes = MakeFlashProgram();
            break;
        case ImageKind::BootProgram:
            bytes = MakeBootProgram();
            break;
        case ImageKind::Kpci:
            bytes = MakeKpci();
            break;
        case ImageKind::RamFirmwareHex:
            bytes = MakeRamFirmwareHex();
            break;
        case ImageKind::EepromBoot:
            bytes = MakeEepromBoot();
            break;
        }
        Require(bytes.size() == f.size, "generated image size");
        files.push_back({std::string(f.fileName), std::move(bytes)});
    }
    return files;
}

std::string WriteImages(const std::string& folder) {
    std::vector<GeneratedFile> files;
    try {
        files = GenerateImages();
    } catch (const std::exception& e) {
        return std::string("generator inconsistency: ") + e.what();
    }
    for (const auto& f : files) {
        const std::string path = folder + "/" + f.fileName;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(f.bytes.data()),
                  static_cast<std::streamsize>(f.bytes.size()));
        if (!out) return path + ": cannot be written";
    }
    return {};
}

} // namespace flashwell::imagegen
