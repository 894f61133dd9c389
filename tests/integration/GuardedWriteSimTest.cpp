// Guarded writing through the command-line program, checked from the meter's side: the as-found
// backup made before the first write frame, the differences the meter gives back, and a restore
// that gives the meter its old memory byte for byte.
//
// The program runs as a process of its own from a copy in a temporary folder, so that its "saved"
// folder (next to the program) belongs to the test; for the unwritable backup folder the child
// becomes the user nobody, because root passes every permission check.
#include "Child.h"
#include "DeviceCatalogue.h"
#include "MeterSimProcess.h"
#include "TestFiles.h"
#include "ToolProcess.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <regex>
#include <csignal>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr uid_t Nobody = 65534;

std::vector<std::string> Common(const MeterSimProcess& sim, const std::string& slot)
{
    return {"--port", sim.DevicePath(), "--timeouts", "50,150,2", "--json", "--slot", slot};
}

constexpr float M4(int n)
{
    return static_cast<float>(n) / 65536.0f;
}

// A KVT file of values no meter holds from its factory (M4 meters keep them exactly too).
void WriteKvt(const std::string& path, float gmax)
{
    const float k[10] = {-0.1875f, 1.046875f, M4(72), M4(168), M4(336), M4(664), M4(1320), M4(2640), M4(6576),
                         M4(32896)};
    const float obr[10] = {0.375f, 0.8125f, M4(68), M4(164), M4(332), M4(660), M4(1316), M4(2628), M4(6552),
                           M4(32832)};
    std::ostringstream s;
    s.precision(9);
    s << "[Device]\r\nGmax=" << gmax << "\r\n";
    auto table = [&s](const char* section, const float* t) {
        s << "[" << section << "]\r\nK0=" << t[0] << "\r\nKu=" << t[1] << "\r\n";
        for (int p = 1; p <= 8; ++p) s << p << "=" << t[p + 1] << "\r\n";
    };
    table("Koeff", k);
    table("Kobr", obr);
    std::ofstream(path, std::ios::binary) << s.str();
}

// The key=value pairs of a section of an ini file.
std::map<std::string, std::string> Section(const std::string& text, const std::string& name)
{
    std::map<std::string, std::string> keys;
    std::istringstream in(text);
    std::string line, current;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') {
            current = line.substr(1, line.find(']') - 1);
        } else if (current == name && line.find('=') != std::string::npos) {
            keys[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        }
    }
    return keys;
}

float Float(const json& v)
{
    return v.is_number() ? v.get<float>() : std::strtof(v.get<std::string>().c_str(), nullptr);
}

// The requests of a 6x line that carried a memory write (0F 81 or 0A 42 after address, complement
// and group); requests is set to the count of all requests.
int MemoryWrites6x(const MeterSimProcess& sim, int& requests)
{
    int writes = 0;
    requests = 0;
    for (const std::string& line : sim.LogLines()) {
        std::istringstream in(line);
        std::string time, kind, meterName;
        if (!(in >> time >> kind >> meterName) || kind != "RX") continue;
        ++requests;
        std::vector<unsigned long> bytes;
        for (std::string b; in >> b && b != "#";) bytes.push_back(std::stoul(b, nullptr, 16));
        if (bytes.size() >= 5 && ((bytes[3] == 0x0F && bytes[4] == 0x81) || (bytes[3] == 0x0A && bytes[4] == 0x42)))
            ++writes;
    }
    return writes;
}

struct Family {
    const char* name;
    json meter;
    std::string slot;
    std::string protocol;
    std::uint32_t address;
    std::string table; // the dump's table the slot's channel writes
    std::string folder; // the type's folder under saved
};

void PrintTo(const Family& f, std::ostream* os)
{
    *os << f.name;
}

class GuardedWrite : public ::testing::TestWithParam<Family> {};

