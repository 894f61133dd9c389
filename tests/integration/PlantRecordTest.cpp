// The plant record against a real PostgreSQL server that this binary starts
// once (PgServer) and stops at its end; each case works in a database of its own.
#include "PgServer.h"
#include "PlantCommand.h"
#include "PlantSender.h"
#include "TestFiles.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

PgServer* Server = nullptr;

class ServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Server = new PgServer(); }
    void TearDown() override
    {
        delete Server;
        Server = nullptr;
    }
};

// A bench's folder: its journal and the outbox beside it.
struct BenchFolder : TempFolder {
    BenchFolder() : TempFolder("clb-plant-") {}
    std::string Journal() const { return *this / "journal.csv"; }
    std::string Outbox() const { return OutboxPath(Journal()); }
};

PlantEvent Event(const std::string& bench, int n, const std::string& serial = "44412345")
{
    JournalEntry e;
    e.Time = JournalTime(std::time(nullptr));
    e.Operator = "ivanov";
    e.Port = "/dev/ttyUSB0";
    e.TypeCode = 1;
    e.DisplayName = "КВТ-64";
    e.Serial = serial;
    e.Channel = 1;
    e.Version = 3.1f;
    e.Form = "plain";
    e.File = "/saved/KVT-64/" + std::to_string(n) + ".kvt";
    e.Left = CoefficientTables{};
    e.Outcome = "записано и проверено";
    return JournalEvent(e, "write", bench);
}

PlantSenderOptions SenderOptions(const std::string& database, const BenchFolder& folder, const std::string& role = "bench")
{
    PlantSenderOptions o;
    o.Database = Server->Conn(database, role);
    o.Bench = "bench-1";
    o.OutboxPath = folder.Outbox();
    o.RetryFirst = std::chrono::milliseconds(100);
    o.RetryMax = std::chrono::milliseconds(500);
    o.Check = std::chrono::milliseconds(50);
    o.ConnectLimit = std::chrono::seconds(3);
    return o;
}

// The ids in the server's order of arrival.
std::vector<std::string> ArrivedIds(const std::string& database, const std::string& where = "true")
{
    PlantConnection db;
    PlantRows rows;
    if (!db.Connect(Server->Conn(database, "postgres"), "test", std::chrono::seconds(10)) ||
        !db.Exec("SELECT id::text FROM plant.events WHERE " + where + " ORDER BY received", {}, &rows))
        return {};
    std::vector<std::string> ids;
    for (const auto& r : rows.Rows) ids.push_back(r[0].value_or(""));
    return ids;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

class PlantRecord : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Server && Server->Running()) << (Server ? Server->Failure() : "no server");
        Database = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (auto& c : Database) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        ASSERT_TRUE(Server->CreatePlantDatabase(Database)) << Server->Failure();
    }
    std::string Database;
    BenchFolder Folder;
};

} // namespace

TEST_F(PlantRecord, EveryEventOfABurstArrivesOnceInOrderAcrossAServerRestart)
{
    PlantSender sender(SenderOptions(Database, Folder));
    sender.Start();
    std::vector<std::string> written;
    std::string error;
    for (int i = 0; i < 300; ++i) {
        const PlantEvent e = Event("bench-1", i);
        ASSERT_TRUE(AppendOutbox(Folder.Outbox(), e, error)) << error;
        written.push_back(e.Id);
        sender.Wake();
        if (i == 100) {
            ASSERT_TRUE(Server->Stop());
        }
        if (i == 200) {
            EXPECT_GT(sender.Status().Waiting, 0u);
            EXPECT_FALSE(sender.Status().Problem.empty());
            ASSERT_TRUE(Server->Start());
        }
    }
    ASSERT_TRUE(WaitFor([&] { return sender.Status().Waiting == 0 && sender.Status().Problem.empty(); }))
        << sender.Status().Problem;
    EXPECT_EQ(ArrivedIds(Database), written);
}

