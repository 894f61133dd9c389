#include "ClbTool.h"

#include "ClbThread.h"
#include "CoefficientActions.h"
#include "CoefficientFiles.h"
#include "ConsoleHost.h"
#include "DevManager.h"
#include "DeviceCatalogue.h"
#include "GuardedWriteCommand.h"
#include "JournalCommand.h"
#include "NumberText.h"
#include "Probe.h"
#include "ProgramFolders.h"
#include "ReadOut.h"
#include "SerialPorts.h"
#include "Settings.h"
#include "PlantCommand.h"
#include "PortsCommand.h"
#include "RussianPlural.h"
#include "ScanCommand.h"
#include "SheetCommand.h"
#include "StopSignals.h"
#include "SystemText.h"
#include "UlvComPort.h"
#include "UlvTrace.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;

namespace {

const char* const Usage =
    "Использование: clbtool [ПАРАМЕТРЫ] КОМАНДА [АРГУМЕНТЫ]\n"
    "Параметры (значение можно дать и через \"=\": --port=/dev/ttyUSB0):\n"
    "  --port ПОРТ\n"
    "      устройство (/dev/ttyUSB0) или COM1..COM16 (устройство берётся из\n"
    "      файла настроек); без --port - порт из файла настроек\n"
    "  --baud 9600|19200\n"
    "      скорость порта\n"
    "  --clb ФАЙЛ\n"
    "      приборы из файла конфигурации (.clb)\n"
    "  --slot ПРИБОР\n"
    "      ТИП:АДРЕС[:КАНАЛ][@СЕРИЙНЫЙ_НОМЕР], например 1:1:2 или\n"
    "      14:1:1@44412345; не больше двух (список типов: clbtool types)\n"
    "  --timeouts Б,П,Н\n"
    "      тайм-ауты байта и пакета в мс и число повторов, например 100,300,3\n"
    "  --json\n"
    "      результат одним объектом JSON на стандартный вывод\n"
    "  --trace ФАЙЛ\n"
    "      журнал обмена: каждый кадр в обе стороны и исход каждого обмена\n"
    "      (по умолчанию [Settings] Trace из файла настроек)\n"
    "  --trace-format text|jsonl\n"
    "      журнал строками для чтения (text) или строками JSON (jsonl)\n"
    "  -h, --help\n"
    "      эта справка\n"
    "  --version\n"
    "      версия программы\n"
    "Команды:\n"
    "  types\n"
    "      типы приборов: код, название, протокол, число каналов\n"
    "  probe\n"
    "      опознать прибор каждого слота: тип и серийный номер\n"
    "  read\n"
    "      подключиться и прочитать все слоты\n"
    "  poll [N]\n"
    "      прочитать, затем N циклов опроса расхода (по умолчанию 10);\n"
    "      Ctrl-C прерывает опрос\n"
    "  save N ФАЙЛ [--print ФАЙЛ.pdf]\n"
    "      прочитать и сохранить коэффициенты слота N; формат по расширению\n"
    "      ФАЙЛА (.txt, .kvt, .tpr); страница .tpr печатается в ФАЙЛ.pdf\n"
    "  write N ФАЙЛ [--yes]\n"
    "      прочитать, загрузить ФАЙЛ в слот N, записать в прибор и проверить;\n"
    "      без --yes на вопрос о записи ответ \"нет\": ничего не записывается;\n"
    "      перед записью прежние коэффициенты прибора сохраняются в резервную\n"
    "      копию (saved/<тип>/backup)\n"
    "  restore N [ФАЙЛ] [--yes]\n"
    "      записать в прибор слота N его последнюю резервную копию (или ФАЙЛ)\n"
    "  sheet ФАЙЛ.pdf\n"
    "      прочитать и напечатать лист коэффициентов каждого прибора\n"
    "      (страница на прибор) в ФАЙЛ.pdf\n"
    "  journal [--serial S]\n"
    "      журнал записей в приборы (journal.csv рядом с файлом настроек),\n"
    "      все строки или строки прибора с серийным номером S\n"
    "  journal --plant [--serial S] [--since ДЕНЬ] [--bench СТЕНД]\n"
    "          [--json|--csv]\n"
    "      учёт завода: события всех стендов с сервера ([Plant] Database)\n"
    "  journal --sync\n"
    "      отправить на сервер учёта события, ждущие в очереди этого стенда\n"
    "  plant init | plant status [--database СТРОКА]\n"
    "      создать или обновить схему учёта на сервере; сколько событий ждут\n"
    "  ports [--json]\n"
    "      последовательные порты по устойчивым именам и что мешает их открыть\n"
    "  scan [--baud 9600,19200] [--addresses 0-16]\n"
    "       [--protocols 6x,m4,modbus] [--relay СЕРИЙНЫЙ_НОМЕР]\n"
    "      найти приборы на линии: опросить каждый адрес на каждой скорости\n"
    "Код завершения: 0 - успех, 1 - не удалась операция с прибором,\n"
    "2 - ошибка в командной строке или в файле, 130 и 143 - опрос прерван\n"
    "сигналом SIGINT или SIGTERM.\n"
    "Руководство пользователя: /usr/share/doc/clbtool/manual/index.html\n";

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
    std::optional<std::string> trace;
    std::optional<std::string> traceFormat;
    bool help = false;
    bool version = false;
    std::string command;
    std::vector<std::string> args;
    // save and write
    int slot = 0;
    std::string file;
    std::optional<std::string> printPdf;
    bool yes = false;
};

