// The program through the real libusb against simulated boards on a umockdev bus: the scan
// finds what is plugged in, in bus order, and talks to the board through control and bulk
// transfers exactly as it does through the board driver.
#include "testkit/usb_bench.h"

#include "app/main_form.h"
#include "app/update_step_table.h"
#include "boarddata/images/images.h"
#include "cli/place_filter.h"
#include "sim/board_contents.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"
#include "testkit/fake_ui.h"
#include "testkit/temp_data_folder.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>
#include <vector>

namespace {

using namespace flashwell;

struct UsbWorld {
    explicit UsbWorld(const sim::Scenario& scenario) {
        sim::ApplyScenario(bench.World(), scenario);
        for (std::size_t i = 0; i < bench.World().BoardCount(); ++i)
            bench.Plug(bench.World().GetBoard(static_cast<int>(i)));
        std::string error;
        port = bench.MakePort(error);
        if (!port) ADD_FAILURE() << error;
        boards = std::make_unique<device::BoardTable>(*port);
        protocol = std::make_unique<protocol::BoardProtocol>(*boards, ui);
        form = std::make_unique<app::TForm1>(
            app::Services{*port, *boards, *protocol, ui, backups.store});
    }

    flashwell::testing::UsbBench bench;
    flashwell::testing::TempBackups backups;
    flashwell::testing::QuietAppUi ui;
    std::unique_ptr<platform::usb::UsbOsPort> port;
    std::unique_ptr<device::BoardTable> boards;
    std::unique_ptr<protocol::BoardProtocol> protocol;
    std::unique_ptr<app::TForm1> form;
};

sim::Scenario Boards(std::initializer_list<const char*> kinds) {
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.boards.clear();
    for (const char* kind : kinds) {
        sim::ScenarioBoard board;
        board.kind = kind;
        scenario.boards.push_back(board);
    }
    return scenario;
}

TEST(UsbBackend, NoBoardNoLines) {
    UsbWorld w(Boards({}));
    EXPECT_TRUE(w.port->ListDevices().empty());
    w.form->FormCreate();
    for (const app::Control* line : w.form->RadioButtons)
        EXPECT_FALSE(line->enabled);
    EXPECT_EQ(w.form->Memo1.lines.front(), "Board 0 not present");
}

TEST(UsbBackend, OneBoardIsScannedThroughLibusb) {
    UsbWorld w(sim::DefaultScenario());
    const auto listed = w.port->ListDevices();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].path,
              "\\\\?\\usb#vid_1057&pid_1801#1-2#{36fc9e60-c465-11cf-8056-444553540000}");
    w.form->FormCreate();
    EXPECT_TRUE(w.form->RadioButton1.enabled);
    EXPECT_EQ(w.form->RadioButton1.caption, "vexta/USB");
    EXPECT_EQ(w.form->Memo1.lines[0], "Found board 0...");
    EXPECT_EQ(w.form->Memo1.lines[2], "   ...finished with 2262 words");
    EXPECT_TRUE(w.bench.Refusals().empty());
}

// A board another program has claimed is skipped as Windows skips a device opened elsewhere:
// the next board takes its index.
TEST(UsbBackend, BoardHeldByAnotherProgramIsPassedOver) {
    UsbWorld w(Boards({"usb1801", "usb1801"}));
    w.bench.Hold(w.bench.World().GetBoard(0));
    w.form->FormCreate();
    EXPECT_TRUE(w.form->RadioButton1.enabled) << "the second board is board 0 now";
    EXPECT_FALSE(w.form->RadioButton2.enabled);
    EXPECT_EQ(w.form->Memo1.lines.back(), "Board 3 not present");
    EXPECT_TRUE(w.port->AccessDenied().empty());
    // Named as a bench names it, the held board is in use, and nothing else is looked at.
    cli::PlaceFilterOsPort view(*w.port, {cli::PlaceOf(w.port->ListDevices().at(0).path)});
    device::BoardTable boards(view);
    protocol::BoardProtocol protocol(boards, w.ui);
    app::TForm1 named(app::Services{view, boards, protocol, w.ui, w.backups.store});
    named.FormCreate();
    EXPECT_FALSE(named.BoardPresent(0));
    EXPECT_TRUE(view.InUse());
}

