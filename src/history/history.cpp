#include "history/history.h"
#include "history/sql_db.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace flashwell::history {

namespace {

// Each entry brings the schema from the version before it to its own; never edit one that has
// shipped, add the next. "%BYTES%" is the database's type for a block of bytes.
const std::vector<std::vector<std::string>>& Migrations() {
    static const std::vector<std::vector<std::string>> steps = {
        {
            "CREATE TABLE boards (serial TEXT PRIMARY KEY, product TEXT NOT NULL, "
            "revision TEXT NOT NULL, first_seen TEXT NOT NULL, last_seen TEXT NOT NULL)",
            "CREATE TABLE copies (id TEXT PRIMARY KEY, serial TEXT NOT NULL, product TEXT NOT "
            "NULL, customer TEXT NOT NULL, place TEXT NOT NULL, tool TEXT NOT NULL, computer "
            "TEXT NOT NULL, user_name TEXT NOT NULL, saved_at TEXT NOT NULL, crc32 BIGINT NOT "
            "NULL, block %BYTES% NOT NULL)",
            "CREATE INDEX copies_by_board ON copies (serial, saved_at)",
            "CREATE TABLE writes (id TEXT PRIMARY KEY, serial TEXT NOT NULL, place TEXT NOT "
            "NULL, copy_id TEXT NOT NULL REFERENCES copies (id), copy_crc32 BIGINT NOT NULL, "
            "intended_crc32 BIGINT NOT NULL, begun_at TEXT NOT NULL, computer TEXT NOT NULL, "
            "user_name TEXT NOT NULL, finished_at TEXT)",
            "CREATE INDEX writes_open ON writes (finished_at)",
            "CREATE TABLE runs (id TEXT PRIMARY KEY, serial TEXT NOT NULL, route TEXT NOT NULL, "
            "computer TEXT NOT NULL, user_name TEXT NOT NULL, steps TEXT NOT NULL, outcomes "
            "TEXT NOT NULL, result TEXT NOT NULL, exit_status INTEGER NOT NULL, started_at TEXT "
            "NOT NULL, ended_at TEXT NOT NULL, copy_id TEXT)",
            "CREATE INDEX runs_by_board ON runs (serial, started_at)",
        },
    };
    return steps;
}

std::string Replaced(std::string text, const std::string& what, const std::string& with) {
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The attributes of a connection string, in order: "KEY=value;KEY={va;lue}".
std::vector<std::pair<std::string, std::string>> Attributes(const std::string& connection) {
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t i = 0;
    while (i < connection.size()) {
        const std::size_t eq = connection.find('=', i);
        if (eq == std::string::npos) break;
        std::string key = Trimmed(connection.substr(i, eq - i));
        std::size_t end;
        std::string value;
        if (eq + 1 < connection.size() && connection[eq + 1] == '{') {
            const std::size_t close = connection.find('}', eq + 2);
            end = close == std::string::npos ? connection.size() : close + 1;
            value = connection.substr(eq + 1, end - eq - 1);
            end = connection.find(';', end);
        } else {
            end = connection.find(';', eq + 1);
            value = connection.substr(eq + 1, (end == std::string::npos ? connection.size() : end) -
                                                  eq - 1);
        }
        out.emplace_back(key, value);
        if (end == std::string::npos) break;
        i = end + 1;
    }
    return out;
}

bool IsPasswordKey(const std::string& key) {
    const std::string k = Lower(key);
    return k == "pwd" || k == "password";
}

StoredCopy CopyFrom(const SqlRow& r) {
    StoredCopy c;
    c.id = Text(r[0]);
    c.serial = Text(r[1]);
    c.product = Text(r[2]);
    c.customer = Text(r[3]);
    c.place = Text(r[4]);
    c.tool = Text(r[5]);
    c.origin = {Text(r[6]), Text(r[7])};
    c.savedAt = Text(r[8]);
    c.crc = static_cast<std::uint32_t>(Number(r[9]));
    if (r.size() > 10) c.block = Blob(r[10]);
    return c;
}

} // namespace

Origin ThisComputer() {
    Origin o;
#ifdef _WIN32
    char name[256];
    DWORD size = sizeof name;
    if (GetComputerNameA(name, &size)) o.computer.assign(name, size);
    if (const char* user = std::getenv("USERNAME")) o.user = user;
#else
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) o.computer = name;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_name != nullptr)
        o.user = pw->pw_name;
    else if (const char* user = std::getenv("USER"))
        o.user = user;
