// A real PostgreSQL server of the test's own: initdb in a temporary folder, listening on
// loopback at a free port with a password, stopped and removed when the object goes. As root
// (as CI runs) the server runs as the system's "postgres" user, since PostgreSQL refuses root.
#pragma once

#include <filesystem>
#include <string>

namespace flashwell::testing {

class PostgresServer {
public:
    // durable: the server syncs its writes as a production one does; tests leave that off.
    explicit PostgresServer(bool durable = false);
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // Empty when the server runs; otherwise why not.
    const std::string& Problem() const { return problem_; }
    // An ODBC connection string to a database of its own, with the password in it.
    std::string Connection(const std::string& database = "postgres") const;
    const std::string& Password() const { return password_; }
    bool CreateDatabase(const std::string& name);
    // Stops and starts the server again (for a store that goes away in the middle of a run).
    bool Stop();
    bool Start();

private:
    bool Run(const std::string& command);
    std::filesystem::path dir_;
    std::string bin_, asUser_, password_, problem_;
    int port_ = 0;
    bool running_ = false;
    bool durable_ = false;
};

} // namespace flashwell::testing
