#include "protocol/hex_text.h"

namespace flashwell::protocol::hex {

namespace {

int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

struct Header {
    std::size_t count;
    std::uint32_t address;
};

bool RecordAt(std::string_view text, std::size_t pos, Header& header) {
    if (pos > text.size() || text.size() - pos < kEndRecordLength) return false;
    header.count = ParseHexField(text, pos + 1, 2);
    header.address = ParseHexField(text, pos + 3, 4);
    return text.size() - pos >= kEndRecordLength + 2 * header.count;
}

} // namespace

std::uint32_t ParseHexField(std::string_view text, std::size_t pos, std::size_t n) {
    if (pos > text.size() || text.size() - pos < n || n > 8) return 0;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int d = Digit(text[pos + i]);
        if (d < 0) return 0;
        value = (value << 4) | static_cast<std::uint32_t>(d);
    }
    return value;
}

Run FindRun(std::string_view text, std::size_t pos) {
    Run run;
    Header first{};
    if (!RecordAt(text, pos, first)) return run;
    run.length = first.count;
    run.address = first.address;
    run.records = 1;
    std::size_t next = pos + kEndRecordLength + 2 * first.count;
    Header h{};
    // A record at address 0 may start a run but never continues one.
    while (RecordAt(text, next, h) && h.address != 0 && h.address == run.address + run.length) {
        run.length += h.count;
        ++run.records;
        next += kEndRecordLength + 2 * h.count;
    }
    return run;
}

std::vector<std::uint8_t> FillRun(std::string_view text, std::size_t pos, const Run& run) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(run.length);
    Header h{};
    while (bytes.size() < run.length && RecordAt(text, pos, h)) {
        for (std::size_t i = 0; i < h.count && bytes.size() < run.length; ++i)
            bytes.push_back(static_cast<std::uint8_t>(ParseHexField(text, pos + 9 + 2 * i, 2)));
        pos += kEndRecordLength + 2 * h.count;
    }
    bytes.resize(run.length, 0);
    return bytes;
}

} // namespace flashwell::protocol::hex
