#include "GuardedWriteCommand.h"

#include "CoefficientBackup.h"
#include "NumberText.h"

nlohmann::json DifferencesJson(const CoefficientWriter& writer)
{
    nlohmann::json list = nlohmann::json::array();
    for (const auto& d : writer.Differences())
        list.push_back({{"name", d.Name}, {"meant", d.Meant}, {"held", d.Held}});
    return list;
}

void PrintDifferences(std::ostream& out, const CoefficientWriter& writer)
{
    for (const auto& d : writer.Differences())
        out << "  " << d.Name << ": записано " << ShortestText(d.Meant) << ", в приборе " << ShortestText(d.Held)
            << "\n";
}

std::optional<std::string> RestoreFile(const std::string& savedFolder, const DeviceSlot& slot,
                                       const std::string& named, std::string& error)
{
    if (!named.empty()) return named;
    const auto backups = ListBackups(savedFolder, slot);
    if (backups.empty()) {
        const auto folder = BackupFolder(savedFolder, slot);
        error = "Нет резервных копий прибора " + BackupStem(slot) + (folder ? " в папке " + *folder : std::string());
        return std::nullopt;
    }
    return backups.back();
}
