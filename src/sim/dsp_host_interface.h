// The DSP's host interface as the EZ-USB firmware and the driver see it: a FIFO of 24-bit words
// in each direction, the command vector register, and the program running behind it.
#pragma once

#include "sim/fifo.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <typeinfo>
#include <vector>

namespace flashwell::sim {

class Board;
class DspHostInterface;

// What runs on the DSP. Callbacks run synchronously inside the host's request, so a program
// answers "instantly" in virtual time; it may read and write the FIFOs from any callback.
class DspProgram {
public:
    virtual ~DspProgram() = default;
    // The host raised a host command (vector 0 to 127).
    virtual void OnHostCommand(DspHostInterface& host, std::uint8_t vector);
    // One or more words arrived in the receive FIFO (host to DSP).
    virtual void OnWordsReceived(DspHostInterface& host);
    // The host wants a word and the transmit FIFO is empty; a program may produce it now.
    virtual void OnTransmitEmpty(DspHostInterface& host);
    // When a word the host is waiting for will be ready, for work whose answer comes only once
    // it is done (an erase): the host's read waits for it as a USB read waits for its data.
    virtual std::optional<std::uint64_t> AnswerDueAt() const { return std::nullopt; }
    // The program in its present state, running on `board` instead; nothing when this program
    // cannot be copied (then neither can its board).
    virtual std::unique_ptr<DspProgram> CopyFor(Board& /*board*/) const { return nullptr; }
    // Takes on the state of `other`, running on `board`, when it is a program of the same kind;
    // false (and nothing changed) otherwise. Spares setting a machine back an allocation.
    virtual bool AssignFrom(const DspProgram& /*other*/, Board& /*board*/) { return false; }
};

// The program of a DSP that runs nothing the host can talk to: words pile up unanswered.
class IdleDspProgram final : public DspProgram {
public:
    std::unique_ptr<DspProgram> CopyFor(Board&) const override {
        return std::make_unique<IdleDspProgram>();
    }
    bool AssignFrom(const DspProgram& other, Board&) override {
        return typeid(other) == typeid(IdleDspProgram);
    }
};

class DspHostInterface {
public:
    static constexpr std::uint8_t kCommandVectorRegister = 1;
    static constexpr std::uint8_t kDataPort = 5;
    static constexpr std::uint32_t kWordMask = 0xFFFFFF;

    DspHostInterface();
    // The interface as it is now, its programs running on `board`. Throws std::logic_error when
    // a program cannot be copied or a program callback is running.
    DspHostInterface(const DspHostInterface& other, Board& board);
    // The same into an interface that exists already.
    void Assign(const DspHostInterface& other, Board& board);
    DspHostInterface(const DspHostInterface&) = delete;
    DspHostInterface& operator=(const DspHostInterface&) = delete;

    // Host side.
    // Register 1 with bit 7 set raises the host command of bits 0 to 6.
    void WriteRegister(std::uint8_t reg, std::uint8_t value);
    void HostCommand(std::uint8_t vector) {
        WriteRegister(kCommandVectorRegister, 0x80 | (vector & 0x7F));
    }
    // The DSP sees the low 24 bits.
    void HostWrite(std::uint32_t word);
    void HostWrite(std::span<const std::uint32_t> words);
    // The next word for the host, or nothing when the DSP has none to give.
    std::optional<std::uint32_t> HostRead();

    // DSP side.
    std::optional<std::uint32_t> DspRead();
    void DspWrite(std::uint32_t word);
    // A word that tells the host how many answer words follow. On the combined path the firmware
    // then waits for the host's answer request, also when the count is 0.
    void DspWriteCount(std::uint32_t count);
    // Whether the word the host read last was such a count.
    bool LastReadWasCount() const { return lastReadWasCount_; }

    std::size_t ReceivePending() const { return toDsp_.size(); }
    std::size_t TransmitPending() const { return toHost_.size(); }
    std::uint8_t Register(std::uint8_t reg) const;
    // Every host command vector raised, in order.
    const std::vector<std::uint8_t>& HostCommands() const { return hostCommands_; }

    DspProgram& Program() { return *program_; }
    std::optional<std::uint64_t> AnswerDueAt() const { return program_->AnswerDueAt(); }
    // Takes effect at once, or, when a program callback is running (a loader replacing itself),
    // as soon as that callback returns.
    void LoadProgram(std::unique_ptr<DspProgram> program);
    // Power cycle: FIFOs and registers cleared, program kept (the next owner decides).
    void Reset();

    // Words the host reads (HostRead calls, counted from 1 over the interface's life) that are
    // lost on the way: the word is taken from the FIFO but the host gets nothing.
    void LoseHostRead(std::uint64_t ordinal) { lostReads_.insert(ordinal); }
    std::uint64_t HostReadCount() const { return hostReads_; }

private:
    template <typename F> void RunProgram(F&& callback);

    std::unique_ptr<DspProgram> program_;
    std::unique_ptr<DspProgram> pendingProgram_;
    int callbackDepth_ = 0;
    Fifo<std::uint32_t> toDsp_;
    // Each word for the host, and whether it is an answer count.
    struct HostWord {
        std::uint32_t word;
        bool isCount;
    };
    Fifo<HostWord> toHost_;
    bool lastReadWasCount_ = false;
    std::map<std::uint8_t, std::uint8_t> registers_;
    std::vector<std::uint8_t> hostCommands_;
    std::set<std::uint64_t> lostReads_;
    std::uint64_t hostReads_ = 0;
};

} // namespace flashwell::sim
