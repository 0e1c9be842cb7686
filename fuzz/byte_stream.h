// Reads a fuzz input front to back. Past the end every read yields 0, so a harness can decode
// without checking lengths and still tell (Empty) when the input has been used up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace flashwell::fuzz {

class ByteStream {
public:
    explicit ByteStream(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool Empty() const { return pos_ >= bytes_.size(); }
    std::size_t Remaining() const { return Empty() ? 0 : bytes_.size() - pos_; }

    std::uint8_t Byte() { return Empty() ? 0 : bytes_[pos_++]; }
    std::uint16_t Le16() {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | Byte() << 8);
    }
    std::uint32_t Le32() {
        const std::uint32_t low = Le16();
        return low | static_cast<std::uint32_t>(Le16()) << 16;
    }
    // Everything not read yet.
    std::span<const std::uint8_t> Rest() const {
        return Empty() ? std::span<const std::uint8_t>() : bytes_.subspan(pos_);
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

} // namespace flashwell::fuzz