TEST(UsbBackend, ThreeBoardsAndABootStateControllerInBusOrder) {
    UsbWorld w(Boards({"usb1801", "boot8613", "usb1801", "usb1802"}));
    const auto listed = w.port->ListDevices();
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_NE(listed[1].path.find("vid_04b4&pid_8613#1-3#"), std::string::npos);
    EXPECT_NE(listed[3].path.find("vid_1057&pid_1802#1-5#"), std::string::npos);
}

} // namespace

namespace {

std::vector<std::string> SimulatedDriverLog(const sim::Scenario& scenario) {
    flashwell::testing::AppWorld w;
    sim::ApplyScenario(w.world, scenario);
    w.Start().Button1Click();
    return w.Log();
}

// The whole update through libusb, re-enumeration included: every image in place after a power
// cycle, and the same log as the run through the simulated driver.
// The USB transfers a route made, as (endpoint, setup, data) in order.
std::vector<std::tuple<platform::DWORD, std::vector<std::uint8_t>, std::vector<std::uint8_t>>>
Transfers(const sim::SimWorld& world) {
    std::vector<std::tuple<platform::DWORD, std::vector<std::uint8_t>, std::vector<std::uint8_t>>>
        out;
    for (const sim::TrafficEvent& e : world.Recorder().OfKind(sim::EventKind::UsbTransfer))
        out.emplace_back(e.code, e.input, e.output);
    return out;
}

// Through libusb the run ends with every image and the driver route's log; the WinUSB route
// of the same board sends the very same transfers, byte for byte, in the same order.
TEST(UsbBackendLong, FullUpdateThroughLibusbEndsWithEveryImage) {
    UsbWorld w(sim::DefaultScenario());
    w.form->FormCreate();
    w.form->Button1Click();
    EXPECT_EQ(w.form->LastOutcome, app::RunOutcome::Succeeded);
    EXPECT_EQ(w.form->Memo1.lines, SimulatedDriverLog(sim::DefaultScenario()));
    EXPECT_TRUE(w.bench.Refusals().empty());
    {
        flashwell::testing::AppWorld winUsb({}, flashwell::testing::HostRoute::WinUsb);
        sim::Scenario scenario = sim::DefaultScenario();
        scenario.boards.at(0).driver = "winusb";
        sim::ApplyScenario(winUsb.world, scenario);
        winUsb.Start().Button1Click();
        EXPECT_EQ(winUsb.form->LastOutcome, app::RunOutcome::Succeeded);
        const auto libusb = Transfers(w.bench.World());
        const auto viaWinUsb = Transfers(winUsb.world);
        EXPECT_GT(libusb.size(), 1000u);
        EXPECT_EQ(libusb.size(), viaWinUsb.size());
        const auto differs =
            std::mismatch(libusb.begin(), libusb.end(), viaWinUsb.begin(), viaWinUsb.end());
        EXPECT_TRUE(differs.first == libusb.end())
            << "first different transfer: #" << (differs.first - libusb.begin());
    }
    sim::Board& board = w.bench.World().GetBoard(0);
    w.bench.World().PowerCycle(board);
    const sim::BoardReport report = sim::Inspect(board);
    EXPECT_TRUE(report.eepromIsBootImage);
    EXPECT_EQ(report.identity, sim::kBoardIdentity);
    EXPECT_EQ(report.fpga, sim::FpgaContent::Rev12);
    EXPECT_EQ(report.bootProgram, sim::BootAreaContent::BootProgram);
    EXPECT_EQ(report.secondBank, sim::SecondBankContent::FramedKpci);
}

// Pulled out in the middle of a parameter-block write: libusb's "no device" is the host's
// device loss (1167), the step names its copy, and the copy holds the block as it was.
TEST(UsbBackend, UnpluggedInTheMiddleOfAFlashBlock) {
    UsbWorld w(sim::DefaultScenario());
    sim::Board& board = w.bench.World().GetBoard(0);
    const auto original = sim::Inspect(board).parameterBlock;
    w.form->FormCreate();
    for (const app::UpdateStep& step : app::kUpdateSteps)
        w.form->StepBox(step).checked = step.name == "flash";
    int writes = -1;
    std::size_t seen = 0;
    bool pulled = false;
    w.bench.OnTransfer([&] {
        const auto& ops = board.FlashOperations();
        for (; seen < ops.size(); ++seen) {
            if (ops[seen].kind == sim::FlashOperation::Kind::Erase)
                writes = 0;
            else if (ops[seen].kind == sim::FlashOperation::Kind::Write && writes >= 0)
                ++writes;
        }
        if (!pulled && writes == 2) {
            pulled = true;
            w.bench.World().Vanish(board);
        }
    });
    w.form->Button1Click();
    w.bench.OnTransfer(nullptr);
    ASSERT_TRUE(pulled);
    EXPECT_EQ(w.form->LastOutcome, app::RunOutcome::Failed);
    const auto& log = w.form->Memo1.lines;
    EXPECT_NE(std::find_if(log.begin(), log.end(),
                           [](const std::string& line) {
                               return line.rfind("   Board lost - its parameter block is saved in ",
                                                 0) == 0;
                           }),
              log.end());
    const auto copies = w.backups.store.List();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].block, original);
}

