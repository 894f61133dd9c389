// The plant record on the server: its schema (created and upgraded by
// numbered migrations, kept in plant.schema_version), the delivery of events
// and the questions that quality control and the bench ask of it.
//
//   plant.benches            name, host, first seen
//   plant.meters             serial and type code, type name, first seen
//   plant.events             one row per journal line of any bench: the id made
//                            on the bench, bench, host, operator, time, kind,
//                            serial, type, channel, outcome and every field of
//                            the line (jsonb); indexed by (serial, time) and by time
//   plant.calibration_points the points of a calibration run
//
// Events and points are append-only: a trigger refuses UPDATE, DELETE and
// TRUNCATE for everyone, and the role plant_bench (which a bench's login role
// is given) may only SELECT and INSERT. plant_reader may only read.
#pragma once

#include "PlantConnection.h"
#include "PlantOutbox.h"

#include <optional>
#include <string>
#include <vector>

// The schema this program writes to.
inline constexpr int PlantSchemaVersion = 1;

// The schema's version on the server: 0 when there is none; -1 when the
// question failed (the connection's error says why).
int PlantSchemaVersionOf(PlantConnection& db);

// Applies every migration above the server's version, in one transaction
// under an advisory lock (two benches starting at once migrate once). from
// is set to the version found. False with a message naming the cause.
bool MigratePlantSchema(PlantConnection& db, int& from, std::string& error);

// Makes sure the schema is the one this program writes to, migrating when the
// role may; false with a message saying what to do when it may not.
bool EnsurePlantSchema(PlantConnection& db, std::string& error);

// Inserts the events (and their benches, meters and points) in one
// transaction; an event already there is left as it is. False with the
// connection's error.
bool InsertPlantEvents(PlantConnection& db, const std::vector<PlantEvent>& events);

// A row of the record as read back.
struct PlantRecordRow {
    std::string Id, Bench, Host, Operator, Time, Kind, Serial;
    int TypeCode = 0;
    std::optional<int> Channel;
    std::string Outcome;
    std::string FieldsJson; // every field of the journal line, a JSON object
    std::vector<PlantPoint> Points;
};

struct PlantFilter {
    std::optional<std::string> Serial;
    std::optional<std::string> Since; // ISO 8601 time with its offset
    std::optional<std::string> Bench;
};

// The events that match, oldest first (by time, then arrival). False with
// the connection's error.
bool ReadPlantRecord(PlantConnection& db, const PlantFilter& filter, std::vector<PlantRecordRow>& rows);

// The latest event of a meter (by serial; any type), when there is one.
bool LastPlantEvent(PlantConnection& db, const std::string& serial, std::optional<PlantRecordRow>& row);