TEST_F(PlantRecord, TwoBenchesSendingAtOnceLoseAndDoubleNothing)
{
    constexpr int PerBench = 200;
    BenchFolder other;
    std::vector<pid_t> children;
    for (const BenchFolder* folder : {&Folder, &other}) {
        const std::string bench = folder == &Folder ? "bench-a" : "bench-b";
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            PlantSender sender(SenderOptions(Database, *folder));
            sender.Start();
            std::string error;
            for (int i = 0; i < PerBench; ++i) {
                if (!AppendOutbox(folder->Outbox(), Event(bench, i), error)) ::_exit(3);
                sender.Wake();
            }
            ::_exit(WaitFor([&] { return sender.Status().Waiting == 0; }) ? 0 : 4);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    const auto ids = ArrivedIds(Database);
    EXPECT_EQ(ids.size(), 2u * PerBench);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
    EXPECT_EQ(Server->Value(Database, "SELECT count(*) FROM plant.events WHERE bench = 'bench-a'"), "200");
    EXPECT_EQ(Server->Value(Database, "SELECT count(*) FROM plant.benches"), "2");
}

TEST_F(PlantRecord, AnEventAppendedByABenchKilledBeforeSendingGoesAtTheNextStart)
{
    std::string id;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const PlantEvent e = Event("bench-1", 1);
        std::string error;
        if (AppendOutbox(Folder.Outbox(), e, error)) {
            [[maybe_unused]] ssize_t n = ::write(pipeFds[1], e.Id.data(), e.Id.size());
        }
        ::kill(::getpid(), SIGKILL);
    }
    ::close(pipeFds[1]);
    char buf[64] = {};
    const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ASSERT_GT(n, 0);
    EXPECT_TRUE(ArrivedIds(Database).empty());

    PlantSender sender(SenderOptions(Database, Folder));
    sender.Start();
    ASSERT_TRUE(WaitFor([&] { return sender.Status().Waiting == 0; })) << sender.Status().Problem;
    EXPECT_EQ(ArrivedIds(Database), std::vector<std::string>{std::string(buf, static_cast<std::size_t>(n))});
}

struct Refusal {
    const char* Name;
    std::function<std::string(const std::string& database)> Conn;
    const char* Cause;
};

TEST_F(PlantRecord, ARefusingServerIsNamedAndTheBenchKeepsItsJournalAndOutbox)
{
    ASSERT_TRUE(Server->Sql("postgres", "DO $$ BEGIN "
                                        "IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'clerk') THEN "
                                        "CREATE ROLE clerk LOGIN PASSWORD 'right' IN ROLE plant_bench; END IF; "
                                        "IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'outsider') THEN "
                                        "CREATE ROLE outsider LOGIN; END IF; END $$"));
    const std::string passFile = Folder.Str() + "/pgpass";
    {
        std::ofstream f(passFile);
        f << "*:*:*:clerk:wrong\n";
    }
    ::chmod(passFile.c_str(), 0600);
    ::setenv("PGPASSFILE", passFile.c_str(), 1);
    const std::vector<Refusal> cases = {
        {"wrong password", [](const std::string& d) { return Server->Conn(d, "clerk"); }, "неверный пароль роли «clerk»"},
        {"unknown database", [](const std::string&) { return Server->Conn("no_such_plant", "bench"); },
         "нет базы данных «no_such_plant»"},
        {"role without rights", [](const std::string& d) { return Server->Conn(d, "outsider"); },
         "У роли «outsider» нет прав"},
        {"TLS required of a server without it",
         [](const std::string& d) { return Server->Conn(d, "bench", true) + " sslmode=require"; },
         "не принимает шифрованные соединения (TLS)"},
        {"password in the settings", [](const std::string& d) { return Server->Conn(d, "clerk") + " password=right"; },
         "пароль не хранит"},
    };
    JournalEntry entry;
    entry.Time = JournalTime(std::time(nullptr));
    entry.Serial = "44412345";
    std::string error;
    ASSERT_TRUE(AppendJournal(Folder.Journal(), entry, error));
    ASSERT_TRUE(AppendOutbox(Folder.Outbox(), JournalEvent(entry, "write", "bench-1"), error));
    std::ifstream in(Folder.Journal());
    const std::string journal((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        PlantSenderOptions o = SenderOptions(Database, Folder);
        o.Database = c.Conn(Database);
        const PlantSyncResult r = SyncPlantOutbox(o);
        EXPECT_FALSE(r.Delivered);
        EXPECT_NE(r.Problem.find(c.Cause), std::string::npos) << r.Problem;
        EXPECT_EQ(r.Waiting, 1u);
        EXPECT_EQ(PlantOutbox(Folder.Outbox()).Pending(), 1u);
    }
    std::ifstream again(Folder.Journal());
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()), journal);
    ::unsetenv("PGPASSFILE");
    EXPECT_TRUE(ArrivedIds(Database).empty());
    // The right password afterwards: the event goes.
    {
        std::ofstream f(passFile);
        f << "*:*:*:clerk:right\n";
    }
    ::setenv("PGPASSFILE", passFile.c_str(), 1);
    PlantSenderOptions o = SenderOptions(Database, Folder, "clerk");
    EXPECT_TRUE(SyncPlantOutbox(o).Delivered);
    ::unsetenv("PGPASSFILE");
    EXPECT_EQ(ArrivedIds(Database).size(), 1u);
}

