#include "protocol_test_support.h"

#include <array>
#include <deque>

namespace flashwell::testing {
namespace {

using protocol::FailureWord;

// A DSP program that answers every host command with `announced` and then with the words
// 1, 2, 3, ... for as long as the host reads.
class Announcer : public sim::DspProgram {
public:
    explicit Announcer(std::uint32_t announced) : announced_(announced) {}
    void OnHostCommand(sim::DspHostInterface& host, std::uint8_t) override {
        next_ = 1;
        ++commands_;
        host.DspWriteCount(announced_);
    }
    void OnWordsReceived(sim::DspHostInterface& host) override {
        while (host.DspRead()) {
        }
    }
    void OnTransmitEmpty(sim::DspHostInterface& host) override { host.DspWrite(next_++); }
    int Commands() const { return commands_; }

private:
    std::uint32_t announced_;
    int commands_ = 0;
    std::uint32_t next_ = 1;
};

sim::BoardConfig WithFirmware(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    sim::BoardConfig config;
    config.firmwareVersion = {a, b, c};
    return config;
}

TEST(DspCall, BankSwitchTravelsAsOneCombinedPacket) {
    FlashWorld w;
    const std::size_t mark = w.Mark();
    std::uint32_t cell = 1;
    std::int32_t count = 1;
    EXPECT_EQ(w.proto.DspCall(0, 69, std::span<const std::uint32_t>(&cell, 1),
                              std::span<std::uint32_t>(&cell, 1), count),
              0);
    const auto writes = w.Writes(mark);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], (Bytes{0x02, 0x01, 0xC5, 0x00, 0x06, 0x05, 0x00, 0x01, 0x01, 0x00, 0x00,
                                0x00, 0x07, 0x05, 0x00, 0x01}));
    const auto reads = w.Rec().Requests(sim::kIoctlPipeRead, mark);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].bytesReturned, 4u);
    EXPECT_EQ(cell, 0u);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(w.board.Flash().SelectedBank(), 1);
}

// Twelve arguments (eleven after a leading word) are the most one combined packet carries;
// one more goes part by part.
TEST(DspCall, CombinedPacketCarriesAtMostTwelveArguments) {
    for (bool withWord : {false, true}) {
        SCOPED_TRACE(withWord ? "DspCallWithWord" : "DspCall");
        for (std::size_t n : {std::size_t{11}, std::size_t{12}, std::size_t{13}}) {
            ProtocolWorld w;
            ASSERT_TRUE(w.Open());
            const std::vector<std::uint32_t> args(n, 7);
            std::uint32_t answer = 0;
            std::int32_t count = 1;
            const std::size_t mark = w.Mark();
            if (withWord)
                w.proto.DspCallWithWord(0, 70, 1, args, std::span<std::uint32_t>(&answer, 1),
                                        count);
            else
                w.proto.DspCall(0, 70, args, std::span<std::uint32_t>(&answer, 1), count);
            const bool combined = n + (withWord ? 1 : 0) <= 12;
            const auto writes = w.Writes(mark);
            ASSERT_FALSE(writes.empty());
            EXPECT_EQ(writes.size() == 1, combined) << n;
            if (combined) {
                EXPECT_LE(writes[0].size(), 64u);
            }
        }
    }
}

TEST(DspCall, OlderFirmwareSendsTheSameRequestPartByPart) {
    FlashWorld w(WithFirmware(5, 6, 6));
    const std::size_t mark = w.Mark();
    EXPECT_EQ(w.proto.SelectFlashBank(0, 1), 0u);
    EXPECT_EQ(w.Writes(mark), (std::vector<Bytes>{{0x02, 0x01, 0xC5},
                                                  {0x06, 0x05, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00},
                                                  {0x07, 0x05, 0x00, 0x01}}));
    EXPECT_EQ(w.board.Flash().SelectedBank(), 1);
}

