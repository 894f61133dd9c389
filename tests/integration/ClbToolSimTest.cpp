// The command line as a person meets it, against the simulated meters: files that
// cannot be loaded are refused before anything goes on the line, a write whose
// addresses do not all answer sends nothing, usage errors are found before the port
// is opened (one JSON object under --json), probe tells its outcomes apart, and poll
// shows its cycles as they happen and ends cleanly on a signal.
#include "ClbTool.h"
#include "Cp1251.h"
#include "MeterSimProcess.h"
#include "RussianPlural.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int status = 0;
    std::string out, err;
    json result; // discarded when the output is no JSON
};

ToolRun Tool(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    ToolRun r;
    r.status = RunClbTool(args, out, err);
    r.out = out.str();
    r.err = err.str();
    r.result = json::parse(r.out, nullptr, false);
    return r;
}

void Put(const std::string& path, const std::string& bytes)
{
    if (!WriteFile(path, bytes)) throw std::runtime_error("cannot write " + path);
}

// A KVT file with every key the tool writes, for the display name id; drop names one
// key ("Koeff/4") that is left out.
std::string Kvt(const std::string& id, const std::string& drop = "")
{
    std::string s;
    auto key = [&](const std::string& section, const std::string& name, const std::string& value) {
        if (drop != section + "/" + name) s += name + "=" + value + "\r\n";
    };
    s += "[Device]\r\n";
    key("Device", "Id", Utf8ToCp1251Lossy(id));
    key("Device", "Num", "44412345");
    key("Device", "Gmax", "12.5");
    for (const char* section : {"Koeff", "Kobr"}) {
        s += std::string("[") + section + "]\r\n";
        key(section, "K0", "0.25");
        key(section, "Ku", "1.5");
        for (int p = 1; p <= 8; ++p)
            key(section, std::to_string(p), std::to_string(p) + ".125");
    }
    return s;
}

json Kvt64At(int address, json extra = json::object())
{
    json m = {{"address", address}, {"protocol", "6x"}, {"model", "kvt64"}};
    m.update(extra);
    return m;
}

int Frames(const std::vector<std::string>& log, const std::string& kind)
{
    int n = 0;
    for (const auto& line : log)
        if (line.find(" " + kind + " ") != std::string::npos) ++n;
    return n;
}

// Memory writes (0F 81, or the alternative 0A 42) that a meter received.
int WriteFrames(const std::vector<std::string>& log)
{
    int n = 0;
    for (const auto& line : log)
        if (line.find(" RX ") != std::string::npos &&
            (line.find(" 0F 81 ") != std::string::npos || line.find(" 0A 42 ") != std::string::npos))
            ++n;
    return n;
}

// --- Files that cannot be loaded ------------------------------------------------------------------

struct BadFile {
    std::string name;
    std::string file;
    std::string bytes;  // the file's contents; not written when empty and absent is set
    bool absent = false;
    bool folder = false;
    std::string reason; // in the message, after the file name
};

