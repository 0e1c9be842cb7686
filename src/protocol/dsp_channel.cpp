#include "protocol/dsp_channel.h"

#include "platform/wire.h"

#include <algorithm>
#include <array>
#include <cstdio>

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

bool DirectRegisters(const device::TUSBAdapter& adapter) {
    return adapter.InterfaceVersion >= kDirectRegisterFrom;
}

void AppendWordPart(std::vector<std::uint8_t>& packet, std::uint8_t opcode, std::uint32_t count) {
    packet.push_back(opcode);
    packet.push_back(kDataPort);
    packet.push_back(static_cast<std::uint8_t>(count >> 8));
    packet.push_back(static_cast<std::uint8_t>(count));
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

DspChannel::DspChannel(BoardChannel& channel) : channel_(channel) {
    speedFlag_.fill(-1);
    chunkSize_.fill(kChunkSize);
}

std::int32_t DspChannel::ChunkSize(int board) const {
    return HasProtocolState(board) ? chunkSize_[static_cast<std::size_t>(board)] : kChunkSize;
}

std::int32_t DspChannel::BulkRead(int board, std::uint32_t pipe, void* destination,
                                  std::int32_t length) {
    return ReadCode(channel_.Read(board, pipe, destination, length));
}

std::int32_t DspChannel::BulkWrite(int board, std::uint32_t pipe, const void* data,
                                   std::int32_t length) {
    return WriteCode(channel_.Write(board, pipe, data, length));
}

// The driver's own register request where the interface has it, else an opcode-2 packet.
PipeResult DspChannel::WriteRegister(int board, std::uint32_t reg, std::uint32_t value) {
    device::TUSBAdapter* adapter = channel_.OpenAdapter(board);
    if (adapter == nullptr) return {PipeStatus::NotOpen, 0};
    if (DirectRegisters(*adapter)) {
        std::uint8_t input[8];
        wire::PutLE32(input, reg & 0xFF);
        wire::PutLE32(input + 4, value & 0xFF);
        if (adapter->IoControl(device::ioctl::WriteHostRegister, input, 8, nullptr, 0, nullptr))
            return {PipeStatus::Ok, 8};
        channel_.RequestRefused(board);
        return {PipeStatus::Refused, 0};
    }
    const std::uint8_t packet[3] = {2, static_cast<std::uint8_t>(reg),
                                    static_cast<std::uint8_t>(value)};
    return channel_.Write(board, kPipeOut, packet, 3);
}

std::uint32_t DspChannel::WriteHostRegister(int board, std::uint32_t reg, std::uint32_t value) {
    const device::TUSBAdapter* adapter = channel_.OpenAdapter(board);
    if (adapter == nullptr) return FailureWord;
    const bool direct = DirectRegisters(*adapter);
    const PipeResult result = WriteRegister(board, reg, value);
    if (result.Delivered()) return 0;
    // The packet path answers with the pipe request's code.
    return direct ? FailureWord : static_cast<std::uint32_t>(WriteCode(result));
}

bool DspChannel::RaiseHostCommand(int board, std::int32_t vector) {
    const device::TUSBAdapter* adapter = channel_.OpenAdapter(board);
    if (adapter == nullptr) return false;
    const bool direct = DirectRegisters(*adapter);
    if (WriteRegister(board, kCommandVectorRegister, HostCommandByte(vector)).Delivered())
        return true;
    if (!direct) {
        char line[80];
        std::snprintf(line, sizeof line, "Fehler: IRQ 0x%02X konnte nicht ausgel\xF6st werden",
                      static_cast<unsigned>(vector) & 0xFF);
        channel_.Debug(line);
    }
    return false;
}

void DspChannel::TriggerHostCommand(int board, std::int32_t vector) {
    // This form tells nobody; callers that must know use RaiseHostCommand.
    static_cast<void>(RaiseHostCommand(board, vector));
}

PipeResult DspChannel::WritePort(int board, std::uint8_t port, int bytesPerWord,
                                 const std::uint32_t* words, std::int32_t count) {
    const std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 0;
    const std::size_t width = static_cast<std::size_t>(std::clamp(bytesPerWord, 0, 4));
    const std::size_t size = 4 + n * width;
    // A packet of one endpoint's size is built on the stack: this runs for every word sent.
    std::array<std::uint8_t, 4 + 4 * 128> small;
    std::vector<std::uint8_t> large(size > small.size() ? size : 0);
    std::uint8_t* packet = large.empty() ? small.data() : large.data();
    packet[0] = 6;
    packet[1] = port;
    packet[2] = static_cast<std::uint8_t>(n >> 8);
    packet[3] = static_cast<std::uint8_t>(n);
    std::uint8_t* out = packet + 4;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t b = 0; b < width; ++b)
            *out++ = static_cast<std::uint8_t>(words[i] >> (8 * b));
    return channel_.Write(board, kPipeOut, packet, static_cast<std::int32_t>(size));
}