// The board may announce any count; the caller's span is the limit on both paths and for both
// calls, and nothing beyond it is touched.
TEST(DspCall, AnswersNeverRunPastTheCallersBuffer) {
    for (const auto version : {std::array<std::uint8_t, 3>{5, 8, 1}, {5, 6, 6}}) {
        for (bool withWord : {false, true}) {
            SCOPED_TRACE(::testing::Message()
                         << "firmware " << int{version[1]} << " word " << withWord);
            ProtocolWorld w(WithFirmware(version[0], version[1], version[2]));
            ASSERT_TRUE(w.Open());
            w.board.Dsp().LoadProgram(std::make_unique<Announcer>(0x7FFF00));
            std::array<std::uint32_t, 12> buffer;
            buffer.fill(0xEEEEEEEE);
            const std::span<std::uint32_t> answer(buffer.data() + 2, 4);
            const std::uint32_t argument = 9;
            std::int32_t count = -1;
            if (withWord)
                w.proto.DspCallWithWord(0, 70, 1, std::span<const std::uint32_t>(&argument, 1),
                                        answer, count);
            else
                w.proto.DspCall(0, 70, std::span<const std::uint32_t>(&argument, 1), answer, count);
            EXPECT_LE(count, 4);
            EXPECT_EQ(buffer[0], 0xEEEEEEEE);
            EXPECT_EQ(buffer[1], 0xEEEEEEEE);
            for (std::size_t i = 6; i < buffer.size(); ++i)
                EXPECT_EQ(buffer[i], 0xEEEEEEEE) << i;
            EXPECT_EQ(answer[0], 1u);
            EXPECT_EQ(answer[3], 4u);
        }
    }
}

