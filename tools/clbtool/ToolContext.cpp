#include "ToolContext.h"

#include "DeviceCatalogue.h"
#include "NumberText.h"
#include "SystemText.h"

#include <charconv>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <regex>

using nlohmann::json;

// TYPE:ADDRESS[:CHANNEL][@SERIAL]
DeviceSlot ParseSlot(const std::string& text)
{
    static const std::regex re(R"((\d{1,3}):(\d{1,3})(?::(\d))?(?:@(\d{1,8}))?)");
    std::smatch m;
    const std::string what = "прибор " + text + ": ";
    if (!std::regex_match(text, m, re)) throw UsageError{what + "нужно ТИП:АДРЕС[:КАНАЛ][@СЕРИЙНЫЙ_НОМЕР]"};
    const int type = std::stoi(m[1]);
    const int address = std::stoi(m[2]);
    const int channel = m[3].matched ? std::stoi(m[3]) : 1;
    if (type < 1 || type > DeviceTypeLast) throw UsageError{what + "код типа 1..16 (список: clbtool types)"};
    if (address > 127) throw UsageError{what + "сетевой адрес 0..127"};
    if (channel != 1 && channel != 2) throw UsageError{what + "канал 1 или 2"};
    DeviceSlot s;
    s.SetTypeCode(static_cast<std::uint8_t>(type));
    s.SetNetAddress(static_cast<std::uint8_t>(address));
    s.SetChannel(static_cast<std::uint8_t>(channel));
    s.SetSerialText("-");
    if (RelayAddressed(static_cast<DeviceTypeCode>(type))) {
        if (!m[4].matched) throw UsageError{what + "типам 14 и 15 (через ретранслятор) нужен @СЕРИЙНЫЙ_НОМЕР"};
        const unsigned long serial = std::stoul(m[4]);
        if (serial < 44400000 || serial > 44499999) throw UsageError{what + "серийный номер 44400000..44499999"};
        s.SetRelayAddress(static_cast<std::uint32_t>(serial));
    } else if (m[4].matched) {
        throw UsageError{what + "@СЕРИЙНЫЙ_НОМЕР только для типов 14 и 15 (через ретранслятор)"};
    }
    return s;
}

void NamePort(PortChoice& c, const std::string& port, const Settings& settings, const std::string& option)
{
    if (!::NamePort(c, port, settings)) throw UsageError{option + ": COM1..COM16 или путь к устройству"};
}

