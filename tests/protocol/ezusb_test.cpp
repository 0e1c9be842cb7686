#include "boarddata/images/images.h"
#include "protocol/hex_text.h"
#include "protocol_test_support.h"

#include <algorithm>
#include <map>
#include <string>

namespace flashwell::testing {
namespace {

using protocol::FailureWord;

struct LoadSeen {
    std::uint16_t address;
    std::size_t length;
};

std::vector<LoadSeen> Loads(ProtocolWorld& w, std::size_t from) {
    std::vector<LoadSeen> out;
    for (const auto& e : w.Rec().Requests(sim::kIoctlLoadMemory, from))
        out.push_back({static_cast<std::uint16_t>(e.input[0] | e.input[1] << 8), e.output.size()});
    return out;
}

// Data bytes of the records that lie wholly inside text, by address.
std::map<std::uint16_t, std::uint8_t> RecordBytes(std::string_view text) {
    std::map<std::uint16_t, std::uint8_t> bytes;
    std::size_t pos = 0;
    while (pos + 13 <= text.size()) {
        const std::size_t n = std::stoul(std::string(text.substr(pos + 1, 2)), nullptr, 16);
        const std::size_t a = std::stoul(std::string(text.substr(pos + 3, 4)), nullptr, 16);
        if (pos + 13 + 2 * n > text.size()) break;
        for (std::size_t i = 0; i < n; ++i)
            bytes[static_cast<std::uint16_t>(a + i)] = static_cast<std::uint8_t>(
                std::stoul(std::string(text.substr(pos + 9 + 2 * i, 2)), nullptr, 16));
        pos += 13 + 2 * n;
    }
    return bytes;
}

std::map<std::uint16_t, std::uint8_t> LoadedBytes(ProtocolWorld& w, std::size_t from) {
    std::map<std::uint16_t, std::uint8_t> bytes;
    for (const auto& e : w.Rec().Requests(sim::kIoctlLoadMemory, from)) {
        if (!e.ok) continue;
        const auto a = static_cast<std::uint16_t>(e.input[0] | e.input[1] << 8);
        for (std::size_t i = 0; i < e.output.size(); ++i)
            bytes[static_cast<std::uint16_t>(a + i)] = e.output[i];
    }
    return bytes;
}

TEST(DownloadHexRecords, RamFirmwareGoesDownInRunsBetweenHoldAndRelease) {
    ProtocolWorld w;
    ASSERT_TRUE(w.Open());
    const std::size_t mark = w.Mark();
    EXPECT_EQ(w.proto.DownloadHexRecords(0, images::RamFirmwareHex, images::kRamFirmwareHexLength),
              10040u);

    const auto loads = Loads(w, mark);
    ASSERT_EQ(loads.size(), 33u);
    EXPECT_EQ(loads[0].address, 0x08CD);
    EXPECT_EQ(loads[0].length, 49u);
    EXPECT_EQ(loads[1].address, 0x0778);
    std::size_t total = 0;
    for (const auto& l : loads)
        total += l.length;
    EXPECT_EQ(total, 3343u);
    EXPECT_EQ(LoadedBytes(w, mark), RecordBytes(images::RamFirmwareHexText()));

    // One hold before the first load, one release after the last, nothing else.
    std::vector<std::string> order;
    for (const auto& e : w.Rec().Requests(sim::kIoctlVendorRequest, mark))
        order.push_back(std::to_string(e.input[0]) + "/" + std::to_string(e.input[9]));
    EXPECT_EQ(order, (std::vector<std::string>{"160/1", "160/0"}));
    const auto& events = w.Rec().Events();
    std::vector<platform::DWORD> codes;
    for (std::size_t i = mark; i < events.size(); ++i)
        if (events[i].kind == sim::EventKind::IoControl) codes.push_back(events[i].code);
    EXPECT_EQ(codes.front(), sim::kIoctlVendorRequest);
    EXPECT_EQ(codes.back(), sim::kIoctlVendorRequest);
}

TEST(DownloadHexRecords, ControllerComesBackWithTheDownloadedIdentity) {
    ProtocolWorld w;
    ASSERT_TRUE(w.Open());
    w.proto.DownloadHexRecords(0, images::RamFirmwareHex, images::kRamFirmwareHexLength);
    // Gone at once: the next request fails with 1167.
    EXPECT_EQ(w.proto.BulkWrite(0, 0, "\xFF", 1), protocol::kRequestRefused);
    EXPECT_EQ(w.world.Os().GetLastError(), platform::kErrorDeviceNotConnected);
    w.boards.CloseBoard(0);
    EXPECT_FALSE(w.Open());
    w.world.Os().Sleep(2000);
    w.world.Os().Sleep(500);
    ASSERT_TRUE(w.Open());
    const sim::BoardReport r = sim::Inspect(w.board);
    EXPECT_EQ(r.identity, sim::kBoardIdentity);
    EXPECT_TRUE(r.runsBoardFirmware);
}

TEST(DownloadHexRecords, LostReenumerationNeedsAReconnect) {
    ProtocolWorld w;
    w.board.Faults().reenumerationNeedsReconnect = true;
    ASSERT_TRUE(w.Open());
    w.proto.DownloadHexRecords(0, images::RamFirmwareHex, images::kRamFirmwareHexLength);
    w.boards.CloseBoard(0);
    w.world.Os().Sleep(60000);
    EXPECT_FALSE(w.Open());
    w.world.Reconnect(w.board);
    EXPECT_TRUE(w.Open());
    EXPECT_TRUE(sim::Inspect(w.board).runsBoardFirmware);
}

TEST(DownloadHexRecords, NeverReadsBeyondTheText) {
    const std::string hex(images::RamFirmwareHexText());
    // Truncated inside a record: only the records wholly inside the given length count, even
    // though the buffer goes on with valid records.
    for (std::size_t cut : {std::size_t{40}, std::size_t{333}, std::size_t{5000}}) {
        ProtocolWorld w;
        ASSERT_TRUE(w.Open());
        const std::size_t mark = w.Mark();
        w.proto.DownloadHexRecords(0, hex.data(), static_cast<std::int32_t>(cut));
        const auto loaded = LoadedBytes(w, mark);
        const auto inside = RecordBytes(std::string_view(hex).substr(0, cut));
        for (const auto& [address, value] : loaded) {
            ASSERT_TRUE(inside.count(address)) << "cut " << cut << " address " << address;
            EXPECT_EQ(inside.at(address), value);
        }
    }
    // No end record: every data record arrives, the record placed after the text does not.
    {
        const std::string records = ":0300100001020308\r\n:02001300040510\r\n";
        const std::string buffer = records + ":01002000AA35\r\n";
        ProtocolWorld w;
        ASSERT_TRUE(w.Open());
        const std::size_t mark = w.Mark();
        w.proto.DownloadHexRecords(0, buffer.data(), static_cast<std::int32_t>(records.size()));
        const std::map<std::uint16_t, std::uint8_t> expected{
            {0x10, 1}, {0x11, 2}, {0x12, 3}, {0x13, 4}, {0x14, 5}};
        EXPECT_EQ(LoadedBytes(w, mark), expected);
    }
    // Garbage and empty text: no download request, the CPU is held and released.
    for (const std::string& garbage :
         {std::string("not a hex file at all, really"), std::string(":zz"), std::string()}) {
        ProtocolWorld w;
        ASSERT_TRUE(w.Open());
        const std::size_t mark = w.Mark();
        w.proto.DownloadHexRecords(0, garbage.data(), static_cast<std::int32_t>(garbage.size()));
        EXPECT_EQ(w.Rec().CountRequests(sim::kIoctlLoadMemory, mark), 0u) << garbage;
        EXPECT_EQ(w.Rec().CountRequests(sim::kIoctlVendorRequest, mark), 2u);
    }
}

TEST(ParseHexField, StaysInsideTheText) {
    using protocol::hex::ParseHexField;
    EXPECT_EQ(ParseHexField("1A2", 1, 2), 0xA2u);
    EXPECT_EQ(ParseHexField("1A", 1, 2), 0u);
    EXPECT_EQ(ParseHexField("1A", 3, 1), 0u);
    EXPECT_EQ(ParseHexField("1G", 0, 2), 0u);
    EXPECT_EQ(ParseHexField("123456789", 0, 9), 0u);
    EXPECT_EQ(ParseHexField(std::string_view("AB\0CD", 5), 1, 3), 0u);
    EXPECT_EQ(ParseHexField("ffFF", 0, 4), 0xFFFFu);
}

// What the firmware step does: RAM firmware, re-enumeration, then the EEPROM byte by byte with
// the marker last; the next power-up boots the new firmware.
TEST(FirmwareUpdate, EepromHoldsTheImageAndBootsIt) {
    ProtocolWorld w;
    sim::FillWithOldContents(w.board, 3);
    ASSERT_TRUE(w.Open());
    w.proto.DownloadHexRecords(0, images::RamFirmwareHex, images::kRamFirmwareHexLength);
    w.boards.CloseBoard(0);
    w.world.Os().Sleep(2000);
    w.world.Os().Sleep(500);
    ASSERT_TRUE(w.Open());

    const auto image = images::EepromBootImageView();
    w.proto.EepWrite(0, 0, 0xC0);
    for (std::uint16_t a = 1; a < image.size(); ++a) {
        w.proto.EepWrite(0, a, image[a]);
        ASSERT_EQ(w.proto.EepRead(0, a), image[a]) << a;
    }
    // Cut short here, the board would come up with the header's identity only.
    EXPECT_EQ(w.board.Eeprom()[0], 0xC0);
    w.proto.EepWrite(0, 0, image[0]);
    EXPECT_EQ(w.proto.EepRead(0, 0), image[0]);
    w.boards.CloseBoard(0);
    for (const std::string& line : w.DebugLines())
        EXPECT_EQ(line.find("eep"), std::string::npos) << line;

    w.world.PowerCycle(w.board);
    const sim::BoardReport r = sim::Inspect(w.board);
    EXPECT_TRUE(r.eepromIsBootImage);
    EXPECT_EQ(r.identity, sim::kBoardIdentity) << r.ToString();
    EXPECT_TRUE(r.runsBoardFirmware);
    EXPECT_TRUE(w.Open());
}

TEST(FirmwareUpdate, PowerCycleDuringTheWriteBootsWithoutFirmware) {
    ProtocolWorld w;
    sim::FillWithOldContents(w.board, 4);
    ASSERT_TRUE(w.Open());
    w.proto.EepWrite(0, 0, 0xC0);
    w.world.PowerCycle(w.board);
    const sim::BoardReport r = sim::Inspect(w.board);
    EXPECT_EQ(r.identity, sim::kOldBootStateIdentity);
    EXPECT_FALSE(r.runsBoardFirmware);
}

TEST(EepWrite, ByteThatNeverVerifiesGivesUpAfter101Attempts) {
    ProtocolWorld w;
    ASSERT_TRUE(w.Open());
    w.board.Faults().eepromWriteTakesAt[0x10] = 0;
    const std::size_t mark = w.Mark();
    w.proto.EepWrite(0, 0x10, 0x5A);
    std::vector<std::uint64_t> expected;
    for (std::uint64_t i = 1; i <= 101; ++i) {
        expected.push_back(2);
        expected.push_back(i);
    }
    EXPECT_EQ(w.Sleeps(mark), expected);
    std::size_t writes = 0;
    for (const Bytes& p : w.Writes(mark))
        if (p == Bytes{0x55, 0x00, 0x10, 0x5A}) ++writes;
    EXPECT_EQ(writes, 101u);
    EXPECT_EQ(w.DebugLines(mark), std::vector<std::string>{"[ADAPTER0] eep write 0010 failed!"});
}

TEST(EepWrite, ByteThatVerifiesAtTheThirdAttempt) {
    ProtocolWorld w;
    ASSERT_TRUE(w.Open());
    w.board.Faults().eepromWriteTakesAt[100] = 3;
    const std::size_t mark = w.Mark();
    w.proto.EepWrite(0, 100, 0x42);
    EXPECT_EQ(w.Sleeps(mark), (std::vector<std::uint64_t>{2, 1, 2, 2, 2, 3}));
    EXPECT_EQ(w.board.Eeprom()[100], 0x42);
    EXPECT_TRUE(w.DebugLines(mark).empty());
    EXPECT_EQ(w.proto.EepRead(0, 100), 0x42);
}

TEST(EepRead, UnansweredReadsGiveUpWithTheirLine) {
    ProtocolWorld w;
    ASSERT_TRUE(w.Open());
    w.board.AddFault({sim::kIoctlPipeRead, 0, platform::kErrorBusy, false});
    const std::size_t mark = w.Mark();
    std::uint8_t value = 7;
    EXPECT_FALSE(w.proto.EepReadChecked(0, 0x10, value));
    EXPECT_EQ(value, 0);
    EXPECT_EQ(w.proto.EepRead(0, 0x10), 0);
    EXPECT_TRUE(w.Sleeps(mark).empty());
    EXPECT_EQ(w.Rec().CountRequests(sim::kIoctlPipeRead, mark), 202u);
    EXPECT_EQ(w.DebugLines(mark), (std::vector<std::string>{"[ADAPTER0] eep read 0010 failed!",
                                                            "[ADAPTER0] eep read 0010 failed!"}));
}

TEST(EepromAccess, ClosedBoardGetsNoTraffic) {
    ProtocolWorld w;
    const std::size_t mark = w.Mark();
    w.proto.EepWrite(0, 1, 2);
    EXPECT_EQ(w.proto.EepRead(0, 1), 0);
    EXPECT_EQ(w.proto.DownloadHexRecords(0, images::RamFirmwareHex, 10053), FailureWord);
    EXPECT_EQ(w.Mark(), mark);
}

} // namespace
} // namespace flashwell::testing