#endif
    if (o.computer.empty()) o.computer = "unknown";
    if (o.user.empty()) o.user = "unknown";
    return o;
}

History::History(std::unique_ptr<SqlDb> db, std::string description)
    : db_(std::move(db)), description_(std::move(description)), origin_(ThisComputer()) {}

History::~History() = default;

std::string History::NewId(const Origin& origin) {
    // Unique across computers without asking the database: who, when, and 64 random bits.
    std::random_device random;
    const std::uint64_t bits = (static_cast<std::uint64_t>(random()) << 32) ^ random();
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    std::ostringstream id;
    id << std::hex << now << '-' << bits << '-' << origin.computer.substr(0, 32);
    return id.str();
}

bool History::Prepare(std::string& error) {
    // Two computers meeting an empty database at once: the second one's CREATE fails and it
    // finds the first one's schema on its next look.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<SqlRow> rows;
        std::string ignored;
        std::int64_t version = 0;
        if (db_->Run("SELECT version FROM schema_version", {}, &rows, ignored) && !rows.empty())
            version = Number(rows[0][0]);
        const auto& steps = Migrations();
        if (version > static_cast<std::int64_t>(steps.size())) {
            error = description_ + ": its schema (version " + std::to_string(version) +
                    ") is newer than this tool knows; update Flashwell";
            return false;
        }
        if (version == static_cast<std::int64_t>(steps.size())) return true;
        if (!db_->Begin(error)) return false;
        bool ok = true;
        if (version == 0)
            ok = db_->Run("CREATE TABLE schema_version (version INTEGER NOT NULL)", {}, nullptr,
                          error) &&
                 db_->Run("INSERT INTO schema_version (version) VALUES (0)", {}, nullptr, error);
        for (std::size_t v = static_cast<std::size_t>(version); ok && v < steps.size(); ++v) {
            for (const std::string& sql : steps[v]) {
                ok = db_->Run(Replaced(sql, "%BYTES%", db_->BytesType()), {}, nullptr, error);
                if (!ok) break;
            }
            if (ok)
                ok = db_->Run("UPDATE schema_version SET version = ?",
                              {static_cast<std::int64_t>(v + 1)}, nullptr, error);
        }
        if (ok && db_->Commit(error)) return true;
        db_->Rollback();
    }
    return false;
}

bool History::NoteBoard(const std::string& serial, const std::string& product,
                        const std::string& revision, const std::string& when, std::string& error) {
    // One row per board however many computers see it at once.
    return db_->Run("INSERT INTO boards (serial, product, revision, first_seen, last_seen) "
                    "VALUES (?, ?, ?, ?, ?) ON CONFLICT (serial) DO UPDATE SET product = "
                    "excluded.product, revision = excluded.revision, last_seen = "
                    "excluded.last_seen",
                    {serial, product, revision, when, when}, nullptr, error);
}

bool History::AddCopy(StoredCopy& copy, std::string& error) {
    if (copy.id.empty()) copy.id = NewId(origin_);
    if (copy.origin.computer.empty()) copy.origin = origin_;
    if (!db_->Begin(error)) return false;
    if (!db_->Run("INSERT INTO copies (id, serial, product, customer, place, tool, computer, "
                  "user_name, saved_at, crc32, block) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                  {copy.id, copy.serial, copy.product, copy.customer, copy.place, copy.tool,
                   copy.origin.computer, copy.origin.user, copy.savedAt,
                   static_cast<std::int64_t>(copy.crc), Bytes(copy.block)},
                  nullptr, error) ||
        !db_->Commit(error)) {
        db_->Rollback();
        return false;
    }
    // What the store gives back is what counts: only the same bytes allow an erase.
    const std::optional<StoredCopy> back = Copy(copy.id, error);
    if (!back) {
        if (error.empty()) error = description_ + ": the copy just stored cannot be found";
        return false;
    }
    if (back->block != copy.block || back->crc != copy.crc) {
        error = description_ + ": the copy reads back different bytes";
        return false;
    }
    return true;
}

std::optional<StoredCopy> History::Copy(const std::string& id, std::string& error) {
    std::vector<SqlRow> rows;
    if (!db_->Run("SELECT id, serial, product, customer, place, tool, computer, user_name, "
                  "saved_at, crc32, block FROM copies WHERE id = ?",
                  {id}, &rows, error) ||
        rows.empty())
        return std::nullopt;
    return CopyFrom(rows[0]);
}