TEST_F(PlantRecord, QuotesSemicolonsBackslashesAndCyrillicReachTheTableAsWritten)
{
    const std::string serial = "12'3\";4\\5 Ж№";
    JournalEntry e;
    e.Time = "2026-12-10T14:50:58+03:00";
    e.Operator = "O'Brien\"; DROP TABLE plant.events; -- \\ Иванов";
    e.Serial = serial;
    e.DisplayName = "КВТ-64";
    e.TypeCode = 1;
    e.File = "/home/оператор/it's; \"a\\b\".kvt";
    e.Outcome = "записано; {\"x\"} \\N NULL";
    PlantEvent event = JournalEvent(e, "write", "стенд \"1\";");
    PlantPoint p;
    p.Number = 1;
    p.Nominal = 1.5;
    p.Verdict = "годен; \"да\"";
    event.Kind = "calibration";
    event.Points.push_back(p);
    std::string error;
    ASSERT_TRUE(AppendOutbox(Folder.Outbox(), event, error));
    ASSERT_TRUE(SyncPlantOutbox(SenderOptions(Database, Folder)).Delivered);

    PlantConnection db;
    ASSERT_TRUE(db.Connect(Server->Conn(Database, "bench"), "test", std::chrono::seconds(10)));
    std::vector<PlantRecordRow> rows;
    ASSERT_TRUE(ReadPlantRecord(db, {serial, std::nullopt, std::nullopt}, rows)) << db.Error();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].Serial, serial);
    EXPECT_EQ(rows[0].Operator, e.Operator);
    EXPECT_EQ(rows[0].Bench, "стенд \"1\";");
    EXPECT_EQ(rows[0].Outcome, e.Outcome);
    EXPECT_EQ(rows[0].Time, e.Time);
    ASSERT_EQ(rows[0].Points.size(), 1u);
    EXPECT_EQ(rows[0].Points[0].Verdict, p.Verdict);
    PlantRows file;
    ASSERT_TRUE(db.Exec("SELECT fields->>'file', fields->>'operator' FROM plant.events", {}, &file));
    EXPECT_EQ(file.Rows.at(0).at(0).value_or(""), e.File);
    EXPECT_EQ(file.Rows.at(0).at(1).value_or(""), e.Operator);
    EXPECT_EQ(Server->Value(Database, "SELECT count(*) FROM pg_tables WHERE schemaname = 'plant'"), "5");
}

TEST_F(PlantRecord, AnOutboxLineCutShortIsSkippedWithAWarningAndTheRestDelivered)
{
    const PlantEvent first = Event("bench-1", 1), second = Event("bench-1", 2), cut = Event("bench-1", 3);
    const std::string cutLine = OutboxLine(cut);
    {
        std::ofstream f(Folder.Outbox(), std::ios::binary);
        f << OutboxLine(first) << "\n" << cutLine.substr(0, cutLine.size() / 2);
    }
    std::string error;
    // The next append ends the cut line first.
    ASSERT_TRUE(AppendOutbox(Folder.Outbox(), second, error));
    const PlantSyncResult r = SyncPlantOutbox(SenderOptions(Database, Folder));
    EXPECT_TRUE(r.Delivered) << r.Problem;
    EXPECT_EQ(r.Sent, 2u);
    ASSERT_EQ(r.Warnings.size(), 1u);
    EXPECT_NE(r.Warnings[0].find("пропущена повреждённая строка"), std::string::npos) << r.Warnings[0];
    EXPECT_EQ(ArrivedIds(Database), (std::vector<std::string>{first.Id, second.Id}));
    std::ifstream rejected(Folder.Str() + "/plant-outbox.rejected");
    std::string kept;
    std::getline(rejected, kept);
    EXPECT_EQ(kept, cutLine.substr(0, cutLine.size() / 2));
    EXPECT_EQ(PlantOutbox(Folder.Outbox()).Pending(), 0u);
}