// Write: the backup holds what the meter held, exactly, and the meter holds the file (no
// differences). Restore: the newest backup goes back and the meter's memory is what it was.
TEST_P(GuardedWrite, BackupHoldsTheOldValuesAndRestoreGivesTheMemoryBack)
{
    const Family& f = GetParam();
    ToolFolder folder{CLBTOOL_PATH, "clbguard."};
    MeterSimProcess sim(json{{"meters", {f.meter}}});
    const json before = sim.Dump();
    const json& old = DumpMeter(before, f.protocol, f.address)["tables"][f.table];

    const std::string file = folder.File("new.kvt");
    WriteKvt(file, 12.5f);
    const ToolRun read = RunTool(folder, Common(sim, f.slot) + std::vector<std::string>{"read"});
    ASSERT_EQ(read.status, 0) << read.err;
    const float oldGmax = Float(read.result["slots"][0]["gmax"]);

    const ToolRun write = RunTool(folder, Common(sim, f.slot) + std::vector<std::string>{"write", "1", file, "--yes"});
    ASSERT_EQ(write.status, 0) << write.err << write.result.dump();
    EXPECT_EQ(write.result["differences"], json::array());
    const std::string backup = write.result["backup"];
    const std::string serial = read.result["slots"][0]["serial"];
    const std::string channel = std::to_string(read.result["slots"][0]["channel"].get<int>());
    EXPECT_EQ(fs::path(backup).parent_path(), fs::path(folder.Path()) / "saved" / f.folder / "backup");
    EXPECT_TRUE(std::regex_match(fs::path(backup).filename().string(),
                                 std::regex(std::regex_replace(serial, std::regex("/"), "_") + "#" + channel +
                                            R"(-\d{8}-\d{6}\.kvt)")))
        << backup;

    const std::string text = ReadFile(backup);
    EXPECT_EQ(Float(json(Section(text, "Device")["Gmax"])), oldGmax);
    const char* sections[2] = {"Koeff", "Kobr"};
    const char* tables[2] = {"K", "Obr"};
    for (int t = 0; t < 2; ++t) {
        auto keys = Section(text, sections[t]);
        for (int i = 0; i < 10; ++i) {
            const std::string key = i == 0 ? "K0" : i == 1 ? "Ku" : std::to_string(i - 1);
            EXPECT_EQ(std::strtof(keys[key].c_str(), nullptr), Float(old[tables[t]][i]))
                << sections[t] << " " << key << " in " << text;
        }
    }
    ASSERT_NE(MeterMemory(DumpMeter(sim.Dump(), f.protocol, f.address)),
              MeterMemory(DumpMeter(before, f.protocol, f.address)));

    const ToolRun restore = RunTool(folder, Common(sim, f.slot) + std::vector<std::string>{"restore", "1", "--yes"});
    ASSERT_EQ(restore.status, 0) << restore.err << restore.result.dump();
    EXPECT_EQ(restore.result["file"], backup);
    EXPECT_EQ(restore.result["differences"], json::array());
    EXPECT_EQ(MeterMemory(DumpMeter(sim.Dump(), f.protocol, f.address)),
              MeterMemory(DumpMeter(before, f.protocol, f.address)));
}

INSTANTIATE_TEST_SUITE_P(
    EveryFamily, GuardedWrite,
    ::testing::Values(
        Family{"Kvt64Over6x", {{"address", 3}, {"protocol", "6x"}, {"model", "kvt64"}}, "1:3:1", "6x", 3, "1",
               "KVT-64"},
        Family{"Kvt64KUOverTheRelay",
               {{"serial", 44412345}, {"protocol", "relay"}, {"model", "kvt64ku"}, {"net_address", 31}},
               "14:31:1@44412345",
               "relay",
               44412345,
               "1",
               std::string(*FindDeviceType(14)->LatinName)},
        Family{"Kvt09M4Channel2",
               {{"address", 29}, {"protocol", "m4"}, {"model", "kvt09m4"}, {"gmax", {6.0, 3.5}}},
               "16:29:2",
               "m4",
               29,
               "2",
               "KVT-09M4"}),
    [](const auto& info) { return std::string(info.param.name); });

