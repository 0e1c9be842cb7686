// Reading Intel-HEX text as the RAM download needs it: record headers by position, and runs of
// records whose addresses follow on one another. Nothing here reads beyond the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace flashwell::protocol::hex {

// Colon, count, address, type, checksum and CR LF around the data of every record.
inline constexpr std::size_t kEndRecordLength = 13;

// The value of the n hexadecimal characters at pos; 0 when they are not all hexadecimal
// digits or do not lie inside the text.
std::uint32_t ParseHexField(std::string_view text, std::size_t pos, std::size_t n);

struct Run {
    std::size_t length = 0; // data bytes
    std::uint32_t address = 0;
    std::size_t records = 0;
};

// The run starting with the record at pos. Only records that lie wholly inside the text take
// part; a record that does not ends the text (length 0).
Run FindRun(std::string_view text, std::size_t pos);
std::vector<std::uint8_t> FillRun(std::string_view text, std::size_t pos, const Run& run);

} // namespace flashwell::protocol::hex
