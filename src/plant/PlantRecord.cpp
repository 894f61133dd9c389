#include "PlantRecord.h"

#include <charconv>
#include <cmath>
#include <set>

namespace {

// Migration n takes the schema from version n - 1 to n. Never change one that
// has shipped: add the next.
const char* const Migrations[] = {
    // 1: the tables, their indexes, the append-only guard and the two roles.
    R"SQL(
CREATE SCHEMA IF NOT EXISTS plant;
CREATE TABLE plant.schema_version (
    version integer PRIMARY KEY,
    applied_at timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE plant.benches (
    name text PRIMARY KEY,
    host text NOT NULL,
    first_seen timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE plant.meters (
    serial text NOT NULL,
    type_code integer NOT NULL,
    type_name text NOT NULL,
    first_seen timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (serial, type_code)
);
CREATE TABLE plant.events (
    id uuid PRIMARY KEY,
    received bigint GENERATED ALWAYS AS IDENTITY,
    received_at timestamptz NOT NULL DEFAULT now(),
    bench text NOT NULL REFERENCES plant.benches (name),
    host text NOT NULL,
    operator text NOT NULL,
    at timestamptz NOT NULL,
    kind text NOT NULL CHECK (kind IN ('write', 'restore', 'calibration')),
    serial text NOT NULL,
    type_code integer NOT NULL,
    channel integer,
    outcome text NOT NULL,
    fields jsonb NOT NULL
);
CREATE INDEX events_serial_at ON plant.events (serial, at);
CREATE INDEX events_at ON plant.events (at);
CREATE INDEX events_bench_at ON plant.events (bench, at);
CREATE TABLE plant.calibration_points (
    event_id uuid NOT NULL REFERENCES plant.events (id),
    n integer NOT NULL,
    nominal double precision,
    reference double precision,
    found_reading double precision,
    left_reading double precision,
    found_error double precision,
    left_error double precision,
    mpe double precision,
    verdict text NOT NULL,
    PRIMARY KEY (event_id, n)
);
CREATE FUNCTION plant.refuse_change() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    RAISE EXCEPTION 'the plant record is append-only: % on % refused', TG_OP, TG_TABLE_NAME
        USING ERRCODE = 'insufficient_privilege';
END
$$;
CREATE TRIGGER events_append_only BEFORE UPDATE OR DELETE ON plant.events
    FOR EACH ROW EXECUTE FUNCTION plant.refuse_change();
CREATE TRIGGER events_no_truncate BEFORE TRUNCATE ON plant.events
    FOR EACH STATEMENT EXECUTE FUNCTION plant.refuse_change();
CREATE TRIGGER points_append_only BEFORE UPDATE OR DELETE ON plant.calibration_points
    FOR EACH ROW EXECUTE FUNCTION plant.refuse_change();
CREATE TRIGGER points_no_truncate BEFORE TRUNCATE ON plant.calibration_points
    FOR EACH STATEMENT EXECUTE FUNCTION plant.refuse_change();
DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'plant_bench') THEN
        CREATE ROLE plant_bench NOLOGIN;
    END IF;
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'plant_reader') THEN
        CREATE ROLE plant_reader NOLOGIN;
    END IF;
EXCEPTION WHEN insufficient_privilege THEN
    RAISE NOTICE 'roles plant_bench and plant_reader not created: no CREATEROLE';
END
$$;
DO $$
BEGIN
    IF EXISTS (SELECT FROM pg_roles WHERE rolname = 'plant_bench') THEN
        GRANT USAGE ON SCHEMA plant TO plant_bench;
        GRANT SELECT ON plant.schema_version TO plant_bench;
        GRANT SELECT, INSERT ON plant.benches, plant.meters, plant.events, plant.calibration_points
            TO plant_bench;
    END IF;
    IF EXISTS (SELECT FROM pg_roles WHERE rolname = 'plant_reader') THEN
        GRANT USAGE ON SCHEMA plant TO plant_reader;
        GRANT SELECT ON ALL TABLES IN SCHEMA plant TO plant_reader;
    END IF;
END
$$;
)SQL",
};

std::string Text(int v)
{
    return std::to_string(v);
}

int IntOf(const std::string& text, int fallback)
{
    int v = fallback;
    if (std::from_chars(text.data(), text.data() + text.size(), v).ec != std::errc()) return fallback;
    return v;
}

PlantParam Number(double v)
{
    if (std::isnan(v) || std::isinf(v)) return std::nullopt;
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

double NumberOf(const std::optional<std::string>& text)
{
    double v = std::nan("");
    if (text) std::from_chars(text->data(), text->data() + text->size(), v);
    return v;
}

bool Run(PlantConnection& db, const char* sql)
{
    return db.Exec(sql, {});
}

} // namespace

