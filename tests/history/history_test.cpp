// The board history against both of its stores: SQLite in a file, and a real PostgreSQL server
// that the suite starts itself, reached through ODBC.
#include "history/history.h"
#include "sim/board_contents.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"
#include "testkit/postgres_server.h"
#include "testkit/temp_data_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <numeric>
#include <thread>

using namespace flashwell;
using namespace flashwell::history;

namespace {

flashwell::testing::PostgresServer* server = nullptr;

class HistoryStores : public ::testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite() { server = new flashwell::testing::PostgresServer; }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        if (Postgres() && !server->Problem().empty()) GTEST_SKIP() << server->Problem();
        if (Postgres()) {
            // Each test its own database, so that counts are the test's own.
            static int n = 0;
            database_ = "t" + std::to_string(getpid()) + "_" + std::to_string(++n);
            ASSERT_TRUE(server->CreateDatabase(database_));
        }
    }
    bool Postgres() const { return std::string(GetParam()) == "postgresql"; }
    StoreChoice Choice() const {
        StoreChoice c;
        if (Postgres()) {
            c.kind = StoreChoice::Kind::Odbc;
            c.target = server->Connection(database_);
        } else {
            c.kind = StoreChoice::Kind::Sqlite;
            c.target = (folder_.Path() / "history.sqlite").string();
        }
        return c;
    }
    std::unique_ptr<History> Open() {
        std::string error;
        auto h = OpenHistory(Choice(), error);
        EXPECT_NE(h, nullptr) << error;
        return h;
    }

    flashwell::testing::TempDataFolder folder_;
    std::string database_;
};

std::vector<std::uint8_t> Block(std::uint8_t seed) {
    // Every byte value, 0x00 and 0xFF among them, so that no text conversion passes unseen.
    std::vector<std::uint8_t> b(7174);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return b;
}

StoredCopy CopyOf(const std::string& serial, const std::string& when, std::uint8_t seed) {
    StoredCopy c;
    c.serial = serial;
    c.product = "vexta/USB";
    c.place = "6&2c24ce2e&0&1";
    c.tool = "flashwell 0.1.0";
    c.savedAt = when;
    c.block = Block(seed);
    c.crc = 0x80000000u + seed; // the top bit set: a CRC is unsigned, and must come back so
    return c;
}

} // namespace

