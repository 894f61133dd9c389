// The dump: every meter's texts, counters and memories as JSON (see README.md).
#pragma once

#include "JsonFields.h"
#include "Meter.h"

#include <memory>
#include <string>
#include <vector>

namespace metersim {

json BuildDump(const std::vector<std::unique_ptr<Meter>>& meters, std::uint64_t sequence);

// Writes to a temporary file in the same folder and renames it over path, so that a reader sees
// either the previous file or the complete new one. Throws std::system_error on failure.
void WriteFileAtomically(const std::string& path, const std::string& content);

} // namespace metersim
