// clbtool journal [--serial S]: the production journal (journal.csv next to
// the settings file), all of it or the lines of one serial number.
#pragma once

#include <optional>
#include <ostream>
#include <string>

// Prints the header and the lines asked for (those of serial, when given); 0,
// or 2 for a journal that cannot be read (an absent journal is empty: 0 with
// the header).
int PrintJournal(std::ostream& out, std::ostream& err, const std::string& journalPath,
                 const std::optional<std::string>& serial);