std::int32_t DspChannel::WriteHostPortMultiple(int board, std::uint8_t port, int bytesPerWord,
                                               const std::uint32_t* words, std::int32_t count) {
    return WriteCode(WritePort(board, port, bytesPerWord, words, count));
}

std::uint32_t DspChannel::WriteHostPortWord(int board, std::uint32_t value) {
    if (!WritePort(board, kDataPort, 3, &value, 1).Delivered()) {
        channel_.Debug("Fehler: WriteHostPortMultiple fehlgeschlagen");
        return FailureWord;
    }
    return 0;
}

// The request, then, if it went out, the answer; the result is that of the last request made.
PipeResult DspChannel::ReadPort(int board, std::uint8_t port, std::uint32_t* destination,
                                std::int32_t count) {
    const std::uint32_t n = count > 0 ? static_cast<std::uint32_t>(count) : 0;
    const std::uint8_t request[4] = {7, port, static_cast<std::uint8_t>(n >> 8),
                                     static_cast<std::uint8_t>(n)};
    PipeResult result = channel_.Write(board, kPipeOut, request, 4);
    if (result.Delivered()) {
        // The answers of a whole read request fit on the stack.
        std::array<std::uint8_t, 64> small{};
        std::vector<std::uint8_t> large(n * 4 > small.size() ? n * 4 : 0);
        std::uint8_t* bytes = large.empty() ? small.data() : large.data();
        result = channel_.Read(board, kPipeIn, bytes, static_cast<std::int32_t>(n * 4));
        wire::BytesToWords(bytes, destination, n);
    }
    if (n > 0 && (destination[0] & 0x800000) != 0) destination[0] |= 0xFF000000;
    return result;
}

std::int32_t DspChannel::ReadHostPortMultiple(int board, std::uint8_t port,
                                              std::uint32_t* destination, std::int32_t count) {
    return ReadCode(ReadPort(board, port, destination, count));
}

std::optional<std::int32_t> DspChannel::ReadStatusWord(int board) {
    std::uint32_t word = FailureWord;
    if (!ReadPort(board, kDataPort, &word, 1).Delivered()) {
        channel_.Debug("Fehler: IRQ DSP_To_Long fehlgeschlagen");
        return std::nullopt;
    }
    return static_cast<std::int32_t>(word);
}

std::int32_t DspChannel::DSP_To_Long(int board) {
    // A word that did not arrive reads as FailureWord, never as a plausible 0 status.
    return ReadStatusWord(board).value_or(static_cast<std::int32_t>(FailureWord));
}

bool DspChannel::SendWords(int board, const std::uint32_t* words, std::int32_t count) {
    const std::int32_t chunk = ChunkSize(board);
    bool delivered = true;
    std::int32_t done = 0;
    do {
        const std::int32_t n = std::min(chunk, count - done);
        if (!WritePort(board, kDataPort, 4, words + done, n).Delivered()) {
            channel_.Debug("Fehler: Array_To_DSP fehlgeschlagen");
            delivered = false;
        }
        done += n;
    } while (done < count);
    return delivered;
}

std::int32_t DspChannel::Array_To_DSP(int board, const std::uint32_t* words, std::int32_t count) {
    // This form always answers 0; callers that must know use SendWords.
    static_cast<void>(SendWords(board, words, count));
    return 0;
}

bool DspChannel::ReceiveWords(int board, std::uint32_t* destination, std::int32_t count) {
    const std::int32_t chunk = ChunkSize(board);
    bool delivered = true;
    std::int32_t done = 0;
    do {
        const std::int32_t n = std::max(0, std::min(chunk, count - done));
        std::uint8_t request[4] = {7, kDataPort, static_cast<std::uint8_t>(n >> 8),
                                   static_cast<std::uint8_t>(n)};
        if (!channel_.Write(board, kPipeOut, request, 4).Delivered()) {
            channel_.Debug("Fehler: DSP_To_Array: BulkWrite fehlgeschlagen");
            delivered = false;
        } else {
            std::uint8_t bytes[kChunkSize * 4] = {};
            const PipeResult read = channel_.Read(board, kPipeIn, bytes, n * 4);
            // A short answer is not worth a line, but it is no answer either.
            if (read.Failed()) channel_.Debug("Fehler: DSP_To_Array: BulkRead fehlgeschlagen");
            if (!read.Delivered()) delivered = false;
            wire::BytesToWords(bytes, destination + done, static_cast<std::size_t>(n));
        }
        done += n;
    } while (done < count);
    return delivered;
}

