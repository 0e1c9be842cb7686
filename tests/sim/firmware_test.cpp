#include "sim/fifo.h"
#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <deque>

namespace flashwell::sim {
namespace {

using namespace testing;
using platform::HANDLE;

// A DSP program that keeps what it was told and answers with words the test sets up.
class ScriptedProgram : public DspProgram {
public:
    std::vector<std::uint8_t> commands;
    std::vector<std::uint32_t> received;
    std::deque<std::uint32_t> answers;
    std::vector<std::string>* log = nullptr;

    void OnHostCommand(DspHostInterface&, std::uint8_t vector) override {
        commands.push_back(vector);
        if (log) log->push_back("cmd " + std::to_string(vector));
    }
    void OnWordsReceived(DspHostInterface& host) override {
        while (auto w = host.DspRead()) {
            received.push_back(*w);
            if (log) log->push_back("word " + std::to_string(*w));
        }
    }
    void OnTransmitEmpty(DspHostInterface& host) override {
        if (answers.empty()) return;
        host.DspWrite(answers.front());
        answers.pop_front();
    }
};

struct FirmwareTest : ::testing::Test {
    SimWorld world;
    Board& board = world.AddBoard();
    platform::OsPort& os = world.Os();
    HANDLE h = Open(os, board.DevicePath());
    ScriptedProgram* program = nullptr;

