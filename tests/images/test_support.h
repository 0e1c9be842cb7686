// Helpers of the image tests: an Intel-HEX parser of the tests' own (independent of any
// production parser), temporary folders, file and process helpers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace flashwell::images::test {

struct HexRecord {
    std::size_t line = 0;   // 1-based line number
    std::size_t offset = 0; // offset of the ':' in the text
    std::size_t length = 0; // characters of the line including CR LF
    unsigned count = 0;
    unsigned address = 0;
    unsigned type = 0;
    unsigned checksum = 0;
    std::vector<std::uint8_t> data;
    bool checksumOk = false;
};

inline int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Splits the text at CR LF and parses every line. Returns nothing when a line is malformed.
inline std::optional<std::vector<HexRecord>> ParseHexText(std::string_view text) {
    std::vector<HexRecord> records;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto eol = text.find("\r\n", pos);
        if (eol == std::string_view::npos) return std::nullopt;
        const std::string_view line = text.substr(pos, eol - pos);
        if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0) return std::nullopt;
        std::vector<unsigned> bytes;
        for (std::size_t i = 1; i < line.size(); i += 2) {
            const int hi = HexValue(line[i]), lo = HexValue(line[i + 1]);
            if (hi < 0 || lo < 0) return std::nullopt;
            bytes.push_back(static_cast<unsigned>(hi * 16 + lo));
        }
        HexRecord r;
        r.line = records.size() + 1;
        r.offset = pos;
        r.length = line.size() + 2;
        r.count = bytes[0];
        r.address = bytes[1] << 8 | bytes[2];
        r.type = bytes[3];
        if (bytes.size() != r.count + 5u) return std::nullopt;
        for (unsigned i = 0; i < r.count; ++i)
            r.data.push_back(static_cast<std::uint8_t>(bytes[4 + i]));
        r.checksum = bytes.back();
        unsigned sum = 0;
        for (unsigned b : bytes)
            sum += b;
        r.checksumOk = (sum & 0xFF) == 0;
        records.push_back(std::move(r));
        pos = eol + 2;
    }
    return records;
}

// A folder below the system's temporary folder, removed with its contents at destruction.
class TempDir {
public:
    explicit TempDir(const std::string& name) {
        path_ = std::filesystem::temp_directory_path() /
                ("flashwell-images-" + name + "-" + std::to_string(::getpid()) + "-" +
                 std::to_string(Counter()++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    static int& Counter() {
        static int counter = 0;
        return counter;
    }
    std::filesystem::path path_;
};

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::filesystem::path& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Runs a shell command; returns its exit status (-1 when it did not exit normally).
int RunCommand(const std::string& command);

// Finds `pattern` in `memory`; returns its offset or -1.
inline long Find(const std::vector<std::uint8_t>& memory,
                 const std::vector<std::uint8_t>& pattern) {
    if (pattern.empty() || memory.size() < pattern.size()) return -1;
    for (std::size_t i = 0; i + pattern.size() <= memory.size(); ++i) {
        if (std::equal(pattern.begin(), pattern.end(), memory.begin() + static_cast<long>(i)))
            return static_cast<long>(i);
    }
    return -1;
}

// A USB string descriptor for an ASCII text: bLength, 0x03, UTF-16LE.
inline std::vector<std::uint8_t> StringDescriptor(std::string_view text) {
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

// Unpacks a text stored three characters per 24-bit word, first character in bits 23-16;
// stops at the first NUL.
inline std::string UnpackText(const std::vector<std::uint32_t>& words) {
    std::string text;
    for (auto w : words) {
        for (int shift = 16; shift >= 0; shift -= 8) {
            const char c = static_cast<char>((w >> shift) & 0xFF);
            if (c == 0) return text;
            text += c;
        }
    }
    return text;
}

} // namespace flashwell::images::test
