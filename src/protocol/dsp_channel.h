// The DSP command channel: host-interface register writes, host commands, word transfers to and
// from the DSP's data port and the DSP command built from them, with the per-board speed flag
// and chunk size.
#pragma once

#include "protocol/board_channel.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace flashwell::protocol {

inline constexpr std::int32_t kChunkSize = 15;

enum class CallOutcome {
    Done,               // the call ran to its end
    NotOpen,            // nothing was sent
    CommandRefused,     // the host command with its leading word did not go out
    CountLost,          // the answer count the DSP was asked for did not arrive
    CountIsFailureWord, // the DSP (or, on the part-by-part path, the lost count) said FailureWord
};

struct [[nodiscard]] CallResult {
    CallOutcome outcome = CallOutcome::Done;
    bool delivered = false; // every transfer the call made delivered in full
    bool Complete() const { return outcome == CallOutcome::Done && delivered; }
};

class DspChannel {
public:
    explicit DspChannel(BoardChannel& channel);
    DspChannel(const DspChannel&) = delete;
    DspChannel& operator=(const DspChannel&) = delete;
    // What a copy of the protocol takes over: each board's speed and packet size.
    void TakeStateOf(const DspChannel& other) {
        speedFlag_ = other.speedFlag_;
        chunkSize_ = other.chunkSize_;
    }

    std::int32_t BulkRead(int board, std::uint32_t pipe, void* destination, std::int32_t length);
    std::int32_t BulkWrite(int board, std::uint32_t pipe, const void* data, std::int32_t length);
    std::uint32_t WriteHostRegister(int board, std::uint32_t reg, std::uint32_t value);
    void TriggerHostCommand(int board, std::int32_t vector);
    std::int32_t WriteHostPortMultiple(int board, std::uint8_t port, int bytesPerWord,
                                       const std::uint32_t* words, std::int32_t count);
    std::uint32_t WriteHostPortWord(int board, std::uint32_t value);
    std::int32_t ReadHostPortMultiple(int board, std::uint8_t port, std::uint32_t* destination,
                                      std::int32_t count);
    std::int32_t DSP_To_Long(int board);
    std::int32_t Array_To_DSP(int board, const std::uint32_t* words, std::int32_t count);
    std::int32_t DSP_To_Array(int board, std::uint32_t* destination, std::int32_t count);
    // answerCount: 0 none, n > 0 read n words, -1 the DSP says how many. The answer span
    // bounds what is written, whatever the board announces.
    std::int32_t DspCall(int board, std::int32_t vector, std::span<const std::uint32_t> arguments,
                         std::span<std::uint32_t> answer, std::int32_t& answerCount);
    bool DspCallWithWord(int board, std::int32_t vector, std::uint32_t leadingWord,
                         std::span<const std::uint32_t> arguments, std::span<std::uint32_t> answer,
                         std::int32_t& answerCount);
    std::int32_t ProbeBoardSpeed(int board);

    // The same exchanges for callers that must know whether every transfer delivered.
    [[nodiscard]] bool RaiseHostCommand(int board, std::int32_t vector);
    [[nodiscard]] bool SendWords(int board, const std::uint32_t* words, std::int32_t count);
    [[nodiscard]] bool ReceiveWords(int board, std::uint32_t* destination, std::int32_t count);
    // The sign-extended status word, or nothing when it did not arrive whole.
    [[nodiscard]] std::optional<std::int32_t> ReadStatusWord(int board);
    CallResult Call(int board, std::int32_t vector, std::span<const std::uint32_t> arguments,
                    std::span<std::uint32_t> answer, std::int32_t& answerCount);
    CallResult CallWithWord(int board, std::int32_t vector, std::uint32_t leadingWord,
                            std::span<const std::uint32_t> arguments,
                            std::span<std::uint32_t> answer, std::int32_t& answerCount);

private:
    std::int32_t ChunkSize(int board) const;
    PipeResult WriteRegister(int board, std::uint32_t reg, std::uint32_t value);
    PipeResult WritePort(int board, std::uint8_t port, int bytesPerWord, const std::uint32_t* words,
                         std::int32_t count);
    PipeResult ReadPort(int board, std::uint8_t port, std::uint32_t* destination,
                        std::int32_t count);
    [[nodiscard]] bool ReadAnswerWords(int board, std::uint32_t count,
                                       std::span<std::uint32_t> answer, std::int32_t& answerCount);
    [[nodiscard]] bool FinishSeparateCall(int board, std::int64_t count,
                                          std::span<const std::uint32_t> arguments,
                                          std::span<std::uint32_t> answer,
                                          std::int32_t& answerCount);
    CallResult ExchangeCombined(int board, std::vector<std::uint8_t> packet,
                                std::span<std::uint32_t> answer, std::int32_t& answerCount);
    PipeResult ExchangePacket(int board, std::vector<std::uint8_t>& buffer, std::size_t writeLength,
                              std::size_t readLength);

    BoardChannel& channel_;
    std::array<std::int32_t, kProtocolBoards> speedFlag_;
    std::array<std::int32_t, kProtocolBoards> chunkSize_;
};

} // namespace flashwell::protocol