TEST_P(HistoryStores, KeepsCopiesWritesRunsAndBoardsAsGiven) {
    auto h = Open();
    ASSERT_NE(h, nullptr);
    std::string error;
    // Text is never pasted into SQL: a serial number full of quotes is just a serial number.
    const std::string odd = "2004-K7A'); DROP TABLE copies;--";
    StoredCopy older = CopyOf(odd, "2026-12-01T10:00:00Z", 1);
    StoredCopy newer = CopyOf(odd, "2026-12-02T10:00:00Z", 2);
    StoredCopy other = CopyOf("2005-K7B-1024-2-0117", "2026-12-03T10:00:00Z", 3);
    for (StoredCopy* c : {&older, &newer, &other})
        ASSERT_TRUE(h->AddCopy(*c, error)) << error;

    const std::vector<StoredCopy> copies = h->Copies(odd, error);
    ASSERT_EQ(copies.size(), 2u) << error;
    EXPECT_EQ(copies[0].id, newer.id) << "newest first";
    EXPECT_EQ(copies[0].block, newer.block);
    EXPECT_EQ(copies[1].block, older.block);
    EXPECT_EQ(copies[0].crc, newer.crc);
    EXPECT_EQ(copies[0].serial, odd);
    EXPECT_FALSE(copies[0].origin.computer.empty());
    EXPECT_EQ(h->Copies("", error, false).size(), 3u);

    StoredWrite w;
    w.serial = odd;
    w.place = "6&2c24ce2e&0&1";
    w.copyId = newer.id;
    w.copyCrc = 0xFFFFFFFFu;
    w.intendedCrc = 1;
    w.begunAt = "2026-12-02T10:00:01Z";
    ASSERT_TRUE(h->BeginWrite(w, error)) << error;
    auto open = h->OpenWrites(error);
    ASSERT_EQ(open.size(), 1u) << error;
    EXPECT_EQ(open[0].copyId, newer.id);
    EXPECT_EQ(open[0].copyCrc, 0xFFFFFFFFu);
    ASSERT_TRUE(h->EndWrite(w.id, "2026-12-02T10:00:05Z", error)) << error;
    EXPECT_TRUE(h->OpenWrites(error).empty());

    StoredRun run;
    run.serial = odd;
    run.route = "board driver";
    run.steps = "flash,rbf";
    run.outcomes = "flash=ok,rbf=failed";
    run.result = "failed";
    run.exitStatus = 1;
    run.startedAt = "2026-12-02T10:00:00Z";
    run.endedAt = "2026-12-02T10:04:16Z";
    run.copyId = newer.id;
    ASSERT_TRUE(h->AddRun(run, error)) << error;
    const auto runs = h->Runs(odd, error);
    ASSERT_EQ(runs.size(), 1u) << error;
    EXPECT_EQ(runs[0].outcomes, run.outcomes);
    EXPECT_EQ(runs[0].exitStatus, 1);
    EXPECT_EQ(runs[0].copyId, newer.id);

    // A board seen again keeps when it was first seen.
    ASSERT_TRUE(h->NoteBoard(odd, "vexta/USB", "1.2", "2026-12-01T09:00:00Z", error)) << error;
    ASSERT_TRUE(h->NoteBoard(odd, "vexta/USB", "1.3", "2026-12-05T09:00:00Z", error)) << error;
    const auto boards = h->Boards(error);
    ASSERT_EQ(boards.size(), 1u) << error;
    EXPECT_EQ(boards[0].firstSeen, "2026-12-01T09:00:00Z");
    EXPECT_EQ(boards[0].lastSeen, "2026-12-05T09:00:00Z");
    EXPECT_EQ(boards[0].revision, "1.3");

    // Opened again, the schema is there and nothing is migrated twice.
    h.reset();
    auto again = Open();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->Copies("", error, false).size(), 3u);
}

TEST_P(HistoryStores, TwoComputersAtOnceKeepEveryRowExactlyOnce) {
    auto first = Open();
    ASSERT_NE(first, nullptr);
    auto second = Open();
    ASSERT_NE(second, nullptr);
    constexpr int kEach = 20;
    const auto work = [](History& h, const std::string& serial, std::uint8_t seed, int& failures) {
        std::string error;
        for (int i = 0; i < kEach; ++i) {
            StoredCopy c = CopyOf(serial, "2026-12-0" + std::to_string(1 + i % 9) + "T00:00:00Z",
                                  static_cast<std::uint8_t>(seed + i));
            failures += !h.AddCopy(c, error);
            // Both computers meet one shared board as well.
            failures += !h.NoteBoard("shared", "vexta/USB", "1.2", "2026-12-01T00:00:00Z", error);
        }
    };
    int failuresA = 0, failuresB = 0;
    std::thread a([&] { work(*first, "A", 0, failuresA); });
    std::thread b([&] { work(*second, "B", 100, failuresB); });
    a.join();
    b.join();
    EXPECT_EQ(failuresA + failuresB, 0);
    std::string error;
    EXPECT_EQ(first->Copies("A", error, false).size(), static_cast<std::size_t>(kEach));
    EXPECT_EQ(first->Copies("B", error, false).size(), static_cast<std::size_t>(kEach));
    EXPECT_EQ(first->Boards(error).size(), 1u);
}