// Two cells the meter keeps to itself: both differences are listed, in the JSON, the message and
// the exit status.
TEST(GuardedWriteDifferences, EveryValueTheMeterKeptIsListed)
{
    ToolFolder folder{CLBTOOL_PATH, "clbguard."};
    json meter = {{"address", 3}, {"protocol", "6x"}, {"model", "kvt64"}};
    // K points 7 and 8 of channel 1.
    meter["readonly"] = json::array({json{{"area", "rtc2k"}, {"addr", "0x0738"}, {"count", 8}}});
    MeterSimProcess sim(json{{"meters", {meter}}});
    const json dump = sim.Dump();
    const json& kept = DumpMeter(dump, "6x", 3)["tables"]["1"]["K"];
    const std::string file = folder.File("new.kvt");
    WriteKvt(file, 12.5f);
    const ToolRun run = RunTool(folder, Common(sim, "1:3:1") + std::vector<std::string>{"write", "1", file, "--yes"});
    ASSERT_EQ(run.status, 1) << run.err;
    json expected = json::array();
    expected.push_back({{"name", "K7"}, {"meant", M4(6576)}, {"held", Float(kept[8])}});
    expected.push_back({{"name", "K8"}, {"meant", M4(32896)}, {"held", Float(kept[9])}});
    EXPECT_EQ(run.result["differences"], expected);
    const std::string said = run.result["messages"].back();
    EXPECT_NE(said.find("(2 значений)"), std::string::npos) << said;
    EXPECT_NE(said.find("для точки 7 значение"), std::string::npos) << said;
    EXPECT_NE(said.find("для точки 8 значение"), std::string::npos) << said;
}

// A backup folder the user may not write: the write stops with a message naming the backup file,
// and the meter receives no write frame.
TEST(GuardedWriteBackup, UnwritableFolderStopsTheWriteBeforeAnyFrame)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "not running as root: the child cannot become another user, and a folder this user "
                        "made is one this user may write";
    ToolFolder folder{CLBTOOL_PATH, "clbguard."};
    MeterSimProcess sim(json{{"meters", {{{"address", 3}, {"protocol", "6x"}, {"model", "kvt64"}}}}});
    // The device itself: the simulator's link lies in a folder of its own that nobody may not enter.
    const std::string device = fs::canonical(sim.DevicePath()).string();
    ASSERT_EQ(::chown(device.c_str(), Nobody, static_cast<gid_t>(-1)), 0) << std::strerror(errno);
    // The program's own folder is not the user's: its files go under XDG_DATA_HOME, where all is
    // the user's but the backup folder.
    const std::string data = folder.File("data");
    const fs::path base = fs::path(data) / "clbtool";
    fs::create_directories(base / "saved" / "KVT-64" / "backup");
    for (const fs::path& p : {fs::path(data), base, base / "saved", base / "saved" / "KVT-64"})
        ASSERT_EQ(::chown(p.c_str(), Nobody, Nobody), 0);
    const std::string file = folder.File("new.kvt");
    WriteKvt(file, 12.5f);
    ::chmod(file.c_str(), 0644);

    const ToolRun run =
        RunTool(folder,
                {"--port", device, "--timeouts", "50,150,2", "--json", "--slot", "1:3:1", "write", "1", file, "--yes"},
                true, data);
    ASSERT_EQ(run.status, 1) << run.err << run.result.dump();
    const std::string outcome = run.result["outcome"];
    EXPECT_NE(outcome.find("Резервная копия коэффициентов прибора не сохранена в файл " +
                           (base / "saved" / "KVT-64" / "backup").string() + "/"),
              std::string::npos)
        << outcome;
    EXPECT_NE(outcome.find("в прибор ничего не отправлено"), std::string::npos) << outcome;
    EXPECT_TRUE(fs::is_empty(base / "saved" / "KVT-64" / "backup"));
    int requests = 0;
    EXPECT_EQ(MemoryWrites6x(sim, requests), 0);
    EXPECT_GT(requests, 10); // the read-out and the pre-flight went out
}

