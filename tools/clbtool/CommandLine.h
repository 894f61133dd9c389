// clbtool's command line: the options every command shares, the table of
// commands (one row each, from the file of the command) and the one parser
// that reads a command line against them. The help text is built from the
// rows.
//
// A new command is a file that defines its row (name, help lines, the shared
// options it takes, its own options, what it checks and runs) and one line in
// CommandTable() (CommandTable.cpp).
#pragma once

#include "Settings.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ToolContext;

// A mistake in the command line or in a file it names, found before anything
// goes on the line: exit status 2.
struct UsageError {
    std::string text;
};

// What the shared options gave, the command word and the words after it.
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
    // The command's own options, by name: each value given, in order ("" for one without a value).
    std::map<std::string, std::vector<std::string>> own;
    // The slot and file of save, write and restore.
    int slot = 0;
    std::string file;

    bool Has(const std::string& name) const { return own.count(name) != 0; }
    std::optional<std::string> Value(const std::string& name) const
    {
        const auto it = own.find(name);
        return it == own.end() ? std::nullopt : std::optional<std::string>(it->second.back());
    }
};

struct OptionRule {
    std::string name;  // "--port"
    std::string alias; // "-h", or empty
    bool takesValue = false;
    // Checks and keeps the value (throws UsageError); a command's own option
    // without one is kept in Options::own.
    std::function<void(Options&, const std::string& value)> apply;
    // Its lines in the help; empty for a command's own option (the command's
    // lines tell of it).
    std::string help;
    // What a missing value is told as (default "NAME: не указано значение").
    std::string missingValue;
};

struct Command {
    std::string name;
    // Its lines under "Команды:" in the help.
    std::string help;
    // The shared options it takes, by name (SharedOptions()).
    std::vector<std::string> shared;
    // Its own options; one named as a shared option takes its place. They
    // come after the command word, or anywhere with ownOptionsAnywhere.
    std::vector<OptionRule> own;
    bool ownOptionsAnywhere = false;
    // Speaks the one JSON object of --json (usage errors included); without
    // it, usage errors are text on the error stream only.
    bool jsonResult = true;
    // Every usage error of the command reads so, when set.
    std::string usageText;
    // A word that starts with "-" before the command word and that is no
    // option of the command (default: "неизвестный параметр X").
    std::function<std::string(const std::string& word)> unknownOption;
    // The words after the command word (throws UsageError).
    std::function<void(Options&)> check;
    // Runs the command: the exit status.
    std::function<int(ToolContext&)> run;
};

// The options of the commands that work with meters, in the order of the help.
const std::vector<OptionRule>& SharedOptions();
// Their names, for a command's row.
std::vector<std::string> MeterOptions();

// Every command, in the order of the help.
const std::vector<Command>& CommandTable();
const Command* FindCommand(const std::string& name);

// The command word: the first word that is neither an option nor the value of
// an option (of any command).
std::string CommandWord(const std::vector<std::string>& args);

// Reads the command line: the command word (the first word that is neither an
// option nor an option's value), then every word against the options of that
// command (the shared options of the meter commands when there is none, or
// none known), in order. Throws UsageError at the first mistake.
Options ParseCommandLine(const std::vector<std::string>& args);

// The help: the shared options' and the commands' lines between the head and the foot.
std::string UsageText();

// The arguments of save, write and restore: "N FILE", FILE optional for restore.
void ParseSlotAndFile(Options& o, bool fileOptional);
