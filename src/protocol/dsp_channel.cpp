#include "protocol/board_protocol.h"
#include "platform/wire.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace flashwell::protocol {

namespace wire = platform::wire;

namespace {

constexpr std::uint32_t kPipeOut = 0;
constexpr std::uint32_t kPipeIn = 1;
constexpr std::uint8_t kDataPort = 5;
constexpr std::uint8_t kCommandVectorRegister = 1;
constexpr std::uint32_t kDirectRegisterFrom = 0x40004;
constexpr std::uint32_t kCombinedPacketFrom = 0x50607;
constexpr std::size_t kCombinedArgumentsDspCall = 12;
constexpr std::size_t kCombinedArgumentsWithWord = 11;
// The answer request carries a 16-bit count.
constexpr std::uint32_t kMaxAnswerWords = 0xFFFF;

std::uint8_t HostCommandByte(std::int32_t vector) {
    return static_cast<std::uint8_t>(0x80 | (vector & 0x7F));
}

void AppendWordPart(std::vector<std::uint8_t>& packet, std::uint8_t opcode, std::uint32_t count) {
    packet.push_back(opcode);
    packet.push_back(kDataPort);
    packet.push_back(static_cast<std::uint8_t>(count >> 8));
    packet.push_back(static_cast<std::uint8_t>(count));
}

} // namespace

BoardProtocol::BoardProtocol(device::BoardTable& boards, platform::UiPort& ui)
    : boards_(boards), os_(boards.Os()), ui_(ui) {
    speedFlag_.fill(-1);
    chunkSize_.fill(kChunkSize);
    boards_.SetOpenedHook([this](int board) { ProbeBoardSpeed(board); });
}

device::TUSBAdapter* BoardProtocol::OpenAdapter(int board) {
    return boards_.IsBoardOpen(board) ? boards_.Adapter(board) : nullptr;
}

void BoardProtocol::Debug(const char* line) {
    os_.OutputDebugStringA(line);
}
void BoardProtocol::Sleep(DWORD ms) {
    os_.Sleep(ms);
}

std::int32_t BoardProtocol::BoardSpeedFlag(int board) const {
    return HasState(board) ? speedFlag_[static_cast<std::size_t>(board)] : -1;
}

std::int32_t BoardProtocol::ChunkSize(int board) const {
    return HasState(board) ? chunkSize_[static_cast<std::size_t>(board)] : kChunkSize;
}

// One pipe request with the failure handling both directions share: not open is -1; a refused
// request lets a lost device go and is -99.
std::int32_t BoardProtocol::PipeRequest(int board, DWORD code, std::uint32_t pipe, void* buffer,
                                        std::int32_t length, DWORD* returned) {
    device::TUSBAdapter* adapter = OpenAdapter(board);
    if (adapter == nullptr) {
        ++transferFaults_;
        return kNotOpen;
    }
    std::uint8_t pipeNumber[4];
    wire::PutLE32(pipeNumber, pipe);
    if (!adapter->IoControl(code, pipeNumber, 4, buffer, static_cast<DWORD>(length), returned)) {
        boards_.DropBoardOnDeviceLoss(board);
        ++transferFaults_;
        return kRequestRefused;
    }
    return 0;
}

std::int32_t BoardProtocol::BulkRead(int board, std::uint32_t pipe, void* destination,
                                     std::int32_t length) {
    DWORD returned = 0;
    const std::int32_t result =
        PipeRequest(board, device::ioctl::ReadPipe, pipe, destination, length, &returned);
    if (result == kRequestRefused && destination != nullptr && length > 0)
        std::memset(destination, 0, static_cast<std::size_t>(length));
    if (result != 0) return result;
    if (static_cast<std::int32_t>(returned) < length) ++transferFaults_;
    return static_cast<std::int32_t>(returned);
}

std::int32_t BoardProtocol::BulkWrite(int board, std::uint32_t pipe, const void* data,
                                      std::int32_t length) {
    // The driver takes the bytes to send in the output buffer (direct input method).
    return PipeRequest(board, device::ioctl::WritePipe, pipe, const_cast<void*>(data), length,
                       nullptr);
}

