#include "sim/dsp_host_interface.h"

#include <stdexcept>

namespace flashwell::sim {

void DspProgram::OnHostCommand(DspHostInterface&, std::uint8_t) {}
void DspProgram::OnWordsReceived(DspHostInterface&) {}
void DspProgram::OnTransmitEmpty(DspHostInterface&) {}

DspHostInterface::DspHostInterface() : program_(std::make_unique<IdleDspProgram>()) {}

namespace {

std::unique_ptr<DspProgram> CopyProgram(const std::unique_ptr<DspProgram>& program, Board& board) {
    if (!program) return nullptr;
    auto copy = program->CopyFor(board);
    if (!copy) throw std::logic_error("a DSP program of this kind cannot be copied");
    return copy;
}

} // namespace

DspHostInterface::DspHostInterface(const DspHostInterface& other, Board& board) {
    Assign(other, board);
}

void DspHostInterface::Assign(const DspHostInterface& other, Board& board) {
    // Half-way through a callback a program may be about to replace itself.
    if (other.callbackDepth_ != 0 || callbackDepth_ != 0)
        throw std::logic_error("a DSP interface cannot be copied while its program runs");
    // A program of the same kind takes on the other's state in place.
    const auto assign = [&board](std::unique_ptr<DspProgram>& mine,
                                 const std::unique_ptr<DspProgram>& theirs) {
        if (!mine || !theirs || !mine->AssignFrom(*theirs, board))
            mine = CopyProgram(theirs, board);
    };
    assign(program_, other.program_);
    assign(pendingProgram_, other.pendingProgram_);
    toDsp_ = other.toDsp_;
    toHost_ = other.toHost_;
    lastReadWasCount_ = other.lastReadWasCount_;
    registers_ = other.registers_;
    hostCommands_ = other.hostCommands_;
    lostReads_ = other.lostReads_;
    hostReads_ = other.hostReads_;
}

template <typename F> void DspHostInterface::RunProgram(F&& callback) {
    ++callbackDepth_;
    callback(*program_);
    --callbackDepth_;
    if (callbackDepth_ == 0 && pendingProgram_) program_ = std::move(pendingProgram_);
}

void DspHostInterface::WriteRegister(std::uint8_t reg, std::uint8_t value) {
    registers_[reg] = value;
    if (reg == kCommandVectorRegister && (value & 0x80) != 0) {
        const auto vector = static_cast<std::uint8_t>(value & 0x7F);
        hostCommands_.push_back(vector);
        RunProgram([&](DspProgram& p) { p.OnHostCommand(*this, vector); });
        // The DSP takes the command at once, which clears the request bit.
        registers_[reg] = vector;
    }
}

void DspHostInterface::HostWrite(std::uint32_t word) {
    toDsp_.push_back(word & kWordMask);
    RunProgram([&](DspProgram& p) { p.OnWordsReceived(*this); });
}

void DspHostInterface::HostWrite(std::span<const std::uint32_t> words) {
    if (words.empty()) return;
    for (std::uint32_t w : words)
        toDsp_.push_back(w & kWordMask);
    RunProgram([&](DspProgram& p) { p.OnWordsReceived(*this); });
}

std::optional<std::uint32_t> DspHostInterface::HostRead() {
    const bool lost = lostReads_.erase(++hostReads_) > 0;
    lastReadWasCount_ = false;
    if (toHost_.empty()) RunProgram([&](DspProgram& p) { p.OnTransmitEmpty(*this); });
    if (toHost_.empty()) return std::nullopt;
    const HostWord w = toHost_.front();
    toHost_.pop_front();
    lastReadWasCount_ = w.isCount;
    if (lost) return std::nullopt;
    return w.word;
}

std::optional<std::uint32_t> DspHostInterface::DspRead() {
    if (toDsp_.empty()) return std::nullopt;
    const std::uint32_t w = toDsp_.front();
    toDsp_.pop_front();
    return w;
}

void DspHostInterface::DspWrite(std::uint32_t word) {
    toHost_.push_back({word & kWordMask, false});
}

void DspHostInterface::DspWriteCount(std::uint32_t count) {
    toHost_.push_back({count & kWordMask, true});
}

std::uint8_t DspHostInterface::Register(std::uint8_t reg) const {
    const auto it = registers_.find(reg);
    return it == registers_.end() ? 0 : it->second;
}

void DspHostInterface::LoadProgram(std::unique_ptr<DspProgram> program) {
    if (!program) program = std::make_unique<IdleDspProgram>();
    if (callbackDepth_ > 0)
        pendingProgram_ = std::move(program);
    else
        program_ = std::move(program);
}

void DspHostInterface::Reset() {
    toDsp_.clear();
    toHost_.clear();
    lastReadWasCount_ = false;
    registers_.clear();
}

} // namespace flashwell::sim
