// The board history's cost: what one update run adds to it (the board seen, the copy committed
// and read back, the write begun and ended, the run), in time and in bytes, and the time to
// print one board's history with 100,000 runs stored; for SQLite in a file and for a PostgreSQL
// server of this machine (started here, as the tests do).
//
//   flashwell_bench_history [RUNS_FOR_THE_BIG_BOARD]
#include "history/history.h"
#include "history/sql_db.h"
#include "testkit/postgres_server.h"
#include "testkit/temp_data_folder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

using namespace flashwell;
using namespace flashwell::history;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// One run's rows, as an update that saves a copy and writes the block adds them.
bool OneRun(History& h, int n, std::string& error) {
    const std::string serial = "2004-K7A-1024-5-" + std::to_string(1000 + n % 50);
    StoredCopy copy;
    copy.serial = serial;
    copy.product = "vexta/USB";
    copy.place = "6&2c24ce2e&0&1";
    copy.tool = "flashwell 0.1.0";
    copy.savedAt = "2026-12-11T10:00:00Z";
    // Calibration data compresses little: bytes of a generator, not a run of one value.
    copy.block.resize(7174);
    std::uint32_t x = 2463534242u + static_cast<std::uint32_t>(n);
    for (std::uint8_t& b : copy.block) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    copy.crc = static_cast<std::uint32_t>(n);
    StoredWrite w;
    w.serial = serial;
    w.place = copy.place;
    w.begunAt = copy.savedAt;
    StoredRun run;
    run.serial = serial;
    run.route = "the board driver";
    run.steps = "flash,rbf,kpci,boot,firmware";
    run.outcomes = "flash=ok,rbf=ok,kpci=ok,boot=ok,firmware=ok";
    run.result = "succeeded";
    run.startedAt = copy.savedAt;
    run.endedAt = "2026-12-11T10:04:16Z";
    if (!h.NoteBoard(serial, "vexta/USB", "1.2", copy.savedAt, error) || !h.AddCopy(copy, error))
        return false;
    w.copyId = copy.id;
    run.copyId = copy.id;
    return h.BeginWrite(w, error) && h.EndWrite(w.id, run.endedAt, error) && h.AddRun(run, error);
}

// Many runs of one board, straight into the table in one transaction: the setting up of the
// print's measurement, not a measurement itself.
bool ManyRuns(SqlDb& db, const std::string& serial, int count, std::string& error) {
    if (!db.Begin(error)) return false;
    for (int i = 0; i < count; ++i) {
        char when[32];
        std::snprintf(when, sizeof when, "2026-%02d-%02dT%02d:%02d:00Z", 1 + i % 12, 1 + i % 28,
                      i % 24, i % 60);
        if (!db.Run("INSERT INTO runs (id, serial, route, computer, user_name, steps, outcomes, "
                    "result, exit_status, started_at, ended_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, "
                    "?, ?, ?)",
                    {"bulk-" + std::to_string(i), serial, "the board driver", "bench-3", "tech",
                     "flash,rbf,kpci,boot,firmware", "flash=ok,rbf=ok,kpci=ok,boot=ok,firmware=ok",
                     "succeeded", std::int64_t{0}, when, when},
                    nullptr, error))
            return false;
    }
    return db.Commit(error);
}

std::int64_t DatabaseBytes(const StoreChoice& c, SqlDb* raw) {
    if (c.kind == StoreChoice::Kind::Sqlite) {
        // What the file holds once its log is folded in, as at every close.
        std::vector<SqlRow> ignored;
        std::string error;
        raw->Run("PRAGMA wal_checkpoint(TRUNCATE)", {}, &ignored, error);
        std::error_code ec;
        auto size = std::filesystem::file_size(c.target, ec);
        const auto wal = std::filesystem::file_size(c.target + "-wal", ec);
        return static_cast<std::int64_t>(size + (ec ? 0 : wal));
    }
    std::vector<SqlRow> rows;
    std::string error;
    if (raw == nullptr ||
        !raw->Run("SELECT pg_database_size(current_database())", {}, &rows, error) || rows.empty())
        return 0;
    return Number(rows[0][0]);
}

void Measure(const char* name, const StoreChoice& c, int bigRuns) {
    std::string error;
    auto h = OpenHistory(c, error);
    std::unique_ptr<SqlDb> raw = c.kind == StoreChoice::Kind::Sqlite ? OpenSqlite(c.target, error)
                                                                     : OpenOdbc(c.target, error);
    if (!h || !raw) {
        std::printf("%s: cannot open: %s\n", name, error.c_str());
        return;
    }
    constexpr int kRuns = 200;
    const std::int64_t before = DatabaseBytes(c, raw.get());
    const auto start = Clock::now();
    for (int i = 0; i < kRuns; ++i)
        if (!OneRun(*h, i, error)) {
            std::printf("%s: run %d: %s\n", name, i, error.c_str());
            return;
        }
    const double perRun = Seconds(start) / kRuns;
    const std::int64_t after = DatabaseBytes(c, raw.get());
    std::printf("%s: one update run adds %.2f ms in the history (board, copy read back, write "
                "begun and ended, run); %.0f bytes per run with its copy of 7174 bytes\n",
                name, perRun * 1000.0, static_cast<double>(after - before) / kRuns);

    const std::string serial = "2004-K7A-1024-5-9999";
    if (!ManyRuns(*raw, serial, bigRuns, error)) {
        std::printf("%s: filling: %s\n", name, error.c_str());
        return;
    }
    const std::int64_t filled = DatabaseBytes(c, raw.get());
    const auto print = Clock::now();
    const auto runs = h->Runs(serial, error);
    std::ostringstream out;
    for (const StoredRun& r : runs)
        out << "  " << r.startedAt << "  " << r.result << " (" << r.exitStatus << ")  "
            << r.outcomes << "  on " << r.origin.computer << " by " << r.origin.user << ", "
            << r.route << "\n";
    std::printf("%s: one board's history with %zu runs printed in %.3f s (%zu bytes of text); "
                "%.0f bytes per run without a copy\n",
                name, runs.size(), Seconds(print), out.str().size(),
                static_cast<double>(filled - after) / bigRuns);
}

} // namespace

int main(int argc, char** argv) {
    const int bigRuns = argc > 1 ? std::atoi(argv[1]) : 100000;
    flashwell::testing::TempDataFolder folder;
    StoreChoice sqlite;
    sqlite.kind = StoreChoice::Kind::Sqlite;
    sqlite.target = (folder.Path() / "history.sqlite").string();
    Measure("SQLite", sqlite, bigRuns);

    // Durable as a department's server would be: fsync on.
    flashwell::testing::PostgresServer server(true);
    if (!server.Problem().empty()) {
        std::printf("PostgreSQL: %s\n", server.Problem().c_str());
        return 0;
    }
    server.CreateDatabase("bench");
    StoreChoice pg;
    pg.kind = StoreChoice::Kind::Odbc;
    pg.target = server.Connection("bench");
    Measure("PostgreSQL (ODBC, loopback)", pg, bigRuns);
    return 0;
}
