// clbtool journal [--serial S]: the production journal (journal.csv next to
// the settings file), all of it or the lines of one serial number.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// True when the arguments ask for the journal: "journal" first.
bool IsJournalCommand(const std::vector<std::string>& args);

// Prints the header and the lines asked for; 0, or 2 for a usage error or a
// journal that cannot be read (an absent journal is empty: 0 with the header).
int RunJournalCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const std::string& journalPath);
