// The plant record under load, against a server of its own (fsync on, as a
// plant's server runs):
//   - events per second from one bench's outbox into the record, and from ten
//     benches delivering at once;
//   - the time of "history of one serial" and "everything of one day" with a
//     million events in the table (generated on the server), and the bytes an
//     event takes with its indexes.
// Each figure is printed with its ratio against what a plant of 100 benches
// with 200 meters a day each needs.
//
//   bench_plant [EVENTS_PER_BENCH]   (default 5000)
#include "PgServer.h"
#include "PlantSender.h"
#include "TestFiles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

PlantEvent Event(const std::string& bench, int n)
{
    JournalEntry e;
    e.Time = JournalTime(std::time(nullptr));
    e.Operator = "operator";
    e.Port = "/dev/ttyUSB0";
    e.TypeCode = 1;
    e.DisplayName = "КВТ-64";
    e.Serial = bench + "-" + std::to_string(n / 2);
    e.Channel = 1 + n % 2;
    e.Form = "plain";
    e.File = "/home/operator/saved/KVT-64/" + e.Serial + ".kvt";
    e.Found = CoefficientTables{};
    e.Outcome = "записано и проверено";
    return JournalEvent(e, "write", bench);
}

// A bench's folder: its journal and the outbox beside it.
struct Folder : TempFolder {
    Folder() : TempFolder("clb-plant-") {}
    std::string Journal() const { return *this / "journal.csv"; }
    std::string Outbox() const { return OutboxPath(Journal()); }
};

// Fills the outboxes, then delivers them all at once; events per second.
double Deliver(PgServer& server, const std::string& database, int benches, int perBench)
{
    std::vector<Folder> folders(static_cast<std::size_t>(benches));
    std::vector<PlantSenderOptions> options;
    for (int b = 0; b < benches; ++b) {
        PlantSenderOptions o;
        o.Database = server.Conn(database, "bench");
        o.Bench = "bench-" + std::to_string(b) + "-" + std::to_string(benches);
        o.OutboxPath = OutboxPath(folders[static_cast<std::size_t>(b)].Journal());
        std::string error;
        for (int i = 0; i < perBench; ++i)
            if (!AppendOutbox(o.OutboxPath, Event(o.Bench, i), error)) std::fprintf(stderr, "%s\n", error.c_str());
        options.push_back(o);
    }
    std::vector<std::thread> threads;
    std::vector<PlantSyncResult> results(options.size());
    const auto start = Clock::now();
    for (std::size_t b = 0; b < options.size(); ++b)
        threads.emplace_back([&, b] { results[b] = SyncPlantOutbox(options[b]); });
    for (auto& t : threads) t.join();
    const double s = Seconds(Clock::now() - start);
    std::size_t sent = 0;
    for (const auto& r : results) {
        sent += r.Sent;
        if (!r.Problem.empty()) std::fprintf(stderr, "delivery: %s\n", r.Problem.c_str());
    }
    return static_cast<double>(sent) / s;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int perBench = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    PgServer server(true);
    if (!server.Running() || !server.CreatePlantDatabase("plant")) {
        std::fprintf(stderr, "bench_plant: %s\n", server.Failure().c_str());
        return 1;
    }
    // A plant: 100 benches × 200 meters a day, about two events a meter (a
    // write and a calibration run, or a restore); the benches' working day of
    // 8 hours, and at the peak every bench sending its backlog after an outage
    // of an hour at once.
    const double perDay = 100.0 * 200 * 2;
    const double needPerSecond = perDay / 8 / 60; // an hour's events of every bench within a minute

    const double one = Deliver(server, "plant", 1, perBench);
    const double ten = Deliver(server, "plant", 10, perBench);
    std::printf("events/s into the record, one bench:  %9.0f  (%.0f× the %.0f/s of an hour's backlog of the whole "
                "plant sent within a minute)\n",
                one, one / needPerSecond, needPerSecond);
    std::printf("events/s into the record, ten benches: %9.0f  (%.0f×)\n", ten, ten / needPerSecond);

    // A million events: 20 000 meters a day for 25 days, two events each,
    // made on the server.
    const auto fillStart = Clock::now();
    std::string error;
    const bool filled =
        server.Sql("plant",
                   "INSERT INTO plant.events (id, bench, host, operator, at, kind, serial, type_code, channel, "
                   "outcome, fields) "
                   "SELECT gen_random_uuid(), 'bench-0-1', 'host', 'operator', "
                   "timestamptz '2026-01-01 08:00+03' + (g / 40000) * interval '1 day' + (g % 40000) * interval "
                   "'700 ms', 'write', 'S' || (g / 2), 1, 1 + g % 2, 'записано и проверено', "
                   "jsonb_build_object('serial', 'S' || (g / 2), 'name', 'КВТ-64', 'outcome', 'записано и проверено',"
                   " 'file', '/home/operator/saved/KVT-64/S' || (g / 2) || '.kvt', 'found_K0', '1.0123', "
                   "'left_K0', '1.0125') "
                   "FROM generate_series(0, 999999) AS g",
                   &error) &&
        server.Sql("plant", "VACUUM ANALYZE plant.events", &error);
    if (!filled) {
        std::fprintf(stderr, "bench_plant: %s\n", error.c_str());
        return 1;
    }
    std::printf("one million events made on the server in %.1f s\n", Seconds(Clock::now() - fillStart));

    PlantConnection db;
    if (!db.Connect(server.Conn("plant", "bench"), "bench", std::chrono::seconds(10))) return 1;
    std::vector<double> history, day;
    std::size_t found = 0;
    for (int i = 0; i < 200; ++i) {
        std::vector<PlantRecordRow> rows;
        const auto start = Clock::now();
        ReadPlantRecord(db, {"S" + std::to_string((i * 2477) % 500000), std::nullopt, std::nullopt}, rows);
        history.push_back(Seconds(Clock::now() - start) * 1000);
        found += rows.size();
    }
    PlantRows rows;
    for (int i = 0; i < 10; ++i) {
        const std::string d = "2026-01-" + std::string(i + 2 < 10 ? "0" : "") + std::to_string(i + 2);
        const auto start = Clock::now();
        db.Exec("SELECT id, serial, operator, outcome, fields FROM plant.events WHERE at >= $1::timestamptz AND "
                "at < $1::timestamptz + interval '1 day' ORDER BY at",
                {d + "T00:00:00+03:00"}, &rows);
        day.push_back(Seconds(Clock::now() - start) * 1000);
    }
    const double historyMs = Median(history), dayMs = Median(day);
    std::printf("history of one serial (%zu events found in 200 queries): median %.2f ms  (%.0f× under the 100 ms "
                "a person at the screen notices)\n",
                found, historyMs, 100 / historyMs);
    std::printf("everything of one day (%zu events): median %.0f ms  (%.1f× under 1 s)\n", rows.Rows.size(), dayMs,
                1000 / dayMs);
    for (const char* what : {"plant.events", "plant.events_pkey", "plant.events_serial_at", "plant.events_at",
                             "plant.events_bench_at"}) {
        const std::string bytes = server.Value(
            "plant", std::string("SELECT pg_total_relation_size('") + what + "') - " +
                         (std::string(what) == "plant.events" ? "pg_indexes_size('plant.events')" : "0"));
        const double events = 1e6 + 11.0 * perBench;
        std::printf("%-24s %8.1f MB  %6.0f bytes an event\n", what, std::atof(bytes.c_str()) / 1e6,
                    std::atof(bytes.c_str()) / events);
    }
    return 0;
}
