// The few things the board history asks of a database: one statement at a time with `?`
// parameters (never text pasted into SQL), the rows it gives, and transactions. One small driver
// per kind of database: SQLite (the embedded store) and ODBC (a department's server).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace flashwell::history {

using Bytes = std::vector<std::uint8_t>;
using SqlValue = std::variant<std::nullptr_t, std::int64_t, std::string, Bytes>;
using SqlRow = std::vector<SqlValue>;

class SqlDb {
public:
    virtual ~SqlDb() = default;
    // Runs one statement; `rows`, when given, receives every row it yields.
    virtual bool Run(const std::string& sql, const std::vector<SqlValue>& params,
                     std::vector<SqlRow>* rows, std::string& error) = 0;
    virtual bool Begin(std::string& error) = 0;
    virtual bool Commit(std::string& error) = 0;
    virtual void Rollback() = 0;
    // The column type of a block of bytes in this database's words.
    virtual const char* BytesType() const = 0;
};

// SQLite in one file (created 0600 where the system knows modes); WAL, synchronous=FULL. On
// Windows the system's own SQLite, when it has one; nothing (with `error` said) otherwise.
std::unique_ptr<SqlDb> OpenSqlite(const std::string& path, std::string& error);
// A connection string ("Driver=...;Server=...") or a DSN name, through the system's ODBC.
std::unique_ptr<SqlDb> OpenOdbc(const std::string& connection, std::string& error);

// Value helpers for rows.
std::string Text(const SqlValue& v);
std::int64_t Number(const SqlValue& v);
Bytes Blob(const SqlValue& v);

} // namespace flashwell::history