    void SetUp() override {
        auto p = std::make_unique<ScriptedProgram>();
        program = p.get();
        board.Dsp().LoadProgram(std::move(p));
    }
    std::vector<std::uint8_t> Exchange(std::vector<std::uint8_t> packet, std::size_t answer) {
        EXPECT_TRUE(WritePipe(os, h, std::move(packet)));
        return answer ? ReadPipe(os, h, answer) : std::vector<std::uint8_t>{};
    }
};

TEST_F(FirmwareTest, StatusAndVersionAnswers) {
    EXPECT_EQ(Exchange({0xFF}, 1), std::vector<std::uint8_t>{0x00});
    board.MutableConfig().highSpeed = true;
    EXPECT_EQ(Exchange({0xFF}, 1), std::vector<std::uint8_t>{0x80});
    EXPECT_EQ(Exchange({0x10}, 3), (std::vector<std::uint8_t>{5, 8, 1}));

    SimWorld other;
    BoardConfig c;
    c.firmwareVersion = {5, 6, 6};
    Board& b = other.AddBoard(c);
    const HANDLE oh = Open(other.Os(), b.DevicePath());
    ASSERT_TRUE(WritePipe(other.Os(), oh, {0x10}));
    EXPECT_EQ(ReadPipe(other.Os(), oh, 3), (std::vector<std::uint8_t>{5, 6, 6}));
    EXPECT_TRUE(board.RunningBoardFirmware()->Rejected().empty());
}

TEST_F(FirmwareTest, AnswersQueueAcrossReads) {
    ASSERT_TRUE(WritePipe(os, h, {0x10}));
    ASSERT_TRUE(WritePipe(os, h, {0xFF}));
    EXPECT_EQ(ReadPipe(os, h, 2), (std::vector<std::uint8_t>{5, 8}));
    EXPECT_EQ(board.Firmware()->PendingAnswerBytes(), 2u);
    EXPECT_EQ(ReadPipe(os, h, 64), (std::vector<std::uint8_t>{1, 0x00}));
}

TEST_F(FirmwareTest, WordPacketsReachTheDspInOrder) {
    // Two 4-byte words, then the 7-byte single-word form with 3 bytes per word.
    Exchange({0x06, 0x05, 0x00, 0x02, 0x56, 0x34, 0x12, 0x00, 0xFF, 0xFF, 0xFF, 0x7F}, 0);
    Exchange({0x06, 0x05, 0x00, 0x01, 0x56, 0x34, 0x12}, 0);
    EXPECT_EQ(program->received, (std::vector<std::uint32_t>{0x123456, 0xFFFFFF, 0x123456}));

    // A count of 0 moves nothing; a count the bytes do not cover is rejected.
    Exchange({0x06, 0x05, 0x00, 0x00}, 0);
    Exchange({0x06, 0x05, 0x00, 0x03, 1, 2, 3, 4, 5, 6, 7}, 0);
    EXPECT_EQ(program->received.size(), 3u);
    ASSERT_EQ(board.RunningBoardFirmware()->Rejected().size(), 1u);
}

TEST_F(FirmwareTest, ReadRequestsDeliverDspWordsThenFailureWords) {
    program->answers = {0x800000, 0x000102};
    EXPECT_EQ(Exchange({0x07, 0x05, 0x00, 0x03}, 12),
              (std::vector<std::uint8_t>{0x00, 0x00, 0x80, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00,
                                         0x00, 0x55}));
    EXPECT_EQ(board.RunningBoardFirmware()->MissingWordsDelivered(), 1u);
    // Words the DSP writes are 24-bit.
    board.Dsp().DspWrite(0xAB123456);
    EXPECT_EQ(Exchange({0x07, 0x05, 0x00, 0x01}, 4),
              (std::vector<std::uint8_t>{0x56, 0x34, 0x12, 0}));
}

TEST_F(FirmwareTest, HostCommandPacketAndRegisters) {
    Exchange({0x02, 0x01, 0x85}, 0);
    Exchange({0x02, 0x03, 0x11}, 0);
    EXPECT_EQ(program->commands, std::vector<std::uint8_t>{5});
    EXPECT_EQ(board.Dsp().Register(3), 0x11);
    EXPECT_EQ(board.Dsp().Register(1), 0x05); // request bit taken by the DSP
}

TEST_F(FirmwareTest, CombinedPacketRunsItsPartsInOrder) {
    std::vector<std::string> log;
    program->log = &log;
    program->answers = {0x000042};
    const std::vector<std::uint8_t> packet{0x02, 0x01, 0xC5, 0x00, 0x06, 0x05, 0x00, 0x01,
                                           0x01, 0x00, 0x00, 0x00, 0x07, 0x05, 0x00, 0x01};
    EXPECT_EQ(Exchange(packet, 4), (std::vector<std::uint8_t>{0x42, 0, 0, 0}));
    EXPECT_EQ(log, (std::vector<std::string>{"cmd 69", "word 1"}));

    // Host command, leading word, two arguments and an answer request for two words.
    log.clear();
    program->answers = {7, 8};
    const std::vector<std::uint8_t> withWord{
        0x02, 0x01, 0xE8, 0x00, 0x06, 0x05, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x06, 0x05,
        0x00, 0x02, 0x00, 0x10, 0xD0, 0x00, 0x06, 0x1C, 0x00, 0x00, 0x07, 0x05, 0x00, 0x02};
    EXPECT_EQ(Exchange(withWord, 8), (std::vector<std::uint8_t>{7, 0, 0, 0, 8, 0, 0, 0}));
    EXPECT_EQ(log, (std::vector<std::string>{"cmd 104", "word 2", "word 13635584", "word 7174"}));
    EXPECT_TRUE(board.RunningBoardFirmware()->Rejected().empty());
}

TEST_F(FirmwareTest, MalformedWritesAreRejectedNotGuessed) {
    Exchange({0x06, 0x04, 0x00, 0x01, 1, 2, 3, 4}, 0); // wrong port
    Exchange({0x33}, 0);                               // unknown opcode
    Exchange({0x07, 0x05, 0x00}, 0);                   // truncated
    EXPECT_TRUE(program->received.empty());
    EXPECT_EQ(board.RunningBoardFirmware()->Rejected().size(), 3u);
    EXPECT_EQ(board.Firmware()->PendingAnswerBytes(), 0u);
}

TEST_F(FirmwareTest, EepromPacketsGoToTheHooks) {
    // By default the packets reach the board's EEPROM, blank beyond its firmware.
    EXPECT_EQ(Exchange({0x56, 0x20, 0x10}, 1), std::vector<std::uint8_t>{0xFF});
    Exchange({0x55, 0x20, 0x10, 0x5A}, 0);
    EXPECT_EQ(board.Eeprom()[0x2010], 0x5A);
    // Within the 2 ms write cycle the EEPROM answers no read and takes no write.
    os.Sleep(1);
    EXPECT_EQ(Exchange({0x56, 0x20, 0x10}, 1), std::vector<std::uint8_t>{});
    Exchange({0x55, 0x20, 0x10, 0x00}, 0);
    os.Sleep(1);
    EXPECT_EQ(Exchange({0x56, 0x20, 0x10}, 1), std::vector<std::uint8_t>{0x5A});

    struct Eeprom : ControllerHooks {
        std::map<std::uint16_t, std::uint8_t> bytes;
        void OnEepromWrite(Board&, std::uint16_t a, std::uint8_t d) override { bytes[a] = d; }
        std::optional<std::uint8_t> OnEepromRead(Board&, std::uint16_t a) override {
            return bytes[a];
        }
    };
    auto eeprom = std::make_shared<Eeprom>();
    board.SetHooks(eeprom);
    Exchange({0x55, 0x12, 0x34, 0xC2}, 0);
    EXPECT_EQ(eeprom->bytes[0x1234], 0xC2);
    EXPECT_EQ(Exchange({0x56, 0x12, 0x34}, 1), std::vector<std::uint8_t>{0xC2});
}

TEST_F(FirmwareTest, DirectRequestsUseTheSameHostInterface) {
    board.MutableConfig().interfaceVersion = 0x40004;
    std::vector<std::uint8_t> in = Le32Bytes(5);
    platform::DWORD n = 0;
    ASSERT_TRUE(os.DeviceIoControl(h, kIoctlHostCommand, in.data(), 4, nullptr, 0, &n));
    in = Le32Bytes(1);
    const auto v = Le32Bytes(0x85);
    in.insert(in.end(), v.begin(), v.end());
    ASSERT_TRUE(os.DeviceIoControl(h, kIoctlHostRegister, in.data(), 8, nullptr, 0, &n));
    EXPECT_EQ(program->commands, (std::vector<std::uint8_t>{5, 5}));
}

// A loader that swaps itself for another program from inside its own callback.
class SelfReplacingProgram : public DspProgram {
public:
    void OnHostCommand(DspHostInterface& host, std::uint8_t vector) override {
        if (vector == 5) host.LoadProgram(std::make_unique<ScriptedProgram>());
    }
};

TEST(SimDsp, ProgramReplacedFromItsOwnCallback) {
    DspHostInterface dsp;
    dsp.LoadProgram(std::make_unique<SelfReplacingProgram>());
    dsp.HostCommand(5);
    dsp.HostWrite(0x1234);
    auto* now = dynamic_cast<ScriptedProgram*>(&dsp.Program());
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(now->received, std::vector<std::uint32_t>{0x1234});
    EXPECT_EQ(dsp.HostCommands(), std::vector<std::uint8_t>{5});
}

} // namespace
} // namespace flashwell::sim

