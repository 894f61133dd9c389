// As-found backups: what a meter held before the tool wrote into it.
//
// Before the first frame of every write the slot's tables as the read-out
// found them (Gmax, K and Obr) are saved as a KVT file
//
//   <saved>/<folder of the type>/backup/<serial>#<channel>-<YYYYMMDD>-<HHMMSS>.kvt
//
// where the folder of the type is the one of the save and load dialogs' preset
// (the LatinName, "KVT-09M4" for the КВТ-09M4). A second backup within the same
// second gets "_2", "_3", ... before the extension, so none is ever replaced.
// The KVT number text has 15 significant digits: every finite single reads
// back as exactly the same single.
#pragma once

#include "CoefficientSet.h"
#include "DeviceSlot.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

// The backup folder of the slot's meter type; std::nullopt for an empty slot.
std::optional<std::string> BackupFolder(const std::string& savedFolder, const DeviceSlot& slot);

// "<serial>#<channel>" of the slot (a "/" of the serial becomes "_").
std::string BackupStem(const DeviceSlot& slot);

// Writes the backup of tables (local time `when`) atomically, making the
// folder when needed. path is set to the file meant even on failure. False
// with a message naming the path when the folder or the file cannot be made.
bool WriteBackup(const std::string& savedFolder, const DeviceSlot& slot, const CoefficientTables& tables,
                 std::time_t when, std::string& path, std::string& error);

// The backups of the slot's meter and channel, oldest first (by the time in
// their names, then their number within the second).
std::vector<std::string> ListBackups(const std::string& savedFolder, const DeviceSlot& slot);

// The folder the load dialog starts in: the meter's backup folder when it
// holds a backup of this meter and channel, otherwise the type's folder.
std::string LoadDialogFolder(const std::string& savedFolder, const DeviceSlot& slot);
