#include "sim/board_contents.h"

#include "boarddata/images/images.h"
#include "sim/usb_function.h"
#include "sim_test_support.h"

#include <gtest/gtest.h>

namespace flashwell::sim {
namespace {

using namespace testing;

std::vector<std::uint8_t> Eeprom(std::initializer_list<std::uint8_t> header) {
    return std::vector<std::uint8_t>(header);
}

TEST(BoardContents, OldContentsDifferFromEveryImageAndBootAsOurBoard) {
    SimWorld world;
    Board& board = world.AddBoard();
    FillWithOldContents(board, 11);
    const BoardReport r = Inspect(board);
    EXPECT_EQ(r.identity, kBoardIdentity) << r.ToString();
    EXPECT_TRUE(r.attached);
    EXPECT_TRUE(r.runsBoardFirmware);
    EXPECT_EQ(r.dsp, DspProgramKind::Loader);
    EXPECT_EQ(r.eepromMarker, 0xC2);
    EXPECT_FALSE(r.eepromIsBootImage);
    EXPECT_EQ(r.fpga, FpgaContent::Other);
    EXPECT_EQ(r.bootProgram, BootAreaContent::Other);
    EXPECT_EQ(r.secondBank, SecondBankContent::Other);

    // Same sizes, different bytes, and another seed gives other bytes again.
    const OldContents a = MakeOldContents(11), b = MakeOldContents(12);
    EXPECT_EQ(a.eeprom.size(), std::size_t{images::kEepromBootImageSize});
    EXPECT_EQ(a.bootProgram.size(), std::size_t{images::kBootProgramCells});
    EXPECT_EQ(a.secondBank.size(), FramedKpciData().size());
    EXPECT_NE(a.fpga, b.fpga);
    EXPECT_NE(a.eeprom, b.eeprom);
}

TEST(BoardContents, PresetsAreRecognisedByteForByte) {
    SimWorld world;
    Board& board = world.AddBoard();
    const auto rev12 = images::RbfImageRev12View();
    SetFpgaConfiguration(board, rev12);
    SetSecondBankData(board, FramedKpciData());
    SetBootArea(board, images::BootProgramImage());
    SetEepromContents(board, images::EepromBootImageView());
    BoardReport r = Inspect(board);
    EXPECT_EQ(r.fpga, FpgaContent::Rev12);
    EXPECT_EQ(r.secondBank, SecondBankContent::FramedKpci);
    EXPECT_EQ(r.bootProgram, BootAreaContent::BootProgram);
    EXPECT_TRUE(r.eepromIsBootImage);

    // One byte off anywhere in the image is no longer that image.
    std::vector<std::uint8_t> rbf(rev12.begin(), rev12.end());
    rbf.back() ^= 1;
    SetFpgaConfiguration(board, rbf);
    EXPECT_EQ(Inspect(board).fpga, FpgaContent::Other);
    SetFpgaConfiguration(board, {});
    EXPECT_EQ(Inspect(board).fpga, FpgaContent::Erased);

    ParameterBlock block = ErasedParameterBlock();
    SetText(block, "ProductName", "vexta/USB");
    SetParameterBlock(board, block);
    r = Inspect(board);
    EXPECT_FALSE(r.parameterBlockErased);
    EXPECT_EQ(Text(r.parameterBlock, "ProductName"), "vexta/USB");
    // Written at its place in the block: offset 132, one NUL after the text.
    EXPECT_EQ(r.parameterBlock[132], 'v');
    EXPECT_EQ(r.parameterBlock[141], 0);
    EXPECT_EQ(r.parameterBlock[142], 0xFF);
}

TEST(BoardContents, PowerCycleBootsWhatTheEepromSays) {
    SimWorld world;
    Board& board = world.AddBoard();
    const platform::HANDLE h = Open(world.Os(), board.DevicePath());
    struct Case {
        std::vector<std::uint8_t> eeprom;
        UsbIdentity identity;
        bool firmware;
        bool held; // the CPU in reset after power-up
    };
    const auto image = images::EepromBootImageView();
    // The image without its closing release of the CPU: the records are loaded, nothing runs.
    std::vector<std::uint8_t> unreleased(image.begin(), image.end());
    unreleased[unreleased.size() - 1] = 0x01;
    const std::vector<Case> cases{
        {std::vector<std::uint8_t>(image.begin(), image.end()), kBoardIdentity, true, false},
        // Identity only, from the header, low byte first.
        {Eeprom({0xC0, 0x47, 0x05, 0x31, 0x21, 0, 0, 4}), kOldBootStateIdentity, false, true},
        {Eeprom({0xC0, 0x57, 0x10, 0x01, 0x18, 0, 0, 4}), kBoardIdentity, false, true},
        {Eeprom({0xFF}), kBootStateIdentity, false, true},
        {unreleased,
         UsbIdentity{static_cast<std::uint16_t>(image[1] | image[2] << 8),
                     static_cast<std::uint16_t>(image[3] | image[4] << 8)},
         false, true},
        // Records without a descriptor: the header's identity, nothing runs.
        {Eeprom({0xC2, 0x34, 0x12, 0x78, 0x56, 0, 0, 4, 0x80, 0x01, 0xE6, 0x00, 0x00}),
         UsbIdentity{0x1234, 0x5678}, false, false},
    };
    for (const Case& c : cases) {
        SetEepromContents(board, c.eeprom);
        world.PowerCycle(board);
        const BoardReport r = Inspect(board);
        EXPECT_EQ(r.identity, c.identity) << r.ToString();
        EXPECT_EQ(r.runsBoardFirmware, c.firmware) << r.ToString();
        EXPECT_EQ(board.CpuHeldInReset(), c.held) << r.ToString();
        EXPECT_TRUE(r.attached);
    }
    EXPECT_NE(board.DevicePath().find("vid_1234&pid_5678"), std::string::npos);
    // Handles from before the power cycle are dead.
    EXPECT_FALSE(WritePipe(world.Os(), h, {0xFF}));
    EXPECT_EQ(world.Os().GetLastError(), platform::kErrorDeviceNotConnected);
}

TEST(BoardContents, NewBoardsComeBackAsWhatTheyWereCreatedAs) {
    SimWorld world;
    for (DeviceKind kind : {DeviceKind::UsbBoard1801, DeviceKind::UsbBoard1802,
                            DeviceKind::EzUsbBoot8613, DeviceKind::EzUsbBoot2131}) {
        BoardConfig config;
        config.kind = kind;
        Board& board = world.AddBoard(config);
        const UsbIdentity before = board.Identity();
        const bool firmware = board.Firmware() != nullptr;
        world.PowerCycle(board);
        EXPECT_EQ(board.Identity(), before) << IdentityText(before);
        EXPECT_EQ(board.Firmware() != nullptr, firmware) << IdentityText(before);
    }
}

TEST(BoardContents, PowerCycleResetsDspAndBankButKeepsFlash) {
    BoardConfig config;
    config.dspAtPowerUp = DspStartup::FlashAccess;
    SimWorld world;
    Board& board = world.AddBoard(config);
    board.Flash().SelectBank(1);
    board.Dsp().HostWrite(7);
    SetSecondBankData(board, FramedKpciData());
    world.PowerCycle(board);
    EXPECT_EQ(board.Flash().SelectedBank(), 0);
    EXPECT_EQ(board.Dsp().ReceivePending(), 0u);
    EXPECT_EQ(board.DspRuns(), DspProgramKind::FlashAccess);
    EXPECT_EQ(Inspect(board).secondBank, SecondBankContent::FramedKpci);
}

TEST(Controller, DownloadOnlyWhileHeldAndReenumerationAfterTheDelay) {
    SimWorld world;
    Board& board = world.AddBoard();
    platform::OsPort& os = world.Os();
    const platform::HANDLE h = Open(os, board.DevicePath());
    platform::DWORD n = 0;
    std::uint8_t address[2] = {0x00, 0x10};
    // The 18-byte descriptor of an EZ-USB development board.
    std::vector<std::uint8_t> descriptor{0x12, 0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x40, 0x47,
                                         0x05, 0x80, 0x10, 0x00, 0x01, 0x01, 0x02, 0x00, 0x01};
    EXPECT_FALSE(os.DeviceIoControl(h, kIoctlLoadMemory, address, 2, descriptor.data(),
                                    static_cast<platform::DWORD>(descriptor.size()), &n));
    EXPECT_EQ(os.GetLastError(), platform::kErrorGenFailure);
    EXPECT_EQ(board.ControllerRam()[0x1000], 0);

    std::vector<std::uint8_t> hold{0xA0, 0, 0x00, 0xE6, 0, 0, 1, 0, 0, 1};
    ASSERT_TRUE(os.DeviceIoControl(h, kIoctlVendorRequest, hold.data(), 10, nullptr, 0, &n));
    // A held CPU runs no firmware: pipe traffic goes nowhere.
    ASSERT_TRUE(WritePipe(os, h, {0x10}));
    EXPECT_TRUE(ReadPipe(os, h, 3).empty());
    ASSERT_TRUE(os.DeviceIoControl(h, kIoctlLoadMemory, address, 2, descriptor.data(),
                                   static_cast<platform::DWORD>(descriptor.size()), &n));
    hold[9] = 0;
    ASSERT_TRUE(os.DeviceIoControl(h, kIoctlVendorRequest, hold.data(), 10, nullptr, 0, &n));
    EXPECT_FALSE(world.Windows().IsAttached(board));
    EXPECT_FALSE(WritePipe(os, h, {0xFF}));
    EXPECT_EQ(os.GetLastError(), platform::kErrorDeviceNotConnected);

    os.Sleep(1499);
    EXPECT_FALSE(world.Windows().IsAttached(board));
    os.Sleep(1);
    EXPECT_TRUE(world.Windows().IsAttached(board));
    EXPECT_EQ(board.Identity(), (UsbIdentity{0x0547, 0x1080}));
    EXPECT_EQ(board.Kind(), DeviceKind::OtherUsb);
    EXPECT_EQ(board.Firmware(), nullptr);
    EXPECT_NE(board.DevicePath().find("vid_0547&pid_1080"), std::string::npos);
}

// The controller in its boot state answers as the chip does: its own loader request in both
// directions and at any length, through its memory map, whatever its CPU does; the standard
// requests from its own descriptors; everything else stalls. Steps run in order on one board.
TEST(Controller, BootStateAnswersAsTheChip) {
    SimWorld world;
    BoardConfig config;
    config.kind = DeviceKind::EzUsbBoot8613;
    Board& board = world.AddBoard(config);
    EXPECT_TRUE(board.CpuHeldInReset()) << "held at power-on";
    struct Step {
        const char* what;
        UsbSetup setup;
        std::vector<std::uint8_t> data; // out: sent; in: expected
        UsbOutcome outcome;
        bool held; // afterwards
    };
    const std::vector<Step> steps{
        {"release with nothing loaded",
         {0x40, 0xA0, 0xE600, 0, 1},
         {0x00},
         UsbOutcome::Done,
         false},
        {"download while the CPU runs",
         {0x40, 0xA0, 0x3FFE, 0, 4},
         {1, 2, 3, 4},
         UsbOutcome::Done,
         false},
        {"read back across the end of RAM",
         {0xC0, 0xA0, 0x3FFE, 0, 4},
         {1, 2, 0, 0},
         UsbOutcome::Done,
         false},
        {"zero length", {0x40, 0xA0, 0x1000, 0, 0}, {}, UsbOutcome::Done, false},
        {"scratch RAM and beyond", {0x40, 0xA0, 0xE1FF, 7, 2}, {9, 9}, UsbOutcome::Done, false},
        {"bit 0 holds, index ignored", {0x40, 0xA0, 0xE600, 5, 1}, {0x03}, UsbOutcome::Done, true},
        {"register read", {0xC0, 0xA0, 0xE600, 0, 1}, {0x01}, UsbOutcome::Done, true},
        {"another vendor request", {0x40, 0xA3, 0x1000, 0, 1}, {5}, UsbOutcome::Stall, true},
        {"device descriptor",
         {0x80, 6, 0x0100, 0, 12},
         {18, 1, 0, 2, 0xFF, 0xFF, 0xFF, 64, 0xB4, 0x04, 0x13, 0x86},
         UsbOutcome::Done,
         true},
        {"no strings", {0x80, 6, 0x0300, 0, 4}, {}, UsbOutcome::Stall, true},
        {"configuration 1", {0x00, 9, 1, 0, 0}, {}, UsbOutcome::Done, true},
        {"class request", {0x21, 0, 0, 0, 0}, {}, UsbOutcome::Stall, true},
    };
    std::vector<std::string> refusals;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        const bool in = (s.setup.requestType & 0x80) != 0;
        std::vector<std::uint8_t> buffer =
            in ? std::vector<std::uint8_t>(s.setup.length, 0xEE) : s.data;
        std::size_t actual = 0;
        EXPECT_EQ(UsbControl(board, s.setup, buffer, actual, refusals), s.outcome);
        if (s.outcome == UsbOutcome::Done) {
            EXPECT_EQ(actual, s.data.size());
            buffer.resize(actual);
            EXPECT_EQ(buffer, s.data);
        }
        EXPECT_EQ(board.CpuHeldInReset(), s.held);
    }
    EXPECT_EQ(refusals, std::vector<std::string>{"control request of type 33"});
    const auto& ram = board.ControllerRam();
    EXPECT_EQ(ram[0x3FFF], 2);
    EXPECT_EQ(ram[0x4000], 0) << "no memory there";
    EXPECT_EQ(ram[0xE1FF], 9);
    EXPECT_EQ(ram[0xE200], 0);
    EXPECT_EQ(board.Identity(), kBootStateIdentity);
}

// A started program re-enumerates only with a descriptor where the chip's descriptor pointer
// reaches: an even address in the controller's RAM.
TEST(Controller, ProgramDescriptorOnlyWhereTheChipTakesIt) {
    const std::vector<std::uint8_t> descriptor{0x12, 0x01, 0x00, 0x02, 0xFF, 0xFF,
                                               0xFF, 0x40, 0x57, 0x10, 0x01, 0x18,
                                               0x00, 0x01, 0x01, 0x02, 0x00, 0x01};
    for (const auto& [address, comesUp] :
         std::vector<std::pair<std::uint16_t, bool>>{{0x1000, true},
                                                     {0x1001, false},
                                                     {0x3FF0, false},
                                                     {0x4000, false},
                                                     {0xE000, true},
                                                     {0x8000, false}}) {
        SCOPED_TRACE(address);
        SimWorld world;
        BoardConfig config;
        config.kind = DeviceKind::EzUsbBoot8613;
        Board& board = world.AddBoard(config);
        board.LoaderWrite(address, descriptor);
        board.LoaderWrite(0xE600, std::vector<std::uint8_t>{0});
        world.Os().Sleep(board.Config().reenumerationDelayMs);
        EXPECT_EQ(board.Identity(), comesUp ? kBoardIdentity : kBootStateIdentity);
    }
}

TEST(BoardFaults, EepromByteTakesOnlyAtItsWrite) {
    SimWorld world;
    Board& board = world.AddBoard();
    board.Faults().eepromWriteTakesAt = {{5, 2}, {6, 0}};
    board.EepromStore(5, 0x3C);
    EXPECT_EQ(board.EepromFetch(5), 0xC3);
    board.EepromStore(5, 0x3C);
    EXPECT_EQ(board.EepromFetch(5), 0x3C);
    for (int i = 0; i < 5; ++i)
        board.EepromStore(6, 0x00);
    EXPECT_EQ(board.EepromFetch(6), 0xFF);
    // Addresses wrap at the EEPROM's size.
    board.EepromStore(static_cast<std::uint16_t>(board.Eeprom().size() + 7), 0x11);
    EXPECT_EQ(board.EepromFetch(7), 0x11);
}

} // namespace
} // namespace flashwell::sim