// Two writes (one that the meter took, one that left a difference), then a write killed while
// its frames go out, then one more: the journal holds the three finished writes, whole, and
// Python's csv module reads it with its header.
TEST(GuardedWriteJournal, SurvivesAKillInTheMiddleOfAWrite)
{
    ToolFolder folder{CLBTOOL_PATH, "clbguard."};
    json good = {{"address", 3}, {"protocol", "6x"}, {"model", "kvt64"}};
    good["memory"] = json::array({json{{"area", "rtc2k"}, {"addr", "0x007C"}, {"hex", "00BC614E"}}});
    json stubborn = {{"address", 4}, {"protocol", "6x"}, {"model", "kvt64"}};
    stubborn["readonly"] = json::array({json{{"area", "rtc2k"}, {"addr", "0x073C"}, {"count", 4}}});
    MeterSimOptions paced;
    paced.pacing = true;
    MeterSimProcess sim(json{{"meters", {good, stubborn}}}, paced);
    const json before = sim.Dump();
    const std::string file = folder.File("new.kvt");
    WriteKvt(file, 12.5f);
    // Named relative to the working folder; the journal keeps the whole path.
    const auto write = [&](const std::string& slot) {
        return Common(sim, slot) + std::vector<std::string>{"write", "1", fs::relative(file).string(), "--yes"};
    };

    const ToolRun first = RunTool(folder, write("1:3:1"));
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string serial = first.result["slots"][0]["serial"];
    ASSERT_EQ(RunTool(folder, write("1:4:1")).status, 1);

    // Killed once its backup is there: the write frames are going out.
    const fs::path backups = fs::path(folder.Path()) / "saved" / "KVT-64" / "backup";
    const std::size_t had = std::distance(fs::directory_iterator(backups), fs::directory_iterator());
    const pid_t pid = StartTool(folder, write("1:3:1"));
    for (int i = 0; i < 400; ++i) {
        if (static_cast<std::size_t>(std::distance(fs::directory_iterator(backups), fs::directory_iterator())) > had)
            break;
        ::usleep(20000);
    }
    ::usleep(300000);
    ::kill(pid, SIGKILL);
    EXPECT_EQ(FinishTool(folder, pid, false).status, 128 + SIGKILL);
    ASSERT_EQ(RunTool(folder, write("1:3:1")).status, 0);

    const std::string journal = folder.File("journal.csv");
    const std::string script = "import csv, json, sys\n"
                               "with open(sys.argv[1], encoding='utf-8', newline='') as f:\n"
                               "    print(json.dumps(list(csv.DictReader(f, delimiter=';'))))\n";
    std::ofstream(folder.File("read.py")) << script;
    const ToolRun parsed = [&] {
        const std::string outPath = folder.File("py.txt");
        const std::string command = "python3 " + folder.File("read.py") + " " + journal + " > " + outPath;
        ToolRun r;
        r.status = std::system(command.c_str());
        r.result = json::parse(ReadFile(outPath), nullptr, false);
        return r;
    }();
    ASSERT_EQ(parsed.status, 0) << ReadFile(journal);
    const json& rows = parsed.result;
    ASSERT_EQ(rows.size(), 3u) << ReadFile(journal);
    const json& old = DumpMeter(before, "6x", 3)["tables"]["1"]["K"];
    for (const json& row : rows) {
        EXPECT_EQ(row.size(), 35u) << row.dump();
        EXPECT_TRUE(std::regex_match(row["time"].get<std::string>(),
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
            << row["time"];
        EXPECT_FALSE(row["operator"].get<std::string>().empty());
        EXPECT_EQ(row["port"], sim.DevicePath());
        EXPECT_EQ(row["type"], "1");
        EXPECT_EQ(row["file"], file);
        EXPECT_EQ(row["channel"], "1");
        EXPECT_EQ(std::strtof(row["left_K8"].get<std::string>().c_str(), nullptr),
                  row == rows[1] ? Float(DumpMeter(before, "6x", 4)["tables"]["1"]["K"][9]) : M4(32896));
        EXPECT_EQ(std::strtof(row["left_Gmax"].get<std::string>().c_str(), nullptr), 12.5f);
    }
    EXPECT_EQ(rows[0]["serial"], serial);
    EXPECT_EQ(rows[0]["outcome"], "записано и проверено");
    EXPECT_EQ(rows[0]["differences"], "");
    for (int i = 0; i < 10; ++i) {
        const std::string key = i == 0 ? "K0" : i == 1 ? "Ku" : "K" + std::to_string(i - 1);
        EXPECT_EQ(std::strtof(rows[0]["found_" + key].get<std::string>().c_str(), nullptr), Float(old[i])) << key;
    }
    EXPECT_NE(rows[1]["outcome"].get<std::string>().find("Проверка записи не прошла"), std::string::npos);
    EXPECT_EQ(rows[1]["differences"].get<std::string>().rfind("K8: 0.5019531 -> ", 0), 0u) << rows[1]["differences"];
    EXPECT_NE(rows[1]["messages"].get<std::string>().find("Записать коэффициенты в прибор? | Проверка записи"),
              std::string::npos)
        << rows[1]["messages"];
    // What the first write left is what the last one found (the killed one sent some of it).
    EXPECT_NE(rows[2]["found_K0"], "");

    // The journal of one meter.
    const ToolRun one = FinishTool(folder, StartTool(folder, {"journal", "--serial", serial}), false);
    ASSERT_EQ(one.status, 0) << one.err;
    const std::string listed = one.result;
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 3) << listed;
}

// Doubts are said with the question and in --json, and the write still goes on when confirmed.
TEST(GuardedWriteWarnings, AreSaidWithTheQuestionAndRefuseNothing)
{
    ToolFolder folder{CLBTOOL_PATH, "clbguard."};
    MeterSimProcess sim(json{{"meters", {{{"address", 3}, {"protocol", "6x"}, {"model", "kvt64"}}}}});
    const std::string file = folder.File("doubtful.kvt");
    WriteKvt(file, 12.5f);
    std::string text = ReadFile(file);
    text = std::regex_replace(text, std::regex("\\[Device\\]\r\n"), "[Device]\r\nNum=99999999\r\n");
    // The КВТ-64 keeps Ku in converter units (26214 for no correction): a factor is out of place.
    std::ofstream(file, std::ios::binary) << text;
    const ToolRun run = RunTool(folder, Common(sim, "1:3:1") + std::vector<std::string>{"write", "1", file, "--yes"});
    ASSERT_EQ(run.status, 0) << run.err << run.result.dump();
    ASSERT_EQ(run.result["warnings"].size(), 2u) << run.result["warnings"];
    EXPECT_EQ(run.result["warnings"][0], "Ku = 1.046875 вне правдоподобных пределов (от 13107 до 52428)");
    EXPECT_EQ(run.result["warnings"][1].get<std::string>().rfind(
                  "Файл сделан для прибора с серийным номером 99999999, а у этого прибора номер ", 0),
              0u);
    // First the warning of a file without Id, then the question.
    ASSERT_EQ(run.result["messages"].size(), 2u) << run.result["messages"];
    const std::string question = run.result["messages"][1];
    EXPECT_EQ(question.rfind("Проверьте коэффициенты перед записью:\n- Ku = 1.046875", 0), 0u) << question;
    EXPECT_NE(question.find("\n\nЗаписать коэффициенты в прибор?"), std::string::npos) << question;
    EXPECT_EQ(run.result["outcome"], "записано и проверено");
}

// In text, restore names the backup (or the file) it wrote back, and where the values it
// replaced went.
TEST(GuardedWriteRestore, NamesWhatItRestoredFrom)
{
    ToolFolder folder{CLBTOOL_PATH, "clbguard."};
    MeterSimProcess sim(json{{"meters", {{{"address", 3}, {"protocol", "6x"}, {"model", "kvt64"}}}}});
    const std::string file = folder.File("new.kvt");
    WriteKvt(file, 12.5f);
    const ToolRun write = RunTool(folder, Common(sim, "1:3:1") + std::vector<std::string>{"write", "1", file, "--yes"});
    ASSERT_EQ(write.status, 0) << write.err;
    const std::string backup = write.result["backup"];

    const std::vector<std::string> text = {"--port", sim.DevicePath(), "--timeouts", "50,150,2", "--slot", "1:3:1"};
    const ToolRun restore = FinishTool(folder, StartTool(folder, text + std::vector<std::string>{"restore", "1", "--yes"}), false);
    ASSERT_EQ(restore.status, 0) << restore.err;
    const std::string said = restore.result;
    EXPECT_NE(said.find("слот 1: из резервной копии " + backup + ": записано и проверено\n"), std::string::npos) << said;
    EXPECT_NE(said.find("прежние коэффициенты прибора сохранены в " + folder.Path() + "/saved/KVT-64/backup/"),
              std::string::npos)
        << said;

    const ToolRun named = FinishTool(folder, StartTool(folder, text + std::vector<std::string>{"restore", "1", file, "--yes"}), false);
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_NE(named.result.get<std::string>().find("слот 1: из файла " + file + ": записано и проверено\n"),
              std::string::npos)
        << named.result;
}

// A meter without backups: restore says so, naming the folder, and sends nothing.
TEST(GuardedWriteRestore, WithoutABackupNothingIsSent)
{
    ToolFolder folder{CLBTOOL_PATH, "clbguard."};
    MeterSimProcess sim(json{{"meters", {{{"address", 3}, {"protocol", "6x"}, {"model", "kvt64"}}}}});
    const ToolRun run = RunTool(folder, Common(sim, "1:3:1") + std::vector<std::string>{"restore", "1", "--yes"});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.result["written"], false);
    const std::string outcome = run.result["outcome"];
    EXPECT_NE(outcome.find("Нет резервных копий прибора"), std::string::npos) << outcome;
    EXPECT_NE(outcome.find(folder.Path() + "/saved/KVT-64/backup"), std::string::npos) << outcome;
    int requests = 0;
    EXPECT_EQ(MemoryWrites6x(sim, requests), 0);
    EXPECT_GT(requests, 10);
}

} // namespace