std::int32_t DspChannel::DSP_To_Array(int board, std::uint32_t* destination, std::int32_t count) {
    // This form always answers the count; callers that must know use ReceiveWords.
    static_cast<void>(ReceiveWords(board, destination, count));
    return count;
}

// The answer words of a command whose count is known: never more than the caller's buffer holds.
bool DspChannel::ReadAnswerWords(int board, std::uint32_t count, std::span<std::uint32_t> answer,
                                 std::int32_t& answerCount) {
    const std::uint32_t fits =
        std::min<std::uint32_t>(count, static_cast<std::uint32_t>(answer.size()));
    answerCount = static_cast<std::int32_t>(fits);
    if (fits == 0) return true;
    return ReceiveWords(board, answer.data(), static_cast<std::int32_t>(fits));
}

// After the host command of the separate path: the arguments, then the answer words. A count
// of -1 from the DSP ends the call without either.
bool DspChannel::FinishSeparateCall(int board, std::int64_t count,
                                    std::span<const std::uint32_t> arguments,
                                    std::span<std::uint32_t> answer, std::int32_t& answerCount) {
    if (count == -1) return true;
    bool delivered = true;
    if (!arguments.empty())
        delivered = SendWords(board, arguments.data(), static_cast<std::int32_t>(arguments.size()));
    if (count > 0)
        delivered &= ReadAnswerWords(
            board, static_cast<std::uint32_t>(std::min<std::int64_t>(count, kMaxAnswerWords)),
            answer, answerCount);
    return delivered;
}

CallResult DspChannel::Call(int board, std::int32_t vector,
                            std::span<const std::uint32_t> arguments,
                            std::span<std::uint32_t> answer, std::int32_t& answerCount) {
    const device::TUSBAdapter* adapter = channel_.OpenAdapter(board);
    if (adapter == nullptr) return {CallOutcome::NotOpen, false};
    if (answerCount < -1) answerCount = 0;

    if (adapter->FirmwareVersion >= kCombinedPacketFrom &&
        arguments.size() <= kCombinedArgumentsDspCall)
        return ExchangeCombined(board, CombinedPacket(vector, nullptr, arguments), answer,
                                answerCount);

    const bool commanded = RaiseHostCommand(board, vector);
    std::int64_t count = answerCount;
    if (answerCount == -1) {
        // A count that did not arrive reads as FailureWord, as the DSP's own refusal does.
        const std::optional<std::int32_t> announced = ReadStatusWord(board);
        if (!announced || static_cast<std::uint32_t>(*announced) == FailureWord) {
            answerCount = 0;
            return {CallOutcome::CountIsFailureWord, commanded && announced.has_value()};
        }
        count = *announced;
        answerCount = *announced;
    }
    const bool finished = FinishSeparateCall(board, count, arguments, answer, answerCount);
    return {CallOutcome::Done, commanded && finished};
}

std::int32_t DspChannel::DspCall(int board, std::int32_t vector,
                                 std::span<const std::uint32_t> arguments,
                                 std::span<std::uint32_t> answer, std::int32_t& answerCount) {
    // Only a failed count exchange is reported; callers confirm the rest through the answer.
    switch (Call(board, vector, arguments, answer, answerCount).outcome) {
    case CallOutcome::NotOpen:
        return kNotOpen;
    case CallOutcome::CountLost:
        return kRequestRefused;
    default:
        return 0;
    }
}

CallResult DspChannel::CallWithWord(int board, std::int32_t vector, std::uint32_t leadingWord,
                                    std::span<const std::uint32_t> arguments,
                                    std::span<std::uint32_t> answer, std::int32_t& answerCount) {
    device::TUSBAdapter* adapter = channel_.OpenAdapter(board);
    if (adapter == nullptr) return {CallOutcome::NotOpen, false};
    if (answerCount < -1) answerCount = 0;

    if (adapter->FirmwareVersion >= kCombinedPacketFrom &&
        arguments.size() <= kCombinedArgumentsWithWord)
        return ExchangeCombined(board, CombinedPacket(vector, &leadingWord, arguments), answer,
                                answerCount);

    if (adapter->SendHostCommandWord(vector, leadingWord) != 0)
        return {CallOutcome::CommandRefused, false};
    std::int64_t count = answerCount;
    if (answerCount == -1) {
        std::uint32_t announced = 0;
        if (adapter->ReadWord(&announced) != 0) {
            answerCount = 0;
            return {CallOutcome::CountLost, false};
        }
        if (announced == FailureWord) {
            answerCount = 0;
            return {CallOutcome::CountIsFailureWord, true};
        }
        count = static_cast<std::int32_t>(announced);
        answerCount = static_cast<std::int32_t>(announced);
    }
    const bool finished = FinishSeparateCall(board, count, arguments, answer, answerCount);
    return {CallOutcome::Done, finished};
}