std::uint32_t BoardProtocol::WriteHostRegister(int board, std::uint32_t reg, std::uint32_t value) {
    device::TUSBAdapter* adapter = OpenAdapter(board);
    if (adapter == nullptr) return FailureWord;
    if (adapter->InterfaceVersion >= kDirectRegisterFrom) {
        std::uint8_t input[8];
        wire::PutLE32(input, reg & 0xFF);
        wire::PutLE32(input + 4, value & 0xFF);
        if (adapter->IoControl(device::ioctl::WriteHostRegister, input, 8, nullptr, 0, nullptr))
            return 0;
        boards_.DropBoardOnDeviceLoss(board);
        ++transferFaults_;
        return FailureWord;
    }
    const std::uint8_t packet[3] = {2, static_cast<std::uint8_t>(reg),
                                    static_cast<std::uint8_t>(value)};
    return static_cast<std::uint32_t>(BulkWrite(board, kPipeOut, packet, 3));
}

void BoardProtocol::TriggerHostCommand(int board, std::int32_t vector) {
    device::TUSBAdapter* adapter = OpenAdapter(board);
    if (adapter == nullptr) return;
    const bool direct = adapter->InterfaceVersion >= kDirectRegisterFrom;
    const std::uint32_t result =
        WriteHostRegister(board, kCommandVectorRegister, HostCommandByte(vector));
    if (result != 0) ++transferFaults_;
    if (!direct && result != 0) {
        char line[80];
        std::snprintf(line, sizeof line, "Fehler: IRQ 0x%02X konnte nicht ausgel\xF6st werden",
                      static_cast<unsigned>(vector) & 0xFF);
        Debug(line);
    }
}

std::int32_t BoardProtocol::WriteHostPortMultiple(int board, std::uint8_t port, int bytesPerWord,
                                                  const std::uint32_t* words, std::int32_t count) {
    const std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 0;
    const std::size_t width = static_cast<std::size_t>(std::clamp(bytesPerWord, 0, 4));
    std::vector<std::uint8_t> packet = {6, port, static_cast<std::uint8_t>(n >> 8),
                                        static_cast<std::uint8_t>(n)};
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t b = 0; b < width; ++b)
            packet.push_back(static_cast<std::uint8_t>(words[i] >> (8 * b)));
    return BulkWrite(board, kPipeOut, packet.data(), static_cast<std::int32_t>(packet.size()));
}

std::uint32_t BoardProtocol::WriteHostPortWord(int board, std::uint32_t value) {
    if (WriteHostPortMultiple(board, kDataPort, 3, &value, 1) != 0) {
        Debug("Fehler: WriteHostPortMultiple fehlgeschlagen");
        return FailureWord;
    }
    return 0;
}

std::int32_t BoardProtocol::ReadHostPortMultiple(int board, std::uint8_t port,
                                                 std::uint32_t* destination, std::int32_t count) {
    const std::uint32_t n = count > 0 ? static_cast<std::uint32_t>(count) : 0;
    const std::uint8_t request[4] = {7, port, static_cast<std::uint8_t>(n >> 8),
                                     static_cast<std::uint8_t>(n)};
    std::int32_t result = BulkWrite(board, kPipeOut, request, 4);
    if (result == 0) {
        std::vector<std::uint8_t> bytes(n * 4);
        result = BulkRead(board, kPipeIn, bytes.data(), static_cast<std::int32_t>(n * 4));
        wire::BytesToWords(bytes.data(), destination, n);
    }
    if (n > 0 && (destination[0] & 0x800000) != 0) destination[0] |= 0xFF000000;
    return result;
}

std::int32_t BoardProtocol::DSP_To_Long(int board) {
    // A word that did not arrive reads as FailureWord, never as a plausible 0 status.
    std::uint32_t word = FailureWord;
    const std::uint64_t faults = transferFaults_;
    const std::int32_t result = ReadHostPortMultiple(board, kDataPort, &word, 1);
    if (result < 0 || transferFaults_ != faults) {
        Debug("Fehler: IRQ DSP_To_Long fehlgeschlagen");
        word = FailureWord;
    }
    return static_cast<std::int32_t>(word);
}

std::int32_t BoardProtocol::Array_To_DSP(int board, const std::uint32_t* words,
                                         std::int32_t count) {
    const std::int32_t chunk = ChunkSize(board);
    std::int32_t done = 0;
    do {
        const std::int32_t n = std::min(chunk, count - done);
        if (WriteHostPortMultiple(board, kDataPort, 4, words + done, n) != 0)
            Debug("Fehler: Array_To_DSP fehlgeschlagen");
        done += n;
    } while (done < count);
    return 0;
}