void PrintTo(const BadFile& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<BadFile> BadFiles()
{
    std::string binary;
    for (int k = 0; k < 512; ++k)
        binary += static_cast<char>((k * 37 + 11) % 256);
    const std::string good = Kvt("КВТ-64");
    return {
        {"Empty", "empty.kvt", "", false, false, ": файл пуст"},
        {"Missing", "missing.kvt", "", true, false, ": файл не найден"},
        {"Folder", "folder.kvt", "", false, true, ": это папка, а не файл"},
        {"Dat", "coefficients.dat", good, false, false,
         ": расширение \".dat\" не относится ни к одному формату (.txt, .kvt, .tpr)"},
        {"Bak", "saved.kvt.bak", good, false, false,
         ": расширение \".bak\" не относится ни к одному формату (.txt, .kvt, .tpr)"},
        {"KvtWithoutGmax", "no_gmax.kvt", Kvt("КВТ-64", "Device/Gmax"), false, false, ": нет ключа [Device] Gmax"},
        {"KvtWithoutAMeasuredPoint", "no_k4.kvt", Kvt("КВТ-64", "Koeff/4"), false, false, ": нет ключа [Koeff] 4"},
        {"KvtWithoutAReferenceK0", "no_obr_k0.kvt", Kvt("КВТ-64", "Kobr/K0"), false, false,
         ": нет ключа [Kobr] K0"},
        {"BinaryGarbage", "garbage.kvt", binary, false, false, ": не текстовый файл"},
        // A TXT file's contents under a KVT name: no key at all.
        {"TxtContentsNamedKvt", "other_format.kvt",
         Utf8ToCp1251Lossy("КВТ-64\r\n1\r\n30\r\n0\r\n1\r\n\r\n1 2 3 4 5 6 7 8 \r\n1 2 3 4 5 6 7 8 \r\n"), false, false,
         ": нет ключа [Device] Gmax"},
        // The file of another meter type.
        {"KvtOfAnotherType", "kvt76.kvt", Kvt("КВТ-76"), false, false,
         ": [Device] Id = \"КВТ-76\", а прибор слота КВТ-64"},
        {"TxtOfAnotherType", "kvt76.txt",
         Utf8ToCp1251Lossy("КВТ-76\r\n1\r\n30\r\n0\r\n1\r\n\r\n1 2 3 4 5 6 7 8 \r\n1 2 3 4 5 6 7 8 \r\n"), false, false,
         ": в файле прибор \"КВТ-76\", а в слоте КВТ-64"},
    };
}

class RefusedFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(RefusedFile, IsRefusedWithItsReasonAndNothingIsSent)
{
    const BadFile& c = GetParam();
    TempFolder dir("clbtool.");
    const std::string path = dir / c.file;
    if (c.folder)
        fs::create_directory(path);
    else if (!c.absent)
        Put(path, c.bytes);
    MeterSimProcess sim(json{{"meters", {Kvt64At(1)}}});
    const json before = DumpMeter(sim.Dump(), "6x", 1)["areas"];

    const ToolRun run = Tool({"--port", sim.DevicePath(), "--slot", "1:1:1", "--timeouts", "50,150,1", "--json",
                             "write", "1", path, "--yes"});
    EXPECT_EQ(run.status, 2) << run.err;
    ASSERT_FALSE(run.result.is_discarded()) << "the output is no JSON: " << run.out;
    const std::string message =
        std::string(c.absent || c.folder ? "Ошибка открытия файла " : "Неверный файл ") + path + c.reason;
    EXPECT_EQ(run.result["messages"], json::array({message}));
    EXPECT_EQ(run.result["written"], false);
    EXPECT_EQ(run.result["outcome"], "не записано: " + message);
    EXPECT_EQ(run.result["ok"], false);

    // Nothing reached the line: no write, not even a read.
    const auto log = sim.LogLines();
    EXPECT_EQ(WriteFrames(log), 0);
    EXPECT_EQ(Frames(log, "RX"), 0);
    EXPECT_EQ(DumpMeter(sim.Dump(), "6x", 1)["areas"], before);
}

INSTANTIATE_TEST_SUITE_P(BadFiles, RefusedFile, ::testing::ValuesIn(BadFiles()),
                         [](const auto& info) { return info.param.name; });

// In text the refusal says the reason and that nothing was written.
TEST(RefusedFileText, SaysNotWrittenAndWhy)
{
    TempFolder dir("clbtool.");
    Put(dir / "empty.kvt", "");
    const ToolRun run = Tool({"--port", "/nonexistent/tty", "--slot", "1:1:1", "write", "1", dir / "empty.kvt", "--yes"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "слот 1: не записано\n");
    EXPECT_NE(run.err.find("Ошибка: Неверный файл " + (dir / "empty.kvt") + ": файл пуст"), std::string::npos)
        << run.err;
}

// --- The pre-flight of a write --------------------------------------------------------------------

// The КВТ-64КУ is reached through the relay by its serial number, but takes its Gmax
// as a plain frame to its network address. A wrong network address must stop the
// write before the first frame, not after the tables.
TEST(WritePreflight, Kvt64KUWithAWrongNetworkAddressWritesNothing)
{
    TempFolder dir("clbtool.");
    Put(dir / "ku.kvt", Kvt("КВТ-64КУ"));
    MeterSimProcess sim(
        json{{"meters", {{{"serial", 44412345}, {"protocol", "relay"}, {"model", "kvt64ku"}, {"net_address", 31}}}}});
    const json before = DumpMeter(sim.Dump(), "relay", 44412345)["areas"];

    const ToolRun run = Tool({"--port", sim.DevicePath(), "--slot", "14:0:1@44412345", "--timeouts", "50,150,1",
                             "--json", "write", "1", dir / "ku.kvt", "--yes"});
    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_FALSE(run.result.is_discarded()) << run.out;
    const std::string told = "Прибор не отвечает по сетевому адресу 0 (Gmax пишется на этот адрес напрямую): "
                             "коэффициенты не записаны, в прибор ничего не отправлено";
    EXPECT_EQ(run.result["messages"], json::array({"Записать коэффициенты в прибор?", told}));
    EXPECT_EQ(run.result["outcome"], "не записано: " + told);
    EXPECT_EQ(run.result["written"], false);

    // The read-out over the relay succeeded; nothing was written; the memory is as it was.
    EXPECT_EQ(run.result["slots"][0]["read_done"], true);
    EXPECT_EQ(WriteFrames(sim.LogLines()), 0);
    EXPECT_EQ(DumpMeter(sim.Dump(), "relay", 44412345)["areas"], before);
}

// A 6x meter that does not answer at the slot's address after the read-out: the
// pre-flight names the address and nothing is sent.
TEST(WritePreflight, AMeterSilentAfterTheReadOutGetsNoWrite)
{
    TempFolder dir("clbtool.");
    Put(dir / "k.kvt", Kvt("КВТ-64"));
    // How many replies a read-out takes.
    int readOut = 0;
    {
        MeterSimProcess sim(json{{"meters", {Kvt64At(3)}}});
        ASSERT_EQ(Tool({"--port", sim.DevicePath(), "--slot", "1:3:1", "--timeouts", "50,150,1", "read"}).status, 0);
        readOut = Frames(sim.LogLines(), "TX");
    }
    MeterSimProcess sim(json{{"meters", {Kvt64At(3, {{"faults", {{"silent", {{"from", readOut + 1}}}}}})}}});
    const ToolRun run = Tool({"--port", sim.DevicePath(), "--slot", "1:3:1", "--timeouts", "50,150,1", "write", "1",
                             dir / "k.kvt", "--yes"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.out.find("слот 1: не записано: Прибор не отвечает по сетевому адресу 3"), std::string::npos)
        << run.out;
    EXPECT_EQ(WriteFrames(sim.LogLines()), 0);
}

// --- Usage errors, help, version, types ---------------------------------------------------------

struct UsageCase {
    std::vector<std::string> args;
    std::string error;
};

// Each is found before the port is opened: the port named here does not exist, and
// opening it would end with status 1 and another message.
TEST(Usage, ErrorsAreFoundBeforeThePortAndGiveOneJsonObject)
{
    TempFolder dir("clbtool.");
    const std::string port = "--port=/nonexistent/tty";
    for (const UsageCase& c : std::vector<UsageCase>{
             {{port, "--json", "read"}, "не задан ни один прибор: укажите --slot или --clb"},
             {{port, "--json", "--slot=1:1:1", "save", "1", dir / "x.dat"},
              "файл " + (dir / "x.dat") + ": формат выбирается по расширению (.txt, .kvt или .tpr)"},
             {{port, "--json", "--slot=1:1:1", "save", "1", dir / "none/x.kvt"}, "папки " + (dir / "none") + " нет"},
             {{port, "--json", "--slot=1:1:1", "save", "1", dir / "p.txt", "--print", dir / "p.pdf"},
              "--print печатает только страницу файла .tpr, а не " + (dir / "p.txt")},
             {{port, "--json", "--slot=1:1:1", "write", "2", dir / "x.kvt"}, "слот 2 пуст"},
             {{port, "--json", "--baud=4800", "--slot=1:1:1", "read"}, "--baud: скорость 9600 или 19200"},
             {{port, "--json", "--slot=1:1:1", "frobnicate"}, "неизвестная команда frobnicate"},
         }) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.status, 2) << c.error;
        ASSERT_FALSE(run.result.is_discarded()) << "no JSON for " << c.error << ": " << run.out;
        EXPECT_EQ(run.result, json({{"ok", false}, {"status", 2}, {"error", c.error}, {"messages", {c.error}}}));
    }
    // Without --json the error and a pointer to the help go to the error stream.
    const ToolRun plain = Tool({port, "read"});
    EXPECT_EQ(plain.status, 2);
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(plain.err, "clbtool: не задан ни один прибор: укажите --slot или --clb\nСправка: clbtool --help\n");
}

TEST(Usage, HelpVersionAndTypesGoToTheStandardOutput)
{
    for (const char* help : {"--help", "-h"}) {
        const ToolRun run = Tool({help});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out.rfind("Использование: clbtool", 0), 0u) << run.out;
        EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(Tool({"--version"}).out, "clbtool 1.32\n");

    const ToolRun types = Tool({"types"});
    EXPECT_EQ(types.status, 0);
    EXPECT_NE(types.out.find("\n14   КВТ-64КУ     6x через ретранслятор  1\n"), std::string::npos) << types.out;
    const ToolRun json = Tool({"--json", "types"});
    ASSERT_EQ(json.result["types"].size(), 16u);
    EXPECT_EQ(json.result["types"][15], nlohmann::json({{"code", 16},
                                                         {"name", "КВТ-09M4"},
                                                         {"protocol", "M4"},
                                                         {"channels", 2},
                                                         {"driver", "TulvKvt09M4"}}));
}

// Every command line is read against the options of its command: a command's own
// option counts after the command word (scan's anywhere), and a command that
// exists is never called unknown.
TEST(Usage, EachCommandTakesItsOwnOptionsAndIsNeverUnknown)
{
    for (const UsageCase& c : std::vector<UsageCase>{
             {{"--json", "ports", "x"}, "команда ports без аргументов"},
             {{"--json", "--port", "/dev/null", "ports"}, "неизвестный параметр --port"},
             {{"--json", "--print", "p.pdf", "--slot=1:1:1", "save", "1", "k.tpr"}, "неизвестный параметр --print"},
             {{"--json", "--slot=1:1:1", "save", "1", "k.tpr", "--print"}, "--print: не указан файл PDF"},
             {{"--json", "--slot=1:1:1", "save", "1", "k.kvt", "--yes"}, "у команды save нет параметра --yes"},
             {{"--json", "--addresses", "9-3", "scan"}, "--addresses: адреса 0..127, от меньшего к большему"},
             {{"--json", "--slot", "1:1:1", "scan"}, "scan: неизвестный параметр --slot"},
             {{"--json", "--trace", "scan"}, "не указана команда"},
         }) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.status, 2) << c.error;
        EXPECT_EQ(run.result, json({{"ok", false}, {"status", 2}, {"error", c.error}, {"messages", {c.error}}}))
            << run.out;
    }
    // journal has no JSON result: its usage error is text, whatever the line holds.
    const ToolRun journal = Tool({"--json", "journal"});
    EXPECT_EQ(journal.status, 2);
    EXPECT_EQ(journal.out, "");
    EXPECT_EQ(journal.err, "clbtool: команде journal нужен только --serial СЕРИЙНЫЙ_НОМЕР\nСправка: clbtool --help\n");
}