// "--name=value" as the two arguments "--name" "value", for the options that take a value.
std::vector<std::string> SplitAssignments(const std::vector<std::string>& args)
{
    static const char* const withValue[] = {"--port", "--baud", "--clb", "--slot", "--timeouts", "--print", "--trace", "--trace-format"};
    std::vector<std::string> out;
    for (const std::string& a : args) {
        const std::size_t eq = a.find('=');
        bool split = false;
        if (a.rfind("--", 0) == 0 && eq != std::string::npos)
            for (const char* name : withValue)
                split = split || a.compare(0, eq, name) == 0;
        if (split) {
            out.push_back(a.substr(0, eq));
            out.push_back(a.substr(eq + 1));
        } else {
            out.push_back(a);
        }
    }
    return out;
}

// The arguments of save and write: N FILE and their own options.
void ParseFileCommand(Options& o)
{
    std::vector<std::string> plain;
    for (size_t i = 0; i < o.args.size(); ++i) {
        const std::string& a = o.args[i];
        if (o.command == "save" && a == "--print") {
            if (i + 1 >= o.args.size()) throw UsageError{"--print: не указан файл PDF"};
            o.printPdf = o.args[++i];
        } else if ((o.command == "write" || o.command == "restore") && a == "--yes") {
            o.yes = true;
        } else if (!a.empty() && a[0] == '-') {
            throw UsageError{"у команды " + o.command + " нет параметра " + a};
        } else {
            plain.push_back(a);
        }
    }
    const bool restore = o.command == "restore";
    if ((restore ? plain.empty() || plain.size() > 2 : plain.size() != 2) || (plain[0] != "1" && plain[0] != "2"))
        throw UsageError{"команде " + o.command + " нужны номер слота (1 или 2) и " +
                         (restore ? "необязательный файл" : "файл")};
    o.slot = plain[0][0] - '0';
    if (plain.size() == 2) o.file = plain[1];
}