// Pulled out while the EEPROM is written byte by byte: the run ends with the error message,
// never with success, and nothing hangs.
TEST(UsbBackend, UnpluggedInTheMiddleOfTheEepromWrite) {
    UsbWorld w(sim::DefaultScenario());
    sim::Board& board = w.bench.World().GetBoard(0);
    w.form->FormCreate();
    for (const app::UpdateStep& step : app::kUpdateSteps)
        w.form->StepBox(step).checked = step.name == "firmware";
    int transfersIntoEeprom = -1;
    w.bench.OnTransfer([&] {
        const auto& log = w.form->Memo1.lines;
        if (transfersIntoEeprom < 0 && !log.empty() && log.back() == "try with delay (0) ...")
            transfersIntoEeprom = 0;
        if (transfersIntoEeprom >= 0 && ++transfersIntoEeprom == 400) w.bench.World().Vanish(board);
    });
    w.form->Button1Click();
    w.bench.OnTransfer(nullptr);
    EXPECT_GE(transfersIntoEeprom, 400);
    EXPECT_EQ(w.form->LastOutcome, app::RunOutcome::Failed);
    EXPECT_EQ(w.ui.boxes.shown.back().text, app::kErrorText);
}

} // namespace

namespace {

// Two EZ-USB loaders that other people wrote, run as child processes on the bus against a
// controller in its boot state: the simulation's loader request and boot state, checked by
// programs that owe nothing to it. Each must leave the controller's memory holding the
// firmware's records and nothing else, between holding the CPU and releasing it, and the board
// must then come up as the board.
struct PeerLoader {
    const char* name;
    const char* program; // where its Debian package puts it
    std::vector<std::string> (*arguments)(const std::string& node, const std::string& hex);
};

const PeerLoader kPeerLoaders[] = {
    {"fxload", "/usr/sbin/fxload",
     [](const std::string& node, const std::string& hex) {
         return std::vector<std::string>{"-t", "fx2", "-D", node, "-I", hex};
     }},
    // Finds the first controller of identity 04b4:8613 itself, through the library's scan of
    // the bus and the device descriptors it reads from the nodes.
    {"cycfx2prog", "/usr/bin/cycfx2prog",
     [](const std::string&, const std::string& hex) {
         return std::vector<std::string>{"prg:" + hex, "run"};
     }},
};

void PrintTo(const PeerLoader& peer, std::ostream* out) {
    *out << peer.name;
}

// Runs the program to its end (umockdev serves it from its own thread meanwhile); its exit
// status, and what it printed in `output`.
int RunChild(const std::string& program, const std::vector<std::string>& arguments,
             std::string& output) {
    int pipe[2];
    if (::pipe(pipe) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipe[1], 1);
        ::dup2(pipe[1], 2);
        ::close(pipe[0]);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipe[1]);
    char chunk[512];
    for (ssize_t n; (n = ::read(pipe[0], chunk, sizeof chunk)) > 0;)
        output.append(chunk, static_cast<std::size_t>(n));
    ::close(pipe[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class PeerLoaders : public ::testing::TestWithParam<PeerLoader> {};

TEST_P(PeerLoaders, LoadTheFirmwareIntoABootStateController) {
    const PeerLoader& peer = GetParam();
    if (::access(peer.program, X_OK) != 0)
        GTEST_SKIP() << peer.program << " is not installed (Debian package " << peer.name << ")";
    flashwell::testing::UsbBench bench;
    sim::ApplyScenario(bench.World(), Boards({"boot8613"}));
    sim::Board& board = bench.World().GetBoard(0);
    bench.Plug(board);
    bench.World().Recorder().SetEnabled(true);
    ASSERT_EQ(board.Identity(), sim::kBootStateIdentity);

    const std::filesystem::path hex = std::filesystem::temp_directory_path() /
                                      ("flashwell-peer-" + std::to_string(::getpid()) + ".hex");
    {
        std::ofstream file(hex, std::ios::binary);
        const std::string_view text = images::RamFirmwareHexText();
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    std::string output;
    const int status =
        RunChild(peer.program, peer.arguments(bench.Node(board), hex.string()), output);
    std::filesystem::remove(hex);
    EXPECT_EQ(status, 0) << output;
    std::string refusals;
    for (const std::string& r : bench.Refusals())
        refusals += r + "\n";
    EXPECT_TRUE(bench.Refusals().empty()) << refusals;

    // What the loader sent, in order: the first request holds the CPU and the last releases it,
    // and only the loader request in between writes.
    const auto transfers = bench.World().Recorder().OfKind(sim::EventKind::UsbTransfer);
    std::vector<const sim::TrafficEvent*> loads;
    for (const sim::TrafficEvent& e : transfers)
        if (e.code == 0 && e.input.size() == 8 && e.input[1] == 0xA0 && (e.input[0] & 0x80) == 0)
            loads.push_back(&e);
    ASSERT_GE(loads.size(), 3u) << output;
    const auto cpuControl = [](const sim::TrafficEvent& e, std::uint8_t data) {
        return e.input[2] == 0x00 && e.input[3] == 0xE6 &&
               e.output == std::vector<std::uint8_t>{data};
    };
    EXPECT_TRUE(cpuControl(*loads.front(), 1)) << "the CPU is held before the download";
    EXPECT_TRUE(cpuControl(*loads.back(), 0)) << "and released after it";
    // What the peer sent, for the record: every transfer, and the sizes of the writes between
    // hold and release.
    std::size_t smallest = SIZE_MAX, largest = 0, bytes = 0;
    for (std::size_t i = 1; i + 1 < loads.size(); ++i) {
        smallest = std::min(smallest, loads[i]->output.size());
        largest = std::max(largest, loads[i]->output.size());
        bytes += loads[i]->output.size();
    }
    const std::string summary = std::string(peer.name) + ": " + std::to_string(transfers.size()) +
                                " control transfers, hold, " + std::to_string(loads.size() - 2) +
                                " writes of " + std::to_string(smallest) + " to " +
                                std::to_string(largest) + " bytes (" + std::to_string(bytes) +
                                " in all), release";
    RecordProperty("requests", summary);
    std::printf("%s\n", summary.c_str());

    // The data records of the text, each line ":" count address type data checksum.
    std::vector<std::uint8_t> expected(sim::Board::kControllerRamSize, 0);
    std::istringstream lines{std::string(images::RamFirmwareHexText())};
    for (std::string line; std::getline(lines, line);) {
        const auto byte = [&](std::size_t i) {
            return static_cast<std::uint8_t>(std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16));
        };
        if (byte(3) != 0) continue;
        const std::size_t address = static_cast<std::size_t>(byte(1) << 8 | byte(2));
        for (std::size_t i = 0; i < byte(0); ++i)
            expected.at(address + i) = byte(4 + i);
    }
    EXPECT_TRUE(board.ControllerRam() == expected)
        << "the memory holds the records and nothing else";

    // Off the bus while the started firmware renumerates, then back as the board.
    bench.World().Os().Sleep(board.Config().reenumerationDelayMs);
    bench.Sync();
    EXPECT_EQ(board.Identity(), sim::kBoardIdentity);
    EXPECT_NE(board.RunningBoardFirmware(), nullptr);
    std::string error;
    const auto port = bench.MakePort(error);
    ASSERT_TRUE(port) << error;
    const auto listed = port->ListDevices();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_NE(listed[0].path.find("vid_1057&pid_1801"), std::string::npos) << listed[0].path;
}

INSTANTIATE_TEST_SUITE_P(Ezusb, PeerLoaders, ::testing::ValuesIn(kPeerLoaders),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