// --- Probe and read ----------------------------------------------------------------------------------

TEST(Probe, TellsFoundNoAnswerAnotherTypeAndAPortThatDidNotOpen)
{
    MeterSimProcess sim(json{{"meters", {Kvt64At(1)}}});
    struct Case {
        std::string port, slot, outcome, text;
    };
    for (const Case& c : std::vector<Case>{
             {sim.DevicePath(), "1:1:1", "found", "слот 1: КВТ-64: найден, ответ \"KVT-64\", серийный номер "},
             {sim.DevicePath(), "1:5:1", "no_answer", "слот 1: КВТ-64: нет ответа\n"},
             {sim.DevicePath(), "5:1:1", "other_type", "слот 1: КВТ-76: ответил прибор другого типа, ответ \"KVT-64\"\n"},
             {"/nonexistent/tty", "1:1:1", "port_error",
              "слот 1: КВТ-64: порт не открыт: Порт /nonexistent/tty не найден\n"},
         }) {
        const ToolRun text = Tool({"--port", c.port, "--slot", c.slot, "--timeouts", "50,150,1", "probe"});
        EXPECT_EQ(text.status, c.outcome == "found" ? 0 : 1) << c.outcome;
        EXPECT_EQ(text.out.rfind(c.text, 0), 0u) << text.out;
        const ToolRun j = Tool({"--port", c.port, "--slot", c.slot, "--timeouts", "50,150,1", "--json", "probe"});
        EXPECT_EQ(j.result["slots"][0]["outcome"], c.outcome);
    }
}