namespace flashwell::sim {
namespace {

using namespace testing;

std::vector<std::uint8_t> WordWrite(std::size_t count) {
    std::vector<std::uint8_t> p{0x06, 0x05, static_cast<std::uint8_t>(count >> 8),
                                static_cast<std::uint8_t>(count)};
    for (std::size_t i = 0; i < count; ++i)
        p.insert(p.end(), {static_cast<std::uint8_t>(i + 1), 0, 0, 0});
    return p;
}

// One endpoint packet per write: 64 bytes at full speed, 512 at high speed.
TEST_F(FirmwareTest, WordWritesBeyondTheEndpointPacketAreDropped) {
    Exchange(WordWrite(15), 0); // 64 bytes
    EXPECT_EQ(program->received.size(), 15u);
    Exchange(WordWrite(16), 0); // 68 bytes
    EXPECT_EQ(program->received.size(), 15u);
    ASSERT_EQ(board.RunningBoardFirmware()->Rejected().size(), 1u);

    board.MutableConfig().highSpeed = true;
    Exchange(WordWrite(127), 0); // 512 bytes
    EXPECT_EQ(program->received.size(), 15u + 127u);
    Exchange(WordWrite(128), 0); // 516 bytes
    EXPECT_EQ(program->received.size(), 15u + 127u);
    EXPECT_EQ(board.RunningBoardFirmware()->Rejected().size(), 2u);
}

TEST_F(FirmwareTest, ReadRequestsAreLimitedToFifteenWords) {
    program->answers = {1, 2, 3};
    EXPECT_EQ(Exchange({0x07, 0x05, 0x00, 0x10}, 64), std::vector<std::uint8_t>{});
    EXPECT_EQ(board.RunningBoardFirmware()->Rejected().size(), 1u);
    EXPECT_EQ(Exchange({0x07, 0x05, 0x00, 0x0F}, 60).size(), 60u);
}

TEST_F(FirmwareTest, CombinedWritesBeyondSixtyFourBytesAreDroppedWhole) {
    // Host command, then 14 words: 4 + 4 + 56 = 64 bytes pass; one word more does not.
    std::vector<std::uint8_t> packet{0x02, 0x01, 0x85, 0x00};
    const auto words = WordWrite(14);
    packet.insert(packet.end(), words.begin(), words.end());
    Exchange(packet, 0);
    EXPECT_EQ(program->commands.size(), 1u);
    EXPECT_EQ(program->received.size(), 14u);

    board.MutableConfig().highSpeed = true;
    packet = {0x02, 0x01, 0x85, 0x00};
    const auto more = WordWrite(15);
    packet.insert(packet.end(), more.begin(), more.end());
    Exchange(packet, 0);
    EXPECT_EQ(program->commands.size(), 1u);
    EXPECT_EQ(program->received.size(), 14u);
    EXPECT_EQ(board.RunningBoardFirmware()->Rejected().size(), 1u);
}

TEST_F(FirmwareTest, PadBytesMustBeZero) {
    Exchange({0x02, 0x01, 0x85, 0x01, 0x06, 0x05, 0x00, 0x01, 9, 0, 0, 0}, 0);
    EXPECT_EQ(program->commands.size(), 1u);
    EXPECT_TRUE(program->received.empty());
    EXPECT_EQ(board.RunningBoardFirmware()->Rejected().size(), 1u);
}

TEST(FirmwareVersions, OlderFirmwareTakesOnePartPerWrite) {
    for (const auto version : {std::array<std::uint8_t, 3>{5, 6, 6}, {5, 6, 7}}) {
        SimWorld world;
        BoardConfig config;
        config.firmwareVersion = version;
        Board& board = world.AddBoard(config);
        const platform::HANDLE h = Open(world.Os(), board.DevicePath());
        auto p = std::make_unique<ScriptedProgram>();
        ScriptedProgram& program = *p;
        board.Dsp().LoadProgram(std::move(p));
        program.answers = {0};
        ASSERT_TRUE(WritePipe(world.Os(), h,
                              {0x02, 0x01, 0xC5, 0x00, 0x06, 0x05, 0x00, 0x01, 0x01, 0x00, 0x00,
                               0x00, 0x07, 0x05, 0x00, 0x01}));
        const bool combined = version[2] == 7;
        EXPECT_EQ(program.commands.size(), 1u);
        EXPECT_EQ(program.received.size(), combined ? 1u : 0u);
        EXPECT_EQ(ReadPipe(world.Os(), h, 4).size(), combined ? 4u : 0u);
        EXPECT_EQ(board.RunningBoardFirmware()->Rejected().size(), combined ? 0u : 1u);
    }
}

// The firmware's answer FIFO drops what was taken in bulk; a long queue read in small pieces
// must still come out whole and in order across that.
TEST(AnswerFifo, KeepsOrderAcrossCompaction) {
    Fifo<std::uint32_t> fifo;
    std::uint32_t next = 0;
    std::uint32_t expected = 0;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 9000; ++i)
            fifo.push_back(next++);
        std::array<std::uint32_t, 7> chunk{};
        while (fifo.size() > 100) {
            const std::size_t n = fifo.take(chunk);
            for (std::size_t k = 0; k < n; ++k)
                ASSERT_EQ(chunk[k], expected++);
        }
    }
    while (!fifo.empty()) {
        ASSERT_EQ(fifo.front(), expected++);
        fifo.pop_front();
    }
    EXPECT_EQ(expected, next);
    std::array<std::uint32_t, 4> none{};
    EXPECT_EQ(fifo.take(none), 0u);
}

} // namespace
} // namespace flashwell::sim