std::vector<StoredCopy> History::Copies(const std::string& serial, std::string& error,
                                        bool withBlocks) {
    std::vector<SqlRow> rows;
    std::string sql = "SELECT id, serial, product, customer, place, tool, computer, user_name, "
                      "saved_at, crc32";
    sql += withBlocks ? ", block FROM copies" : " FROM copies";
    std::vector<SqlValue> params;
    if (!serial.empty()) {
        sql += " WHERE serial = ?";
        params.emplace_back(serial);
    }
    sql += " ORDER BY saved_at DESC, id DESC";
    std::vector<StoredCopy> out;
    if (!db_->Run(sql, params, &rows, error)) return out;
    for (const SqlRow& r : rows)
        out.push_back(CopyFrom(r));
    return out;
}

bool History::BeginWrite(StoredWrite& write, std::string& error) {
    if (write.id.empty()) write.id = NewId(origin_);
    if (write.origin.computer.empty()) write.origin = origin_;
    return db_->Run("INSERT INTO writes (id, serial, place, copy_id, copy_crc32, intended_crc32, "
                    "begun_at, computer, user_name) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    {write.id, write.serial, write.place, write.copyId,
                     static_cast<std::int64_t>(write.copyCrc),
                     static_cast<std::int64_t>(write.intendedCrc), write.begunAt,
                     write.origin.computer, write.origin.user},
                    nullptr, error);
}

bool History::EndWrite(const std::string& id, const std::string& when, std::string& error) {
    return db_->Run("UPDATE writes SET finished_at = ? WHERE id = ? AND finished_at IS NULL",
                    {when, id}, nullptr, error);
}

std::vector<StoredWrite> History::OpenWrites(std::string& error) {
    std::vector<SqlRow> rows;
    std::vector<StoredWrite> out;
    if (!db_->Run("SELECT id, serial, place, copy_id, copy_crc32, intended_crc32, begun_at, "
                  "computer, user_name FROM writes WHERE finished_at IS NULL ORDER BY begun_at",
                  {}, &rows, error))
        return out;
    for (const SqlRow& r : rows) {
        StoredWrite w;
        w.id = Text(r[0]);
        w.serial = Text(r[1]);
        w.place = Text(r[2]);
        w.copyId = Text(r[3]);
        w.copyCrc = static_cast<std::uint32_t>(Number(r[4]));
        w.intendedCrc = static_cast<std::uint32_t>(Number(r[5]));
        w.begunAt = Text(r[6]);
        w.origin = {Text(r[7]), Text(r[8])};
        out.push_back(std::move(w));
    }
    return out;
}

bool History::AddRun(StoredRun& run, std::string& error) {
    if (run.id.empty()) run.id = NewId(origin_);
    if (run.origin.computer.empty()) run.origin = origin_;
    return db_->Run("INSERT INTO runs (id, serial, route, computer, user_name, steps, outcomes, "
                    "result, exit_status, started_at, ended_at, copy_id) VALUES (?, ?, ?, ?, ?, "
                    "?, ?, ?, ?, ?, ?, ?)",
                    {run.id, run.serial, run.route, run.origin.computer, run.origin.user, run.steps,
                     run.outcomes, run.result, static_cast<std::int64_t>(run.exitStatus),
                     run.startedAt, run.endedAt,
                     run.copyId.empty() ? SqlValue(nullptr) : SqlValue(run.copyId)},
                    nullptr, error);
}

std::vector<StoredRun> History::Runs(const std::string& serial, std::string& error) {
    std::vector<SqlRow> rows;
    std::vector<StoredRun> out;
    if (!db_->Run("SELECT id, serial, route, computer, user_name, steps, outcomes, result, "
                  "exit_status, started_at, ended_at, copy_id FROM runs WHERE serial = ? ORDER "
                  "BY started_at DESC, id DESC",
                  {serial}, &rows, error))
        return out;
    for (const SqlRow& r : rows) {
        StoredRun run;
        run.id = Text(r[0]);
        run.serial = Text(r[1]);
        run.route = Text(r[2]);
        run.origin = {Text(r[3]), Text(r[4])};
        run.steps = Text(r[5]);
        run.outcomes = Text(r[6]);
        run.result = Text(r[7]);
        run.exitStatus = static_cast<int>(Number(r[8]));
        run.startedAt = Text(r[9]);
        run.endedAt = Text(r[10]);
        run.copyId = Text(r[11]);
        out.push_back(std::move(run));
    }
    return out;
}