TEST(Read, ASlotThatWasNotReadSaysSoAndNumbersAreShort)
{
    MeterSimProcess sim(json{{"meters", {Kvt64At(3, {{"texts", {{"version", "V3.011"}}}})}}});
    const ToolRun unread = Tool({"--port", sim.DevicePath(), "--slot", "1:9:1", "--timeouts", "50,150,1", "read"});
    EXPECT_EQ(unread.status, 1);
    EXPECT_NE(unread.out.find("\n  не прочитан\n"), std::string::npos) << unread.out;
    EXPECT_EQ(unread.out.find("K:"), std::string::npos) << "no zeros for values never read";

    // The version 3.11 of the meter is kept as 3.111 (plus 0.001): shown as people write it.
    const ToolRun text = Tool({"--port", sim.DevicePath(), "--slot", "1:3:1", "--timeouts", "50,150,1", "read"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find(", версия 3.111, "), std::string::npos) << text.out;
    const ToolRun j = Tool({"--port", sim.DevicePath(), "--slot", "1:3:1", "--timeouts", "50,150,1", "--json", "read"});
    EXPECT_NE(j.out.find("\"version\": 3.111\n"), std::string::npos) << j.out;
}

TEST(Read, WithoutAPortSaysWhichDeviceCom1Is)
{
    const ToolRun run = Tool({"--slot", "1:1:1", "--timeouts", "50,150,1", "--json", "probe"});
    EXPECT_NE(run.err.find("порт не задан (--port): COM"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" из файла настроек, устройство "), std::string::npos) << run.err;
    EXPECT_TRUE(run.result["port"].contains("device"));
}

// --- What save and sheet wrote -------------------------------------------------------------------

// The working folder of this process, changed for a scope.
class InFolder {
public:
    explicit InFolder(const std::string& folder) : old_(fs::current_path()) { fs::current_path(folder); }
    ~InFolder()
    {
        std::error_code ec;
        fs::current_path(old_, ec);
    }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    fs::path old_;
};

// Files named relative to the working folder are reported by their whole path,
// so that the technician finds them again from anywhere.
TEST(Files, SaveAndSheetSayWhereTheyWrote)
{
    TempFolder dir("clbtool.");
    fs::create_directory(dir / "sub");
    MeterSimProcess sim(json{{"meters", {Kvt64At(1)}}});
    InFolder here(dir / "sub");
    const std::vector<std::string> line = {"--port", sim.DevicePath(), "--slot", "1:1:1", "--timeouts", "50,150,1"};
    auto with = [&](std::vector<std::string> tail) {
        std::vector<std::string> args = line;
        args.insert(args.end(), tail.begin(), tail.end());
        return args;
    };

    const ToolRun save = Tool(with({"save", "1", "../k.kvt"}));
    ASSERT_EQ(save.status, 0) << save.err;
    EXPECT_TRUE(fs::exists(dir / "k.kvt"));
    EXPECT_EQ(save.out.rfind("слот 1: сохранено в " + (dir / "k.kvt") + "\n", 0), 0u) << save.out;
    const ToolRun saveJson = Tool(with({"--json", "save", "1", "./k.txt"}));
    ASSERT_EQ(saveJson.status, 0) << saveJson.err;
    EXPECT_EQ(saveJson.result["file"], dir / "sub/k.txt");

    const ToolRun sheet = Tool(with({"sheet", "s.pdf"}));
    ASSERT_EQ(sheet.status, 0) << sheet.err;
    EXPECT_TRUE(fs::exists(dir / "sub/s.pdf"));
    EXPECT_EQ(sheet.out.rfind("лист коэффициентов: 1 страница в " + (dir / "sub/s.pdf") + "\n", 0), 0u) << sheet.out;
}

// --- poll under a signal --------------------------------------------------------------------------

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child Spawn(const std::vector<std::string>& args)
{
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        std::vector<char*> argv;
        std::string exe = CLBTOOL_PATH;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    return {pid, fds[0]};
}

// Reads what the child printed until pred holds for it or the time is up.
template <class Pred> bool ReadUntil(int fd, std::string& text, std::chrono::seconds limit, Pred pred)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred(text)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return pred(text);
        text.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

int CountLines(const std::string& text, const std::string& start)
{
    int n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(start, 0) == 0) ++n;
    return n;
}