std::int32_t BoardProtocol::DSP_To_Array(int board, std::uint32_t* destination,
                                         std::int32_t count) {
    const std::int32_t chunk = ChunkSize(board);
    std::int32_t done = 0;
    do {
        const std::int32_t n = std::max(0, std::min(chunk, count - done));
        std::uint8_t request[4] = {7, kDataPort, static_cast<std::uint8_t>(n >> 8),
                                   static_cast<std::uint8_t>(n)};
        if (BulkWrite(board, kPipeOut, request, 4) != 0) {
            Debug("Fehler: DSP_To_Array: BulkWrite fehlgeschlagen");
        } else {
            std::uint8_t bytes[kChunkSize * 4] = {};
            if (BulkRead(board, kPipeIn, bytes, n * 4) < 0)
                Debug("Fehler: DSP_To_Array: BulkRead fehlgeschlagen");
            wire::BytesToWords(bytes, destination + done, static_cast<std::size_t>(n));
        }
        done += n;
    } while (done < count);
    return count;
}

// The answer words of a command whose count is known: never more than the caller's buffer holds.
void BoardProtocol::ReadAnswerWords(int board, std::uint32_t count, std::span<std::uint32_t> answer,
                                    std::int32_t& answerCount) {
    const std::uint32_t fits =
        std::min<std::uint32_t>(count, static_cast<std::uint32_t>(answer.size()));
    answerCount = static_cast<std::int32_t>(fits);
    if (fits > 0) DSP_To_Array(board, answer.data(), static_cast<std::int32_t>(fits));
}

namespace {

std::int32_t TransferPacket(device::TUSBAdapter& adapter, std::vector<std::uint8_t>& buffer,
                            std::size_t writeLength, std::size_t readLength,
                            std::uint64_t& faults) {
    buffer.resize(std::max({buffer.size(), writeLength, readLength}));
    DWORD got = 0;
    const std::int32_t result =
        adapter.Transfer(buffer.data(), static_cast<std::int32_t>(writeLength),
                         static_cast<std::int32_t>(readLength), &got);
    if (result != 0 || got < readLength) {
        ++faults;
        // A short answer is no answer: the caller's buffer stays as it was.
        return result != 0 ? result : kRequestRefused;
    }
    return 0;
}

// Host command part, the leading word part when there is one, and the arguments part.
std::vector<std::uint8_t> CombinedPacket(std::int32_t vector, const std::uint32_t* leadingWord,
                                         std::span<const std::uint32_t> arguments) {
    std::vector<std::uint8_t> packet = {2, kCommandVectorRegister, HostCommandByte(vector), 0};
    if (leadingWord != nullptr) {
        AppendWordPart(packet, 6, 1);
        wire::AppendLE32(packet, *leadingWord);
    }
    if (!arguments.empty()) {
        AppendWordPart(packet, 6, static_cast<std::uint32_t>(arguments.size()));
        for (std::uint32_t w : arguments)
            wire::AppendLE32(packet, w);
    }
    return packet;
}

} // namespace

// After the host command of the separate path: the arguments, then the answer words. A count
// of -1 from the DSP ends the call without either.
void BoardProtocol::FinishSeparateCall(int board, std::int64_t count,
                                       std::span<const std::uint32_t> arguments,
                                       std::span<std::uint32_t> answer, std::int32_t& answerCount) {
    if (count == -1) return;
    if (!arguments.empty())
        Array_To_DSP(board, arguments.data(), static_cast<std::int32_t>(arguments.size()));
    if (count > 0)
        ReadAnswerWords(board,
                        static_cast<std::uint32_t>(std::min<std::int64_t>(count, kMaxAnswerWords)),
                        answer, answerCount);
}

std::int32_t BoardProtocol::DspCall(int board, std::int32_t vector,
                                    std::span<const std::uint32_t> arguments,
                                    std::span<std::uint32_t> answer, std::int32_t& answerCount) {
    device::TUSBAdapter* adapter = OpenAdapter(board);
    if (adapter == nullptr) return kNotOpen;
    if (answerCount < -1) answerCount = 0;

    if (adapter->FirmwareVersion >= kCombinedPacketFrom &&
        arguments.size() <= kCombinedArgumentsDspCall) {
        const auto packet = CombinedPacket(vector, nullptr, arguments);
        // Only a failed count exchange is reported; callers confirm the rest through the answer.
        return ExchangeCombined(*adapter, packet, answer, answerCount) ==
                       CombinedOutcome::CountExchangeFailed
                   ? kRequestRefused
                   : 0;
    }

    TriggerHostCommand(board, vector);
    std::int64_t count = answerCount;
    if (answerCount == -1) {
        const std::int32_t announced = DSP_To_Long(board);
        if (static_cast<std::uint32_t>(announced) == FailureWord) {
            answerCount = 0;
            return 0;
        }
        count = announced;
        answerCount = announced;
    }
    FinishSeparateCall(board, count, arguments, answer, answerCount);
    return 0;
}

