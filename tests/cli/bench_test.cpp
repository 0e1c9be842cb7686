// A bench of four simulated boards updated side by side: each ends as a solo run leaves it and
// sends what a solo run sends; a board pulled in its KPCI step fails alone; a board not named
// gets no request; a second program passes over a board being updated; names that match no
// board or several are refused.
#include "cli/bench.h"

#include "app/main_form.h"
#include "sim/board_contents.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"
#include "testkit/temp_data_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <tuple>

namespace {

using namespace flashwell;
using Request = std::tuple<int, platform::DWORD, sim::Bytes, sim::Bytes>;

sim::Scenario Bench4() {
    sim::ScenarioResult loaded = sim::LoadScenarioFile(FLASHWELL_SCENARIO_DIR "/bench-4.json");
    EXPECT_TRUE(loaded.scenario) << loaded.error;
    return loaded.scenario ? *loaded.scenario : sim::DefaultScenario();
}

// Sixteen boards: the four of bench-4 four times over, each with a serial number of its own.
sim::Scenario Bench16() {
    sim::Scenario four = Bench4();
    sim::Scenario sixteen = four;
    sixteen.boards.clear();
    for (int round = 0; round < 4; ++round)
        for (sim::ScenarioBoard b : four.boards) {
            b.parameterBlock.serialNumber.back() = static_cast<char>('0' + round);
            sixteen.boards.push_back(b);
        }
    return sixteen;
}

cli::Invocation BenchInvocation(const sim::Scenario& scenario, const std::filesystem::path& data) {
    cli::Invocation v;
    v.scenario = scenario;
    v.clock.speedFactor = 0;
    v.update = v.yes = v.console = true;
    v.revision = 1;
    v.allBoards = true;
    v.dataFolder = data;
    v.logFile = data / "flashwell.log";
    return v;
}

// What the board with this id was asked: opens, requests and closes, in order.
std::vector<Request> RequestsTo(const sim::SimWorld& world, int board) {
    std::vector<Request> out;
    for (const sim::TrafficEvent& e : world.Recorder().Events())
        if (e.board == board &&
            (e.kind == sim::EventKind::IoControl || e.kind == sim::EventKind::CreateFile ||
             e.kind == sim::EventKind::CloseHandle))
            out.emplace_back(static_cast<int>(e.kind), e.code, e.input, e.output);
    return out;
}

// "same", or where two request lists part (printing them whole would be megabytes).
std::string Compared(const std::vector<Request>& a, const std::vector<Request>& b) {
    const auto [x, y] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (x == a.end() && y == b.end()) return "same";
    const auto index = x - a.begin();
    std::string text = "differ at request " + std::to_string(index) + " of " +
                       std::to_string(a.size()) + "/" + std::to_string(b.size());
    if (x != a.end() && y != b.end())
        text +=
            ": code " + std::to_string(std::get<1>(*x)) + " vs " + std::to_string(std::get<1>(*y));
    return text;
}

bool Updated(sim::Board& board) {
    board.PowerCycle();
    const sim::BoardReport r = sim::Inspect(board);
    // Each board gets the configuration of its own revision.
    return r.runsBoardFirmware && r.eepromIsBootImage && r.fpga != sim::FpgaContent::Erased &&
           r.fpga != sim::FpgaContent::Other &&
           r.secondBank == sim::SecondBankContent::FramedKpci &&
           r.bootProgram == sim::BootAreaContent::BootProgram;
}

struct BenchRun {
    explicit BenchRun(sim::Scenario scenario) : v(BenchInvocation(scenario, folder.Path())) {}
    int Run(cli::BenchHooks hooks = {}) {
        hooks.keep = &kept;
        const cli::BenchResolution r = cli::ResolveBench(v);
        EXPECT_EQ(r.error, "");
        hooks.laneMade = [&, made = hooks.laneMade](cli::BenchLane& lane) {
            lane.backend->World()->Recorder().SetEnabled(true);
            if (made) made(lane);
        };
        std::ostringstream out;
        const int status = cli::RunBench(v, r.targets, out, hooks);
        text = out.str();
        return status;
    }
    // The board a lane updates: the only one of the lane's own simulated machine.
    sim::Board& BoardOf(cli::BenchLane& lane) { return lane.backend->World()->GetBoard(0); }
    flashwell::testing::TempDataFolder folder;
    cli::Invocation v;
    std::string text;
    std::vector<cli::BenchLane> kept;
};

// The board alone on the machine, updated by the program as without names: what it was asked.
std::vector<Request> SoloRequests(const sim::Scenario& scenario, int index) {
    sim::Scenario alone = scenario;
    alone.boards = {scenario.boards.at(static_cast<std::size_t>(index))};
    flashwell::testing::AppWorld w;
    sim::ApplyScenario(w.world, alone);
    w.ui.revisionAnswers = {1};
    w.Start().Button1Click();
    EXPECT_EQ(w.form->LastOutcome, app::RunOutcome::Succeeded);
    return RequestsTo(w.world, w.world.GetBoard(0).Id());
}

} // namespace