namespace {

// One program on a machine: its own board table, protocol, window and copies, as on a computer
// of its own that the board is plugged into.
struct Computer {
    Computer(sim::SimWorld& world, History* history) : boards(world.Os()), protocol(boards, ui) {
        backups.store.UseHistory(history);
    }
    app::TForm1& Start(app::RunObserver* observer = nullptr) {
        form = std::make_unique<app::TForm1>(
            app::Services{boards.Os(), boards, protocol, ui, backups.store});
        if (observer != nullptr) form->Subscribe(*observer);
        form->FormCreate();
        return *form;
    }
    bool Logged(const std::string& part) const {
        return std::any_of(form->Memo1.lines.begin(), form->Memo1.lines.end(),
                           [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
    flashwell::testing::TempBackups backups;
    device::BoardTable boards;
    flashwell::testing::ScriptedAppUi ui;
    protocol::BoardProtocol protocol;
    std::unique_ptr<app::TForm1> form;
};

// Calls `then` once, when the event it waits for comes.
struct OnEvent final : app::RunObserver {
    std::function<bool(const app::RunEvent&)> when;
    std::function<void()> then;
    bool done = false;
    void OnRunEvent(const app::RunEvent& e) override {
        if (!done && when(e)) {
            done = true;
            then();
        }
    }
};

} // namespace

TEST_P(HistoryStores, ABoardCutOnOneComputerIsRestoredFromTheHistoryOnAnother) {
    sim::SimWorld world;
    sim::ApplyScenario(world, sim::DefaultScenario());
    sim::Board& board = world.GetBoard(0);
    const auto original = sim::Inspect(board).parameterBlock;
    board.MutableConfig().pullAt = sim::BoardArea::ParameterBlock;
    auto historyA = Open();
    auto historyB = Open();
    ASSERT_TRUE(historyA && historyB);

    Computer first(world, historyA.get());
    first.Start().Button1Click();
    ASSERT_EQ(first.form->LastOutcome, app::RunOutcome::Failed);
    board.MutableConfig().pullAt = sim::BoardArea::None;
    world.Reattach(board);
    world.PowerCycle(board);
    ASSERT_NE(sim::Inspect(board).parameterBlock, original) << "the cut left half a block";

    // Another computer: no file of the first one's, only the shared history.
    Computer second(world, historyB.get());
    app::TForm1& f = second.Start();
    EXPECT_TRUE(f.BlockLost(0));
    EXPECT_FALSE(f.RadioButton1.enabled);
    EXPECT_TRUE(second.Logged("did not finish")) << "the history's open write is found";
    const auto copy = f.CopyToRestore(0);
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(copy->parent_path(), second.backups.store.Folder()) << "a file to carry";
    f.RestoreFromFile(copy->string());
    ASSERT_EQ(f.LastOutcome, app::RunOutcome::Succeeded);
    world.PowerCycle(board);
    // The copy's bytes, with the completion mark the write adds in its last three cells.
    const auto restored = sim::Inspect(board).parameterBlock;
    EXPECT_TRUE(std::equal(original.begin(), original.end() - 3, restored.begin()));

    Computer again(world, historyB.get());
    app::TForm1& g = again.Start();
    ASSERT_TRUE(g.RadioButton1.enabled);
    EXPECT_FALSE(again.Logged("did not finish")) << "the restore settled the write";
    g.Button1Click();
    EXPECT_EQ(g.LastOutcome, app::RunOutcome::Succeeded);
    std::string error;
    EXPECT_TRUE(historyA->OpenWrites(error).empty()) << error;
    // Every copy once: the first computer's before its cut, the second's before the restore
    // (the cut block) and before its update (the restored one).
    EXPECT_EQ(historyA->Copies("2004-K7A-1024-5-0312", error, false).size(), 3u) << error;
}

TEST_P(HistoryStores, AStoreGoneBeforeTheEraseStopsItAndOneGoneAfterLosesNothing) {
    if (!Postgres()) GTEST_SKIP() << "a server that goes away";
    for (const bool afterErase : {false, true}) {
        SCOPED_TRACE(afterErase ? "after the erase" : "between the copy and the erase");
        ASSERT_TRUE(server->Start());
        sim::SimWorld world;
        sim::ApplyScenario(world, sim::DefaultScenario());
        sim::Board& board = world.GetBoard(0);
        const auto original = sim::Inspect(board).parameterBlock;
        auto h = Open();
        ASSERT_NE(h, nullptr);
        Computer pc(world, h.get());
        OnEvent stop;
        bool copySaved = false;
        stop.when = [&](const app::RunEvent& e) {
            copySaved = copySaved || std::holds_alternative<app::CopySaved>(e);
            // The block write's progress comes after its row is in and the sector erased.
            return copySaved && (!afterErase || std::holds_alternative<app::StepProgress>(e));
        };
        stop.then = [&] { server->Stop(); };
        app::TForm1& f = pc.Start(&stop);
        f.Button1Click();
        ASSERT_TRUE(stop.done);
        world.PowerCycle(board);
        const auto now = sim::Inspect(board).parameterBlock;
        const auto& log = f.Memo1.lines;
        const std::string all =
            std::accumulate(log.begin(), log.end(), std::string(),
                            [](std::string a, const std::string& b) { return a + b + "\n"; });
        EXPECT_EQ(all.find(server->Password()), std::string::npos);
        if (!afterErase) {
            EXPECT_EQ(now, original) << "nothing erased without the history's row";
            EXPECT_NE(all.find("Parameter block could not be saved - nothing written: the shared "
                               "history (Driver={PostgreSQL Unicode};Server=127.0.0.1"),
                      std::string::npos)
                << all;
        } else {
            EXPECT_NE(now, original) << "the write went on";
            EXPECT_NE(all.find("   Warning: the shared history"), std::string::npos) << all;
            // Back again, the row of the write is still open: the fact that it began is kept.
            ASSERT_TRUE(server->Start());
            auto later = Open();
            ASSERT_NE(later, nullptr);
            std::string error;
            EXPECT_EQ(later->OpenWrites(error).size(), 1u) << error;
            // The next scan finds the block whole and settles it.
            Computer next(world, later.get());
            next.Start();
            EXPECT_TRUE(next.form->RadioButton1.enabled);
            EXPECT_TRUE(later->OpenWrites(error).empty()) << error;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, HistoryStores, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return std::string(info.param); });

TEST(HistoryStore, APasswordNeverReachesAMessage) {
    const std::string connection =
        "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Uid=u;Pwd={s3cr;et};";
    EXPECT_EQ(WithoutPassword(connection),
              "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Uid=u;Pwd=***");
    EXPECT_EQ(Scrubbed("login for s3cr;et failed", connection), "login for *** failed");
    StoreChoice c;
    c.kind = StoreChoice::Kind::Odbc;
    c.target = connection;
    std::string error;
    EXPECT_EQ(OpenHistory(c, error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find("s3cr"), std::string::npos) << error;
    EXPECT_NE(error.find("shared history"), std::string::npos) << error;
}

TEST(HistoryStore, TheSqliteFileIsItsOwnersAloneAndADamagedOneIsRefused) {
    flashwell::testing::TempDataFolder folder;
    const auto file = folder.Path() / "history.sqlite";
    StoreChoice c = ChooseStore("sqlite:" + file.string(), folder.Path());
    std::string error;
    ASSERT_NE(OpenHistory(c, error), nullptr) << error;
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "group and others have no access";

    const auto damaged = folder.Path() / "damaged.sqlite";
    std::ofstream(damaged) << std::string(4096, 'x');
    c.target = damaged.string();
    EXPECT_EQ(OpenHistory(c, error), nullptr);
    EXPECT_NE(error.find(damaged.string()), std::string::npos) << error;
}

TEST(HistoryStore, TheChoiceComesFromTheOptionTheEnvironmentOrTheConfiguration) {
    flashwell::testing::TempDataFolder folder;
    ::unsetenv("FLASHWELL_HISTORY");
    EXPECT_EQ(ChooseStore("", folder.Path()).target, (folder.Path() / "history.sqlite").string());
    std::ofstream(folder.Path() / "flashwell.conf") << "# bench 3\nhistory = dept-db\n";
    StoreChoice fromFile = ChooseStore("", folder.Path());
    EXPECT_EQ(fromFile.kind, StoreChoice::Kind::Odbc);
    EXPECT_EQ(fromFile.target, "DSN=dept-db");
    ::setenv("FLASHWELL_HISTORY", "files", 1);
    EXPECT_EQ(ChooseStore("", folder.Path()).kind, StoreChoice::Kind::Files);
    EXPECT_EQ(ChooseStore("Driver=x;Server=y", folder.Path()).target, "Driver=x;Server=y");
    ::unsetenv("FLASHWELL_HISTORY");
}
