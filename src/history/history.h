// The board history: every board seen, every copy of a parameter block, every block write begun
// and whether it finished, every run. One interface, two stores with one schema: SQLite in the
// data folder (the default), or a department's PostgreSQL server reached through ODBC, so that
// every bench computer finds a board's copies and unfinished writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace flashwell::history {

class SqlDb;

// Who and where: the computer and the user a row was written by.
struct Origin {
    std::string computer, user;
};
Origin ThisComputer();

struct BoardSeen {
    std::string serial, product, revision, firstSeen, lastSeen;
};

struct StoredCopy {
    std::string id;
    std::string serial, product, customer, place, tool;
    std::string savedAt; // ISO 8601 UTC
    Origin origin;
    std::uint32_t crc = 0;
    std::vector<std::uint8_t> block;
};

struct StoredWrite {
    std::string id;
    std::string serial, place;
    std::string copyId;
    std::uint32_t copyCrc = 0, intendedCrc = 0;
    std::string begunAt;
    Origin origin;
    bool finished = false;
};

struct StoredRun {
    std::string id;
    std::string serial, route;
    Origin origin;
    std::string steps;    // the steps asked for, "flash,rbf,..."
    std::string outcomes; // each step that ran, "flash=ok,rbf=failed"
    std::string result;   // succeeded, failed, cancelled, refused
    int exitStatus = 0;
    std::string startedAt, endedAt;
    std::string copyId; // the copy this run saved, if any
};

class History {
public:
    explicit History(std::unique_ptr<SqlDb> db, std::string description);
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Creates or migrates the schema; false with `error` when the store cannot be used.
    bool Prepare(std::string& error);
    // Where the history is, without any password: for log lines and errors.
    const std::string& Description() const { return description_; }

    bool NoteBoard(const std::string& serial, const std::string& product,
                   const std::string& revision, const std::string& when, std::string& error);
    // Committed, then read back and compared: only then may a block be erased.
    bool AddCopy(StoredCopy& copy, std::string& error);
    std::optional<StoredCopy> Copy(const std::string& id, std::string& error);
    // Newest first; serial empty: every board's.
    std::vector<StoredCopy> Copies(const std::string& serial, std::string& error,
                                   bool withBlocks = true);
    bool BeginWrite(StoredWrite& write, std::string& error);
    bool EndWrite(const std::string& id, const std::string& when, std::string& error);
    std::vector<StoredWrite> OpenWrites(std::string& error);
    bool AddRun(StoredRun& run, std::string& error);
    std::vector<StoredRun> Runs(const std::string& serial, std::string& error);
    std::vector<BoardSeen> Boards(std::string& error);

    static std::string NewId(const Origin& origin);

private:
    std::unique_ptr<SqlDb> db_;
    std::string description_;
    Origin origin_;
};

// Which store to use, from --history-store, FLASHWELL_HISTORY or the data folder's
// flashwell.conf ("history = ..."), in that order. Empty or "sqlite": SQLite in the data folder;
// "sqlite:FILE"; "files": no database (the copies' files only); anything else an ODBC connection
// string, or a DSN name when it holds no "=".
struct StoreChoice {
    enum class Kind { Sqlite, Files, Odbc } kind = Kind::Sqlite;
    std::string target; // the SQLite file, or the ODBC connection string
    std::string source; // where the choice came from, for messages
    bool Shared() const { return kind == Kind::Odbc; }
};
StoreChoice ChooseStore(const std::string& option, const std::filesystem::path& dataFolder);

// Opens and prepares the chosen store; nothing with `error` when it cannot be used. On Windows
// without a system SQLite the embedded store is the files alone (`error` says so, no failure).
std::unique_ptr<History> OpenHistory(const StoreChoice& choice, std::string& error);

// A connection string with its password (PWD, PASSWORD) replaced by "***"; and any text with a
// connection string's password taken out, for errors that may quote it.
std::string WithoutPassword(const std::string& connection);
std::string Scrubbed(const std::string& text, const std::string& connection);

} // namespace flashwell::history
