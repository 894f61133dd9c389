// The guarded writing of clbtool, shared by write and restore: the file
// checked before the line, the question answered by --yes, the differences
// of the read-back in JSON and text, and the backup that restore writes.
#pragma once

#include "CoefficientWriter.h"
#include "DeviceSlot.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <ostream>
#include <string>

struct ToolContext;

// [{"name": "K8", "meant": 0.501953125, "held": 0.5}, ...]; [] when none.
nlohmann::json DifferencesJson(const CoefficientWriter& writer);

// Prints each difference on a line of its own ("  K8: записано X, в приборе Y").
void PrintDifferences(std::ostream& out, const CoefficientWriter& writer);

// The file "restore" writes: the one named, or the newest backup of the
// slot's meter and channel. std::nullopt with a message when there is none.
std::optional<std::string> RestoreFile(const std::string& savedFolder, const DeviceSlot& slot,
                                       const std::string& named, std::string& error);

// write N FILE or restore N [FILE], after the command line was read: the exit status.
int RunGuardedWrite(ToolContext& c, bool restore);