class PollSignal : public ::testing::TestWithParam<int> {};

TEST_P(PollSignal, EndsCleanlyWithASummaryAndHandsThePortBack)
{
    const int sig = GetParam();
    MeterSimProcess sim(json{{"meters", {Kvt64At(1)}}});
    Child child = Spawn({"--port", sim.DevicePath(), "--slot", "1:1:1", "--timeouts", "50,150,1", "poll", "100000"});
    std::string text;
    // The cycles show as they happen, long before the count is reached.
    const bool cycling =
        ReadUntil(child.out, text, std::chrono::seconds(30), [](const std::string& t) { return CountLines(t, "цикл ") >= 3; });
    ::kill(child.pid, sig);
    ReadUntil(child.out, text, std::chrono::seconds(30), [](const std::string&) { return false; });
    ::close(child.out);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    ASSERT_TRUE(cycling) << text;

    ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal itself: " << text;
    EXPECT_EQ(WEXITSTATUS(status), sig == SIGINT ? 130 : 143);
    const int cycles = CountLines(text, "цикл ");
    EXPECT_GE(cycles, 3);
    EXPECT_EQ(CountLines(text, "цикл " + std::to_string(cycles) + ": слот 1 "), 1) << text;
    const std::string summary = std::string("опрос прерван сигналом ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") +
                                ": " + CountText(cycles, "цикл", "цикла", "циклов") +
                                " из 100000, с ошибкой 0, порт закрыт\n";
    EXPECT_NE(text.find(summary), std::string::npos) << text;
    EXPECT_NE(text.find("слот 1: КВТ-64 (тип 1)"), std::string::npos) << text;

    // The port was handed back: the next run opens it at once and polls.
    const ToolRun next = Tool({"--port", sim.DevicePath(), "--slot", "1:1:1", "--timeouts", "50,150,1", "--json", "poll", "1"});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(next.result["messages"], json::array());
    EXPECT_EQ(next.result["poll"]["done"], 1);
}

INSTANTIATE_TEST_SUITE_P(Signals, PollSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return std::string(info.param == SIGINT ? "Sigint" : "Sigterm"); });

} // namespace