bool DspChannel::DspCallWithWord(int board, std::int32_t vector, std::uint32_t leadingWord,
                                 std::span<const std::uint32_t> arguments,
                                 std::span<std::uint32_t> answer, std::int32_t& answerCount) {
    return CallWithWord(board, vector, leadingWord, arguments, answer, answerCount).outcome ==
           CallOutcome::Done;
}

PipeResult DspChannel::ExchangePacket(int board, std::vector<std::uint8_t>& buffer,
                                      std::size_t writeLength, std::size_t readLength) {
    buffer.resize(std::max({buffer.size(), writeLength, readLength}));
    // A short answer is no answer: the caller copies nothing out of the buffer then.
    return channel_.Exchange(board, buffer.data(), static_cast<std::int32_t>(writeLength),
                             static_cast<std::int32_t>(readLength));
}

// One combined packet (and, when the DSP announces its answer count, a second one).
CallResult DspChannel::ExchangeCombined(int board, std::vector<std::uint8_t> packet,
                                        std::span<std::uint32_t> answer,
                                        std::int32_t& answerCount) {
    std::vector<std::uint8_t> buffer;
    if (answerCount == -1) {
        AppendWordPart(packet, 7, 1);
        buffer = packet;
        if (!ExchangePacket(board, buffer, packet.size(), 4).Delivered()) {
            answerCount = 0;
            return {CallOutcome::CountLost, false};
        }
        const std::uint32_t announced = wire::GetLE32(buffer.data());
        if (announced == FailureWord) {
            answerCount = 0;
            return {CallOutcome::CountIsFailureWord, true};
        }
        if (static_cast<std::int32_t>(announced) < 0) {
            answerCount = 0;
            return {CallOutcome::Done, true};
        }
        // Also a count of 0 is fetched: the firmware waits for the answer request.
        const std::uint32_t count = std::min<std::uint32_t>(
            {announced, kMaxAnswerWords, static_cast<std::uint32_t>(answer.size())});
        answerCount = static_cast<std::int32_t>(count);
        std::vector<std::uint8_t> second;
        AppendWordPart(second, 7, count);
        if (!ExchangePacket(board, second, 4, count * 4).Delivered())
            return {CallOutcome::Done, false};
        wire::BytesToWords(second.data(), answer.data(), count);
        return {CallOutcome::Done, true};
    }
    if (answerCount > 0) {
        const std::uint32_t count =
            std::min<std::uint32_t>({static_cast<std::uint32_t>(answerCount), kMaxAnswerWords,
                                     static_cast<std::uint32_t>(answer.size())});
        answerCount = static_cast<std::int32_t>(count);
        AppendWordPart(packet, 7, count);
        buffer = packet;
        if (!ExchangePacket(board, buffer, packet.size(), count * 4).Delivered())
            return {CallOutcome::Done, false};
        wire::BytesToWords(buffer.data(), answer.data(), count);
        return {CallOutcome::Done, true};
    }
    buffer = packet;
    return {CallOutcome::Done, ExchangePacket(board, buffer, packet.size(), 0).Delivered()};
}

std::int32_t DspChannel::ProbeBoardSpeed(int board) {
    // Board 16 is openable but has no protocol state: it is never probed.
    if (!HasProtocolState(board)) return -1;
    auto& flag = speedFlag_[static_cast<std::size_t>(board)];
    if (flag != -1) return flag;
    std::uint8_t status = 0xFF;
    // The requests' results are not looked at: the byte as they left it decides.
    static_cast<void>(channel_.Write(board, kPipeOut, &status, 1));
    static_cast<void>(channel_.Read(board, kPipeIn, &status, 1));
    chunkSize_[static_cast<std::size_t>(board)] = kChunkSize;
    flag = (status >> 7) & 1;
    return flag;
}

} // namespace flashwell::protocol
