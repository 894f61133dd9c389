// A PostgreSQL server of the test's own: a fresh cluster in a temporary
// folder (initdb of Debian's postgresql package, run as the postgres user when
// the test runs as root), listening on a Unix socket in that folder and on a
// free port of 127.0.0.1. Stopped and removed by the destructor.
//
// pg_hba: the role "clerk" signs in with a password (scram-sha-256); every
// other role is trusted.
#pragma once

#include <string>

class PgServer {
public:
    // fsync off: quick for tests; on: figures a real server would give.
    explicit PgServer(bool fsync = false);
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    bool Running() const { return FRunning; }
    const std::string& Failure() const { return FFailure; }
    bool Start();
    bool Stop();

    const std::string& Folder() const { return FFolder; }
    const std::string& SocketDir() const { return FSocketDir; }
    int Port() const { return FPort; }
    // A connection string over the socket (or over TCP with tcp set).
    std::string Conn(const std::string& database, const std::string& role, bool tcp = false) const;

    // Runs SQL as the superuser in a database; false with the message in error.
    bool Sql(const std::string& database, const std::string& sql, std::string* error = nullptr) const;
    // The first column of the first row of a query (empty when none or failed).
    std::string Value(const std::string& database, const std::string& sql) const;
    // A new database with the plant schema (plant init run as its owner) and
    // the login role "bench" granted plant_bench.
    bool CreatePlantDatabase(const std::string& name);

private:
    bool Run(const std::string& command);

    std::string FFolder, FData, FSocketDir, FLog, FBin;
    int FPort = 0;
    bool FRunning = false;
    bool FAsPostgres = false;
    std::string FFailure;
};
