#include "PlantCommand.h"

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

struct Usage {
    std::string text;
};

PlantOptions Parse(const std::vector<std::string>& args)
{
    PlantOptions o;
    std::vector<std::string> a;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::size_t eq = args[i].find('=');
        if (args[i].rfind("--", 0) == 0 && eq != std::string::npos) {
            a.push_back(args[i].substr(0, eq));
            a.push_back(args[i].substr(eq + 1));
        } else {
            a.push_back(args[i]);
        }
    }
    const bool plant = args[0] == "plant";
    if (plant) {
        if (a.empty() || (a[0] != "init" && a[0] != "status"))
            throw Usage{"команде plant нужно init или status"};
        o.what = "plant " + a[0];
        a.erase(a.begin());
    }
    auto value = [&](std::size_t& i, std::optional<std::string>& into) {
        if (into || i + 1 >= a.size()) throw Usage{"параметру " + a[i] + " нужно одно значение"};
        into = a[++i];
    };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--database") value(i, o.database);
        else if (a[i] == "--json") o.json = true;
        else if (!plant && a[i] == "--csv") o.csv = true;
        else if (!plant && (a[i] == "--plant" || a[i] == "--sync") && o.what.empty()) o.what = "journal " + a[i];
        else if (!plant && a[i] == "--serial") value(i, o.serial);
        else if (!plant && a[i] == "--since") value(i, o.since);
        else if (!plant && a[i] == "--bench") value(i, o.bench);
        else throw Usage{"непонятный аргумент " + a[i]};
    }
    if (o.what == "journal --sync" && (o.serial || o.since || o.bench || o.csv))
        throw Usage{"journal --sync отправляет всю очередь: --serial, --since, --bench и --csv не нужны"};
    if (o.json && o.csv) throw Usage{"выберите одно: --json или --csv"};
    if (o.since) {
        // A day is from the local midnight; a time is taken as written.
        std::smatch m;
        if (std::regex_match(*o.since, m, std::regex(R"((\d{4})-(\d{2})-(\d{2}))"))) {
            std::tm t{};
            t.tm_year = std::stoi(m[1]) - 1900;
            t.tm_mon = std::stoi(m[2]) - 1;
            t.tm_mday = std::stoi(m[3]);
            t.tm_isdst = -1;
            const int month = t.tm_mon, day = t.tm_mday;
            const std::time_t when = std::mktime(&t);
            if (when == static_cast<std::time_t>(-1) || t.tm_mon != month || t.tm_mday != day)
                throw Usage{"--since: нет такого дня " + *o.since};
            o.since = JournalTime(when);
        } else if (!std::regex_match(*o.since,
                                     std::regex(R"(\d{4}-\d{2}-\d{2}[T ]\d{2}:\d{2}(:\d{2})?([+-]\d{2}(:?\d{2})?|Z)?)"))) {
            throw Usage{"--since: день ГГГГ-ММ-ДД или время ГГГГ-ММ-ДДTЧЧ:ММ[:СС][+ЧЧ:ММ], а не " + *o.since};
        }
    }
    return o;
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

bool IsPlantCommand(const std::vector<std::string>& args)
{
    return !args.empty() && args[0] == "plant";
}

bool IsPlantJournalCommand(const std::vector<std::string>& args)
{
    if (args.empty() || args[0] != "journal") return false;
    for (const auto& a : args)
        if (a == "--plant" || a == "--sync") return true;
    return false;
}

int RunPlantCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const std::string& settingsFile)
{
    bool asJson = false;
    for (const auto& a : args) asJson = asJson || a == "--json";
    PlantOptions o;
    try {
        o = Parse(args);
    } catch (const Usage& u) {
        if (asJson) out << json{{"ok", false}, {"status", 2}, {"error", u.text}}.dump(1) << "\n";
        else err << "clbtool: " << u.text << "\nСправка: clbtool --help\n";
        return 2;
    }
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