std::vector<BoardSeen> History::Boards(std::string& error) {
    std::vector<SqlRow> rows;
    std::vector<BoardSeen> out;
    if (!db_->Run("SELECT serial, product, revision, first_seen, last_seen FROM boards ORDER BY "
                  "serial",
                  {}, &rows, error))
        return out;
    for (const SqlRow& r : rows)
        out.push_back({Text(r[0]), Text(r[1]), Text(r[2]), Text(r[3]), Text(r[4])});
    return out;
}

StoreChoice ChooseStore(const std::string& option, const std::filesystem::path& dataFolder) {
    std::string value = option, source = "--history-store";
    if (value.empty()) {
        if (const char* env = std::getenv("FLASHWELL_HISTORY"); env != nullptr && *env != 0) {
            value = env;
            source = "FLASHWELL_HISTORY";
        }
    }
    if (value.empty() && !dataFolder.empty()) {
        std::ifstream conf(dataFolder / "flashwell.conf");
        std::string line;
        while (std::getline(conf, line)) {
            const std::size_t eq = line.find('=');
            if (eq == std::string::npos || Trimmed(line.substr(0, eq)) != "history") continue;
            value = Trimmed(line.substr(eq + 1));
            source = (dataFolder / "flashwell.conf").string();
        }
    }
    StoreChoice c;
    c.source = value.empty() ? "the default" : source;
    value = Trimmed(value);
    if (value.empty() || value == "sqlite") {
        c.kind = StoreChoice::Kind::Sqlite;
        c.target = dataFolder.empty() ? "" : (dataFolder / "history.sqlite").string();
    } else if (value.rfind("sqlite:", 0) == 0) {
        c.kind = StoreChoice::Kind::Sqlite;
        c.target = value.substr(7);
    } else if (value == "files") {
        c.kind = StoreChoice::Kind::Files;
    } else {
        c.kind = StoreChoice::Kind::Odbc;
        c.target = value.find('=') == std::string::npos ? "DSN=" + value : value;
    }
    return c;
}

std::unique_ptr<History> OpenHistory(const StoreChoice& choice, std::string& error) {
    std::unique_ptr<SqlDb> db;
    std::string description;
    switch (choice.kind) {
    case StoreChoice::Kind::Files:
        return nullptr;
    case StoreChoice::Kind::Sqlite:
        if (choice.target.empty()) {
            error = "no data folder for the history (set --data-dir)";
            return nullptr;
        }
        description = "the history " + choice.target;
        db = OpenSqlite(choice.target, error);
        break;
    case StoreChoice::Kind::Odbc:
        description = "the shared history (" + WithoutPassword(choice.target) + ")";
        db = OpenOdbc(choice.target, error);
        error = Scrubbed(error, choice.target);
        break;
    }
    if (!db) {
        if (!error.empty()) error = description + ": " + error;
        return nullptr;
    }
    auto h = std::make_unique<History>(std::move(db), description);
    if (!h->Prepare(error)) {
        error = Scrubbed(error, choice.target);
        if (error.rfind(description, 0) != 0) error = description + ": " + error;
        return nullptr;
    }
    return h;
}

std::string WithoutPassword(const std::string& connection) {
    std::string out;
    for (const auto& [key, value] : Attributes(connection)) {
        if (!out.empty()) out += ';';
        out += key + "=" + (IsPasswordKey(key) ? std::string("***") : value);
    }
    return out.empty() ? connection : out;
}

std::string Scrubbed(const std::string& text, const std::string& connection) {
    std::string out = text;
    for (const auto& [key, value] : Attributes(connection)) {
        if (!IsPasswordKey(key) || value.empty()) continue;
        std::string bare = value;
        if (bare.size() >= 2 && bare.front() == '{' && bare.back() == '}')
            bare = bare.substr(1, bare.size() - 2);
        for (const std::string& secret : {value, bare})
            if (!secret.empty()) out = Replaced(out, secret, "***");
    }
    return out;
}

std::string Text(const SqlValue& v) {
    if (const auto* s = std::get_if<std::string>(&v)) return *s;
    if (const auto* n = std::get_if<std::int64_t>(&v)) return std::to_string(*n);
    return "";
}

std::int64_t Number(const SqlValue& v) {
    if (const auto* n = std::get_if<std::int64_t>(&v)) return *n;
    if (const auto* s = std::get_if<std::string>(&v)) return std::strtoll(s->c_str(), nullptr, 10);
    return 0;
}

Bytes Blob(const SqlValue& v) {
    if (const auto* b = std::get_if<Bytes>(&v)) return *b;
    if (const auto* s = std::get_if<std::string>(&v)) return Bytes(s->begin(), s->end());
    return {};
}

} // namespace flashwell::history
