// SQLite through one table of its C functions: linked from Debian's libsqlite3 on Linux, and on
// Windows taken at run time from the system's own winsqlite3.dll (Windows 10 and later), so that
// the program ships no database engine of its own and still starts where there is none.
#include "history/sql_db.h"

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <sqlite3.h>
#include <sys/stat.h>
#endif

namespace flashwell::history {

namespace {

#ifdef _WIN32
// The few declarations the program uses, as the library's C interface has them. The system's
// library uses the stdcall convention on 32-bit Windows.
struct sqlite3;
struct sqlite3_stmt;
#define FW_SQLITE_CALL __stdcall
constexpr int SQLITE_OK = 0;
constexpr int SQLITE_ROW = 100;
constexpr int SQLITE_DONE = 101;
constexpr int SQLITE_INTEGER = 1;
constexpr int SQLITE_BLOB = 4;
constexpr int SQLITE_NULL = 5;
constexpr int SQLITE_OPEN_READWRITE = 0x02;
constexpr int SQLITE_OPEN_CREATE = 0x04;
constexpr int SQLITE_OPEN_FULLMUTEX = 0x10000;
using sqlite3_destructor_type = void(FW_SQLITE_CALL*)(void*);
#define SQLITE_TRANSIENT reinterpret_cast<sqlite3_destructor_type>(-1)
#else
#define FW_SQLITE_CALL
#endif

struct SqliteApi {
    int(FW_SQLITE_CALL* open_v2)(const char*, sqlite3**, int, const char*);
    int(FW_SQLITE_CALL* close)(sqlite3*);
    const char*(FW_SQLITE_CALL* errmsg)(sqlite3*);
    int(FW_SQLITE_CALL* busy_timeout)(sqlite3*, int);
    int(FW_SQLITE_CALL* prepare_v2)(sqlite3*, const char*, int, sqlite3_stmt**, const char**);
    int(FW_SQLITE_CALL* bind_null)(sqlite3_stmt*, int);
    int(FW_SQLITE_CALL* bind_int64)(sqlite3_stmt*, int, long long);
    int(FW_SQLITE_CALL* bind_text)(sqlite3_stmt*, int, const char*, int,
                                   void(FW_SQLITE_CALL*)(void*));
    int(FW_SQLITE_CALL* bind_blob)(sqlite3_stmt*, int, const void*, int,
                                   void(FW_SQLITE_CALL*)(void*));
    int(FW_SQLITE_CALL* step)(sqlite3_stmt*);
    int(FW_SQLITE_CALL* column_count)(sqlite3_stmt*);
    int(FW_SQLITE_CALL* column_type)(sqlite3_stmt*, int);
    long long(FW_SQLITE_CALL* column_int64)(sqlite3_stmt*, int);
    const unsigned char*(FW_SQLITE_CALL* column_text)(sqlite3_stmt*, int);
    const void*(FW_SQLITE_CALL* column_blob)(sqlite3_stmt*, int);
    int(FW_SQLITE_CALL* column_bytes)(sqlite3_stmt*, int);
    int(FW_SQLITE_CALL* finalize)(sqlite3_stmt*);
};

#ifdef _WIN32
template <typename F> bool Take(HMODULE lib, const char* name, F& into) {
    into = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
    return into != nullptr;
}

// Loaded from the system folder only: a winsqlite3.dll beside the program is not the system's.
const SqliteApi* LoadApi(std::string& error) {
    static SqliteApi api{};
    HMODULE lib = LoadLibraryExA("winsqlite3.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (lib == nullptr) {
        error = "this Windows has no SQLite of its own (winsqlite3.dll)";
        return nullptr;
    }
    const bool all =
        Take(lib, "sqlite3_open_v2", api.open_v2) && Take(lib, "sqlite3_close", api.close) &&
        Take(lib, "sqlite3_errmsg", api.errmsg) &&
        Take(lib, "sqlite3_busy_timeout", api.busy_timeout) &&
        Take(lib, "sqlite3_prepare_v2", api.prepare_v2) &&
        Take(lib, "sqlite3_bind_null", api.bind_null) &&
        Take(lib, "sqlite3_bind_int64", api.bind_int64) &&
        Take(lib, "sqlite3_bind_text", api.bind_text) &&
        Take(lib, "sqlite3_bind_blob", api.bind_blob) && Take(lib, "sqlite3_step", api.step) &&
        Take(lib, "sqlite3_column_count", api.column_count) &&
        Take(lib, "sqlite3_column_type", api.column_type) &&
        Take(lib, "sqlite3_column_int64", api.column_int64) &&
        Take(lib, "sqlite3_column_text", api.column_text) &&
        Take(lib, "sqlite3_column_blob", api.column_blob) &&
        Take(lib, "sqlite3_column_bytes", api.column_bytes) &&
        Take(lib, "sqlite3_finalize", api.finalize);
    if (!all) {
        error = "the system's winsqlite3.dll lacks a function this tool needs";
        return nullptr;
    }
    return &api;
}
#else
const SqliteApi* LoadApi(std::string&) {
    static const SqliteApi api{
        sqlite3_open_v2,      sqlite3_close,       sqlite3_errmsg,       sqlite3_busy_timeout,
        sqlite3_prepare_v2,   sqlite3_bind_null,   sqlite3_bind_int64,   sqlite3_bind_text,
        sqlite3_bind_blob,    sqlite3_step,        sqlite3_column_count, sqlite3_column_type,
        sqlite3_column_int64, sqlite3_column_text, sqlite3_column_blob,  sqlite3_column_bytes,
        sqlite3_finalize,
    };
    return &api;
}
#endif

class SqliteDb final : public SqlDb {
public:
    SqliteDb(const SqliteApi& api, sqlite3* db) : api_(api), db_(db) {}
    ~SqliteDb() override { api_.close(db_); }
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    bool Run(const std::string& sql, const std::vector<SqlValue>& params, std::vector<SqlRow>* rows,
             std::string& error) override {
        sqlite3_stmt* stmt = nullptr;
        if (api_.prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
            return Failed(error);
        struct Finalize {
            const SqliteApi& api;
            sqlite3_stmt* stmt;
            ~Finalize() { api.finalize(stmt); }
        } finalize{api_, stmt};
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i + 1);
            const SqlValue& p = params[i];
            int rc = SQLITE_OK;
            if (std::holds_alternative<std::nullptr_t>(p))
                rc = api_.bind_null(stmt, at);
            else if (const auto* n = std::get_if<std::int64_t>(&p))
                rc = api_.bind_int64(stmt, at, *n);
            else if (const auto* s = std::get_if<std::string>(&p))
                rc = api_.bind_text(stmt, at, s->data(), static_cast<int>(s->size()),
                                    SQLITE_TRANSIENT);
            else if (const auto* b = std::get_if<Bytes>(&p))
                rc = api_.bind_blob(stmt, at, b->data(), static_cast<int>(b->size()),
                                    SQLITE_TRANSIENT);
            if (rc != SQLITE_OK) return Failed(error);
        }
        for (;;) {
            const int rc = api_.step(stmt);
            if (rc == SQLITE_DONE) return true;
            if (rc != SQLITE_ROW) return Failed(error);
            if (rows == nullptr) continue;
            SqlRow row;
            for (int c = 0; c < api_.column_count(stmt); ++c) {
                switch (api_.column_type(stmt, c)) {
                case SQLITE_NULL:
                    row.emplace_back(nullptr);
                    break;
                case SQLITE_INTEGER:
                    row.emplace_back(static_cast<std::int64_t>(api_.column_int64(stmt, c)));
                    break;
                case SQLITE_BLOB: {
                    const auto* p = static_cast<const std::uint8_t*>(api_.column_blob(stmt, c));
                    row.emplace_back(Bytes(p, p + api_.column_bytes(stmt, c)));
                    break;
                }
                default: {
                    const unsigned char* t = api_.column_text(stmt, c);
                    row.emplace_back(t == nullptr ? std::string()
                                                  : std::string(reinterpret_cast<const char*>(t),
                                                                static_cast<std::size_t>(
                                                                    api_.column_bytes(stmt, c))));
                }
                }
            }
            rows->push_back(std::move(row));
        }
    }
    // IMMEDIATE: a writer takes the lock at once rather than failing at its first write.
    bool Begin(std::string& error) override { return Run("BEGIN IMMEDIATE", {}, nullptr, error); }
    bool Commit(std::string& error) override { return Run("COMMIT", {}, nullptr, error); }
    void Rollback() override {
        std::string ignored;
        Run("ROLLBACK", {}, nullptr, ignored);
    }
    const char* BytesType() const override { return "BLOB"; }

private:
    bool Failed(std::string& error) {
        error = api_.errmsg(db_);
        return false;
    }
    const SqliteApi& api_;
    sqlite3* db_;
};

} // namespace

std::unique_ptr<SqlDb> OpenSqlite(const std::string& path, std::string& error) {
    const SqliteApi* api = LoadApi(error);
    if (api == nullptr) return nullptr;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
#ifndef _WIN32
    // The copies are calibration data: the file is its owner's alone from its first byte.
    const mode_t before = umask(077);
#endif
    sqlite3* db = nullptr;
    const int rc =
        api->open_v2(path.c_str(), &db,
                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
#ifndef _WIN32
    umask(before);
#endif
    if (rc != SQLITE_OK) {
        error = db != nullptr ? api->errmsg(db) : "cannot open";
        if (db != nullptr) api->close(db);
        return nullptr;
    }
    api->busy_timeout(db, 10000);
    auto out = std::make_unique<SqliteDb>(*api, db);
    // A copy must be on the disk when the commit returns: FULL syncs the log at every commit.
    for (const char* pragma :
         {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON"}) {
        std::vector<SqlRow> ignored;
        if (!out->Run(pragma, {}, &ignored, error)) return nullptr;
    }
    return out;
}

} // namespace flashwell::history
