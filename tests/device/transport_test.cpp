#include "device_test_support.h"

#include <cstring>

using namespace flashwell;
using namespace flashwell::testing;
using sim::Bytes;

namespace {

struct OpenBoardWorld : DeviceWorld {
    explicit OpenBoardWorld(sim::BoardConfig config = {}) {
        board = &world.AddBoard(config);
        EXPECT_EQ(boards.OpenBoard(0), 1);
        adapter = boards.Adapter(0);
        mark = rec().Mark();
    }
    std::vector<Bytes> Writes() { return rec().PipeWrites(0, mark); }

    sim::Board* board = nullptr;
    device::TUSBAdapter* adapter = nullptr;
    std::size_t mark = 0;
};

std::vector<std::uint32_t> Words(std::size_t n) {
    std::vector<std::uint32_t> w(n);
    for (std::size_t i = 0; i < n; ++i)
        w[i] = 0x010203u * static_cast<std::uint32_t>(i + 1);
    return w;
}

} // namespace

TEST(QueryVersions, DecodesTheAnswers) {
    sim::BoardConfig config;
    config.driverVersion = {6, 2, 17};
    config.interfaceVersion = 0x40004;
    config.firmwareVersion = {5, 6, 6};
    config.highSpeed = true;
    OpenBoardWorld w(config);
    EXPECT_EQ(w.adapter->DriverVersion, 0x060211u);
    EXPECT_EQ(w.adapter->InterfaceVersion, 0x40004u);
    EXPECT_EQ(w.adapter->FirmwareVersion, 0x050606u);
    EXPECT_EQ(w.adapter->Protocol, 0);
    EXPECT_TRUE(w.adapter->HighSpeed);
    EXPECT_TRUE(w.adapter->BoardInfoAvailable);

    // The board-info request carries the selector 1.
    const auto info = w.rec().Requests(device::ioctl::BoardInfo);
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].input, (Bytes{1, 0, 0, 0}));
    // The speed and version queries are single command bytes on pipe 0.
    const auto writes = w.rec().PipeWrites(0);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], Bytes{0xFF});
    EXPECT_EQ(writes[1], Bytes{0x10});
}

TEST(QueryVersions, ProtocolFromTheMiddleVersionByte) {
    sim::BoardConfig config;
    config.firmwareVersion = {5, 7, 0};
    config.highSpeed = false;
    OpenBoardWorld w(config);
    EXPECT_EQ(w.adapter->Protocol, 1);
    EXPECT_FALSE(w.adapter->HighSpeed);
    const auto debug = w.world.Windows().DebugTexts();
    ASSERT_FALSE(debug.empty());
    EXPECT_EQ(debug.front(), "[ADAPTER0] protocol: 1");

    sim::BoardConfig nine;
    nine.firmwareVersion = {5, 9, 1};
    OpenBoardWorld w2(nine);
    EXPECT_EQ(w2.adapter->Protocol, 2);
}

TEST(Transfer, WriteThenReadIntoTheSameBuffer) {
    OpenBoardWorld w;
    std::uint8_t buffer[4] = {0x10, 0xAA, 0xBB, 0xCC};
    EXPECT_EQ(w.adapter->Transfer(buffer, 1, 3), 0);
    EXPECT_EQ(buffer[0], 5);
    EXPECT_EQ(buffer[1], 8);
    EXPECT_EQ(buffer[2], 1);
    EXPECT_EQ(buffer[3], 0xCC);

    std::uint8_t command[1] = {0x10};
    w.mark = w.rec().Mark();
    EXPECT_EQ(w.adapter->Transfer(command, 1, 0), 0);
    EXPECT_EQ(w.rec().CountRequests(device::ioctl::ReadPipe, w.mark), 0u);
    EXPECT_EQ(w.adapter->Transfer(command, 0, 1), -2);
    EXPECT_EQ(w.adapter->Transfer(nullptr, 1, 1), -2);
    EXPECT_EQ(w.rec().Size(), w.mark + 1);
    // Answer the pending version bytes so nothing is left in the pipe.
    w.adapter->ReadPipe(1, buffer, 3);
}

TEST(Transfer, NotOpenIsMinusOne) {
    DeviceWorld w;
    device::TUSBAdapter adapter(w.world.Os());
    std::uint8_t b[1] = {0xFF};
    EXPECT_EQ(adapter.Transfer(b, 1, 1), -1);
    EXPECT_EQ(adapter.WritePipe(0, b, 1), device::kNoDeviceError);
    EXPECT_EQ(adapter.SendHostCommand(5), device::kNoDeviceError);
    EXPECT_EQ(w.rec().CountRequests(device::ioctl::WritePipe), 0u);
}

TEST(WriteWords, PacketsFillToTheSpeedsLimit) {
    struct Case {
        bool high;
        std::size_t words;
        std::vector<std::size_t> sizes;
        std::vector<std::uint8_t> counts;
    };
    const Case cases[] = {
        {false, 7, {32}, {7}},
        {false, 8, {32, 8}, {7, 1}},
        {true, 127, {512}, {127}},
        {true, 128, {512, 8}, {127, 1}},
    };
    for (const Case& c : cases) {
        sim::BoardConfig config;
        config.highSpeed = c.high;
        OpenBoardWorld w(config);
        const auto words = Words(c.words);
        EXPECT_EQ(w.adapter->WriteWords(words.data(), static_cast<std::int32_t>(words.size())), 0);
        const auto writes = w.Writes();
        ASSERT_EQ(writes.size(), c.sizes.size()) << c.words;
        std::size_t next = 0;
        for (std::size_t p = 0; p < writes.size(); ++p) {
            const Bytes& packet = writes[p];
            ASSERT_EQ(packet.size(), c.sizes[p]);
            EXPECT_EQ(packet[0], 6);
            EXPECT_EQ(packet[1], 5);
            EXPECT_EQ(packet[2], 0);
            EXPECT_EQ(packet[3], c.counts[p]);
            for (std::size_t i = 4; i < packet.size(); i += 4, ++next) {
                std::uint32_t v;
                std::memcpy(&v, &packet[i], 4);
                EXPECT_EQ(v, words[next]) << "word " << next;
            }
        }
        EXPECT_EQ(next, words.size());
        EXPECT_EQ(w.board->Dsp().ReceivePending(), c.words);
    }
}

