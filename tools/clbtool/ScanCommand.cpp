#include "ScanCommand.h"

#include "Commands.h"
#include "ToolContext.h"

#include "DeviceCatalogue.h"
#include "Probe.h"
#include "ProgramFolders.h"
#include "Connection.h"
#include "RussianPlural.h"
#include "Settings.h"
#include "SlotDrivers.h"
#include "StopSignals.h"
#include "SystemText.h"
#include "Ulv6xProtocol.h"
#include "UlvComPort.h"
#include "UlvModBusProtocol.h"
#include "UlvTrace.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <regex>
#include <signal.h>
#include <unistd.h>

using nlohmann::json;

namespace {

// Short waits that the meters of every family still meet: a meter starts its
// reply within a few tens of milliseconds, and a scan asks one address once.
constexpr std::uint32_t ScanPacketTimeoutMs = 200;
constexpr std::uint32_t ScanByteTimeoutMs = 50;
// The longest an unanswered question takes: the next request waits until a late
// reply can no longer come (1.5 packet waits after the request began), plus the
// request on the wire; M4 pauses a packet wait after an unanswered attempt.
constexpr std::uint32_t ScanAskMs = ScanPacketTimeoutMs * 3 / 2 + 30;
constexpr std::uint32_t ScanAskM4Ms = ScanPacketTimeoutMs * 2 + 30;
constexpr std::uint32_t RelayFirst = 44400000;
constexpr std::uint32_t RelayLast = 44499999;

struct ScanOptions {
    std::optional<std::string> port;
    std::vector<std::uint32_t> bauds{9600, 19200};
    int first = 0, last = 16;
    bool p6x = true, m4 = true, modbus = false;
    std::optional<std::uint32_t> relay;
    bool json = false;
    std::optional<std::string> trace;
    bool traceJson = false;
};

std::vector<std::string> Split(const std::string& s)
{
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == ',') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

// The scan's options from the command line (the own ones checked as they were read).
ScanOptions ScanOptionsOf(const Options& given)
{
    ScanOptions o;
    o.port = given.port;
    o.json = given.json;
    o.trace = given.trace;
    o.traceJson = given.traceFormat && *given.traceFormat == "jsonl";
    if (const auto bauds = given.Value("--baud")) {
        o.bauds.clear();
        for (const auto& b : Split(*bauds)) o.bauds.push_back(static_cast<std::uint32_t>(std::stoul(b)));
    }
    if (const auto range = given.Value("--addresses")) {
        const std::size_t dash = range->find('-');
        o.first = std::stoi(range->substr(0, dash));
        o.last = dash == std::string::npos ? o.first : std::stoi(range->substr(dash + 1));
    }
    if (const auto protocols = given.Value("--protocols")) {
        o.p6x = o.m4 = o.modbus = false;
        for (const auto& p : Split(*protocols)) {
            o.p6x = o.p6x || p == "6x";
            o.m4 = o.m4 || p == "m4";
            o.modbus = o.modbus || p == "modbus";
        }
    }
    if (const auto relay = given.Value("--relay")) o.relay = static_cast<std::uint32_t>(std::stoul(*relay));
    // With only --relay, the line is not swept.
    if (o.relay && !given.Has("--protocols")) o.p6x = o.m4 = o.modbus = false;
    return o;
}

// The scan's own options, each checked as it is read.
std::vector<OptionRule> ScanOwnOptions()
{
    auto keep = [](const char* name, std::function<void(const std::string&)> check) {
        return OptionRule{name, {}, true,
                          [name, check](Options& o, const std::string& v) {
                              check(v);
                              o.own[name].push_back(v);
                          },
                          {}, {}};
    };
    return {
        keep("--baud",
             [](const std::string& v) {
                 for (const auto& b : Split(v))
                     if (b != "9600" && b != "19200") throw UsageError{"--baud: скорости 9600 и/или 19200 через запятую"};
             }),
        keep("--addresses",
             [](const std::string& v) {
                 static const std::regex re(R"((\d{1,3})(?:-(\d{1,3}))?)");
                 std::smatch m;
                 if (!std::regex_match(v, m, re)) throw UsageError{"--addresses: диапазон адресов, например 0-16"};
                 const int first = std::stoi(m[1]);
                 const int last = m[2].matched ? std::stoi(m[2]) : first;
                 if (first > last || last > 127) throw UsageError{"--addresses: адреса 0..127, от меньшего к большему"};
             }),
        keep("--protocols",
             [](const std::string& v) {
                 for (const auto& p : Split(v))
                     if (p != "6x" && p != "m4" && p != "modbus")
                         throw UsageError{"--protocols: 6x, m4 и/или modbus через запятую"};
             }),
        keep("--relay",
             [](const std::string& v) {
                 if (!std::regex_match(v, std::regex(R"(\d{8})"))) throw UsageError{"--relay: серийный номер 44400000..44499999"};
                 const auto serial = static_cast<std::uint32_t>(std::stoul(v));
                 if (serial <= RelayFirst || serial > RelayLast)
                     throw UsageError{"--relay: серийный номер 44400001..44499999 (44400000 - адрес всем)"};
             }),
    };
}

struct Found {
    std::uint32_t baud = 0; // the first rate it answered at
    std::string protocol;
    std::uint32_t address = 0;
    std::string identity;
    std::string problem; // an answer that was garbled
    std::vector<std::uint8_t> types;
    std::string serial;
    std::vector<std::uint32_t> bauds; // every rate it answered at, in the order asked
};

// The same meter found again at another rate: same protocol, address, identity,
// serial number and types. Two meters that differ in any of these stay two.
bool SameMeter(const Found& a, const Found& b)
{
    return a.protocol == b.protocol && a.address == b.address && a.identity == b.identity &&
           a.serial == b.serial && a.types == b.types && a.problem == b.problem;
}

// The serial number as the driver of a type reads it, with the scan's short waits; empty when none.
std::string ReadSerial(std::uint8_t type, TulvPort& port, std::uint8_t address, std::uint32_t relay)
{
    SlotDriver driver = MakeSlotDriver(type);
    std::string serial;
    WithDriver(driver, [&](auto& d) {
        d.SetComPort(&port);
        d.SetEWrite(false); // a scan never writes
        d.SetPacketTimeout(ScanPacketTimeoutMs);
        d.SetByteTimeout(ScanByteTimeoutMs);
        d.SetRepeatCount(1);
        d.SetNetAddr(address);
        if constexpr (requires { d.SetGZU_NetAddr(0u); })
            if (relay != 0) d.SetGZU_NetAddr(relay);
        d.GetDeviceNumber(serial);
        if (d.LastError() != 0) serial.clear();
    });
    return serial.substr(0, 16);
}

// Fills types and serial for an identity read on a 6x line (or through the relay).
void Classify(Found& f, TulvPort& port, std::uint32_t relay)
{
    for (std::uint8_t code : TypesForIdentity(f.identity)) {
        const DeviceTypeInfo* t = FindDeviceType(code);
        const bool relayType = t && t->Protocol == ProtocolFamily::Proto6xRelay;
        if ((relay != 0) != relayType && code != 14) continue; // 14 answers both ways
        f.types.push_back(code);
    }
    for (std::uint8_t code : f.types) {
        if (!f.serial.empty()) break;
        f.serial = ReadSerial(code, port, static_cast<std::uint8_t>(f.address), relay);
    }
}


json FoundJson(const Found& f)
{
    json types = json::array();
    for (auto c : f.types) types.push_back({{"code", c}, {"name", TypeName(c)}});
    json j = {{"baud", f.baud},       {"bauds", f.bauds},       {"protocol", f.protocol}, {"address", f.address},
              {"identity", f.identity}, {"types", types},       {"known", !f.types.empty()}};
    j["serial"] = f.serial.empty() ? json(nullptr) : json(f.serial);
    if (!f.problem.empty()) j["problem"] = f.problem;
    return j;
}

std::string FoundText(const Found& f)
{
    std::string rates;
    for (std::size_t i = 0; i < f.bauds.size(); ++i)
        rates += (i == 0 ? "" : i + 1 == f.bauds.size() ? " и " : ", ") + std::to_string(f.bauds[i]);
    std::string s = rates + " бод  " + f.protocol + "  " +
                    (f.protocol == "relay" ? "серийный номер " : "адрес ") + std::to_string(f.address) + "  ";
    s += f.identity.empty() ? "(без идентификатора)" : "\"" + f.identity + "\"";
    if (!f.problem.empty()) s += "  ответ с ошибкой: " + f.problem;
    if (f.types.empty() && f.protocol == "modbus" && f.problem.empty()) {
        s += "  кода типа нет (прибор ModBus)";
    } else if (f.types.empty()) {
        s += "  тип неизвестен";
    } else {
        s += "  тип:";
        for (size_t i = 0; i < f.types.size(); ++i)
            s += (i ? ", " : " ") + std::to_string(f.types[i]) + " " + TypeName(f.types[i]);
    }
    if (!f.serial.empty()) s += "  серийный номер " + f.serial;
    return s;
}

const char* const RelayNote =
    "Приборы на ретрансляторе (серийные номера 44400000..44499999) перебором адресов не найти: "
    "укажите серийный номер прибора (--relay СЕРИЙНЫЙ_НОМЕР).";

// Characters on the screen: UTF-8 lead bytes.
std::size_t Utf8Width(const std::string& text)
{
    std::size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

int RunScan(ToolContext& c, bool progressShown)
{
    const bool asJson = c.json;
    json& result = c.result;
    std::ostream& out = c.out;
    std::ostream& err = c.err;
    auto finish = [&](int status, const std::vector<std::string>& messages) { return c.Finish(status, messages); };
    const ScanOptions o = ScanOptionsOf(c.options);

    const ProgramFolders folders = ResolveProgramFolders(RunningProgramPath(), "clbtool");
    std::string error;
    CreateProgramFolders(folders, error);
    Settings settings;
    settings.Open(folders.SettingsFile, error);
    PortChoice choice = PortFromSettings(settings);
    if (o.port) {
        static const std::regex com(R"(COM(\d{1,2}))", std::regex::icase);
        std::smatch m;
        if (std::regex_match(*o.port, m, com) && std::stoi(m[1]) >= 1 && std::stoi(m[1]) <= 16) {
            choice.Number = std::stoi(m[1]);
            choice.Path = settings.PortPath(choice.Number);
        } else {
            choice.Number = 0;
            choice.Path = *o.port;
        }
    }

    // Signals are held back before any thread (the trace's writer) starts.
    StopSignals signals;
    // The signal that has come (and is taken), or 0; looked for between questions.
    auto stopped = [&] {
        signals.Take(0);
        return signals.Caught();
    };
    const std::string tracePath = o.trace ? *o.trace : settings.TraceFile();
    std::unique_ptr<TulvTrace> trace;
    if (!tracePath.empty()) {
        const bool traceJson = o.trace ? o.traceJson : settings.TraceJsonLines();
        trace = std::make_unique<TulvTrace>(tracePath, traceJson ? TulvTrace::Format::JsonLines : TulvTrace::Format::Text);
        if (!trace->IsOpen()) {
            const std::string text = "журнал обмена: не удалось открыть файл " + tracePath;
            result["error"] = text;
            if (!asJson) err << "clbtool: " << text << "\n";
            return finish(2, {text});
        }
    }
    TulvComPort port;
    port.SetTrace(trace.get());
    port.SetComPort(static_cast<std::uint8_t>(choice.Number));
    port.SetDevicePath(choice.Path);

    const int addresses = o.last - o.first + 1;
    const int modbusAddresses = addresses - (o.first == 0 ? 1 : 0); // 0 is ModBus's broadcast
    const long perBaud = (o.p6x ? addresses : 0) + (o.m4 ? addresses : 0) + (o.modbus ? modbusAddresses : 0) +
                         (o.relay ? 1 : 0);
    const long questions = static_cast<long>(o.bauds.size()) * perBaud;
    const double maxSeconds =
        static_cast<double>(o.bauds.size()) *
        (static_cast<double>(perBaud - (o.m4 ? addresses : 0)) * ScanAskMs + (o.m4 ? addresses : 0) * ScanAskM4Ms) /
        1000.0;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", maxSeconds);
    const std::string head = "Поиск: " + CountText(questions, "запрос", "запроса", "запросов") + ", не дольше " +
                             seconds + " с и около секунды на каждый найденный прибор (чтение серийного номера).";
    result["max_seconds"] = maxSeconds;
    result["questions"] = questions;
    result["port"] = {{"device", choice.Path}};
    if (!asJson) out << head << "\n" << RelayNote << "\n";
    out.flush();
    result["relay_note"] = RelayNote;

    // Listed at the end, once per meter with every rate it answered at.
    std::vector<Found> found;
    auto report = [&](Found f) {
        for (Found& known : found)
            if (SameMeter(known, f)) {
                known.bauds.push_back(f.baud);
                return;
            }
        f.bauds = {f.baud};
        found.push_back(std::move(f));
    };
    // The progress line is rewritten in place, which only a terminal shows as
    // meant; in a file or a pipe it would be one long line of carriage returns.
    long asked = 0;
    std::size_t progressWidth = 0;
    auto progress = [&](std::uint32_t baud, const char* protocol, std::uint32_t address) {
        ++asked;
        if (!progressShown) return;
        const std::string line = std::to_string(asked) + "/" + std::to_string(questions) + ": " +
                                 std::to_string(baud) + " бод, " + protocol + ", адрес " + std::to_string(address);
        const std::size_t width = Utf8Width(line);
        err << "\r" << line << std::string(progressWidth > width ? progressWidth - width : 0, ' ') << std::flush;
        progressWidth = std::max(progressWidth, width);
    };
    // Blanks the progress line, so that what follows starts on a clean one.
    auto clearProgress = [&] {
        if (progressWidth == 0) return;
        err << "\r" << std::string(progressWidth, ' ') << "\r" << std::flush;
        progressWidth = 0;
    };
    auto listJson = [&] {
        json list = json::array();
        for (const Found& f : found) list.push_back(FoundJson(f));
        return list;
    };

    int stoppedBy = 0;
    for (std::uint32_t baud : o.bauds) {
        if (stoppedBy) break;
        port.Close();
        port.SetBaudRate(baud);
        port.SetParity(0);
        if (!port.Open()) {
            const std::string text = port.OpenErrorText();
            clearProgress();
            result["error"] = text;
            result["meters"] = listJson();
            if (!asJson) {
                for (const Found& f : found) out << FoundText(f) << "\n";
                err << "clbtool: " << text << "\n";
            }
            return finish(1, {text});
        }
        if (o.p6x) {
            Tulv6xProtocol p;
            p.SetComPort(&port);
            p.SetRepeatCount(1);
            p.SetPacketTimeout(ScanPacketTimeoutMs);
            p.SetByteTimeout(ScanByteTimeoutMs);
            for (int a = o.first; a <= o.last && !(stoppedBy = stopped()); ++a) {
                progress(baud, "6x", static_cast<std::uint32_t>(a));
                p.SetNetAddr(static_cast<std::uint8_t>(a));
                std::string id;
                p.GetDevID(id);
                if (p.LastError() == ErrPortRead || p.LastError() == ErrPortWrite || p.LastError() == ErrPortMissing)
                    continue;
                Found f{baud, "6x", static_cast<std::uint32_t>(a), id, {}, {}, {}, {}};
                if (p.LastError() != ErrOk) f.problem = ProtocolErrorText(p.LastError());
                else Classify(f, port, 0);
                report(f);
            }
        }
        if (o.m4 && !stoppedBy) {
            std::vector<std::uint8_t> m4Types;
            for (const auto& t : DeviceCatalogue)
                if (t.Protocol == ProtocolFamily::M4) m4Types.push_back(t.Code);
            for (int a = o.first; a <= o.last && !(stoppedBy = stopped()); ++a) {
                progress(baud, "m4", static_cast<std::uint32_t>(a));
                // M4 has no identity read: a meter is there when an M4 driver reads its serial number.
                const std::string first = ReadSerial(m4Types.front(), port, static_cast<std::uint8_t>(a), 0);
                if (first.empty()) continue;
                Found f{baud, "m4", static_cast<std::uint32_t>(a), {}, {}, {m4Types.front()}, first, {}};
                for (size_t i = 1; i < m4Types.size(); ++i)
                    if (!ReadSerial(m4Types[i], port, static_cast<std::uint8_t>(a), 0).empty()) f.types.push_back(m4Types[i]);
                report(f);
            }
        }
        if (o.modbus && !stoppedBy) {
            TulvModBusProtocol p;
            p.SetComPort(&port);
            p.SetRepeatCount(1);
            p.SetPacketTimeout(ScanPacketTimeoutMs);
            p.SetByteTimeout(ScanByteTimeoutMs);
            for (int a = std::max(o.first, 1); a <= o.last && !(stoppedBy = stopped()); ++a) {
                progress(baud, "modbus", static_cast<std::uint32_t>(a));
                p.SetNetAddr(static_cast<std::uint8_t>(a));
                std::string id;
                p.GetDevID(id);
                if (p.LastError() == ErrPortRead || p.LastError() == ErrPortWrite || p.LastError() == ErrPortMissing)
                    continue;
                Found f{baud, "modbus", static_cast<std::uint32_t>(a), id, {}, {}, {}, {}};
                if (p.LastError() != ErrOk) f.problem = ProtocolErrorText(p.LastError());
                else f.types = TypesForIdentity(id); // the ModBus meters have no type code of their own
                report(f);
            }
        }
        if (o.relay && !stoppedBy && !(stoppedBy = stopped())) {
            progress(baud, "relay", *o.relay);
            port.Close();
            port.SetParity(2); // the relay meters talk with even parity
            if (port.Open()) {
                Tulv6xProtocol p;
                p.SetComPort(&port);
                p.SetRepeatCount(1);
                p.SetPacketTimeout(ScanPacketTimeoutMs);
                p.SetByteTimeout(ScanByteTimeoutMs);
                p.SetGZU_NetAddr(*o.relay);
                std::string id;
                p.GZU_GetDevID(id);
                if (p.LastError() != ErrPortRead && p.LastError() != ErrPortWrite) {
                    Found f{baud, "relay", *o.relay, id, {}, {}, {}, {}};
                    if (p.LastError() != ErrOk) f.problem = ProtocolErrorText(p.LastError());
                    else Classify(f, port, *o.relay);
                    report(f);
                }
            }
        }
    }
    port.Close();
    clearProgress();
    result["meters"] = listJson();
    result["interrupted"] = stoppedBy != 0;
    if (!asJson) {
        for (const Found& f : found) out << FoundText(f) << "\n";
        const auto count = static_cast<long long>(found.size());
        if (found.empty()) out << "Приборы не найдены.\n";
        else
            out << (RussianPluralForm(count) == PluralForm::One ? "Найден " : "Найдено ")
                << CountText(count, "прибор", "прибора", "приборов") << ".\n";
        if (stoppedBy) out << "Поиск прерван (" << (stoppedBy == SIGINT ? "SIGINT" : "SIGTERM") << "): показано найденное до этого.\n";
    }
    return finish(stoppedBy ? 128 + stoppedBy : 0, {});
}

} // namespace

Command ScanCommand()
{
    Command c;
    c.name = "scan";
    c.help = "  scan [--baud 9600,19200] [--addresses 0-16]\n"
             "       [--protocols 6x,m4,modbus] [--relay СЕРИЙНЫЙ_НОМЕР]\n"
             "      найти приборы на линии: опросить каждый адрес на каждой скорости\n";
    c.shared = {"--port", "--json", "--trace", "--trace-format"};
    c.own = ScanOwnOptions();
    c.ownOptionsAnywhere = true;
    c.unknownOption = [](const std::string& word) { return "scan: неизвестный параметр " + word; };
    c.check = [](Options& o) {
        if (!o.args.empty()) throw UsageError{"scan: неизвестный параметр " + o.args[0]};
    };
    // Progress goes to the error stream when it is a terminal, where a line rewritten in place shows as meant.
    c.run = [](ToolContext& t) { return RunScan(t, ::isatty(STDERR_FILENO) == 1); };
    return c;
}
