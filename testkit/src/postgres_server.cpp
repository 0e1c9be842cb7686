#include "testkit/postgres_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

namespace flashwell::testing {

namespace {

// A port nobody listens on now: the kernel's choice for a socket bound to port 0.
int FreeLoopbackPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

PostgresServer::PostgresServer(bool durable) : durable_(durable) {
    for (const char* version : {"15", "16", "17"}) {
        const std::string bin = std::string("/usr/lib/postgresql/") + version + "/bin";
        if (std::filesystem::exists(bin + "/initdb")) bin_ = bin;
    }
    if (bin_.empty()) {
        problem_ = "no PostgreSQL server installed (Debian package postgresql)";
        return;
    }
    char pattern[] = "/tmp/flashwell-pg-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        problem_ = "cannot make a temporary folder";
        return;
    }
    dir_ = pattern;
    std::random_device random;
    password_ = "pw-" + std::to_string(random()) + "-" + std::to_string(random());
    {
        std::ofstream pw(dir_ / "pw");
        pw << password_ << "\n";
    }
    if (geteuid() == 0) {
        asUser_ = "runuser -u postgres -- ";
        if (!Run("chown -R postgres " + Quoted(dir_.string()))) {
            problem_ = "cannot hand the folder to the postgres user";
            return;
        }
    }
    port_ = FreeLoopbackPort();
    if (!Run(asUser_ + bin_ + "/initdb -D " + Quoted((dir_ / "data").string()) +
             " -U flashwell -E UTF8 --auth=scram-sha-256 --pwfile=" +
             Quoted((dir_ / "pw").string()) + " > " + Quoted((dir_ / "initdb.log").string()) +
             " 2>&1")) {
        problem_ = "initdb failed (see " + (dir_ / "initdb.log").string() + ")";
        return;
    }
    if (!Start()) problem_ = "the server did not start (see " + (dir_ / "log").string() + ")";
}

PostgresServer::~PostgresServer() {
    Stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

bool PostgresServer::Run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

bool PostgresServer::Start() {
    if (running_) return true;
    running_ = Run(asUser_ + bin_ + "/pg_ctl -D " + Quoted((dir_ / "data").string()) +
                   " -w -t 60 -l " + Quoted((dir_ / "log").string()) + " -o " +
                   Quoted("-p " + std::to_string(port_) + " -k " + dir_.string() +
                          " -c listen_addresses=127.0.0.1" + (durable_ ? "" : " -c fsync=off")) +
                   " start > /dev/null");
    return running_;
}

bool PostgresServer::Stop() {
    if (!running_) return true;
    running_ = !Run(asUser_ + bin_ + "/pg_ctl -D " + Quoted((dir_ / "data").string()) +
                    " -w -m fast stop > /dev/null");
    return !running_;
}

std::string PostgresServer::Connection(const std::string& database) const {
    return "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(port_) +
           ";Database=" + database + ";Uid=flashwell;Pwd=" + password_ + ";";
}

bool PostgresServer::CreateDatabase(const std::string& name) {
    return Run("PGPASSWORD=" + Quoted(password_) + " " + bin_ + "/createdb -h 127.0.0.1 -p " +
               std::to_string(port_) + " -U flashwell " + Quoted(name));
}

} // namespace flashwell::testing