namespace {

PortChoice ChoosePort(const Options& o, const Settings& settings)
{
    PortChoice c = PortFromSettings(settings);
    if (o.port) NamePort(c, *o.port, settings, "--port");
    if (o.baud) c.Baud = *o.baud;
    return c;
}

std::string NumberText(const json& v)
{
    return v.is_number() ? ShortestText(v.get<float>()) : std::string("-");
}

json SlotJson(int n, DevManager& dev, ConsoleHost& host)
{
    const DeviceSlot& s = dev.Slot(n);
    const CoefficientSet& c = dev.Coefficients(n);
    json j = {{"slot", n},
              {"type", s.TypeCode()},
              {"name", TypeName(s.TypeCode())},
              {"address", s.NetAddress()},
              {"relay", RelayOf(s)},
              {"channel", s.Channel()},
              {"serial", s.SerialText()},
              {"version", Number(s.SoftwareVersion())},
              {"modification", s.Modification()},
              {"sensor_index", s.SensorIndex()},
              {"gmax", Number(c.Gmax)},
              {"read_done", c.ReadDone}};
    json k = json::array(), obr = json::array();
    for (int i = 0; i < 10; ++i) {
        k.push_back(Number(c.K[i]));
        obr.push_back(Number(c.Obr[i]));
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
    out << "слот " << j["slot"].get<int>() << ": " << j["name"].get<std::string>() << " (тип "
        << j["type"].get<int>() << "), сетевой адрес " << j["address"].get<int>();
    if (j["relay"].get<std::uint32_t>() != 0) out << ", серийный номер для ретранслятора " << j["relay"].get<std::uint32_t>();
    out << ", канал " << j["channel"].get<int>() << "\n";
    if (!j["read_done"].get<bool>()) {
        // Values that were never read are not shown as zeros.
        out << "  не прочитан\n";
        return;
    }
    out << "  серийный номер " << j["serial"].get<std::string>() << ", версия " << NumberText(j["version"])
        << ", Gmax " << NumberText(j["gmax"]) << "\n";
    auto list = [&](const char* name, const json& a) {
        out << "  " << name << ":";
        for (const auto& v : a) out << ' ' << NumberText(v);
        out << "\n";
    };
    list("K", j["K"]);
    list("Obr", j["Obr"]);
    const json& s = j["shown"];
    auto t = [](const json& v) { return v.is_null() ? std::string("-") : v.get<std::string>(); };
    out << "  на экране: ноль " << t(s["zero"]) << ", усиление " << t(s["gain"]) << ", точки";
    for (const auto& p : s["points"]) out << ' ' << t(p);
    out << "\n";
}

} // namespace

int ToolContext::Finish(int status, const std::vector<std::string>& messages)
{
    result["ok"] = status == 0;
    result["status"] = status;
    result["messages"] = messages;
    if (json) out << result.dump(1) << "\n";
    out.flush();
    return status;
}

int ToolContext::UsageFailure(const std::string& text)
{
    result["error"] = text;
    if (!json) err << "clbtool: " << text << "\nСправка: clbtool --help\n";
    return Finish(2, {text});
}

bool StartUp(ToolContext& c, int& status, const std::function<void(ToolContext&)>& afterSlots,
             const std::function<void(ToolContext&)>& beforePort)
{
    // As the window starts: folders, empty slots, settings.
    c.folders = ResolveProgramFolders(RunningProgramPath(), "clbtool");
    std::string error;
    if (!CreateProgramFolders(c.folders, error)) c.err << "clbtool: " << RussianSystemTexts(error) << "\n";
    if (!c.settings.Open(c.folders.SettingsFile, error))
        c.err << "clbtool: " << RussianSystemTexts(error) << " (взяты значения по умолчанию)\n";
    c.dev.ResetSlots();
    const Options& o = c.options;
    try {
        if (o.clb) {
            std::string e;
            switch (c.dev.LoadSlotFile(*o.clb, e)) {
            case DevManager::LoadResult::Loaded: break;
            case DevManager::LoadResult::WrongMagic: throw UsageError{"Ошибка загрузки файла конфигурации " + *o.clb};
            default: throw UsageError{RussianSystemTexts(e)};
            }
        }
        for (size_t n = 0; n < o.slots.size(); ++n) c.dev.Slots[n] = ParseSlot(o.slots[n]);
        if (afterSlots) afterSlots(c);
        c.choice = ChoosePort(o, c.settings);
        c.dev.CompactSlots();
        if (c.dev.Slot(1).TypeCode() == 0) throw UsageError{"не задан ни один прибор: укажите --slot или --clb"};
        if (o.slot != 0 && c.dev.Slot(o.slot).TypeCode() == 0)
            throw UsageError{"слот " + std::to_string(o.slot) + " пуст"};
        if (beforePort) beforePort(c);
    } catch (const UsageError& e) {
        status = c.UsageFailure(e.text);
        return false;
    }
    return true;
}

bool OpenLine(ToolContext& c, int& status)
{
    const Options& o = c.options;
    c.result["port"] = {{"name", c.choice.Number ? json("COM" + std::to_string(c.choice.Number)) : json(nullptr)},
                        {"device", c.choice.Path},
                        {"baud", c.choice.Baud}};
    if (!o.port)
        c.err << "clbtool: порт не задан (--port): COM" << c.choice.Number << " из файла настроек, устройство "
              << (c.choice.Path.empty() ? std::string("не задано") : c.choice.Path) << "\n";

    // The traffic log outlives the port it watches.
    const std::string tracePath = o.trace ? *o.trace : c.settings.TraceFile();
    const bool traceJson = o.traceFormat ? *o.traceFormat == "jsonl" : c.settings.TraceJsonLines();
    if (!tracePath.empty()) {
        c.trace = std::make_unique<TulvTrace>(tracePath, traceJson ? TulvTrace::Format::JsonLines : TulvTrace::Format::Text);
        if (!c.trace->IsOpen()) {
            status = c.UsageFailure("журнал обмена: не удалось открыть файл " + tracePath);
            return false;
        }
    }
    c.port.SetTrace(c.trace.get());
    const TimeoutProfile profile = o.timeouts ? *o.timeouts : c.settings.Timeouts();
    c.dev.CreateDrivers(c.port, profile);
    c.host.emplace(c.err);
    return true;
}

int RunMeterCommand(ToolContext& c, const SessionSteps& steps, const std::function<void(ToolContext&)>& afterSlots,
                    const std::function<void(ToolContext&)>& beforePort,
                    const std::function<std::optional<int>(ToolContext&)>& beforeLine)
{
    int status = 0;
    if (!StartUp(c, status, afterSlots, beforePort)) return status;
    if (beforeLine)
        if (const auto failed = beforeLine(c)) return *failed;
    if (!OpenLine(c, status)) return status;
    ConsoleHost& host = *c.host;
    if (steps.beforePoller) steps.beforePoller(c);
    TClbThread poller(c.dev, host);
    Connection connection(c.dev, c.port, poller, host);
    MeterSession s{c, host, poller, connection};
    if (steps.beforeConnect) steps.beforeConnect(s);
    s.connected = connection.BConnectClick(c.choice);
    if (steps.step) steps.step(s);
    if (s.connected) connection.BDisconnectClick();
    json slots = json::array();
    for (int n = 1; n <= 2; ++n)
        if (c.dev.Slot(n).TypeCode() != 0) slots.push_back(SlotJson(n, c.dev, host));
    c.result["slots"] = slots;
    if (steps.afterDisconnect) steps.afterDisconnect(s);
    if (!c.json)
        for (const auto& j : slots) PrintSlot(c.out, j);
    status = s.status;
    if (!s.connected || s.meterFailed) status = 1;
    if (s.fileFailed) status = 2;
    if (steps.finalStatus) status = steps.finalStatus(s, status);
    return c.Finish(status, host.Messages());
}

json Number(float v)
{
    if (!std::isfinite(v)) return nullptr;
    // Whole values as integers (25, not 25.0); -0 keeps its sign as a double.
    if (std::trunc(v) == v && std::fabs(v) < 1e15f && !(v == 0 && std::signbit(v)))
        return static_cast<std::int64_t>(v);
    const std::string text = ShortestText(v);
    double d = 0;
    std::from_chars(text.data(), text.data() + text.size(), d);
    return d;
}

std::string TypeName(std::uint8_t code)
{
    const auto* info = FindDeviceType(code);
    return info ? std::string(info->DisplayName) : std::string("?");
}

std::string AbsolutePath(const std::string& file)
{
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(file, ec);
    return ec ? file : p.lexically_normal().string();
}

const char* SignalName(int sig)
{
    return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "?";
}

std::uint32_t RelayOf(const DeviceSlot& s)
{
    return RelayAddressed(s.TypeCode()) ? s.RelayAddress() : 0u;
}
