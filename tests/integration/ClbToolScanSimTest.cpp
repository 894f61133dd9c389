// clbtool scan and clbtool --trace against the simulated line: meters of several
// families found at their addresses with their type codes and serial numbers, an
// identity no type knows listed as unknown, a relay meter found by its serial
// number, a meter that listens at 19200 baud only, a meter that answers at both rates
// listed once, nothing written; progress only on a terminal; a scan ended by SIGINT
// shows what it found; the trace of a read-out holds every frame the simulator saw.
#include "ClbTool.h"
#include "MeterSimProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using nlohmann::json;

namespace {

struct ToolRun {
    int status = 0;
    std::string out, err;
    json result;
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

// Requests that change a meter: memory writes, verification mode, calibration
// reset (6x and relay), M4 writes and settings, ModBus writes.
int ChangingRequests(const std::vector<std::string>& log)
{
    int n = 0;
    for (const auto& line : log) {
        std::istringstream l(line.substr(0, line.find(" #")));
        std::string time, kind, who, byte;
        l >> time >> kind >> who;
        if (kind != "RX" && kind != "BROADCAST") continue;
        std::vector<int> b;
        while (l >> byte) b.push_back(std::stoi(byte, nullptr, 16));
        auto command = [&](size_t at) { return b.size() > at + 1 ? b[at] << 8 | b[at + 1] : -1; };
        const bool relay = who.rfind("relay:", 0) == 0;
        if (who.rfind("m4:", 0) == 0) {
            if (b.size() > 2 && (b[2] == 'W' || b[2] == 'S')) ++n;
        } else if (who.rfind("modbus:", 0) == 0) {
            if (b.size() > 1 && b[1] == 0x10) ++n;
        } else {
            const int c = command(relay ? 5 : 3);
            for (int w : {0x0F81, 0x0A42, 0x0F82, 0x317A, 0xA853, 0x0F64})
                if (c == w) ++n;
        }
    }
    return n;
}

const json Line = {{"meters",
                    {{{"protocol", "6x"}, {"address", 3}, {"model", "kvt64"}},
                     {{"protocol", "6x"}, {"address", 6}, {"texts", {{"id", "НЕВЕДОМЫЙ-1"}}}},
                     {{"protocol", "m4"}, {"address", 5}, {"model", "dln0805"}},
                     {{"protocol", "modbus"}, {"address", 7}, {"model", "dln0808"}},
                     {{"protocol", "relay"}, {"serial", 44412345}, {"model", "gzu08"}}}}};

const json* FindMeter(const json& meters, const std::string& protocol, std::uint32_t address)
{
    for (const auto& m : meters)
        if (m["protocol"] == protocol && m["address"] == address) return &m;
    return nullptr;
}

std::vector<int> Codes(const json& m)
{
    std::vector<int> codes;
    for (const auto& t : m["types"]) codes.push_back(t["code"]);
    return codes;
}

TEST(Scan, FindsTheMetersOfEveryFamilyAndWritesNothing)
{
    MeterSimProcess sim(Line);
    const ToolRun r = Tool({"--port", sim.DevicePath(), "scan", "--baud", "9600", "--addresses", "3-7", "--protocols",
                            "6x,modbus", "--relay", "44412345", "--json"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const json& meters = r.result["meters"];
    ASSERT_EQ(meters.size(), 4u) << meters.dump(1);

    const json* kvt = FindMeter(meters, "6x", 3);
    ASSERT_NE(kvt, nullptr);
    EXPECT_EQ(Codes(*kvt), std::vector<int>{1});
    EXPECT_EQ((*kvt)["identity"], "KVT-64");
    EXPECT_TRUE((*kvt)["serial"].is_string() && !(*kvt)["serial"].get<std::string>().empty());

    const json* unknown = FindMeter(meters, "6x", 6);
    ASSERT_NE(unknown, nullptr) << "an identity no type knows is listed, not dropped";
    EXPECT_EQ((*unknown)["identity"], "НЕВЕДОМЫЙ-1");
    EXPECT_FALSE((*unknown)["known"].get<bool>());
    EXPECT_TRUE((*unknown)["serial"].is_null());

    const json* modbus = FindMeter(meters, "modbus", 7);
    ASSERT_NE(modbus, nullptr);
    EXPECT_EQ((*modbus)["identity"], "DLN-0808");

    const json* relay = FindMeter(meters, "relay", 44412345);
    ASSERT_NE(relay, nullptr);
    EXPECT_EQ(Codes(*relay), std::vector<int>{15});
    EXPECT_EQ((*relay)["serial"], "44412345");

    EXPECT_NE(r.result["relay_note"].get<std::string>().find("--relay"), std::string::npos);
    EXPECT_GT(r.result["max_seconds"].get<double>(), 0.0);
    EXPECT_EQ(ChangingRequests(sim.LogLines()), 0);
    for (const auto& line : sim.LogLines()) EXPECT_EQ(line.find("BROADCAST"), std::string::npos) << line;
}

TEST(Scan, FindsAnM4MeterByItsSerialNumberRead)
{
    MeterSimProcess sim(Line);
    const ToolRun r = Tool({"--port", sim.DevicePath(), "scan", "--baud", "9600", "--addresses", "4-5", "--protocols",
                            "m4"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("не дольше"), std::string::npos) << "the longest time, before the scan starts";
    EXPECT_NE(r.out.find("9600 бод  m4  адрес 5"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("9 ДЛН-08.05"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("серийный номер"), std::string::npos) << r.out;
    EXPECT_EQ(ChangingRequests(sim.LogLines()), 0);
}

// One meter listens at 19200 only, the other at any rate: the second is one meter
// with both rates, in JSON and in text.
TEST(Scan, FindsAMeterThatListensAt19200OnlyAndListsAMeterOfBothRatesOnce)
{
    MeterSimProcess sim(json{{"meters",
                              {{{"protocol", "6x"}, {"address", 3}, {"model", "kvt64"}, {"baud", 19200}},
                               {{"protocol", "6x"}, {"address", 4}, {"model", "kvt64"}}}}});
    const std::vector<std::string> args = {"--port",      sim.DevicePath(), "scan", "--baud", "9600,19200",
                                           "--addresses", "3-4",            "--protocols", "6x"};
    std::vector<std::string> withJson = args;
    withJson.push_back("--json");
    const ToolRun r = Tool(withJson);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> found;
    for (const auto& m : r.result["meters"])
        found.push_back(m["bauds"].dump() + "/" + std::to_string(m["address"].get<int>()) + " first " +
                        std::to_string(m["baud"].get<int>()));
    EXPECT_EQ(found, (std::vector<std::string>{"[9600,19200]/4 first 9600", "[19200]/3 first 19200"}));
    for (const auto& m : r.result["meters"]) EXPECT_EQ(Codes(m), std::vector<int>{1});

    const ToolRun text = Tool(args);
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("\n9600 и 19200 бод  6x  адрес 4  \"KVT-64\""), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\n19200 бод  6x  адрес 3  \"KVT-64\""), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("адрес 4", text.out.find("адрес 4") + 1), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Поиск: 4 запроса, "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\nНайдено 2 прибора.\n"), std::string::npos) << text.out;
}

TEST(Scan, RefusesBadOptionsBeforeTouchingTheLine)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"scan", "--baud", "4800"}, {"scan", "--addresses", "9-3"},
          {"scan", "--addresses", "0-200"}, {"scan", "--protocols", "6x,foo"}, {"scan", "--relay", "12345678"},
          {"scan", "--relay", "44400000"}}) {
        const ToolRun r = Tool(args);
        EXPECT_EQ(r.status, 2) << args[1] << " " << args[2] << "\n" << r.err;
    }
    const ToolRun r = Tool({"--port", "/nonexistent-dir/ttyUSB9", "scan", "--addresses", "1", "--json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.result["meters"].empty());
    EXPECT_NE(r.result["error"].get<std::string>().find("/nonexistent-dir/ttyUSB9"), std::string::npos) << r.out;
}

// The program run as a process of its own, its standard error on a pipe or on a
// pseudo-terminal (raw, so that the text arrives as written).
struct Spawned {
    pid_t pid = -1;
    int out = -1, err = -1;
};

Spawned SpawnTool(const std::vector<std::string>& args, bool errOnTerminal)
{
    int outPipe[2], errFds[2];
    if (::pipe(outPipe) != 0) throw std::runtime_error("pipe failed");
    if (errOnTerminal) {
        errFds[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (errFds[0] < 0 || ::grantpt(errFds[0]) != 0 || ::unlockpt(errFds[0]) != 0)
            throw std::runtime_error("no pseudo-terminal");
        errFds[1] = ::open(::ptsname(errFds[0]), O_RDWR | O_NOCTTY);
        termios t{};
        if (errFds[1] < 0 || ::tcgetattr(errFds[1], &t) != 0) throw std::runtime_error("no pseudo-terminal");
        ::cfmakeraw(&t);
        ::tcsetattr(errFds[1], TCSANOW, &t);
    } else if (::pipe(errFds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errFds[1], 2);
        for (int fd : {outPipe[0], outPipe[1], errFds[0], errFds[1]}) ::close(fd);
        std::vector<std::string> copy = args;
        copy.insert(copy.begin(), CLBTOOL_PATH);
        std::vector<char*> argv;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errFds[1]);
    return {pid, outPipe[0], errFds[0]};
}

// Reads fd into text until it holds what, or until the end (a pipe's end of file,
// a pseudo-terminal's EIO once the child is gone) or the limit.
void ReadInto(int fd, std::string& text, const std::string& what, std::chrono::seconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while ((what.empty() || text.find(what) == std::string::npos) && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
}

// On a terminal the progress line is rewritten in place and blanked at the end;
// into a pipe (a log file, a script) there is no progress line at all.
TEST(Scan, ShowsItsProgressOnATerminalOnly)
{
    MeterSimProcess sim(Line);
    const std::vector<std::string> args = {"--port", sim.DevicePath(), "scan", "--baud", "9600",
                                           "--addresses", "4-5", "--protocols", "m4"};
    for (const bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "pipe");
        const Spawned child = SpawnTool(args, terminal);
        std::string out, err;
        ReadInto(child.out, out, "", std::chrono::seconds(30));
        ReadInto(child.err, err, "", std::chrono::seconds(5));
        ::close(child.out);
        ::close(child.err);
        int status = 0;
        ::waitpid(child.pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << err;
        EXPECT_NE(out.find("9600 бод  m4  адрес 5"), std::string::npos) << out;
        EXPECT_EQ(out.find('\r'), std::string::npos) << out;
        if (terminal) {
            EXPECT_NE(err.find("\r1/2: 9600 бод, m4, адрес 4"), std::string::npos) << err;
            EXPECT_NE(err.find("\r2/2: 9600 бод, m4, адрес 5"), std::string::npos) << err;
            // Blanked, so that the shell's prompt starts on a clean line.
            const std::size_t last = err.rfind('\r');
            ASSERT_NE(last, std::string::npos);
            EXPECT_EQ(err.substr(last), "\r") << err;
        } else {
            EXPECT_EQ(err, "");
        }
    }
}

TEST(Scan, SigintStopsItWithWhatItFound)
{
    MeterSimProcess sim(json{{"meters", {{{"protocol", "6x"}, {"address", 1}, {"model", "kvt64"}}}}});
    const Spawned child = SpawnTool({"--port", sim.DevicePath(), "scan", "--baud", "9600", "--addresses", "0-100",
                                     "--protocols", "6x", "--json"},
                                    true);
    const pid_t pid = child.pid;
    // Wait until the scan is past the meter, then interrupt it.
    std::string progress;
    ReadInto(child.err, progress, "6/101", std::chrono::seconds(30));
    const auto sent = std::chrono::steady_clock::now();
    ::kill(pid, SIGINT);
    std::string out;
    ReadInto(child.out, out, "", std::chrono::seconds(30));
    int status = 0;
    ::waitpid(pid, &status, 0);
    const auto took = std::chrono::steady_clock::now() - sent;
    ::close(child.out);
    ::close(child.err);
    ASSERT_NE(progress.find("6/101"), std::string::npos) << progress;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal itself";
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_LT(took, std::chrono::seconds(5)) << "stops after the address being asked";
    const json r = json::parse(out, nullptr, false);
    ASSERT_FALSE(r.is_discarded()) << out;
    EXPECT_TRUE(r["interrupted"].get<bool>());
    ASSERT_EQ(r["meters"].size(), 1u) << out;
    EXPECT_EQ(r["meters"][0]["address"], 1);
}

TEST(ClbToolTrace, AReadOutIsTracedFrameForFrame)
{
    MeterSimProcess sim(json{{"meters", {{{"protocol", "6x"}, {"address", 3}, {"model", "kvt64"}}}}});
    const std::string path =
        (std::filesystem::temp_directory_path() / ("clbtool-trace-" + std::to_string(::getpid()) + ".jsonl")).string();
    const ToolRun r = Tool({"--port", sim.DevicePath(), "--slot", "1:3:1", "--timeouts", "50,150,1", "--trace", path,
                            "--trace-format", "jsonl", "read"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> sent, received;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const json e = json::parse(line, nullptr, false);
        ASSERT_FALSE(e.is_discarded()) << line;
        if (e["event"] == "sent") sent.push_back(e["hex"]);
        if (e["event"] == "received") received.push_back(e["hex"]);
    }
    std::vector<std::string> rx, tx;
    for (const auto& line : sim.LogLines()) {
        std::istringstream l(line.substr(0, line.find(" #")));
        std::string time, kind, who, byte, hex;
        l >> time >> kind >> who;
        while (l >> byte) hex += (hex.empty() ? "" : " ") + byte;
        if (kind == "RX") rx.push_back(hex);
        if (kind == "TX") tx.push_back(hex);
    }
    EXPECT_FALSE(rx.empty());
    EXPECT_EQ(sent, rx);
    EXPECT_EQ(received, tx);
    std::filesystem::remove(path);

    // A trace file that cannot be made is refused before anything goes on the line.
    const size_t before = sim.LogLines().size();
    const ToolRun bad = Tool({"--port", sim.DevicePath(), "--slot", "1:3:1", "--trace", "/nonexistent-dir/t.log", "read"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("/nonexistent-dir/t.log"), std::string::npos) << bad.err;
    EXPECT_EQ(sim.LogLines().size(), before);
}

} // namespace