int PlantSchemaVersionOf(PlantConnection& db)
{
    PlantRows rows;
    // The catalogue answers whatever the role may read.
    if (!db.Exec("SELECT EXISTS (SELECT FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                 "ON n.oid = c.relnamespace WHERE n.nspname = 'plant' AND c.relname = 'schema_version')",
                 {}, &rows))
        return -1;
    if (rows.Rows.empty() || rows.Rows[0][0].value_or("f") != "t") return 0;
    if (!db.Exec("SELECT coalesce(max(version), 0) FROM plant.schema_version", {}, &rows)) return -1;
    return rows.Rows.empty() ? 0 : IntOf(rows.Rows[0][0].value_or("0"), 0);
}

bool MigratePlantSchema(PlantConnection& db, int& from, std::string& error)
{
    constexpr int count = static_cast<int>(sizeof Migrations / sizeof Migrations[0]);
    static_assert(count == PlantSchemaVersion, "one migration per schema version");
    // One migrating session at a time; the others find the work done.
    if (!Run(db, "BEGIN") || !Run(db, "SELECT pg_advisory_xact_lock(7405351241)")) {
        db.Rollback();
        error = db.Error();
        return false;
    }
    from = PlantSchemaVersionOf(db);
    bool ok = from >= 0;
    for (int v = std::max(from, 0) + 1; ok && v <= count; ++v)
        ok = Run(db, Migrations[v - 1]) &&
             db.Exec("INSERT INTO plant.schema_version (version) VALUES ($1::integer)", {Text(v)});
    if (ok && Run(db, "COMMIT")) return true;
    db.Rollback();
    error = db.Error();
    if (db.SqlState() == "42501")
        error = "Схему учёта на сервере может создать или обновить только её владелец (роль «" + db.Role() +
                "» этого не может): выполните «clbtool plant init» под ролью владельца базы";
    return false;
}

bool EnsurePlantSchema(PlantConnection& db, std::string& error)
{
    const int version = PlantSchemaVersionOf(db);
    if (version < 0) {
        error = db.Error();
        return false;
    }
    if (version >= PlantSchemaVersion) return true; // a newer schema keeps what this program writes
    int from = 0;
    if (MigratePlantSchema(db, from, error)) return true;
    if (db.SqlState() == "42501")
        error = (version == 0 ? std::string("На сервере учёта нет схемы plant")
                              : "Схема учёта на сервере устарела (версия " + Text(version) + ", нужна " +
                                    Text(PlantSchemaVersion) + ")") +
                ", а роли «" + db.Role() +
                "» нельзя её создать: выполните «clbtool plant init» под ролью владельца базы";
    return false;
}

bool InsertPlantEvents(PlantConnection& db, const std::vector<PlantEvent>& events)
{
    std::vector<PlantParam> ids, benches, hosts, operators, times, kinds, serials, types, typeNames, channels,
        outcomes, fields;
    std::vector<PlantParam> pIds, pN, pNominal, pReference, pFound, pLeft, pFoundError, pLeftError, pMpe, pVerdict;
    for (const auto& e : events) {
        ids.push_back(e.Id);
        benches.push_back(e.Bench);
        hosts.push_back(e.Host);
        operators.push_back(e.Operator);
        times.push_back(e.Time);
        kinds.push_back(e.Kind);
        serials.push_back(e.Field("serial"));
        types.push_back(Text(IntOf(e.Field("type"), 0)));
        typeNames.push_back(e.Field("name"));
        const std::string channel = e.Field("channel");
        channels.push_back(channel.empty() ? std::nullopt : PlantParam(Text(IntOf(channel, 0))));
        outcomes.push_back(e.Field("outcome"));
        fields.push_back(PlantJsonObject(e.Fields));
        for (const auto& p : e.Points) {
            pIds.push_back(e.Id);
            pN.push_back(Text(p.Number));
            pNominal.push_back(Number(p.Nominal));
            pReference.push_back(Number(p.Reference));
            pFound.push_back(Number(p.FoundReading));
            pLeft.push_back(Number(p.LeftReading));
            pFoundError.push_back(Number(p.FoundError));
            pLeftError.push_back(Number(p.LeftError));
            pMpe.push_back(Number(p.Mpe));
            pVerdict.push_back(p.Verdict);
        }
    }
    const std::vector<PlantParam> eventParams = {
        PlantArray(ids),      PlantArray(benches), PlantArray(hosts),    PlantArray(operators),
        PlantArray(times),    PlantArray(kinds),   PlantArray(serials),  PlantArray(types),
        PlantArray(channels), PlantArray(outcomes), PlantArray(fields)};
    bool ok = Run(db, "BEGIN") &&
              db.Exec("INSERT INTO plant.benches (name, host) "
                      "SELECT DISTINCT ON (b) b, h FROM unnest($1::text[], $2::text[]) AS u(b, h) "
                      "ON CONFLICT (name) DO NOTHING",
                      {PlantArray(benches), PlantArray(hosts)}) &&
              db.Exec("INSERT INTO plant.meters (serial, type_code, type_name) "
                      "SELECT DISTINCT ON (s, t) s, t, n FROM unnest($1::text[], $2::integer[], $3::text[]) "
                      "AS u(s, t, n) ON CONFLICT (serial, type_code) DO NOTHING",
                      {PlantArray(serials), PlantArray(types), PlantArray(typeNames)}) &&
              db.Exec("INSERT INTO plant.events "
                      "(id, bench, host, operator, at, kind, serial, type_code, channel, outcome, fields) "
                      "SELECT id, b, h, o, a::timestamptz, k, s, t, c, r, f::jsonb FROM unnest("
                      "$1::uuid[], $2::text[], $3::text[], $4::text[], $5::text[], $6::text[], $7::text[], "
                      "$8::integer[], $9::integer[], $10::text[], $11::text[]) WITH ORDINALITY "
                      "AS u(id, b, h, o, a, k, s, t, c, r, f, ord) ORDER BY ord "
                      "ON CONFLICT (id) DO NOTHING",
                      eventParams);
    if (ok && !pIds.empty())
        ok = db.Exec("INSERT INTO plant.calibration_points (event_id, n, nominal, reference, found_reading, "
                     "left_reading, found_error, left_error, mpe, verdict) "
                     "SELECT * FROM unnest($1::uuid[], $2::integer[], $3::float8[], $4::float8[], $5::float8[], "
                     "$6::float8[], $7::float8[], $8::float8[], $9::float8[], $10::text[]) "
                     "ON CONFLICT (event_id, n) DO NOTHING",
                     {PlantArray(pIds), PlantArray(pN), PlantArray(pNominal), PlantArray(pReference),
                      PlantArray(pFound), PlantArray(pLeft), PlantArray(pFoundError), PlantArray(pLeftError),
                      PlantArray(pMpe), PlantArray(pVerdict)});
    if (ok && Run(db, "COMMIT")) return true;
    db.Rollback();
    return false;
}