TEST(Bench, EveryBoardSideBySideEachAsASoloRun) {
    for (const sim::Scenario& scenario : {Bench4(), Bench16()}) {
        const std::size_t count = scenario.boards.size();
        SCOPED_TRACE(std::to_string(count) + " boards");
        BenchRun bench(scenario);
        const int status = bench.Run();
        EXPECT_EQ(status, cli::kExitSuccess) << bench.text;
        ASSERT_EQ(bench.kept.size(), count) << "--all names every board, not only four lines";
        for (std::size_t i = 0; i < count; ++i) {
            SCOPED_TRACE("board " + std::to_string(i));
            cli::BenchLane& lane = bench.kept[i];
            EXPECT_EQ(lane.result, "updated");
            sim::SimWorld& world = *lane.backend->World();
            // The lane's machine holds its board alone, at its place on the bench: no other
            // board can be touched from it.
            ASSERT_EQ(world.BoardCount(), 1u);
            EXPECT_EQ(cli::PlaceOf(world.GetBoard(0).DevicePath()), lane.target.place);
            // Byte for byte the solo run's requests.
            EXPECT_EQ(Compared(RequestsTo(world, world.GetBoard(0).Id()),
                               SoloRequests(scenario, static_cast<int>(i))),
                      "same");
            EXPECT_TRUE(Updated(bench.BoardOf(lane)));
        }
        EXPECT_NE(bench.text.find(
                      count == 4 ? "Boards to update: 2004-K7A-1024-5-0400, 2005-K7B-1024-2-0117"
                                 : "Boards to update: 2004-K7A-1024-5-0400, 2005-K7B-1024-2-0110"),
                  std::string::npos)
            << bench.text.substr(0, 400);
        EXPECT_EQ(bench.text.find("Do you want to continue?"),
                  bench.text.rfind("Do you want to continue?"))
            << "the warning is asked once";
    }
}

// Pulled in the middle of its KPCI step, one board fails with the error message and its log
// lines; the other three end as in a clean bench run, with the same requests.
TEST(Bench, OneBoardPulledInItsKpciStepFailsAlone) {
    sim::Scenario scenario = Bench4();
    scenario.boards.at(2).pullAt = "kpci";
    BenchRun bench(scenario);
    EXPECT_EQ(bench.Run(), cli::kExitError);
    std::vector<cli::BenchLane*> lanes;
    for (cli::BenchLane& lane : bench.kept)
        lanes.push_back(&lane);
    ASSERT_EQ(lanes.size(), 4u);
    EXPECT_EQ(lanes[2]->result, "failed at KPCI-Update") << bench.text;
    EXPECT_NE(
        std::find(lanes[2]->logLines.begin(), lanes[2]->logLines.end(), "*** Update KPCI ***"),
        lanes[2]->logLines.end());
    EXPECT_NE(bench.text.find(lanes[2]->target.Name() + ": [Flashwell] During the update"),
              std::string::npos);
    for (int i : {0, 1, 3}) {
        EXPECT_EQ(lanes[static_cast<std::size_t>(i)]->result, "updated");
        sim::SimWorld& world = *lanes[static_cast<std::size_t>(i)]->backend->World();
        EXPECT_EQ(Compared(RequestsTo(world, world.GetBoard(0).Id()), SoloRequests(scenario, i)),
                  "same");
    }
}