Options ParseOptions(const std::vector<std::string>& given)
{
    const std::vector<std::string> args = SplitAssignments(given);
    Options o;
    size_t i = 0;
    auto value = [&](const std::string& name) -> std::string {
        if (i + 1 >= args.size()) throw UsageError{name + ": не указано значение"};
        return args[++i];
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--port") {
            o.port = value(a);
        } else if (a == "--baud") {
            std::string v = value(a);
            if (v != "9600" && v != "19200") throw UsageError{"--baud: скорость 9600 или 19200"};
            o.baud = static_cast<std::uint32_t>(std::stoul(v));
        } else if (a == "--clb") {
            o.clb = value(a);
        } else if (a == "--slot") {
            o.slots.push_back(value(a));
        } else if (a == "--timeouts") {
            std::smatch m;
            std::string v = value(a);
            static const std::regex re(R"((\d{1,5}),(\d{1,5}),(\d{1,3}))");
            if (!std::regex_match(v, m, re))
                throw UsageError{"--timeouts: нужны БАЙТ,ПАКЕТ,ПОВТОРЫ (мс, мс, число), например 100,300,3"};
            o.timeouts = TimeoutProfile{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])};
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--trace") {
            o.trace = value(a);
        } else if (a == "--trace-format") {
            o.traceFormat = value(a);
            if (*o.traceFormat != "text" && *o.traceFormat != "jsonl")
                throw UsageError{"--trace-format: text или jsonl"};
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (!a.empty() && a[0] == '-' && o.command.empty()) {
            throw UsageError{"неизвестный параметр " + a};
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            o.args.push_back(a);
        }
    }
    if (o.help || o.version) return o;
    if (o.command.empty()) throw UsageError{"не указана команда"};
    if (o.clb && !o.slots.empty()) throw UsageError{"укажите либо --clb, либо --slot, но не оба"};
    if (o.slots.size() > 2) throw UsageError{"не больше двух приборов (--slot)"};
    return o;
}

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
    if (type < 1 || type > 16) throw UsageError{what + "код типа 1..16 (список: clbtool types)"};
    if (address > 127) throw UsageError{what + "сетевой адрес 0..127"};
    if (channel != 1 && channel != 2) throw UsageError{what + "канал 1 или 2"};
    DeviceSlot s;
    s.SetTypeCode(static_cast<std::uint8_t>(type));
    s.SetNetAddress(static_cast<std::uint8_t>(address));
    s.SetChannel(static_cast<std::uint8_t>(channel));
    s.SetSerialText("-");
    if (type == 14 || type == 15) {
        if (!m[4].matched) throw UsageError{what + "типам 14 и 15 (через ретранслятор) нужен @СЕРИЙНЫЙ_НОМЕР"};
        const unsigned long serial = std::stoul(m[4]);
        if (serial < 44400000 || serial > 44499999) throw UsageError{what + "серийный номер 44400000..44499999"};
        s.SetRelayAddress(static_cast<std::uint32_t>(serial));
    } else if (m[4].matched) {
        throw UsageError{what + "@СЕРИЙНЫЙ_НОМЕР только для типов 14 и 15 (через ретранслятор)"};
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
            if (n < 1 || n > 16) throw UsageError{"--port: COM1..COM16 или путь к устройству"};
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

// A single as a JSON number whose text is the shortest that reads back as the
// same single (0.001, not 0.0010000000474974513).
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

std::string NumberText(const json& v)
{
    return v.is_number() ? ShortestText(v.get<float>()) : std::string("-");
}

std::string TypeName(std::uint8_t code)
{
    const auto* info = FindDeviceType(code);
    return info ? std::string(info->DisplayName) : std::string("?");
}

const char* ProtocolName(ProtocolFamily p)
{
    switch (p) {
    case ProtocolFamily::Proto6x: return "6x";
    case ProtocolFamily::Proto6xRelay: return "6x через ретранслятор";
    case ProtocolFamily::M4: return "M4";
    case ProtocolFamily::ModBus: return "ModBus";
    case ProtocolFamily::None: break;
    }
    return "-";
}

// Code 16 is never offered by the dialogs and has no entry for it; its meter
// has the two channels its driver takes.
int Channels(const DeviceTypeInfo& t)
{
    return t.TwoChannels.value_or(true) ? 2 : 1;
}

std::string PadRight(const std::string& utf8, std::size_t width)
{
    std::size_t shown = 0;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80) ++shown;
    return shown >= width ? utf8 + " " : utf8 + std::string(width - shown, ' ');
}

json TypesJson()
{
    json types = json::array();
    for (const DeviceTypeInfo& t : DeviceCatalogue) {
        if (t.Code == DeviceTypeNone) continue;
        types.push_back({{"code", t.Code},
                         {"name", std::string(t.DisplayName)},
                         {"protocol", ProtocolName(t.Protocol)},
                         {"channels", Channels(t)},
                         {"driver", t.DriverClass ? std::string(*t.DriverClass) : std::string()}});
    }
    return types;
}

