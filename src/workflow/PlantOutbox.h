// The bench's side of the plant record: every journal line is also an event
// with an id made here, kept in an outbox beside the journal until the plant's
// server has it.
//
// The outbox (plant-outbox.log next to journal.csv) is appended to as the
// journal is: opened with O_APPEND, one write() per line under an exclusive
// flock, synced. A line is "name=value" fields separated by ";" (values with
// "%", ";", "=", CR and LF percent-escaped), closed by a CRC-32 of the line:
//
//   v=1;id=<uuid>;kind=write;bench=...;host=...;operator=...;time=...;f.<journal column>=...;
//   p.<n>.<point field>=...;crc=<8 hex digits>
//
// A line cut short by a crash fails its CRC and is skipped with a warning (and
// kept in plant-outbox.rejected). What the server has is marked by a cursor
// (plant-outbox.sent: the byte offset up to which every line was delivered,
// written atomically); once everything is delivered the outbox is emptied.
// One sender at a time delivers an outbox (flock on plant-outbox.lock, never
// taken by an append, so a meter operation never waits for a sender).
#pragma once

#include "WriteJournal.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A point of a calibration run: the flow set, what the reference and the meter
// said as found and as left, the errors in percent against the maximum
// permissible error, the verdict. NaN: not measured.
struct PlantPoint {
    int Number = 0;
    double Nominal = std::numeric_limits<double>::quiet_NaN();
    double Reference = std::numeric_limits<double>::quiet_NaN();
    double FoundReading = std::numeric_limits<double>::quiet_NaN();
    double LeftReading = std::numeric_limits<double>::quiet_NaN();
    double FoundError = std::numeric_limits<double>::quiet_NaN();
    double LeftError = std::numeric_limits<double>::quiet_NaN();
    double Mpe = std::numeric_limits<double>::quiet_NaN();
    std::string Verdict;
};

struct PlantEvent {
    std::string Id;   // a UUID made on the bench, time-ordered (version 7)
    std::string Kind; // write, restore, calibration
    std::string Bench;
    std::string Host;
    std::string Operator;
    std::string Time; // ISO 8601 with the offset
    // The journal line by its column names, in the journal's order.
    std::vector<std::pair<std::string, std::string>> Fields;
    std::vector<PlantPoint> Points;

    // The field of that journal column; empty when there is none.
    std::string Field(const std::string& name) const;
};

// A new time-ordered UUID (version 7) in its text form; ids made later in a
// process compare greater.
std::string NewEventId();

// The name of this computer ("?" when none is known).
std::string HostName();

// The event of a journal entry (its fields as the journal line has them).
// kind: "write" or "restore".
PlantEvent JournalEvent(const JournalEntry& entry, const std::string& kind, const std::string& bench);

struct CalibrationResult;
class DeviceSlot;

// The event of a calibration run on the flow stand (kind "calibration"): the
// meter as the journal names it, the form "calibration" (or "verification"
// for a verification alone), the tables as found and as left, the run's
// verdict or why it ended as the outcome, and every point with its as-found
// and as-left figures.
PlantEvent CalibrationEvent(const CalibrationResult& result, const DeviceSlot& slot, const std::string& port,
                            const std::string& bench);

// An event's outbox line without its line end, and back: nothing for a line
// that is cut short, damaged or of another version.
std::string OutboxLine(const PlantEvent& event);
std::optional<PlantEvent> ParseOutboxLine(const std::string& line);

// The outbox, the cursor, the rejected lines and the sender lock beside a journal.
std::string OutboxPath(const std::string& journalPath);

// Appends the event to the outbox (a line that an earlier crash left without
// its end is ended first). False with a message naming the file on failure.
bool AppendOutbox(const std::string& outboxPath, const PlantEvent& event, std::string& error);

// What a sender takes from an outbox.
struct OutboxBatch {
    std::vector<PlantEvent> Events;
    std::uint64_t End = 0; // the offset after the last line taken (or skipped)
    std::vector<std::string> Warnings; // lines skipped, each named by its offset
    std::string Rejected;              // those lines, each with its line end
};

class PlantOutbox {
public:
    explicit PlantOutbox(std::string path);
    ~PlantOutbox();
    PlantOutbox(const PlantOutbox&) = delete;
    PlantOutbox& operator=(const PlantOutbox&) = delete;

    const std::string& Path() const { return FPath; }

    // Becomes the one sender of this outbox (false, with nothing held, while
    // another process or object is); released by the destructor.
    bool TakeSending(std::string& error);

    // The events after the cursor, at most maxEvents; damaged lines are
    // skipped (counted in End, named in Warnings, kept in Rejected).
    OutboxBatch Read(std::size_t maxEvents, std::string& error);
    // The batch is delivered: its skipped lines go to the rejected file, the
    // cursor moves to its end, and an outbox delivered to its end is emptied.
    bool MarkSent(const OutboxBatch& batch, std::string& error);

    // The whole lines after the cursor (events waiting, damaged lines counted
    // as well until they are passed).
    std::size_t Pending() const;

private:
    std::uint64_t Cursor() const;

    std::string FPath;
    int FLock = -1;
};
