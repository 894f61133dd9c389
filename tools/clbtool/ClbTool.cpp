#include "ClbTool.h"

#include "ClbThread.h"
#include "CoefficientActions.h"
#include "ConsoleHost.h"
#include "DevManager.h"
#include "DeviceCatalogue.h"
#include "Probe.h"
#include "ProgramFolders.h"
#include "ReadOut.h"
#include "Settings.h"
#include "PortsCommand.h"
#include "SheetCommand.h"
#include "UlvComPort.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>

using nlohmann::json;

namespace {

const char* const Usage =
    "usage: clbtool [--port PORT] [--baud 9600|19200] [--clb FILE | --slot SLOT [--slot SLOT]]\n"
    "               [--timeouts BYTE,PACKET,REPEAT] [--json] COMMAND [ARGS]\n"
    "  PORT  a device path (/dev/ttyUSB0) or COM1..COM16\n"
    "  SLOT  TYPE:ADDRESS[:CHANNEL][@SERIAL], e.g. 1:1:2 or 14:1:1@44412345\n"
    "COMMAND\n"
    "  probe            identify each slot's meter; print identity and serial number\n"
    "  read             connect and read out every slot; print its values\n"
    "  poll [N]         read out, then N polling cycles (default 10)\n"
    "  save N FILE [--print FILE.pdf]\n"
    "                   read out, then save slot N's coefficients; the format by FILE's\n"
    "                   extension (.txt, .kvt, .tpr); a .tpr page is printed into FILE.pdf\n"
    "  write N FILE --yes\n"
    "                   read out, load FILE into slot N, write it into the meter, read back;\n"
    "                   without --yes the question is answered No: nothing is written (status 1)\n"
    "  sheet FILE.pdf   read out, then print the coefficient sheet of every slot (one page\n"
    "                   per meter) into FILE.pdf\n"
    "  ports            list the serial devices by stable name, with what keeps them from opening\n";

struct UsageError {
    std::string text;
};

struct Options {
    std::optional<std::string> port;
    std::optional<std::uint32_t> baud;
    std::optional<std::string> clb;
    std::vector<std::string> slots;
    std::optional<TimeoutProfile> timeouts;
    bool json = false;
    std::string command;
    std::vector<std::string> args;
    // save and write
    int slot = 0;
    std::string file;
    std::optional<std::string> printPdf;
    bool yes = false;
};

// The arguments of save and write: N FILE and their own options.
void ParseFileCommand(Options& o)
{
    std::vector<std::string> plain;
    for (size_t i = 0; i < o.args.size(); ++i) {
        const std::string& a = o.args[i];
        if (o.command == "save" && a == "--print") {
            if (i + 1 >= o.args.size()) throw UsageError{"--print needs a file"};
            o.printPdf = o.args[++i];
        } else if (o.command == "write" && a == "--yes") {
            o.yes = true;
        } else if (!a.empty() && a[0] == '-') {
            throw UsageError{"unknown option " + a + " of " + o.command};
        } else {
            plain.push_back(a);
        }
    }
    if (plain.size() != 2 || (plain[0] != "1" && plain[0] != "2"))
        throw UsageError{o.command + " takes a slot number (1 or 2) and a file"};
    o.slot = plain[0][0] - '0';
    o.file = plain[1];
}

Options ParseOptions(const std::vector<std::string>& args)
{
    Options o;
    size_t i = 0;
    auto value = [&](const std::string& name) -> std::string {
        if (i + 1 >= args.size()) throw UsageError{name + " needs a value"};
        return args[++i];
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--port") {
            o.port = value(a);
        } else if (a == "--baud") {
            std::string v = value(a);
            if (v != "9600" && v != "19200") throw UsageError{"--baud takes 9600 or 19200"};
            o.baud = static_cast<std::uint32_t>(std::stoul(v));
        } else if (a == "--clb") {
            o.clb = value(a);
        } else if (a == "--slot") {
            o.slots.push_back(value(a));
        } else if (a == "--timeouts") {
            std::smatch m;
            std::string v = value(a);
            static const std::regex re(R"((\d{1,5}),(\d{1,5}),(\d{1,3}))");
            if (!std::regex_match(v, m, re)) throw UsageError{"--timeouts takes BYTE,PACKET,REPEAT in ms, e.g. 100,300,3"};
            o.timeouts = TimeoutProfile{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])};
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--help" || a == "-h") {
            throw UsageError{""};
        } else if (!a.empty() && a[0] == '-' && o.command.empty()) {
            throw UsageError{"unknown option " + a};
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            o.args.push_back(a);
        }
    }
    if (o.command.empty()) throw UsageError{"no command given"};
    if (o.clb && !o.slots.empty()) throw UsageError{"give either --clb or --slot, not both"};
    if (o.slots.size() > 2) throw UsageError{"at most two slots"};
    return o;
}