namespace flashwell::sim {
namespace {

// The table covers the block in order without overlap; 253 bytes belong to no field.
TEST(ParameterBlockTable, CoversTheBlockInOrder) {
    std::size_t end = 0;
    std::size_t covered = 0;
    for (const ParameterField& f : ParameterFields()) {
        EXPECT_GE(f.offset, end) << f.name;
        end = f.offset + f.size;
        covered += f.size;
    }
    EXPECT_EQ(end, kParameterBlockBytes - 3);
    EXPECT_EQ(covered, kParameterBlockBytes - 253);
    EXPECT_EQ(FieldNamed("SerialNumber").offset, 260u);
    EXPECT_EQ(FieldNamed("ChannelGroups[5].Param").offset, 130u);
    EXPECT_EQ(FieldNamed("Curve").offset, 4099u);

    ParameterBlock b = ErasedParameterBlock();
    SetNumber(b, "ValueTable", 0x1234567, 15);
    EXPECT_EQ(b[3872 + 45], 0x23);
    EXPECT_EQ(b[3872 + 47], 0x67);
    EXPECT_EQ(Numbers(b, "ValueTable")[15], 0x234567u);
    SetText(b, "Reference", "0123456789AB");
    EXPECT_EQ(Text(b, "Reference"), "0123456789");
    EXPECT_EQ(b[322], 0xFF);
}

} // namespace
} // namespace flashwell::sim

namespace flashwell::sim {
namespace {

// The second bank and the boot area are compared whole: a stray block behind the image makes
// it another content even though every byte of the image is in place.
TEST(BoardContents, StrayBytesBehindAnImageMakeItAnotherContent) {
    SimWorld world;
    Board& board = world.AddBoard();
    const auto framed = FramedKpciData();
    SetSecondBankData(board, framed);
    EXPECT_EQ(Inspect(board).secondBank, SecondBankContent::FramedKpci);
    const std::uint8_t stray[1] = {0x00};
    board.Flash().Program(1, framed.size() + 2048, stray);
    EXPECT_EQ(Inspect(board).secondBank, SecondBankContent::Other);

    const auto boot = images::BootProgramImage();
    SetBootArea(board, std::vector<std::uint32_t>(boot.begin(), boot.end()));
    EXPECT_EQ(Inspect(board).bootProgram, BootAreaContent::BootProgram);
    board.Flash().Program(0, flash_layout::kBootArea + 3 * boot.size() + 100, stray);
    EXPECT_EQ(Inspect(board).bootProgram, BootAreaContent::Other);
}

} // namespace
} // namespace flashwell::sim