TEST_F(PlantRecord, TheRecordRefusesUpdatesAndDeletes)
{
    std::string error;
    ASSERT_TRUE(AppendOutbox(Folder.Outbox(), Event("bench-1", 1), error));
    ASSERT_TRUE(SyncPlantOutbox(SenderOptions(Database, Folder)).Delivered);
    PlantConnection bench;
    ASSERT_TRUE(bench.Connect(Server->Conn(Database, "bench"), "test", std::chrono::seconds(10)));
    for (const char* sql : {"UPDATE plant.events SET operator = 'x'", "DELETE FROM plant.events",
                            "TRUNCATE plant.events CASCADE"}) {
        SCOPED_TRACE(sql);
        EXPECT_FALSE(bench.Exec(sql, {}));
        EXPECT_EQ(bench.SqlState(), "42501");
        // Not even the owner.
        EXPECT_FALSE(Server->Sql(Database, sql));
    }
    EXPECT_EQ(Server->Value(Database, "SELECT operator FROM plant.events"), "ivanov");
}

TEST_F(PlantRecord, ARoleThatMayNotCreateTheSchemaIsToldWhatToRun)
{
    ASSERT_TRUE(Server->Sql("postgres", "CREATE DATABASE empty_plant"));
    std::string error;
    ASSERT_TRUE(AppendOutbox(Folder.Outbox(), Event("bench-1", 1), error));
    ASSERT_TRUE(Server->Sql("empty_plant", "REVOKE CREATE ON SCHEMA public FROM PUBLIC; "
                                           "REVOKE CREATE ON DATABASE empty_plant FROM PUBLIC"));
    const PlantSyncResult r = SyncPlantOutbox(SenderOptions("empty_plant", Folder));
    EXPECT_FALSE(r.Delivered);
    EXPECT_NE(r.Problem.find("clbtool plant init"), std::string::npos) << r.Problem;
    EXPECT_EQ(r.Waiting, 1u);
}

TEST_F(PlantRecord, TheCommandLineInitialisesSyncsAndReadsTheRecord)
{
    ASSERT_TRUE(Server->Sql("postgres", "CREATE DATABASE cli_plant"));
    const std::string settings = Folder.Str() + "/clbview.ini";
    {
        std::ofstream f(settings);
        f << "[Plant]\r\nDatabase=" << Server->Conn("cli_plant", "bench") << "\r\nBench=стенд-7\r\n";
    }
    auto run = [&](std::vector<std::string> args, std::string& out, std::string& err) {
        std::ostringstream o, e;
        const int status = RunPlantCommand(args, o, e, settings);
        out = o.str();
        err = e.str();
        return status;
    };
    std::string out, err;
    // The bench's own role may not create the schema; the owner's may.
    EXPECT_EQ(run({"plant", "init"}, out, err), 1);
    EXPECT_NE(err.find("clbtool plant init"), std::string::npos) << err;
    EXPECT_EQ(run({"plant", "init", "--database", Server->Conn("cli_plant", "postgres")}, out, err), 0) << err;
    EXPECT_NE(out.find("версия 0 -> 1"), std::string::npos) << out;
    ASSERT_TRUE(Server->Sql("postgres", "DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'bench') "
                                        "THEN CREATE ROLE bench LOGIN IN ROLE plant_bench; END IF; END $$"));

    std::string error;
    for (const char* serial : {"111", "222", "111"})
        ASSERT_TRUE(AppendOutbox(OutboxPath(JournalPath(settings)), Event("стенд-7", 0, serial), error));
    EXPECT_EQ(run({"plant", "status"}, out, err), 0);
    EXPECT_NE(out.find("ждут отправки 3"), std::string::npos) << out;
    EXPECT_EQ(run({"journal", "--sync"}, out, err), 0) << err;
    EXPECT_NE(out.find("отправлено 3 событий, ждут отправки 0"), std::string::npos) << out;

    EXPECT_EQ(run({"journal", "--plant", "--serial", "111", "--json"}, out, err), 0) << err;
    const auto j = nlohmann::json::parse(out);
    ASSERT_EQ(j["events"].size(), 2u);
    EXPECT_EQ(j["events"][0]["fields"]["name"], "КВТ-64");
    EXPECT_EQ(run({"journal", "--plant", "--bench", "стенд-7", "--since", "2000-01-01", "--csv"}, out, err), 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << out;
    EXPECT_EQ(out.rfind("id;bench;host;kind;" + JournalHeader() + "\n", 0), 0u) << out;
    EXPECT_EQ(run({"journal", "--plant", "--since", "2999-01-01"}, out, err), 0);
    EXPECT_EQ(out, "Событий: 0\n");
    EXPECT_EQ(run({"journal", "--plant", "--since", "2026-02-30"}, out, err), 2);
    EXPECT_EQ(run({"journal", "--sync", "--serial", "1"}, out, err), 2);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ServerEnvironment);
    return RUN_ALL_TESTS();
}
