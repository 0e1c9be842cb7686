// A database server through ODBC: unixODBC on Linux, the system's driver manager on Windows, so
// that one piece of code reaches a department's PostgreSQL server from either, through the
// driver the department installs.
#include "history/sql_db.h"

// The ANSI entry points by their plain names: one header declares the "A" variant's column size too
// narrow on 64-bit Windows.
#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

namespace flashwell::history {

namespace {

std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::string out;
    for (SQLSMALLINT i = 1; i <= 3; ++i) {
        SQLCHAR state[6] = {};
        SQLCHAR text[512] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        if (!SQL_SUCCEEDED(SQLGetDiagRec(type, handle, i, state, &native, text,
                                         static_cast<SQLSMALLINT>(sizeof text), &length)))
            break;
        if (!out.empty()) out += "; ";
        out += reinterpret_cast<const char*>(text);
    }
    return out.empty() ? "the ODBC driver gave no reason" : out;
}

class OdbcDb final : public SqlDb {
public:
    OdbcDb(SQLHENV env, SQLHDBC dbc) : env_(env), dbc_(dbc) {}
    ~OdbcDb() override {
        SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }
    OdbcDb(const OdbcDb&) = delete;
    OdbcDb& operator=(const OdbcDb&) = delete;

    bool Run(const std::string& sql, const std::vector<SqlValue>& params, std::vector<SqlRow>* rows,
             std::string& error) override {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt))) {
            error = Diagnostics(SQL_HANDLE_DBC, dbc_);
            return false;
        }
        struct Free {
            SQLHSTMT stmt;
            ~Free() { SQLFreeHandle(SQL_HANDLE_STMT, stmt); }
        } free{stmt};
        const auto failed = [&] {
            error = Diagnostics(SQL_HANDLE_STMT, stmt);
            return false;
        };
        std::string text = sql;
        if (!SQL_SUCCEEDED(SQLPrepare(stmt, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS)))
            return failed();
        // The bound values must live until the statement has run.
        std::vector<SQLLEN> lengths(params.size());
        std::vector<SQLBIGINT> numbers(params.size());
        for (std::size_t i = 0; i < params.size(); ++i) {
            const auto at = static_cast<SQLUSMALLINT>(i + 1);
            const SqlValue& p = params[i];
            SQLRETURN rc = SQL_SUCCESS;
            if (std::holds_alternative<std::nullptr_t>(p)) {
                lengths[i] = SQL_NULL_DATA;
                rc = SQLBindParameter(stmt, at, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 0,
                                      nullptr, 0, &lengths[i]);
            } else if (const auto* n = std::get_if<std::int64_t>(&p)) {
                numbers[i] = *n;
                rc = SQLBindParameter(stmt, at, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                      &numbers[i], 0, nullptr);
            } else if (const auto* s = std::get_if<std::string>(&p)) {
                lengths[i] = static_cast<SQLLEN>(s->size());
                rc = SQLBindParameter(stmt, at, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                                      s->size() + 1, 0, const_cast<char*>(s->data()),
                                      static_cast<SQLLEN>(s->size()), &lengths[i]);
            } else if (const auto* b = std::get_if<Bytes>(&p)) {
                lengths[i] = static_cast<SQLLEN>(b->size());
                rc = SQLBindParameter(stmt, at, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY,
                                      b->size(), 0, const_cast<std::uint8_t*>(b->data()),
                                      static_cast<SQLLEN>(b->size()), &lengths[i]);
            }
            if (!SQL_SUCCEEDED(rc)) return failed();
        }
        const SQLRETURN executed = SQLExecute(stmt);
        if (executed != SQL_NO_DATA && !SQL_SUCCEEDED(executed)) return failed();
        if (rows == nullptr) return true;
        SQLSMALLINT columns = 0;
        if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns))) return failed();
        std::vector<SQLSMALLINT> types(static_cast<std::size_t>(columns));
        for (SQLSMALLINT c = 1; c <= columns; ++c) {
            SQLCHAR name[128];
            SQLSMALLINT nameLength = 0, decimals = 0, nullable = 0;
            SQLULEN size = 0;
            if (!SQL_SUCCEEDED(SQLDescribeCol(stmt, static_cast<SQLUSMALLINT>(c), name, sizeof name,
                                              &nameLength, &types[static_cast<std::size_t>(c - 1)],
                                              &size, &decimals, &nullable)))
                return failed();
        }
        for (;;) {
            const SQLRETURN fetched = SQLFetch(stmt);
            if (fetched == SQL_NO_DATA) return true;
            if (!SQL_SUCCEEDED(fetched)) return failed();
            SqlRow row;
            for (SQLSMALLINT c = 1; c <= columns; ++c) {
                const SQLSMALLINT type = types[static_cast<std::size_t>(c - 1)];
                const bool binary =
                    type == SQL_BINARY || type == SQL_VARBINARY || type == SQL_LONGVARBINARY;
                const bool integer = type == SQL_INTEGER || type == SQL_BIGINT ||
                                     type == SQL_SMALLINT || type == SQL_TINYINT;
                if (integer) {
                    SQLBIGINT value = 0;
                    SQLLEN indicator = 0;
                    if (!SQL_SUCCEEDED(SQLGetData(stmt, static_cast<SQLUSMALLINT>(c), SQL_C_SBIGINT,
                                                  &value, 0, &indicator)))
                        return failed();
                    if (indicator == SQL_NULL_DATA)
                        row.emplace_back(nullptr);
                    else
                        row.emplace_back(static_cast<std::int64_t>(value));
                    continue;
                }
                // Long values come in pieces: read until the driver says there is no more.
                Bytes data;
                bool null = false;
                for (;;) {
                    std::uint8_t piece[4096];
                    SQLLEN indicator = 0;
                    const SQLRETURN rc = SQLGetData(stmt, static_cast<SQLUSMALLINT>(c),
                                                    binary ? SQL_C_BINARY : SQL_C_CHAR, piece,
                                                    sizeof piece, &indicator);
                    if (rc == SQL_NO_DATA) break;
                    if (!SQL_SUCCEEDED(rc)) return failed();
                    if (indicator == SQL_NULL_DATA) {
                        null = true;
                        break;
                    }
                    // A text piece ends with its terminating zero, which is not data.
                    const std::size_t room = binary ? sizeof piece : sizeof piece - 1;
                    const std::size_t got =
                        indicator == SQL_NO_TOTAL || static_cast<std::size_t>(indicator) > room
                            ? room
                            : static_cast<std::size_t>(indicator);
                    data.insert(data.end(), piece, piece + got);
                    if (rc == SQL_SUCCESS) break;
                }
                if (null)
                    row.emplace_back(nullptr);
                else if (binary)
                    row.emplace_back(std::move(data));
                else
                    row.emplace_back(std::string(data.begin(), data.end()));
            }
            rows->push_back(std::move(row));
        }
    }
    bool Begin(std::string& error) override {
        if (SQL_SUCCEEDED(SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                                            reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)))
            return true;
        error = Diagnostics(SQL_HANDLE_DBC, dbc_);
        return false;
    }
    bool Commit(std::string& error) override { return End(SQL_COMMIT, &error); }
    void Rollback() override { End(SQL_ROLLBACK, nullptr); }
    const char* BytesType() const override { return "BYTEA"; }

private:
    bool End(SQLSMALLINT how, std::string* error) {
        const bool ok = SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc_, how));
        if (!ok && error != nullptr) *error = Diagnostics(SQL_HANDLE_DBC, dbc_);
        SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
        return ok;
    }
    SQLHENV env_;
    SQLHDBC dbc_;
};

} // namespace

std::unique_ptr<SqlDb> OpenOdbc(const std::string& connection, std::string& error) {
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        error = "no ODBC driver manager";
        return nullptr;
    }
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        error = Diagnostics(SQL_HANDLE_ENV, env);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        return nullptr;
    }
    // A server that does not answer must not hold the bench for minutes.
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
    std::string text = connection;
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    const SQLRETURN rc =
        SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS, out,
                         sizeof out, &outLength, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
        error = Diagnostics(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        return nullptr;
    }
    return std::make_unique<OdbcDb>(env, dbc);
}

} // namespace flashwell::history