// While a lane writes its board, another program looks at the same machine: the board is in
// use, and that program passes over it without a single request reaching it.
TEST(Bench, ASecondProgramPassesOverABoardBeingUpdated) {
    BenchRun bench(sim::DefaultScenario());
    bool looked = false;
    bench.Run({{}, [&](cli::BenchLane& lane) {
                   if (looked || lane.step != "Flashdaten") return;
                   looked = true;
                   sim::SimWorld& world = *lane.backend->World();
                   const std::size_t mark = world.Recorder().Mark();
                   cli::PlaceFilterOsPort other(world.Os(), {lane.target.place});
                   flashwell::testing::ScriptedAppUi ui;
                   device::BoardTable boards(other);
                   protocol::BoardProtocol protocol(boards, ui);
                   flashwell::testing::TempBackups backups;
                   app::TForm1 form(app::Services{other, boards, protocol, ui, backups.store});
                   form.FormCreate();
                   EXPECT_FALSE(form.BoardPresent(0));
                   EXPECT_TRUE(other.InUse());
                   for (std::size_t i = mark; i < world.Recorder().Size(); ++i)
                       EXPECT_NE(world.Recorder().Events()[i].kind, sim::EventKind::IoControl);
               }});
    EXPECT_TRUE(looked);
    EXPECT_NE(bench.text.find("updated"), std::string::npos) << bench.text;
}

TEST(Bench, NamesAreSerialsPlacesOrLines) {
    sim::Scenario scenario = Bench4();
    const auto resolve = [&](std::vector<std::string> names) {
        cli::Invocation v = BenchInvocation(scenario, "");
        v.allBoards = false;
        v.boardNames = std::move(names);
        return cli::ResolveBench(v);
    };
    const cli::BenchResolution named = resolve({"2006-K7C-1024-1-0022", "6&2c24ce2e&0&2", "0"});
    ASSERT_EQ(named.error, "");
    ASSERT_EQ(named.targets.size(), 3u);
    EXPECT_EQ(named.targets[0].place, "6&2c24ce2e&0&3");
    EXPECT_EQ(named.targets[1].place, "6&2c24ce2e&0&2");
    EXPECT_EQ(named.targets[2].place, "6&2c24ce2e&0&1");
    // A place alone, even as the whole device path, needs no scan.
    const cli::BenchResolution place = resolve(
        {"\\\\?\\usb#vid_1057&pid_1801#6&2C24CE2E&0&4#{36fc9e60-c465-11cf-8056-444553540000}"});
    ASSERT_EQ(place.error, "");
    EXPECT_EQ(place.targets.at(0).place, "6&2c24ce2e&0&4");
    EXPECT_EQ(place.targets.at(0).serial, "");

    const cli::BenchResolution unknown = resolve({"2099-X"});
    EXPECT_NE(unknown.error.find("--board 2099-X matches no board; found: line 0, serial "
                                 "2004-K7A-1024-5-0400, place 6&2c24ce2e&0&1"),
              std::string::npos)
        << unknown.error;
    scenario.boards.at(3).parameterBlock.serialNumber = "2006-K7C-1024-1-0022";
    const cli::BenchResolution twice = resolve({"2006-K7C-1024-1-0022"});
    EXPECT_NE(twice.error.find("matches 2 boards"), std::string::npos) << twice.error;
    EXPECT_TRUE(twice.targets.empty());
}