bool BoardProtocol::DspCallWithWord(int board, std::int32_t vector, std::uint32_t leadingWord,
                                    std::span<const std::uint32_t> arguments,
                                    std::span<std::uint32_t> answer, std::int32_t& answerCount) {
    device::TUSBAdapter* adapter = OpenAdapter(board);
    if (adapter == nullptr) return false;
    if (answerCount < -1) answerCount = 0;

    if (adapter->FirmwareVersion >= kCombinedPacketFrom &&
        arguments.size() <= kCombinedArgumentsWithWord) {
        const auto packet = CombinedPacket(vector, &leadingWord, arguments);
        const CombinedOutcome outcome = ExchangeCombined(*adapter, packet, answer, answerCount);
        return outcome != CombinedOutcome::CountExchangeFailed &&
               outcome != CombinedOutcome::CountIsFailureWord;
    }

    if (adapter->SendHostCommandWord(vector, leadingWord) != 0) {
        ++transferFaults_;
        return false;
    }
    std::int64_t count = answerCount;
    if (answerCount == -1) {
        std::uint32_t announced = 0;
        if (adapter->ReadWord(&announced) != 0) {
            ++transferFaults_;
            answerCount = 0;
            return false;
        }
        if (announced == FailureWord) {
            answerCount = 0;
            return false;
        }
        count = static_cast<std::int32_t>(announced);
        answerCount = static_cast<std::int32_t>(announced);
    }
    FinishSeparateCall(board, count, arguments, answer, answerCount);
    return true;
}

// One combined packet (and, when the DSP announces its answer count, a second one).
BoardProtocol::CombinedOutcome BoardProtocol::ExchangeCombined(device::TUSBAdapter& adapter,
                                                               std::vector<std::uint8_t> packet,
                                                               std::span<std::uint32_t> answer,
                                                               std::int32_t& answerCount) {
    std::vector<std::uint8_t> buffer;
    if (answerCount == -1) {
        AppendWordPart(packet, 7, 1);
        buffer = packet;
        if (TransferPacket(adapter, buffer, packet.size(), 4, transferFaults_) != 0) {
            answerCount = 0;
            return CombinedOutcome::CountExchangeFailed;
        }
        const std::uint32_t announced = wire::GetLE32(buffer.data());
        if (announced == FailureWord) {
            answerCount = 0;
            return CombinedOutcome::CountIsFailureWord;
        }
        if (static_cast<std::int32_t>(announced) <= 0) {
            answerCount = 0;
            return CombinedOutcome::Done;
        }
        const std::uint32_t count = std::min<std::uint32_t>(
            {announced, kMaxAnswerWords, static_cast<std::uint32_t>(answer.size())});
        answerCount = static_cast<std::int32_t>(count);
        std::vector<std::uint8_t> second;
        AppendWordPart(second, 7, count);
        if (TransferPacket(adapter, second, 4, count * 4, transferFaults_) != 0)
            return CombinedOutcome::AnswerExchangeFailed;
        wire::BytesToWords(second.data(), answer.data(), count);
        return CombinedOutcome::Done;
    }
    if (answerCount > 0) {
        const std::uint32_t count =
            std::min<std::uint32_t>({static_cast<std::uint32_t>(answerCount), kMaxAnswerWords,
                                     static_cast<std::uint32_t>(answer.size())});
        answerCount = static_cast<std::int32_t>(count);
        AppendWordPart(packet, 7, count);
        buffer = packet;
        if (TransferPacket(adapter, buffer, packet.size(), count * 4, transferFaults_) != 0)
            return CombinedOutcome::AnswerExchangeFailed;
        wire::BytesToWords(buffer.data(), answer.data(), count);
        return CombinedOutcome::Done;
    }
    buffer = packet;
    return TransferPacket(adapter, buffer, packet.size(), 0, transferFaults_) == 0
               ? CombinedOutcome::Done
               : CombinedOutcome::AnswerExchangeFailed;
}

std::int32_t BoardProtocol::ProbeBoardSpeed(int board) {
    // Board 16 is openable but has no protocol state: it is never probed.
    if (!HasState(board)) return -1;
    auto& flag = speedFlag_[static_cast<std::size_t>(board)];
    if (flag != -1) return flag;
    std::uint8_t status = 0xFF;
    BulkWrite(board, kPipeOut, &status, 1);
    BulkRead(board, kPipeIn, &status, 1);
    chunkSize_[static_cast<std::size_t>(board)] = kChunkSize;
    flag = (status >> 7) & 1;
    return flag;
}

} // namespace flashwell::protocol
