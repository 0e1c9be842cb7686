// The programs a board's DSP runs in the simulation. Which one starts is decided by the words
// the host loads after host command 5: the compiled-in flash-access program and boot program are
// recognised by their content, anything else becomes a program that answers nothing.
#pragma once

#include "sim/dsp_host_interface.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <typeinfo>
#include <vector>

namespace flashwell::sim {

class Board;

enum class DspProgramKind {
    Idle,        // nothing runs that the host can talk to
    Loader,      // what a board starts with: takes a new program after host command 5
    FlashAccess, // the compiled-in flash-access program
    BootProgram, // the compiled-in boot program, writing itself into the boot area
    Unknown,     // some other loaded image: answers nothing, takes nothing
    Custom,      // a program a test installed itself
};

const char* DspProgramKindName(DspProgramKind kind);

// Base of the board's own programs. Host command 5 makes a program that accepts loads read a
// DspImage (count N, load address, N words) from the data port and start it; words that follow
// the image stay in the receive FIFO for the new program.
class BoardDspProgram : public DspProgram {
public:
    explicit BoardDspProgram(Board& board) : board_(&board) {}
    virtual DspProgramKind Kind() const = 0;

    void OnHostCommand(DspHostInterface& host, std::uint8_t vector) final;
    void OnWordsReceived(DspHostInterface& host) final;
    void OnTransmitEmpty(DspHostInterface& host) final;

    // A freshly loaded program starts this late: until then what the host sends is lost.
    void StartsAt(std::uint64_t ms) { startsAt_ = ms; }

protected:
    virtual bool AcceptsLoad() const { return true; }
    virtual void OnCommand(DspHostInterface&, std::uint8_t) {}
    // Words outside a load; by default they stay in the receive FIFO, unread.
    virtual void OnWords(DspHostInterface&) {}
    // The host wants a word and none is waiting.
    virtual void OnIdleTransmit(DspHostInterface&) {}
    // A program busy with its own work takes no host command.
    virtual bool Busy() const { return false; }
    std::uint64_t Now() const;
    // The program as it is now, running on `board` (a copy of the board it ran on).
    template <typename P>
    static std::unique_ptr<DspProgram> CopyOf(const P& program, Board& board) {
        auto copy = std::make_unique<P>(program);
        static_cast<BoardDspProgram&>(*copy).board_ = &board;
        return copy;
    }
    template <typename P> static bool AssignOf(P& program, const DspProgram& other, Board& board) {
        if (typeid(other) != typeid(P)) return false;
        program = static_cast<const P&>(other);
        static_cast<BoardDspProgram&>(program).board_ = &board;
        return true;
    }

    Board* board_;

private:
    bool Started() const { return Now() >= startsAt_; }
    // Drops what waits in the receive FIFO.
    static void Discard(DspHostInterface& host);

    std::uint64_t startsAt_ = 0;
    // The load takes words from this time on.
    std::uint64_t loadFrom_ = 0;
    bool loading_ = false;
    std::vector<std::uint32_t> image_;
};

class LoaderDspProgram final : public BoardDspProgram {
public:
    using BoardDspProgram::BoardDspProgram;
    DspProgramKind Kind() const override { return DspProgramKind::Loader; }
    std::unique_ptr<DspProgram> CopyFor(Board& board) const override {
        return CopyOf(*this, board);
    }
};

class UnknownDspProgram final : public BoardDspProgram {
public:
    using BoardDspProgram::BoardDspProgram;
    DspProgramKind Kind() const override { return DspProgramKind::Unknown; }
    std::unique_ptr<DspProgram> CopyFor(Board& board) const override {
        return CopyOf(*this, board);
    }

protected:
    bool AcceptsLoad() const override { return false; }
};

// Starts writing its own image into the boot area (Board::BeginBootProgramWrite); takes a new
// program only once that write is complete.
class BootDspProgram final : public BoardDspProgram {
public:
    using BoardDspProgram::BoardDspProgram;
    DspProgramKind Kind() const override { return DspProgramKind::BootProgram; }
    std::unique_ptr<DspProgram> CopyFor(Board& board) const override {
        return CopyOf(*this, board);
    }

protected:
    bool AcceptsLoad() const override;
};

// The flash-access program. Requests (vector, then argument words on the data port):
//   65 query: argument; with bit 23 set one extra word follows. Argument 127 answers the
//      board's SubID, any other argument 0.
//   68 read: address, count -> count words, flash bytes of the selected bank read through the
//      window at 0xD00000 (outside the bank: 0xFF).
//   69 select bank: bank AND 1 -> 0.
//   104 with leading word 2: address, count, then, once the block is prepared, count single
//      words -> status once the block is written (BoardTiming). Bank 0: address 0..7174 lands in
//      the parameter block, 0x1E000 and above in the FPGA area, whose range the program erases
//      itself before writing; bank 1: the second-bank data at the address. Anything else, or a
//      write that does not fit, answers 1 and writes nothing.
//   104 with leading word 3: address -> status at once. 0xD02000 in bank 0 erases the parameter
//      sector; 0xD00000 in bank 1 erases the sector at the erase cursor and advances it; any
//      other address (or a cursor past the last sector) answers 1 and erases nothing.
// Words that arrive outside a request are dropped.
class FlashAccessDspProgram final : public BoardDspProgram {
public:
    using BoardDspProgram::BoardDspProgram;
    DspProgramKind Kind() const override { return DspProgramKind::FlashAccess; }
    std::unique_ptr<DspProgram> CopyFor(Board& board) const override {
        return CopyOf(*this, board);
    }

    static constexpr std::uint32_t kStatusRefused = 1;

protected:
    void OnCommand(DspHostInterface& host, std::uint8_t vector) override;
    void OnWords(DspHostInterface& host) override;
    void OnIdleTransmit(DspHostInterface& host) override;
    bool Busy() const override;

public:
    std::optional<std::uint64_t> AnswerDueAt() const override;

private:
    void OnWord(DspHostInterface& host, std::uint32_t word);
    enum class Stage { Idle, Query, QueryExtra, Read, Bank, Lead, Write, WriteData, Erase };

    void Finish(DspHostInterface& host);
    // Puts a block's status into the transmit FIFO once the block is written.
    void DeliverStatus(DspHostInterface& host);

    Stage stage_ = Stage::Idle;
    // The block's words are taken from this time on.
    std::uint64_t wordsFrom_ = 0;
    // A written block's status word and when it is ready.
    std::optional<std::uint32_t> pendingStatus_;
    std::uint64_t statusAt_ = 0;
    // The pending status is an erase's, which the host waits for.
    bool statusAwaited_ = false;
    std::vector<std::uint32_t> args_;
    std::vector<std::uint8_t> data_;
};

} // namespace flashwell::sim