TEST(DspCall, CombinedPathDeliversLongAnswersWhole) {
    ProtocolWorld w;
    ASSERT_TRUE(w.Open());
    w.board.Dsp().LoadProgram(std::make_unique<Announcer>(0));
    std::array<std::uint32_t, 24> buffer;
    buffer.fill(0xEEEEEEEE);
    std::int32_t count = 15;
    const std::size_t mark = w.Mark();
    EXPECT_EQ(w.proto.DspCall(0, 70, {}, std::span<std::uint32_t>(buffer.data(), 15), count), 0);
    ASSERT_EQ(w.Writes(mark).size(), 1u);
    EXPECT_EQ(count, 15);
    // The announced count (0) is the first word the DSP gives; then 1, 2, ...
    for (std::uint32_t i = 0; i < 15; ++i)
        EXPECT_EQ(buffer[i], i) << i;
    EXPECT_EQ(buffer[15], 0xEEEEEEEE);

    // Asking for more words than the span holds reads only what fits.
    count = 30;
    EXPECT_EQ(w.proto.DspCall(0, 70, {}, std::span<std::uint32_t>(buffer.data(), 3), count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(buffer[15], 0xEEEEEEEE);
    EXPECT_TRUE(w.board.RunningBoardFirmware()->Rejected().empty());
}

// The answer count 0 still has its answer request (reading nothing): the firmware waits for it
// and would drop the next command otherwise.
TEST(DspCall, CombinedPathFetchesAnAnnouncedCountOfZero) {
    for (bool withWord : {false, true}) {
        SCOPED_TRACE(withWord ? "DspCallWithWord" : "DspCall");
        ProtocolWorld w;
        ASSERT_TRUE(w.Open());
        auto program = std::make_unique<Announcer>(0);
        const Announcer& announcer = *program;
        w.board.Dsp().LoadProgram(std::move(program));
        std::array<std::uint32_t, 4> answer{};
        const std::size_t mark = w.Mark();
        for (int call = 0; call < 2; ++call) {
            std::int32_t count = -1;
            if (withWord)
                EXPECT_TRUE(w.proto.DspCallWithWord(0, 70, 2, {}, answer, count));
            else
                EXPECT_EQ(w.proto.DspCall(0, 70, {}, answer, count), 0);
            EXPECT_EQ(count, 0);
        }
        const auto writes = w.Writes(mark);
        ASSERT_EQ(writes.size(), 4u);
        EXPECT_EQ(writes[1], (Bytes{0x07, 0x05, 0x00, 0x00}));
        EXPECT_EQ(writes[3], (Bytes{0x07, 0x05, 0x00, 0x00}));
        // Only the counts are read; the empty answer asks for no bytes.
        const auto reads = w.Rec().Requests(sim::kIoctlPipeRead, mark);
        ASSERT_EQ(reads.size(), 2u);
        EXPECT_EQ(reads[0].bytesReturned, 4u);
        EXPECT_EQ(announcer.Commands(), 2);
        EXPECT_TRUE(w.board.RunningBoardFirmware()->Rejected().empty());
        EXPECT_FALSE(w.board.RunningBoardFirmware()->AwaitingAnswerRequest());
    }
}

TEST(SelectFlashBank, ReportsNoSwitchThatDidNotHappen) {
    // A DSP that answers nothing: the firmware delivers FailureWord.
    sim::BoardConfig idle;
    idle.dspAtPowerUp = sim::DspStartup::Idle;
    ProtocolWorld silent(idle);
    ASSERT_TRUE(silent.Open());
    EXPECT_EQ(silent.proto.SelectFlashBank(0, 0), FailureWord);

    FlashWorld w;
    ASSERT_EQ(w.proto.SelectFlashBank(0, 1), 0u);
    // The request never reaches the board: the cell still holds the request word 0.
    w.board.AddFault({sim::kIoctlPipeWrite, 0, platform::kErrorBusy, true});
    EXPECT_EQ(w.proto.SelectFlashBank(0, 0), FailureWord);
    EXPECT_EQ(w.board.Flash().SelectedBank(), 1);
    // The answer is lost on the way.
    w.board.FailAnswerWords({1});
    EXPECT_EQ(w.proto.SelectFlashBank(0, 0), FailureWord);
    // Board index outside the protocol's tables: nothing is sent.
    const std::size_t mark = w.Mark();
    EXPECT_EQ(w.proto.SelectFlashBank(16, 0), FailureWord);
    EXPECT_EQ(w.proto.SelectFlashBank(-1, 0), FailureWord);
    EXPECT_EQ(w.Rec().Size(), mark);
}

// An answer cut short is no answer, on either path: the emptied cell would read as a switch
// to bank 0 that happened.
TEST(SelectFlashBank, AnswerCutShortIsNoAnswer) {
    for (const auto version : {std::array<std::uint8_t, 3>{5, 8, 1}, {5, 6, 6}}) {
        SCOPED_TRACE(::testing::Message() << "firmware " << int{version[1]});
        FlashWorld w(WithFirmware(version[0], version[1], version[2]));
        ASSERT_EQ(w.proto.SelectFlashBank(0, 1), 0u);
        CutNextRead::Install(w.board, 0);
        EXPECT_EQ(w.proto.SelectFlashBank(0, 0), FailureWord);
        // Only that answer was lost: the next request gets through whole.
        EXPECT_EQ(w.proto.SelectFlashBank(0, 0), 0u);
    }
}

TEST(DspRequest, QueryAnswersTheSubIdInBothModes) {
    sim::BoardConfig config;
    config.subId = 3;
    FlashWorld w(config);
    std::size_t mark = w.Mark();
    EXPECT_EQ(w.proto.DspRequest(0, 1, 127, 0), 3);
    auto requests = DecodeRequests(w.Writes(mark));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].vector, 65);
    EXPECT_EQ(requests[0].words, std::vector<std::uint32_t>{0x7F});

    mark = w.Mark();
    EXPECT_EQ(w.proto.DspRequest(0, 0, 127, 0x123456), 3);
    const auto writes = w.Writes(mark);
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[1], (Bytes{0x06, 0x05, 0x00, 0x01, 0x56, 0x34, 0x12}));
    requests = DecodeRequests(writes);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].words, (std::vector<std::uint32_t>{0x80007F, 0x123456}));
}

} // namespace
} // namespace flashwell::testing
