// The program running in the board's EZ-USB controller: it takes packets from pipe 0, answers
// on pipe 1 and passes words on to the DSP's host interface.
#pragma once

#include "sim/dsp_host_interface.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <typeinfo>
#include <vector>

namespace flashwell::sim {

// What a firmware reaches on the board around the controller.
class FirmwareEnvironment {
public:
    virtual ~FirmwareEnvironment() = default;
    virtual DspHostInterface& Dsp() = 0;
    virtual bool HighSpeed() const = 0;
    virtual void EepromWrite(std::uint16_t address, std::uint8_t data) = 0;
    // Nothing when the EEPROM does not answer.
    virtual std::optional<std::uint8_t> EepromRead(std::uint16_t address) = 0;
    // A read that waits for the DSP's answer lets (virtual) time pass until then.
    virtual void WaitUntil(std::uint64_t /*ms*/) {}
};

class ControllerFirmware {
public:
    virtual ~ControllerFirmware() = default;
    virtual void OnPipeWrite(std::span<const std::uint8_t> bytes) = 0;
    // Copies up to buffer.size() queued answer bytes; returns how many it copied.
    virtual std::size_t OnPipeRead(std::span<std::uint8_t> buffer) = 0;
    // The driver's direct register request; false when this firmware cannot serve it.
    virtual bool WriteHostRegister(std::uint8_t reg, std::uint8_t value) = 0;
    virtual std::size_t PendingAnswerBytes() const = 0;
    // The firmware in its present state, running in `environment` instead; nothing when this
    // firmware cannot be copied (then neither can its board).
    virtual std::unique_ptr<ControllerFirmware>
    CopyFor(FirmwareEnvironment& /*environment*/) const {
        return nullptr;
    }
    // Takes on the state of `other`, running in `environment`, when it is a firmware of the
    // same kind; false (and nothing changed) otherwise. Spares setting a machine back an
    // allocation.
    virtual bool AssignFrom(const ControllerFirmware& /*other*/,
                            FirmwareEnvironment& /*environment*/) {
        return false;
    }
};

// The board firmware proper.
//
// Packets, several of which may lie end to end in one pipe write (each part then starts on a
// 4-byte boundary, so a 3-byte register write is followed by one zero pad byte):
//   0xFF                         -> 1 byte: 0x80 on a high-speed connection, else 0x00
//   0x10                         -> 3 bytes: firmware version
//   0x02 reg value               -> host-interface register write (reg 1 bit 7: host command)
//   0x06 port nH nL words        -> n words into the DSP; 4 bytes per word, or 3 in the
//                                   single-word form of 7 bytes
//   0x07 port nH nL              -> n words from the DSP (at most 15), 4 bytes each, low byte
//                                   first; a word the DSP does not have is delivered as 0x55000000
//   0x55 aH aL data              -> EEPROM byte write
//   0x56 aH aL                   -> 1 byte from the EEPROM, or no answer when it does not answer
//
// What the firmware refuses, dropping the rest of the write (kept in Rejected() for tests):
// - an unknown opcode, a port other than 5, a truncated part or a non-zero pad byte;
// - a write longer than one packet of the bulk endpoint (64 bytes at full speed, 512 at high
//   speed), dropped whole: the firmware takes one endpoint packet per request;
// - a read request for more than 15 words, which its answer buffer cannot hold;
// - more than one part in a write, before version 5.6.7 (only the first part is taken), and a
//   write of several parts longer than 64 bytes from that version on (dropped whole);
// - after a packet of several parts whose answer request delivered an answer count (the DSP
//   marked it so), anything but the lone answer request that fetches the answer: the firmware
//   is still waiting for it and drops that write whole, also when the count was 0.
class BoardFirmware final : public ControllerFirmware {
public:
    static constexpr std::uint32_t kMissingWord = 0x55000000;
    static constexpr std::size_t kFullSpeedPacket = 64;
    static constexpr std::size_t kHighSpeedPacket = 512;
    static constexpr std::size_t kCombinedPacketLimit = 64;
    static constexpr std::size_t kReadRequestLimit = 15;
    static constexpr std::uint32_t kCombinedPacketsFrom = 0x050607;

    BoardFirmware(std::array<std::uint8_t, 3> version, FirmwareEnvironment& environment);

    void OnPipeWrite(std::span<const std::uint8_t> bytes) override;
    std::size_t OnPipeRead(std::span<std::uint8_t> buffer) override;
    bool WriteHostRegister(std::uint8_t reg, std::uint8_t value) override;
    std::size_t PendingAnswerBytes() const override { return answers_.size(); }
    std::unique_ptr<ControllerFirmware> CopyFor(FirmwareEnvironment& environment) const override {
        auto copy = std::make_unique<BoardFirmware>(*this);
        copy->env_ = &environment;
        return copy;
    }
    bool AssignFrom(const ControllerFirmware& other, FirmwareEnvironment& environment) override {
        if (typeid(other) != typeid(BoardFirmware)) return false;
        *this = static_cast<const BoardFirmware&>(other);
        env_ = &environment;
        return true;
    }

    const std::array<std::uint8_t, 3>& Version() const { return version_; }
    // Pipe writes (from the offending part on) the firmware could not make sense of.
    const std::vector<std::vector<std::uint8_t>>& Rejected() const { return rejected_; }
    // Words the firmware had to invent because the DSP had none.
    std::size_t MissingWordsDelivered() const { return missingWords_; }
    // A combined exchange announced an answer count and its answer request has not come yet.
    bool AwaitingAnswerRequest() const { return awaitingAnswerRequest_; }

private:
    void QueueWord(std::uint32_t word);
    void Reject(std::span<const std::uint8_t> bytes, std::size_t from);
    std::uint32_t VersionNumber() const;

    bool awaitingAnswerRequest_ = false;

    std::array<std::uint8_t, 3> version_;
    FirmwareEnvironment* env_;
    Fifo<std::uint8_t> answers_;
    std::vector<std::vector<std::uint8_t>> rejected_;
    std::size_t missingWords_ = 0;
};

// The board firmware behind a wire that a test or the fuzzer tampers with: a derived class
// overrides what it changes (usually OnPipeRead) and asks the firmware itself through Inner().
class WiredBoardFirmware : public ControllerFirmware {
public:
    WiredBoardFirmware(std::array<std::uint8_t, 3> version, FirmwareEnvironment& environment)
        : inner_(version, environment) {}

    void OnPipeWrite(std::span<const std::uint8_t> bytes) override { inner_.OnPipeWrite(bytes); }
    std::size_t OnPipeRead(std::span<std::uint8_t> buffer) override {
        return inner_.OnPipeRead(buffer);
    }
    bool WriteHostRegister(std::uint8_t reg, std::uint8_t value) override {
        return inner_.WriteHostRegister(reg, value);
    }
    std::size_t PendingAnswerBytes() const override { return inner_.PendingAnswerBytes(); }

protected:
    BoardFirmware& Inner() { return inner_; }

private:
    BoardFirmware inner_;
};

} // namespace flashwell::sim