// With the plant record on, every journal line is also an event in the outbox beside the journal:
// a write, and a restore from the meter's own backup as a restore. The server being out of reach
// changes nothing for the meter operations.
TEST(GuardedWritePlant, EveryJournalLineIsAnEventWaitingInTheOutbox)
{
    ToolFolder folder{CLBTOOL_PATH, "clbguard."};
    std::ofstream(folder.File("clbtool.ini"), std::ios::binary)
        << "[Plant]\r\nDatabase=host=" << folder.Path() << "/no-server dbname=plant\r\nBench=стенд \"3\"\r\n";
    MeterSimProcess sim(json{{"meters", {{{"address", 3}, {"protocol", "6x"}, {"model", "kvt64"}}}}});
    const std::string file = folder.File("new.kvt");
    WriteKvt(file, 12.5f);
    const ToolRun write = RunTool(folder, Common(sim, "1:3:1") + std::vector<std::string>{"write", "1", file, "--yes"});
    ASSERT_EQ(write.status, 0) << write.err;
    ASSERT_EQ(RunTool(folder, Common(sim, "1:3:1") + std::vector<std::string>{"restore", "1", "--yes"}).status, 0);

    std::istringstream outbox(ReadFile(folder.File("plant-outbox.log")));
    std::vector<std::string> lines;
    for (std::string line; std::getline(outbox, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    const std::string serial = write.result["slots"][0]["serial"];
    const std::vector<std::string> kinds = {"kind=write;", "kind=restore;"};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(lines[i].find(kinds[i]), std::string::npos) << lines[i];
        EXPECT_NE(lines[i].find(";bench=стенд \"3\";"), std::string::npos) << lines[i];
        EXPECT_NE(lines[i].find(";f.serial=" + serial + ";"), std::string::npos) << lines[i];
        EXPECT_NE(lines[i].find(";f.outcome=записано и проверено;"), std::string::npos) << lines[i];
    }
    const ToolRun status = RunTool(folder, {"plant", "status", "--json"});
    EXPECT_EQ(status.result["waiting"], 2) << status.result.dump();
    // The sync names the missing server and keeps both events.
    const ToolRun sync = RunTool(folder, {"journal", "--sync", "--json"});
    EXPECT_EQ(sync.status, 1);
    EXPECT_EQ(sync.result["waiting"], 2);
    EXPECT_NE(sync.result["problem"].get<std::string>().find("Сервер учёта недоступен"), std::string::npos)
        << sync.result.dump();
}
