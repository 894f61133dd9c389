// The dump: every meter's texts, counters and memories as JSON (see README.md).
#pragma once

#include "JsonFields.h"
#include "Meter.h"
#include "Stand.h"

#include <memory>
#include <string>
#include <vector>

namespace metersim {

// stand: the line's flow stand, or null; its true flow of this moment goes into the dump.
json BuildDump(const std::vector<std::unique_ptr<Meter>>& meters, std::uint64_t sequence,
               const FlowStand* stand = nullptr);

// Writes to a temporary file in the same folder and renames it over path, so that a reader sees
// either the previous file or the complete new one. Throws std::system_error on failure.
void WriteFileAtomically(const std::string& path, const std::string& content);

} // namespace metersim