// TYPE:ADDRESS[:CHANNEL][@SERIAL]
DeviceSlot ParseSlot(const std::string& text)
{
    static const std::regex re(R"((\d{1,3}):(\d{1,3})(?::(\d))?(?:@(\d{1,8}))?)");
    std::smatch m;
    if (!std::regex_match(text, m, re)) throw UsageError{"slot " + text + ": expected TYPE:ADDRESS[:CHANNEL][@SERIAL]"};
    const int type = std::stoi(m[1]);
    const int address = std::stoi(m[2]);
    const int channel = m[3].matched ? std::stoi(m[3]) : 1;
    if (type < 1 || type > 16) throw UsageError{"slot " + text + ": the type code must be 1..16"};
    if (address > 127) throw UsageError{"slot " + text + ": the address must be 0..127"};
    if (channel != 1 && channel != 2) throw UsageError{"slot " + text + ": the channel must be 1 or 2"};
    DeviceSlot s;
    s.SetTypeCode(static_cast<std::uint8_t>(type));
    s.SetNetAddress(static_cast<std::uint8_t>(address));
    s.SetChannel(static_cast<std::uint8_t>(channel));
    s.SetSerialText("-");
    if (type == 14 || type == 15) {
        if (!m[4].matched) throw UsageError{"slot " + text + ": the relay types 14 and 15 need @SERIAL"};
        const unsigned long serial = std::stoul(m[4]);
        if (serial < 44400000 || serial > 44499999)
            throw UsageError{"slot " + text + ": the serial number must be 44400000..44499999"};
        s.SetRelayAddress(static_cast<std::uint32_t>(serial));
    } else if (m[4].matched) {
        throw UsageError{"slot " + text + ": @SERIAL is only for the relay types 14 and 15"};
    }
    return s;
}

PortChoice ChoosePort(const Options& o, const Settings& settings)
{
    PortChoice c = PortFromSettings(settings);
    if (o.port) {
        static const std::regex com(R"(COM(\d{1,2}))", std::regex::icase);
        std::smatch m;
        if (std::regex_match(*o.port, m, com)) {
            const int n = std::stoi(m[1]);
            if (n < 1 || n > 16) throw UsageError{"--port takes COM1..COM16 or a device path"};
            c.Number = n;
            c.Path = settings.PortPath(n);
        } else {
            c.Number = 0;
            c.Path = *o.port;
        }
    }
    if (o.baud) c.Baud = *o.baud;
    return c;
}

// A float as a JSON number that reads back as the same 4-byte float.
json F(float v)
{
    if (!std::isfinite(v)) return nullptr;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
    return std::strtod(buf, nullptr);
}

std::string TypeName(std::uint8_t code)
{
    const auto* info = FindDeviceType(code);
    return info ? std::string(info->DisplayName) : std::string("?");
}

