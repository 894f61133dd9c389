#include "PgServer.h"

#include "PlantConnection.h"
#include "PlantRecord.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string NewestBin()
{
    std::string best;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        const auto bin = e.path() / "bin";
        if (std::filesystem::exists(bin / "initdb") && bin.string() > best) best = bin.string();
    }
    return best;
}

int FreePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

void ChownTree(const std::string& path, uid_t uid, gid_t gid)
{
    [[maybe_unused]] int r = ::chown(path.c_str(), uid, gid);
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(path, ec))
        r = ::chown(e.path().c_str(), uid, gid);
}

} // namespace

PgServer::PgServer(bool fsync)
{
    FBin = NewestBin();
    if (FBin.empty()) {
        FFailure = "no PostgreSQL server under /usr/lib/postgresql (scripts/setup installs it)";
        return;
    }
    char tmpl[] = "/tmp/clb-pg-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        FFailure = "no temporary folder";
        return;
    }
    FFolder = tmpl;
    FData = FFolder + "/data";
    FSocketDir = FFolder;
    FLog = FFolder + "/server.log";
    FAsPostgres = ::geteuid() == 0;
    if (FAsPostgres) {
        const passwd* pw = ::getpwnam("postgres");
        if (!pw) {
            FFailure = "no postgres user";
            return;
        }
        ::chmod(FFolder.c_str(), 0755);
        ChownTree(FFolder, pw->pw_uid, pw->pw_gid);
    }
    if (!Run("'" + FBin + "/initdb' -D '" + FData + "' -U postgres -A trust -E UTF8 --locale=C -N > '" + FFolder +
             "/initdb.log' 2>&1")) {
        FFailure = "initdb failed (see " + FFolder + "/initdb.log)";
        return;
    }
    {
        std::ofstream hba(FData + "/pg_hba.conf");
        hba << "local all postgres trust\n"
               "local all clerk scram-sha-256\n"
               "host all clerk 127.0.0.1/32 scram-sha-256\n"
               "local all all trust\n"
               "host all all 127.0.0.1/32 trust\n";
        std::ofstream conf(FData + "/postgresql.conf", std::ios::app);
        FPort = FreePort();
        conf << "listen_addresses = '127.0.0.1'\nport = " << FPort << "\nunix_socket_directories = '" << FSocketDir
             << "'\nfsync = " << (fsync ? "on" : "off") << "\nsynchronous_commit = " << (fsync ? "on" : "off")
             << "\nmax_connections = 60\nlc_messages = 'C'\nssl = off\n";
    }
    if (FAsPostgres) {
        const passwd* pw = ::getpwnam("postgres");
        ChownTree(FData, pw->pw_uid, pw->pw_gid);
    }
    Start();
}

PgServer::~PgServer()
{
    if (FRunning) Run("'" + FBin + "/pg_ctl' -D '" + FData + "' -m immediate -w stop > /dev/null 2>&1");
    if (!FFolder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(FFolder, ec);
    }
}

bool PgServer::Run(const std::string& command)
{
    const std::string full = FAsPostgres ? "runuser -u postgres -- sh -c \"" + command + "\"" : command;
    return std::system(full.c_str()) == 0;
}

bool PgServer::Start()
{
    if (FRunning) return true;
    FRunning = Run("'" + FBin + "/pg_ctl' -D '" + FData + "' -l '" + FLog + "' -w -t 60 start > /dev/null 2>&1");
    if (!FRunning) FFailure = "the server did not start (see " + FLog + ")";
    return FRunning;
}

bool PgServer::Stop()
{
    if (!FRunning) return true;
    const bool ok = Run("'" + FBin + "/pg_ctl' -D '" + FData + "' -m fast -w stop > /dev/null 2>&1");
    FRunning = !ok;
    return ok;
}

std::string PgServer::Conn(const std::string& database, const std::string& role, bool tcp) const
{
    return (tcp ? std::string("host=127.0.0.1") : "host=" + FSocketDir) + " port=" + std::to_string(FPort) +
           " dbname=" + database + " user=" + role;
}

bool PgServer::Sql(const std::string& database, const std::string& sql, std::string* error) const
{
    PlantConnection db;
    const bool ok = db.Connect(Conn(database, "postgres"), "test", std::chrono::seconds(20)) && db.Exec(sql, {});
    if (!ok && error) *error = db.Error();
    return ok;
}

std::string PgServer::Value(const std::string& database, const std::string& sql) const
{
    PlantConnection db;
    PlantRows rows;
    if (!db.Connect(Conn(database, "postgres"), "test", std::chrono::seconds(20)) || !db.Exec(sql, {}, &rows) ||
        rows.Rows.empty() || rows.Rows[0].empty())
        return {};
    return rows.Rows[0][0].value_or("");
}

bool PgServer::CreatePlantDatabase(const std::string& name)
{
    std::string error;
    if (!Sql("postgres", "CREATE DATABASE \"" + name + "\"", &error)) {
        FFailure = error;
        return false;
    }
    PlantConnection db;
    int from = 0;
    if (!db.Connect(Conn(name, "postgres"), "test", std::chrono::seconds(20))) {
        FFailure = db.Error();
        return false;
    }
    if (!MigratePlantSchema(db, from, error) ||
        !Sql("postgres",
             "DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'bench') THEN "
             "CREATE ROLE bench LOGIN IN ROLE plant_bench; END IF; END $$",
             &error)) {
        FFailure = error;
        return false;
    }
    return true;
}