namespace {

const char* const RowColumns = "e.id, e.bench, e.host, e.operator, coalesce(e.fields->>'time', e.at::text), e.kind, "
                               "e.serial, e.type_code, e.channel, e.outcome, e.fields::text";

PlantRecordRow RowOf(const std::vector<std::optional<std::string>>& r)
{
    PlantRecordRow row;
    row.Id = r[0].value_or("");
    row.Bench = r[1].value_or("");
    row.Host = r[2].value_or("");
    row.Operator = r[3].value_or("");
    row.Time = r[4].value_or("");
    row.Kind = r[5].value_or("");
    row.Serial = r[6].value_or("");
    row.TypeCode = IntOf(r[7].value_or("0"), 0);
    if (r[8]) row.Channel = IntOf(*r[8], 0);
    row.Outcome = r[9].value_or("");
    row.FieldsJson = r[10].value_or("{}");
    return row;
}

} // namespace

bool ReadPlantRecord(PlantConnection& db, const PlantFilter& filter, std::vector<PlantRecordRow>& out)
{
    PlantRows rows;
    const std::string sql = std::string("SELECT ") + RowColumns +
                            " FROM plant.events e WHERE ($1::text IS NULL OR e.serial = $1) "
                            "AND ($2::timestamptz IS NULL OR e.at >= $2::timestamptz) "
                            "AND ($3::text IS NULL OR e.bench = $3) ORDER BY e.at, e.received";
    if (!db.Exec(sql, {filter.Serial, filter.Since, filter.Bench}, &rows)) return false;
    out.clear();
    std::vector<PlantParam> ids;
    for (const auto& r : rows.Rows) {
        out.push_back(RowOf(r));
        if (out.back().Kind == "calibration") ids.push_back(out.back().Id);
    }
    if (ids.empty()) return true;
    if (!db.Exec("SELECT event_id, n, nominal, reference, found_reading, left_reading, found_error, left_error, "
                 "mpe, verdict FROM plant.calibration_points WHERE event_id = ANY($1::uuid[]) ORDER BY event_id, n",
                 {PlantArray(ids)}, &rows))
        return false;
    for (const auto& r : rows.Rows)
        for (auto& row : out)
            if (row.Id == r[0].value_or("")) {
                PlantPoint p;
                p.Number = IntOf(r[1].value_or("0"), 0);
                p.Nominal = NumberOf(r[2]);
                p.Reference = NumberOf(r[3]);
                p.FoundReading = NumberOf(r[4]);
                p.LeftReading = NumberOf(r[5]);
                p.FoundError = NumberOf(r[6]);
                p.LeftError = NumberOf(r[7]);
                p.Mpe = NumberOf(r[8]);
                p.Verdict = r[9].value_or("");
                row.Points.push_back(p);
            }
    return true;
}

bool LastPlantEvent(PlantConnection& db, const std::string& serial, std::optional<PlantRecordRow>& row)
{
    PlantRows rows;
    const std::string sql = std::string("SELECT ") + RowColumns +
                            " FROM plant.events e WHERE e.serial = $1 ORDER BY e.at DESC, e.received DESC LIMIT 1";
    if (!db.Exec(sql, {serial}, &rows)) return false;
    row.reset();
    if (!rows.Rows.empty()) row = RowOf(rows.Rows[0]);
    return true;
}
