// Byte order on the pipes: words travel least significant byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace flashwell::platform::wire {

inline void PutLE32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t GetLE32(const std::uint8_t* at) {
    return std::uint32_t{at[0]} | (std::uint32_t{at[1]} << 8) | (std::uint32_t{at[2]} << 16) |
           (std::uint32_t{at[3]} << 24);
}

inline void AppendLE32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline void BytesToWords(const std::uint8_t* bytes, std::uint32_t* words, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        words[i] = GetLE32(bytes + 4 * i);
}

} // namespace flashwell::platform::wire