void PrintTypes(std::ostream& out, const json& types)
{
    out << PadRight("код", 5) << PadRight("название", 13) << PadRight("протокол", 23) << "каналы\n";
    for (const auto& t : types)
        out << PadRight(std::to_string(t["code"].get<int>()), 5) << PadRight(t["name"].get<std::string>(), 13)
            << PadRight(t["protocol"].get<std::string>(), 23) << t["channels"].get<int>() << "\n";
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

std::string CycleLine(int number, const json& cycle)
{
    std::string line = "цикл " + std::to_string(number) + ":";
    bool first = true;
    for (const auto& e : cycle) {
        line += first ? " " : ", ";
        first = false;
        line += "слот " + std::to_string(e["slot"].get<int>()) + " ";
        if (!e["ok"].get<bool>())
            line += "ошибка опроса";
        else
            line += e["text"].is_null() ? std::string("-") : e["text"].get<std::string>();
    }
    return line;
}

bool FolderExists(const std::string& file)
{
    const std::size_t slash = file.find_last_of('/');
    if (slash == std::string::npos) return true;
    const std::string folder = slash == 0 ? std::string("/") : file.substr(0, slash);
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string FolderOf(const std::string& file)
{
    const std::size_t slash = file.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : file.substr(0, std::max<std::size_t>(slash, 1));
}

// What a save needs that can be checked before the port is opened.
void CheckSaveTarget(const Options& o)
{
    if (CoefficientFormatOf(o.file) == CoefficientFormat::None)
        throw UsageError{"файл " + o.file + ": формат выбирается по расширению (.txt, .kvt или .tpr)"};
    if (!FolderExists(o.file)) throw UsageError{"папки " + FolderOf(o.file) + " нет"};
    if (o.printPdf) {
        if (CoefficientFormatOf(o.file) != CoefficientFormat::Tpr)
            throw UsageError{"--print печатает только страницу файла .tpr, а не " + o.file};
        if (!FolderExists(*o.printPdf)) throw UsageError{"папки " + FolderOf(*o.printPdf) + " нет"};
    }
}

// A file as the user will find it again: absolute, without "." and "..".
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


} // namespace

int RunClbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (IsPortsCommand(args)) return RunPortsCommand(args, out);
    if (IsPlantCommand(args) || IsPlantJournalCommand(args))
        return RunPlantCommand(args, out, err, ResolveProgramFolders(RunningProgramPath(), "clbtool").SettingsFile);
    if (IsJournalCommand(args))
        return RunJournalCommand(
            args, out, err, JournalPath(ResolveProgramFolders(RunningProgramPath(), "clbtool").SettingsFile));
    if (IsScanCommand(args)) return RunScanCommand(args, out, err, ::isatty(STDERR_FILENO) == 1);
    bool asJson = false;
    for (const auto& a : args) asJson = asJson || a == "--json";
    json result = {{"ok", true}};
    // Every way out: one JSON object on the standard output under --json.
    auto finish = [&](int status, const std::vector<std::string>& messages) {
        result["ok"] = status == 0;
        result["status"] = status;
        result["messages"] = messages;
        if (asJson) out << result.dump(1) << "\n";
        out.flush();
        return status;
    };
    auto usageFailure = [&](const std::string& text) {
        result["error"] = text;
        if (!asJson) err << "clbtool: " << text << "\nСправка: clbtool --help\n";
        return finish(2, {text});
    };

    Options o;
    try {
        o = ParseOptions(args);
        if (o.help) {
            if (asJson) result["help"] = Usage;
            else out << Usage;
            return finish(0, {});
        }
        if (o.version) {
            if (asJson) result["version"] = DevManager::Version;
            else out << "clbtool " << DevManager::Version << "\n";
            return finish(0, {});
        }
        const bool fileCommand = o.command == "save" || o.command == "write" || o.command == "restore";
        if (o.command == "types") {
            if (!o.args.empty()) throw UsageError{"команда types без аргументов"};
            result["types"] = TypesJson();
            if (!asJson) PrintTypes(out, result["types"]);
            return finish(0, {});
        }
        if (o.command == "sheet" && o.args.size() != 1) throw UsageError{"команде sheet нужен файл PDF"};
        if (o.command != "probe" && o.command != "read" && o.command != "poll" && o.command != "sheet" && !fileCommand)
            throw UsageError{"неизвестная команда " + o.command};
        if (o.command == "poll" && o.args.size() > 1) throw UsageError{"команде poll нужно одно число циклов"};
        if (fileCommand) ParseFileCommand(o);
        else if (o.command != "poll" && o.command != "sheet" && !o.args.empty()) throw UsageError{"команда " + o.command + " без аргументов"};
    } catch (const UsageError& e) {
        return usageFailure(e.text);
    }

    // Start-up as the window does it: folders, empty slots, settings.
    const ProgramFolders folders = ResolveProgramFolders(RunningProgramPath(), "clbtool");
    std::string error;
    if (!CreateProgramFolders(folders, error)) err << "clbtool: " << RussianSystemTexts(error) << "\n";
    Settings settings;
    if (!settings.Open(folders.SettingsFile, error))
        err << "clbtool: " << RussianSystemTexts(error) << " (взяты значения по умолчанию)\n";

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
            default: throw UsageError{RussianSystemTexts(e)};
            }
        }
        for (size_t n = 0; n < o.slots.size(); ++n) dev.Slots[n] = ParseSlot(o.slots[n]);
        if (o.command == "poll" && !o.args.empty()) {
            if (!std::regex_match(o.args[0], std::regex(R"(\d{1,6})")))
                throw UsageError{"poll: число циклов - целое от 0 до 999999"};
            cycles = std::stoi(o.args[0]);
        }
        choice = ChoosePort(o, settings);
        dev.CompactSlots();
        if (dev.Slot(1).TypeCode() == 0) throw UsageError{"не задан ни один прибор: укажите --slot или --clb"};
        if (o.slot != 0 && dev.Slot(o.slot).TypeCode() == 0)
            throw UsageError{"слот " + std::to_string(o.slot) + " пуст"};
        if (o.command == "save") CheckSaveTarget(o);
    } catch (const UsageError& e) {
        return usageFailure(e.text);
    }
    if (o.command == "write" || (o.command == "restore" && !o.file.empty())) {
        // A file that cannot be loaded is refused before anything goes on the line.
        CoefficientSet scratch;
        if (!LoadCoefficientFile(o.file, dev.Slot(o.slot), scratch, error)) {
            result["written"] = false;
            result["outcome"] = "не записано: " + error;
            if (!asJson) {
                err << "Ошибка: " << RussianSystemTexts(error) << "\n";
                out << "слот " << o.slot << ": не записано\n";
            }
            return finish(2, {RussianSystemTexts(error)});
        }
    }

    result["port"] = {{"name", choice.Number ? json("COM" + std::to_string(choice.Number)) : json(nullptr)},
                      {"device", choice.Path},
                      {"baud", choice.Baud}};
    if (!o.port)
        err << "clbtool: порт не задан (--port): COM" << choice.Number << " из файла настроек, устройство "
            << (choice.Path.empty() ? std::string("не задано") : choice.Path) << "\n";

    // The traffic log outlives the port it watches.
    const std::string tracePath = o.trace ? *o.trace : settings.TraceFile();
    const bool traceJson = o.traceFormat ? *o.traceFormat == "jsonl" : settings.TraceJsonLines();
    std::unique_ptr<TulvTrace> trace;
    if (!tracePath.empty()) {
        trace = std::make_unique<TulvTrace>(tracePath, traceJson ? TulvTrace::Format::JsonLines : TulvTrace::Format::Text);
        if (!trace->IsOpen()) return usageFailure("журнал обмена: не удалось открыть файл " + tracePath);
    }
    TulvComPort port;
    port.SetTrace(trace.get());
    const TimeoutProfile profile = o.timeouts ? *o.timeouts : settings.Timeouts();
    dev.CreateDrivers(port, profile);

    ConsoleHost host(err);
    int status = 0;

    if (o.command == "probe") {
        json slots = json::array();
        for (int n = 1; n <= 2; ++n) {
            const DeviceSlot& s = dev.Slot(n);
            if (s.TypeCode() == 0) continue;
            port.SetComPort(static_cast<std::uint8_t>(choice.Number));
            port.SetDevicePath(choice.Path);
            port.SetBaudRate(choice.Baud);
            port.SetLine(choice.Line);
            port.SetParity(s.TypeCode() == 14 || s.TypeCode() == 15 ? 2 : 0);
            ProbeResult r;
            std::string outcome, said;
            if (!port.Opened() && !port.Open()) {
                std::string text = port.OpenErrorText();
                if (const std::string why = DiagnoseOpenFailure(port.ResolvedPath(), port.OpenError()); !why.empty())
                    text += "\n" + why;
                host.MessageBox(text, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
                outcome = "port_error";
                said = "порт не открыт: " + port.OpenErrorText();
            } else {
                r = ProbeMeter({s.TypeCode(), s.NetAddress(), s.RelayAddress(), s.Channel() == 2}, port);
                port.Close();
                for (const auto& m : r.Messages) host.MessageBox(m.Text, m.Caption, MsgIcon::Warning, MsgButtons::Ok);
                if (r.Ok && !r.NoChannel2) {
                    outcome = "found";
                    said = "найден";
                } else if (r.NoChannel2) {
                    outcome = "no_channel_2";
                    said = "у этой модификации нет канала G2";
                } else if (!r.Identity.empty()) {
                    // It answered, but not as this type.
                    outcome = "other_type";
                    said = "ответил прибор другого типа";
                } else {
                    outcome = "no_answer";
                    said = "нет ответа";
                }
            }
            if (outcome != "found") status = 1;
            json j = {{"slot", n},        {"type", s.TypeCode()},   {"name", TypeName(s.TypeCode())},
                      {"address", s.NetAddress()},
                      {"relay", (s.TypeCode() == 14 || s.TypeCode() == 15) ? s.RelayAddress() : 0u},
                      {"channel", s.Channel()}, {"identity", r.Identity}, {"serial", r.SerialText},
                      {"ok", outcome == "found"}, {"outcome", outcome}};
            slots.push_back(j);
            if (!o.json) {
                out << "слот " << n << ": " << TypeName(s.TypeCode()) << ": " << said;
                if (!r.Identity.empty()) out << ", ответ \"" << r.Identity << "\"";
                if (!r.SerialText.empty()) out << ", серийный номер " << r.SerialText;
                out << "\n";
            }
        }
        result["slots"] = slots;
    } else {
        // Held back before the poller exists, so that only this thread takes them.
        std::optional<StopSignals> stop;
        if (o.command == "poll") stop.emplace();
        TClbThread poller(dev, host);
        Connection connection(dev, port, poller, host);
        std::mutex m;
        json cycleLog = json::array();
        int failedCycles = 0;
        if (o.command == "poll") {
            host.OnCycle = [&] {
                std::lock_guard<std::mutex> lock(m);
                if (static_cast<int>(cycleLog.size()) >= cycles) return;
                json cycle = json::array();
                bool cycleOk = true;
                for (int n = 1; n <= 2; ++n) {
                    if (dev.Slot(n).TypeCode() == 0 || !dev.Coefficients(n).PollEnabled.load()) continue;
                    auto box = host.BoxState(FlowBoxName(n));
                    const bool ok = poller.FlowOk(n);
                    cycleOk = cycleOk && ok;
                    cycle.push_back({{"slot", n},
                                     {"flow", Number(poller.CurrentFlow(n))},
                                     {"text", box.Text ? json(*box.Text) : json(nullptr)},
                                     {"ok", ok}});
                }
                if (!cycleOk) ++failedCycles;
                cycleLog.push_back(cycle);
                // Each cycle is shown as it happens.
                if (!o.json) out << CycleLine(static_cast<int>(cycleLog.size()), cycle) << std::endl;
            };
        }
        const bool connected = connection.BConnectClick(choice);
        bool fileFailed = false;
        bool pollFailed = false;
        const bool restoreFromBackup = o.command == "restore" && o.file.empty();
        if (connected && o.command == "restore") {
            // The newest backup of the meter as the read-out identified it.
            const auto file = RestoreFile(folders.Saved, dev.Slot(o.slot), o.file, error);
            if (file) o.file = *file;
            else {
                host.MessageBox(error, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
                result["written"] = false;
                result["outcome"] = "не записано: " + error;
                if (!o.json) out << "слот " << o.slot << ": не записано: " << error << "\n";
                fileFailed = true;
            }
            if (file) result["file"] = *file;
        }
        if (o.command == "restore" && !fileFailed) result["file"] = AbsolutePath(o.file);
        if (connected && !o.file.empty()) { // save, write or restore
            CoefficientActions actions(dev, poller, host, &settings, folders.Saved);
            host.NextFile = o.file;
            host.PrintPdf = o.printPdf;
            host.AnswerYes = o.yes;
            if (o.command == "save") {
                fileFailed = !actions.BSave01Click(o.slot);
                result["saved"] = !fileFailed;
                if (!fileFailed) result["file"] = AbsolutePath(o.file);
                if (o.printPdf) result["printed"] = AbsolutePath(*o.printPdf);
                if (!o.json) {
                    out << "слот " << o.slot << ": "
                        << (fileFailed ? "не сохранено" : "сохранено в " + AbsolutePath(o.file));
                    if (!fileFailed && o.printPdf) out << ", страница напечатана в " << AbsolutePath(*o.printPdf);
                    out << "\n";
                }
            } else {
                using L = CoefficientActions::LoadResult;
                const L r = actions.BLoad01Click(o.slot);
                std::string outcome =
                    r == L::NotRun ? std::string("не записано: прибор не прочитан") : actions.Writer().Outcome();
                if (r == L::Declined) outcome += " (без --yes на вопрос о записи ответ \"нет\")";
                result["written"] = r == L::Written;
                result["outcome"] = outcome;
                result["differences"] = DifferencesJson(actions.Writer());
                result["warnings"] = actions.Warnings();
                result["backup"] = actions.Writer().BackupPath().empty() ? json(nullptr)
                                                                         : json(actions.Writer().BackupPath());
                // A refused file is a file error; a declined question or a
                // failed write is a meter operation that did not happen.
                fileFailed = r == L::Refused || r == L::NotRun;
                if (r != L::Written) status = 1;
                if (!o.json) {
                    out << "слот " << o.slot << ": ";
                    if (o.command == "restore")
                        out << (restoreFromBackup ? "из резервной копии " : "из файла ") << AbsolutePath(o.file)
                            << ": ";
                    out << outcome << "\n";
                    PrintDifferences(out, actions.Writer());
                    if (!actions.Writer().BackupPath().empty())
                        out << "прежние коэффициенты прибора сохранены в " << actions.Writer().BackupPath() << "\n";
                }
            }
        } else if (!connected && (o.command == "write" || o.command == "restore")) {
            result["written"] = false;
            result["outcome"] = "не записано: подключение не удалось";
            if (!o.json) out << "слот " << o.slot << ": не записано: подключение не удалось\n";
        }
        if (connected && o.command == "sheet") {
            std::size_t pages = 0;
            fileFailed = !PrintSheetCommand(dev, settings, host, o.args[0], pages);
            if (!fileFailed) {
                result["printed"] = AbsolutePath(o.args[0]);
                result["pages"] = pages;
                if (!o.json)
                    out << "лист коэффициентов: "
                        << CountText(static_cast<long long>(pages), "страница", "страницы", "страниц") << " в "
                        << AbsolutePath(o.args[0]) << "\n";
            }
        }
        if (o.command == "poll") {
            // Every cycle is bounded by the meters' timeouts; the limit only
            // guards against a poller that no longer runs.
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60) * (cycles + 1);
            bool stalled = false;
            if (stop->Take(0) == 0 && connected) {
                for (;;) {
                    {
                        std::lock_guard<std::mutex> lock(m);
                        // A poller that lost its port pauses itself and ends its cycle.
                        if (static_cast<int>(cycleLog.size()) >= cycles || poller.GetState() != TClbThread::Run) break;
                    }
                    if (std::chrono::steady_clock::now() > limit) {
                        stalled = true;
                        break;
                    }
                    if (stop->Take(50) != 0) break;
                }
            }
            if (stalled) host.MessageBox("Опрос приборов остановился", "Ошибка", MsgIcon::Error, MsgButtons::Ok);
            std::lock_guard<std::mutex> lock(m);
            pollFailed = stalled || failedCycles != 0 ||
                         (stop->Caught() == 0 && static_cast<int>(cycleLog.size()) < cycles);
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
            const int done = static_cast<int>(cycleLog.size());
            const int sig = stop->Caught();
            result["poll"] = {{"requested", cycles},
                              {"done", done},
                              {"failed", failedCycles},
                              {"interrupted", sig ? json(SignalName(sig)) : json(nullptr)}};
            if (!o.json) {
                out << (sig ? std::string("опрос прерван сигналом ") + SignalName(sig) : std::string("опрос окончен"))
                    << ": " << CountText(done, "цикл", "цикла", "циклов") << " из " << cycles << ", с ошибкой "
                    << failedCycles
                    << ", порт закрыт\n";
            }
        }
        if (!o.json)
            for (const auto& j : slots) PrintSlot(out, j);
        if (!connected || pollFailed) status = 1;
        if (fileFailed) status = 2;
        if (o.command == "poll" && stop->Caught() != 0) status = 128 + stop->Caught();
    }
    return finish(status, host.Messages());
}
