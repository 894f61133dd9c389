#include "PlantCommand.h"

#include "Commands.h"
#include "ProgramFolders.h"
#include "ToolContext.h"

#include "PlantSender.h"
#include "Settings.h"
#include "SystemText.h"
#include "WriteJournal.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <ctime>
#include <optional>
#include <regex>

using nlohmann::json;

namespace {

struct PlantOptions {
    std::string what; // "plant init", "plant status", "journal --plant", "journal --sync"
    std::optional<std::string> database;
    std::optional<std::string> serial, since, bench;
    bool json = false, csv = false;
};

// A day is from the local midnight; a time is taken as written.
std::string SinceTime(const std::string& since)
{
    std::smatch m;
    if (std::regex_match(since, m, std::regex(R"((\d{4})-(\d{2})-(\d{2}))"))) {
        std::tm t{};
        t.tm_year = std::stoi(m[1]) - 1900;
        t.tm_mon = std::stoi(m[2]) - 1;
        t.tm_mday = std::stoi(m[3]);
        t.tm_isdst = -1;
        const int month = t.tm_mon, day = t.tm_mday;
        const std::time_t when = std::mktime(&t);
        if (when == static_cast<std::time_t>(-1) || t.tm_mon != month || t.tm_mday != day)
            throw UsageError{"--since: нет такого дня " + since};
        return JournalTime(when);
    }
    if (!std::regex_match(since, std::regex(R"(\d{4}-\d{2}-\d{2}[T ]\d{2}:\d{2}(:\d{2})?([+-]\d{2}(:?\d{2})?|Z)?)")))
        throw UsageError{"--since: день ГГГГ-ММ-ДД или время ГГГГ-ММ-ДДTЧЧ:ММ[:СС][+ЧЧ:ММ], а не " + since};
    return since;
}

// An option that takes one value, given once.
OptionRule OnceValued(const std::string& name)
{
    return {name, {}, true,
            [name](Options& o, const std::string& v) {
                if (o.Has(name)) throw UsageError{"параметру " + name + " нужно одно значение"};
                o.own[name].push_back(v);
            },
            {}, "параметру " + name + " нужно одно значение"};
}

OptionRule Flag(const std::string& name)
{
    return {name, {}, false, [name](Options& o, const std::string&) { o.own[name] = {""}; }, {}, {}};
}

PlantOptions FromOptions(const Options& o)
{
    PlantOptions p;
    p.what = o.command == "plant" ? "plant " + o.args.at(0) : o.Has("--sync") ? "journal --sync" : "journal --plant";
    p.database = o.Value("--database");
    p.serial = o.Value("--serial");
    p.since = o.Value("--since");
    p.bench = o.Value("--bench");
    p.json = o.Has("--json");
    p.csv = o.Has("--csv");
    return p;
}

std::string SettingsFile()
{
    return ResolveProgramFolders(RunningProgramPath(), "clbtool").SettingsFile;
}

std::string Number(double v)
{
    if (std::isnan(v)) return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

json PointJson(const PlantPoint& p)
{
    auto n = [](double v) { return std::isnan(v) ? json(nullptr) : json(v); };
    return {{"n", p.Number},         {"nominal", n(p.Nominal)},         {"reference", n(p.Reference)},
            {"found_reading", n(p.FoundReading)}, {"left_reading", n(p.LeftReading)},
            {"found_error", n(p.FoundError)},     {"left_error", n(p.LeftError)},
            {"mpe", n(p.Mpe)},       {"verdict", p.Verdict}};
}

int PrintRecord(PlantConnection& db, const PlantOptions& o, std::ostream& out, std::ostream& err)
{
    std::vector<PlantRecordRow> rows;
    if (!ReadPlantRecord(db, {o.serial, o.since, o.bench}, rows)) {
        if (o.json) out << json{{"ok", false}, {"status", 1}, {"error", db.Error()}}.dump(1) << "\n";
        else err << "clbtool: " << db.Error() << "\n";
        return 1;
    }
    if (o.json) {
        json events = json::array();
        for (const auto& r : rows) {
            json points = json::array();
            for (const auto& p : r.Points) points.push_back(PointJson(p));
            events.push_back({{"id", r.Id},
                              {"bench", r.Bench},
                              {"host", r.Host},
                              {"operator", r.Operator},
                              {"time", r.Time},
                              {"kind", r.Kind},
                              {"serial", r.Serial},
                              {"type", r.TypeCode},
                              {"channel", r.Channel ? json(*r.Channel) : json(nullptr)},
                              {"outcome", r.Outcome},
                              {"fields", json::parse(r.FieldsJson, nullptr, false)},
                              {"points", points}});
        }
        out << json{{"ok", true}, {"status", 0}, {"events", events}}.dump(1) << "\n";
        return 0;
    }
    if (o.csv) {
        const auto columns = JournalFields(JournalHeader());
        out << "id;bench;host;kind;" << JournalHeader() << "\n";
        for (const auto& r : rows) {
            const json fields = json::parse(r.FieldsJson, nullptr, false);
            out << JournalField(r.Id) << ";" << JournalField(r.Bench) << ";" << JournalField(r.Host) << ";"
                << JournalField(r.Kind);
            for (const auto& c : columns) {
                std::string v;
                if (fields.is_object() && fields.contains(c) && fields[c].is_string()) v = fields[c].get<std::string>();
                out << ";" << JournalField(v);
            }
            out << "\n";
        }
        return 0;
    }
    for (const auto& r : rows) {
        const json fields = json::parse(r.FieldsJson, nullptr, false);
        auto field = [&](const char* name) {
            return fields.is_object() && fields.contains(name) && fields[name].is_string()
                       ? fields[name].get<std::string>()
                       : std::string();
        };
        const std::string kind = r.Kind == "write"     ? "запись"
                                 : r.Kind == "restore" ? "восстановление"
                                 : r.Kind == "calibration" ? "калибровка"
                                                           : r.Kind;
        out << r.Time << "  " << r.Bench << "  " << kind << "  " << field("name") << " " << r.Serial
            << (r.Channel ? "#" + std::to_string(*r.Channel) : std::string()) << "  " << r.Operator << "  "
            << r.Outcome;
        if (!field("file").empty()) out << "  " << field("file");
        out << "\n";
        for (const auto& p : r.Points)
            out << "    точка " << p.Number << ": расход " << Number(p.Nominal) << ", эталон " << Number(p.Reference)
                << ", погрешность до " << Number(p.FoundError) << " %, после " << Number(p.LeftError)
                << " %, допуск " << Number(p.Mpe) << " %: " << p.Verdict << "\n";
    }
    out << "Событий: " << rows.size() << "\n";
    return 0;
}

} // namespace

static int RunPlant(const PlantOptions& o, std::ostream& out, std::ostream& err, const std::string& settingsFile)
{
    auto fail = [&](int status, const std::string& text) {
        if (o.json) out << json{{"ok", false}, {"status", status}, {"error", text}}.dump(1) << "\n";
        else err << "clbtool: " << text << "\n";
        return status;
    };

    Settings settings;
    std::string error;
    if (!settings.Open(settingsFile, error)) err << "clbtool: " << RussianSystemTexts(error) << "\n";
    PlantSenderOptions po;
    po.Database = o.database ? *o.database : settings.PlantDatabase();
    po.Bench = settings.PlantBench().empty() ? HostName() : settings.PlantBench();
    po.OutboxPath = OutboxPath(JournalPath(settingsFile));

    if (o.what == "plant status") {
        const std::size_t waiting = PlantOutbox(po.OutboxPath).Pending();
        if (o.json)
            out << json{{"ok", true},
                        {"status", 0},
                        {"enabled", !po.Database.empty()},
                        {"bench", po.Bench},
                        {"outbox", po.OutboxPath},
                        {"waiting", waiting}}
                       .dump(1)
                << "\n";
        else
            out << "Учёт завода: " << (po.Database.empty() ? "выключен" : "стенд " + po.Bench) << "\nОчередь "
                << po.OutboxPath << ": ждут отправки " << waiting << " событий\n";
        return 0;
    }
    if (po.Database.empty())
        return fail(2, "учёт завода не настроен: в файле настроек " + settingsFile +
                           " нет [Plant] Database (или дайте --database)");
    if (!CheckPlantDatabase(po.Database, error)) return fail(2, error);

    if (o.what == "journal --sync") {
        const PlantSyncResult r = SyncPlantOutbox(po);
        if (o.json) {
            out << json{{"ok", r.Delivered},  {"status", r.Delivered ? 0 : 1}, {"sent", r.Sent},
                        {"waiting", r.Waiting}, {"problem", r.Problem},          {"warnings", r.Warnings}}
                       .dump(1)
                << "\n";
        } else {
            for (const auto& w : r.Warnings) err << "clbtool: предупреждение: " << w << "\n";
            if (!r.Problem.empty()) err << "clbtool: " << r.Problem << "\n";
            out << "Учёт завода: отправлено " << r.Sent << " событий, ждут отправки " << r.Waiting << "\n";
        }
        return r.Delivered ? 0 : 1;
    }

    PlantConnection db;
    if (!db.Connect(po.Database, "clbtool " + po.Bench, po.ConnectLimit)) return fail(1, db.Error());
    if (o.what == "plant init") {
        int from = 0;
        if (!MigratePlantSchema(db, from, error)) return fail(1, error);
        if (o.json)
            out << json{{"ok", true}, {"status", 0}, {"from", from}, {"version", PlantSchemaVersion}}.dump(1) << "\n";
        else if (from >= PlantSchemaVersion)
            out << "Схема учёта на сервере уже версии " << from << "\n";
        else
            out << "Схема учёта на сервере: версия " << from << " -> " << PlantSchemaVersion << "\n";
        return 0;
    }
    const int version = PlantSchemaVersionOf(db);
    if (version < 0) return fail(1, db.Error());
    if (version == 0) return fail(1, "На сервере учёта нет схемы plant: её создаёт «clbtool plant init»");
    return PrintRecord(db, o, out, err);
}

std::vector<OptionRule> PlantJournalOptions()
{
    return {Flag("--plant"), Flag("--sync"),        OnceValued("--since"), OnceValued("--bench"),
            Flag("--csv"),   OnceValued("--database"), Flag("--json")};
}

bool IsPlantJournal(const Options& o)
{
    return o.Has("--plant") || o.Has("--sync");
}

void CheckPlantJournal(const Options& o)
{
    if (o.Has("--plant") && o.Has("--sync")) throw UsageError{"выберите одно: journal --plant или journal --sync"};
    if (o.Has("--sync") && (o.Has("--serial") || o.Has("--since") || o.Has("--bench") || o.Has("--csv")))
        throw UsageError{"journal --sync отправляет всю очередь: --serial, --since, --bench и --csv не нужны"};
    if (o.Has("--json") && o.Has("--csv")) throw UsageError{"выберите одно: --json или --csv"};
    if (const auto since = o.Value("--since")) SinceTime(*since);
}

int RunPlantJournal(ToolContext& t)
{
    PlantOptions p = FromOptions(t.options);
    if (p.since) p.since = SinceTime(*p.since);
    return RunPlant(p, t.out, t.err, SettingsFile());
}

int RunPlantCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const std::string& settingsFile)
{
    PlantOptions p;
    try {
        const Options o = ParseCommandLine(args);
        if (o.command != "plant" && !(o.command == "journal" && IsPlantJournal(o)))
            throw UsageError{"не команда учёта завода"};
        p = FromOptions(o);
        if (p.since) p.since = SinceTime(*p.since);
    } catch (const UsageError& e) {
        err << "clbtool: " << e.text << "\nСправка: clbtool --help\n";
        return 2;
    }
    return RunPlant(p, out, err, settingsFile);
}

Command PlantCommand()
{
    Command c;
    c.name = "plant";
    c.help = "  plant init | plant status [--database СТРОКА] [--json]\n"
             "      создать или обновить схему учёта завода на сервере; сколько\n"
             "      событий этого стенда ждут отправки\n";
    c.shared = {};
    c.own = {OnceValued("--database"), Flag("--json")};
    c.jsonResult = false;
    c.check = [](Options& o) {
        if (o.args.size() != 1 || (o.args[0] != "init" && o.args[0] != "status"))
            throw UsageError{"команде plant нужно init или status"};
    };
    c.run = [](ToolContext& t) { return RunPlant(FromOptions(t.options), t.out, t.err, SettingsFile()); };
    return c;
}
