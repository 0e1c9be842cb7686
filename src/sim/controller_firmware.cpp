#include "sim/controller_firmware.h"

#include <array>

#include <algorithm>
#include <iterator>

namespace flashwell::sim {

BoardFirmware::BoardFirmware(std::array<std::uint8_t, 3> version, FirmwareEnvironment& environment)
    : version_(version), env_(&environment) {}

void BoardFirmware::QueueWord(std::uint32_t word) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
        static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 24)};
    answers_.append(std::begin(bytes), std::end(bytes));
}

std::uint32_t BoardFirmware::VersionNumber() const {
    return std::uint32_t{version_[0]} << 16 | std::uint32_t{version_[1]} << 8 | version_[2];
}

void BoardFirmware::Reject(std::span<const std::uint8_t> bytes, std::size_t from) {
    rejected_.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
}

void BoardFirmware::OnPipeWrite(std::span<const std::uint8_t> bytes) {
    const std::size_t size = bytes.size();
    if (awaitingAnswerRequest_) {
        awaitingAnswerRequest_ = false;
        const bool answerRequest = size == 4 && bytes[0] == 0x07;
        if (!answerRequest) return Reject(bytes, 0);
    }
    const std::size_t endpoint = env_->HighSpeed() ? kHighSpeedPacket : kFullSpeedPacket;
    if (size > endpoint) return Reject(bytes, 0);
    // Beyond 64 bytes only a single word write fits the firmware's buffers.
    if (size > kCombinedPacketLimit &&
        (bytes[0] != 0x06 || size != 4 + 4 * static_cast<std::size_t>(bytes[2] << 8 | bytes[3])))
        return Reject(bytes, 0);
    const bool combined = VersionNumber() >= kCombinedPacketsFrom;

    std::size_t pos = 0;
    std::size_t parts = 0;
    bool hostCommand = false;
    while (pos < size) {
        if (parts > 0 && !combined) return Reject(bytes, pos);
        ++parts;
        const std::uint8_t op = bytes[pos];
        const std::size_t left = size - pos;
        std::size_t used = 0;
        switch (op) {
        case 0xFF:
            answers_.push_back(env_->HighSpeed() ? 0x80 : 0x00);
            used = 1;
            break;
        case 0x10:
            answers_.append(version_.begin(), version_.end());
            used = 1;
            break;
        case 0x02:
            if (left < 3) return Reject(bytes, pos);
            env_->Dsp().WriteRegister(bytes[pos + 1], bytes[pos + 2]);
            if (bytes[pos + 1] == DspHostInterface::kCommandVectorRegister &&
                (bytes[pos + 2] & 0x80) != 0)
                hostCommand = true;
            used = 3;
            break;
        case 0x06: {
            if (left < 4 || bytes[pos + 1] != DspHostInterface::kDataPort)
                return Reject(bytes, pos);
            const std::size_t count =
                static_cast<std::size_t>(bytes[pos + 2] << 8 | bytes[pos + 3]);
            const std::size_t payload = left - 4;
            std::size_t perWord = 4;
            if (payload < 4 * count) {
                // Only a write of one word on its own may carry three bytes.
                if (count != 1 || pos != 0 || payload != 3) return Reject(bytes, pos);
                perWord = 3;
            }
            // At most one packet's worth: the size checks above bound the count.
            std::array<std::uint32_t, kHighSpeedPacket / 3> words{};
            for (std::size_t w = 0; w < count; ++w) {
                const std::uint8_t* p = bytes.data() + pos + 4 + w * perWord;
                std::uint32_t v = 0;
                for (std::size_t b = 0; b < perWord; ++b)
                    v |= static_cast<std::uint32_t>(p[b]) << (8 * b);
                words[w] = v;
            }
            env_->Dsp().HostWrite(std::span(words).first(count));
            used = 4 + perWord * count;
            break;
        }
        case 0x07: {
            if (left < 4 || bytes[pos + 1] != DspHostInterface::kDataPort)
                return Reject(bytes, pos);
            const std::size_t count =
                static_cast<std::size_t>(bytes[pos + 2] << 8 | bytes[pos + 3]);
            if (count > kReadRequestLimit) return Reject(bytes, pos);
            // An answer that comes only when the work is done holds the read until then.
            if (const auto due = env_->Dsp().AnswerDueAt()) env_->WaitUntil(*due);
            for (std::size_t w = 0; w < count; ++w) {
                const auto word = env_->Dsp().HostRead();
                if (!word) ++missingWords_;
                if (count == 1 && word && hostCommand && env_->Dsp().LastReadWasCount())
                    awaitingAnswerRequest_ = true;
                QueueWord(word.value_or(kMissingWord));
            }
            used = 4;
            break;
        }
        case 0x55:
            if (left < 4) return Reject(bytes, pos);
            env_->EepromWrite(static_cast<std::uint16_t>(bytes[pos + 1] << 8 | bytes[pos + 2]),
                              bytes[pos + 3]);
            used = 4;
            break;
        case 0x56: {
            if (left < 3) return Reject(bytes, pos);
            const auto value =
                env_->EepromRead(static_cast<std::uint16_t>(bytes[pos + 1] << 8 | bytes[pos + 2]));
            if (value) answers_.push_back(*value);
            used = 3;
            break;
        }
        default:
            return Reject(bytes, pos);
        }
        pos += used;
        // Parts of a combined write start on 4-byte boundaries; the gap is zero.
        if (pos < size) {
            const std::size_t next = std::min(size, (pos + 3) & ~std::size_t{3});
            for (; pos < next; ++pos)
                if (bytes[pos] != 0) return Reject(bytes, pos);
        }
    }
}

std::size_t BoardFirmware::OnPipeRead(std::span<std::uint8_t> buffer) {
    return answers_.take(buffer);
}

bool BoardFirmware::WriteHostRegister(std::uint8_t reg, std::uint8_t value) {
    if (awaitingAnswerRequest_) {
        // Still waiting for an answer request: the register write is lost.
        awaitingAnswerRequest_ = false;
        rejected_.push_back({0x02, reg, value});
        return true;
    }
    env_->Dsp().WriteRegister(reg, value);
    return true;
}

} // namespace flashwell::sim
