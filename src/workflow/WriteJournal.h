// The production journal: one line for every write into a meter and every
// write that failed, appended to journal.csv next to the settings file.
//
// UTF-8 with a header line, ";" between fields, "." as the decimal point;
// a field holding ";", a quote, a line end or a leading or trailing blank is
// quoted (quotes doubled); line ends inside a message become " / " so that
// every entry is one line. The file is only ever appended to: opened with
// O_APPEND, each line goes out in one write() and is synced, so a process
// killed in the middle of a write leaves every earlier line whole.
#pragma once

#include "CoefficientSet.h"
#include "MeterTypes.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

struct JournalEntry {
    std::string Time; // ISO 8601 with the offset: 2026-12-10T14:50:58+03:00
    std::string Operator;
    std::string Port;
    int TypeCode = 0;
    std::string DisplayName;
    std::string Serial;
    int Channel = 0;
    float Version = 0;
    std::string Form; // plain, scrambled, whole_table, scrambled+first_pass
    std::string File;
    std::optional<CoefficientTables> Found; // nothing when the tables were not read whole
    CoefficientTables Left;                 // Gmax and K as the meter was left (as far as known)
    std::string Outcome;
    std::vector<ValueDifference> Differences;
    std::vector<std::string> Messages;
};

// The journal next to a settings file.
std::string JournalPath(const std::string& settingsFile);

// The local time as ISO 8601 with its offset.
std::string JournalTime(std::time_t when);
// The login name of the user running the tool ("?" when none is known).
std::string OperatorName();
// The journal's name of a write form of a type.
std::string JournalForm(std::uint8_t typeCode, PointForm form);

// The header line and an entry's line, each without the line end.
std::string JournalHeader();
std::string JournalLine(const JournalEntry& entry);

// The coefficient file as the journal keeps it: absolute, without "." and ".."
// (relative names are taken from the working folder); empty stays empty.
std::string JournalFilePath(const std::string& file);

// Appends the entry (and the header first, to an empty or new file), its file
// as JournalFilePath gives it. False with a message naming the file when it
// cannot be opened or written.
bool AppendJournal(const std::string& path, const JournalEntry& entry, std::string& error);

// A field as a journal line holds it: on one line, quoted when it must be.
std::string JournalField(const std::string& text);

// The fields of one journal line (quotes undone).
std::vector<std::string> JournalFields(const std::string& line);