json SlotJson(int n, DevManager& dev, ConsoleHost& host)
{
    const DeviceSlot& s = dev.Slot(n);
    const CoefficientSet& c = dev.Coefficients(n);
    json j = {{"slot", n},
              {"type", s.TypeCode()},
              {"name", TypeName(s.TypeCode())},
              {"address", s.NetAddress()},
              {"relay", (s.TypeCode() == 14 || s.TypeCode() == 15) ? s.RelayAddress() : 0u},
              {"channel", s.Channel()},
              {"serial", s.SerialText()},
              {"version", F(s.SoftwareVersion())},
              {"modification", s.Modification()},
              {"sensor_index", s.SensorIndex()},
              {"gmax", F(c.Gmax)},
              {"read_done", c.ReadDone}};
    json k = json::array(), obr = json::array();
    for (int i = 0; i < 10; ++i) {
        k.push_back(F(c.K[i]));
        obr.push_back(F(c.Obr[i]));
    }
    j["K"] = k;
    j["Obr"] = obr;
    auto shown = [&](int row) -> json {
        auto b = host.BoxState(CoefficientBoxName(n, row));
        return b.Text ? json(*b.Text) : json(nullptr);
    };
    json points = json::array();
    for (int row = 2; row <= 9; ++row) points.push_back(shown(row));
    j["shown"] = {{"zero", shown(0)}, {"gain", shown(1)}, {"points", points}};
    return j;
}

void PrintSlot(std::ostream& out, const json& j)
{
    out << "slot " << j["slot"].get<int>() << ": " << j["name"].get<std::string>() << " (type "
        << j["type"].get<int>() << "), address " << j["address"].get<int>();
    if (j["relay"].get<std::uint32_t>() != 0) out << ", serial address " << j["relay"].get<std::uint32_t>();
    out << ", channel " << j["channel"].get<int>() << "\n";
    out << "  serial " << j["serial"].get<std::string>() << ", version " << j["version"].dump() << ", Gmax "
        << j["gmax"].dump() << (j["read_done"].get<bool>() ? "" : " (not read)") << "\n";
    auto list = [&](const char* name, const json& a) {
        out << "  " << name << ":";
        for (const auto& v : a) out << ' ' << v.dump();
        out << "\n";
    };
    list("K", j["K"]);
    list("Obr", j["Obr"]);
    const json& s = j["shown"];
    auto t = [](const json& v) { return v.is_null() ? std::string("-") : v.get<std::string>(); };
    out << "  shown: zero " << t(s["zero"]) << ", gain " << t(s["gain"]) << ", points";
    for (const auto& p : s["points"]) out << ' ' << t(p);
    out << "\n";
}

} // namespace

int RunClbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (IsPortsCommand(args)) return RunPortsCommand(args, out);
    Options o;
    try {
        o = ParseOptions(args);
        const bool fileCommand = o.command == "save" || o.command == "write";
        if (o.command == "sheet" && o.args.size() != 1) throw UsageError{"sheet takes a PDF file"};
        if (o.command != "probe" && o.command != "read" && o.command != "poll" && o.command != "sheet" && !fileCommand)
            throw UsageError{"unknown command " + o.command};
        if (o.command == "poll" && o.args.size() > 1) throw UsageError{"poll takes one count"};
        if (fileCommand) ParseFileCommand(o);
        else if (o.command != "poll" && o.command != "sheet" && !o.args.empty()) throw UsageError{o.command + " takes no arguments"};
    } catch (const UsageError& e) {
        if (!e.text.empty()) err << "clbtool: " << e.text << "\n";
        err << Usage;
        return e.text.empty() ? 0 : 2;
    }

    // Start-up as the window does it: folders, empty slots, settings.
    const ProgramFolders folders = ResolveProgramFolders(RunningProgramPath(), "clbtool");
    std::string error;
    if (!CreateProgramFolders(folders, error)) err << "clbtool: " << error << "\n";
    Settings settings;
    if (!settings.Open(folders.SettingsFile, error)) err << "clbtool: " << error << " (defaults used)\n";

    DevManager dev;
    dev.ResetSlots();
    int cycles = 10;
    PortChoice choice;
    try {
        if (o.clb) {
            std::string e;
            switch (dev.LoadSlotFile(*o.clb, e)) {
            case DevManager::LoadResult::Loaded: break;
            case DevManager::LoadResult::WrongMagic: throw UsageError{"Ошибка загрузки файла конфигурации " + *o.clb};
            default: throw UsageError{e};
            }
        }
        for (size_t n = 0; n < o.slots.size(); ++n) dev.Slots[n] = ParseSlot(o.slots[n]);
        if (o.command == "poll" && !o.args.empty()) {
            if (!std::regex_match(o.args[0], std::regex(R"(\d{1,6})"))) throw UsageError{"poll takes a count"};
            cycles = std::stoi(o.args[0]);
        }
        choice = ChoosePort(o, settings);
    } catch (const UsageError& e) {
        err << "clbtool: " << e.text << "\n";
        return 2;
    }
    dev.CompactSlots();

    TulvComPort port;
    const TimeoutProfile profile = o.timeouts ? *o.timeouts : settings.Timeouts();
    dev.CreateDrivers(port, profile);

    ConsoleHost host(err);
    json result = {{"ok", true}};
    int status = 0;

    if (o.command == "probe") {
        json slots = json::array();
        for (int n = 1; n <= 2; ++n) {
            const DeviceSlot& s = dev.Slot(n);
            if (s.TypeCode() == 0) continue;
            port.SetComPort(static_cast<std::uint8_t>(choice.Number));
            port.SetDevicePath(choice.Path);
            port.SetBaudRate(choice.Baud);
            port.SetParity(s.TypeCode() == 14 || s.TypeCode() == 15 ? 2 : 0);
            ProbeResult r;
            if (!port.Opened() && !port.Open()) {
                host.MessageBox(port.OpenErrorText(), "Ошибка", MsgIcon::Error, MsgButtons::Ok);
                status = 1;
            } else {
                r = ProbeMeter({s.TypeCode(), s.NetAddress(), s.RelayAddress(), s.Channel() == 2}, port);
                port.Close();
                for (const auto& m : r.Messages) host.MessageBox(m.Text, m.Caption, MsgIcon::Warning, MsgButtons::Ok);
                if (!r.Ok || r.NoChannel2) status = 1;
            }
            json j = {{"slot", n},        {"type", s.TypeCode()},   {"name", TypeName(s.TypeCode())},
                      {"address", s.NetAddress()},
                      {"relay", (s.TypeCode() == 14 || s.TypeCode() == 15) ? s.RelayAddress() : 0u},
                      {"channel", s.Channel()}, {"identity", r.Identity}, {"serial", r.SerialText},
                      {"ok", r.Ok && !r.NoChannel2}};
            slots.push_back(j);
            if (!o.json)
                out << "slot " << n << ": " << TypeName(s.TypeCode()) << ": " << (j["ok"].get<bool>() ? "found" : "not found")
                    << ", identity \"" << r.Identity << "\", serial " << (r.SerialText.empty() ? "-" : r.SerialText) << "\n";
        }
        if (slots.empty()) {
            host.MessageBox("Не найдено ни одного прибора", "Ошибка", MsgIcon::Error, MsgButtons::Ok);
            status = 1;
        }
        result["slots"] = slots;
    } else {
        TClbThread poller(dev, host);
        Connection connection(dev, port, poller, host);
        std::mutex m;
        std::condition_variable cv;
        json cycleLog = json::array();
        bool cyclesFailed = false;
        if (o.command == "poll") {
            host.OnCycle = [&] {
                std::lock_guard<std::mutex> lock(m);
                if (static_cast<int>(cycleLog.size()) >= cycles) return;
                json cycle = json::array();
                for (int n = 1; n <= 2; ++n) {
                    if (dev.Slot(n).TypeCode() == 0 || !dev.Coefficients(n).PollEnabled.load()) continue;
                    auto box = host.BoxState(FlowBoxName(n));
                    const bool ok = poller.FlowOk(n);
                    cyclesFailed = cyclesFailed || !ok;
                    cycle.push_back({{"slot", n},
                                     {"flow", F(poller.CurrentFlow(n))},
                                     {"text", box.Text ? json(*box.Text) : json(nullptr)},
                                     {"ok", ok}});
                }
                cycleLog.push_back(cycle);
                cv.notify_all();
            };
        }
        const bool connected = connection.BConnectClick(choice);
        bool fileFailed = false;
        if (connected && !o.file.empty()) { // save or write
            if (dev.Slot(o.slot).TypeCode() == 0) {
                host.MessageBox("Слот " + std::to_string(o.slot) + " пуст", "Ошибка", MsgIcon::Error, MsgButtons::Ok);
                fileFailed = true;
            } else {
                CoefficientActions actions(dev, poller, host, &settings, folders.Saved);
                host.NextFile = o.file;
                host.PrintPdf = o.printPdf;
                host.AnswerYes = o.yes;
                if (o.command == "save") {
                    fileFailed = !actions.BSave01Click(o.slot);
                    result["saved"] = !fileFailed;
                } else {
                    using L = CoefficientActions::LoadResult;
                    const L r = actions.BLoad01Click(o.slot);
                    result["written"] = r == L::Written;
                    // A refused file is a file error; a declined question or a
                    // failed write is a meter operation that did not happen.
                    fileFailed = r == L::Refused || r == L::NotRun;
                    if (r != L::Written) status = 1;
                }
                if (o.printPdf) result["printed"] = *o.printPdf;
            }
        }
        if (connected && o.command == "sheet") {
            fileFailed = !PrintSheetCommand(dev, settings, host, o.args[0]);
            if (!fileFailed) result["printed"] = o.args[0];
        }
        if (connected && o.command == "poll") {
            std::unique_lock<std::mutex> lock(m);
            // Every cycle is bounded by the meters' timeouts; this only guards
            // against a poller that no longer runs.
            const auto limit = std::chrono::seconds(60) * (cycles + 1);
            // A poller that lost its port pauses itself and ends its cycle.
            const bool ended = cv.wait_for(lock, limit, [&] {
                return static_cast<int>(cycleLog.size()) >= cycles || poller.GetState() != TClbThread::Run;
            });
            if (ended && static_cast<int>(cycleLog.size()) < cycles) cyclesFailed = true;
            if (!ended) {
                lock.unlock();
                host.MessageBox("Опрос приборов остановился", "Ошибка", MsgIcon::Error, MsgButtons::Ok);
                lock.lock();
                cyclesFailed = true;
            }
        }
        if (connected) connection.BDisconnectClick();
        json slots = json::array();
        for (int n = 1; n <= 2; ++n)
            if (dev.Slot(n).TypeCode() != 0) slots.push_back(SlotJson(n, dev, host));
        result["slots"] = slots;
        if (o.command == "poll") {
            std::lock_guard<std::mutex> lock(m);
            host.OnCycle = nullptr;
            result["cycles"] = cycleLog;
            if (!o.json) {
                int k = 0;
                for (const auto& cycle : cycleLog) {
                    out << "cycle " << ++k << ":";
                    for (const auto& e : cycle)
                        out << "  slot " << e["slot"].get<int>() << " "
                            << (e["text"].is_null() ? std::string("-") : e["text"].get<std::string>())
                            << (e["ok"].get<bool>() ? " ok" : " failed");
                    out << "\n";
                }
            }
        }
        if (!o.json)
            for (const auto& j : slots) PrintSlot(out, j);
        if (!connected || cyclesFailed) status = 1;
        if (fileFailed) status = 2;
    }
    result["ok"] = status == 0;
    result["messages"] = host.Messages();
    if (o.json) out << result.dump(1) << "\n";
    return status;
}