TEST(WriteWords, StopsAtTheFailingPacket) {
    OpenBoardWorld w;
    w.board->AddFault({device::ioctl::WritePipe, 1, platform::kErrorDeviceNotConnected, false});
    const auto words = Words(30);
    EXPECT_EQ(w.adapter->WriteWords(words.data(), 30), device::kWordPacketFailed);
    EXPECT_TRUE(w.adapter->WriteFailed);
    EXPECT_EQ(w.Writes().size(), 2u);
    EXPECT_FALSE(w.adapter->IsOpen());
    EXPECT_EQ(w.adapter->WriteWords(words.data(), 0), device::kNoDeviceError);
}

TEST(ReadWords, ChunksOfFifteenAtEitherSpeed) {
    for (bool high : {false, true}) {
        sim::BoardConfig config;
        config.highSpeed = high;
        OpenBoardWorld w(config);
        const auto words = Words(16);
        for (std::uint32_t v : words)
            w.board->Dsp().DspWrite(v);
        std::vector<std::uint32_t> got(16, 0xDEAD);
        EXPECT_EQ(w.adapter->ReadWords(got.data(), 16), 0u);
        const auto writes = w.Writes();
        ASSERT_EQ(writes.size(), 2u);
        EXPECT_EQ(writes[0], (Bytes{7, 5, 0, 15}));
        EXPECT_EQ(writes[1], (Bytes{7, 5, 0, 1}));
        EXPECT_EQ(got, words);
    }
}

TEST(ReadPipe, FailureLeavesZerosNotStaleData) {
    OpenBoardWorld w;
    w.board->AddFault({device::ioctl::ReadPipe, 0, platform::kErrorBusy, true});
    std::uint8_t buffer[4] = {1, 2, 3, 4};
    EXPECT_EQ(w.adapter->ReadPipe(1, buffer, 4), platform::kErrorBusy);
    EXPECT_EQ(buffer[0] | buffer[1] | buffer[2] | buffer[3], 0);
    EXPECT_TRUE(w.adapter->IsOpen()) << "busy keeps the device";
}

TEST(SendHostCommand, PacketOrDirectRequestByInterfaceVersion) {
    {
        sim::BoardConfig config;
        config.interfaceVersion = 0x40003;
        OpenBoardWorld w(config);
        EXPECT_EQ(w.adapter->SendHostCommand(5), 0u);
        EXPECT_EQ(w.adapter->LastHostCommand, 5);
        ASSERT_EQ(w.Writes().size(), 1u);
        EXPECT_EQ(w.Writes()[0], (Bytes{2, 1, 0x85}));
        EXPECT_EQ(w.rec().CountRequests(device::ioctl::HostCommand), 0u);
    }
    {
        sim::BoardConfig config;
        config.interfaceVersion = 0x40004;
        OpenBoardWorld w(config);
        EXPECT_EQ(w.adapter->SendHostCommandWord(5, 0x123456), 0u);
        const auto direct = w.rec().Requests(device::ioctl::HostCommand, w.mark);
        ASSERT_EQ(direct.size(), 1u);
        EXPECT_EQ(direct[0].input, (Bytes{5, 0, 0, 0}));
        ASSERT_EQ(w.Writes().size(), 1u);
        EXPECT_EQ(w.Writes()[0], (Bytes{6, 5, 0, 1, 0x56, 0x34, 0x12, 0}));
    }
}

TEST(IoControl, ErrorsThatKeepTheDeviceAndErrorsThatCloseIt) {
    for (DWORD error : {87u, 142u, 170u}) {
        OpenBoardWorld w;
        w.board->AddFault({device::ioctl::BoardInfo, 0, error, true});
        std::uint8_t sel[4] = {1, 0, 0, 0}, out[4];
        EXPECT_FALSE(w.adapter->IoControl(device::ioctl::BoardInfo, sel, 4, out, 4, nullptr));
        EXPECT_TRUE(w.adapter->IsOpen()) << error;
        EXPECT_EQ(w.world.Os().GetLastError(), error);
        EXPECT_TRUE(w.adapter->IoControl(device::ioctl::BoardInfo, sel, 4, out, 4, nullptr));
    }
    for (DWORD error : {1u, 31u, 1167u}) {
        OpenBoardWorld w;
        w.board->AddFault({device::ioctl::BoardInfo, 0, error, true});
        std::uint8_t sel[4] = {1, 0, 0, 0}, out[4];
        EXPECT_FALSE(w.adapter->IoControl(device::ioctl::BoardInfo, sel, 4, out, 4, nullptr));
        EXPECT_FALSE(w.adapter->IsOpen()) << error;
        EXPECT_EQ(w.world.Os().GetLastError(), error) << "still readable after the close";
        EXPECT_EQ(w.world.Windows().OpenHandleCount(), 0u);
    }
}
