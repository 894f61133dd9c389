#include "ProgramFolders.h"

#include "DeviceCatalogue.h"
#include "MeterTypes.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>
#include <unistd.h>

namespace fs = std::filesystem;

std::string RunningProgramPath()
{
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

ProgramFolders ResolveProgramFolders(const std::string& programPath, const std::string& programName)
{
    std::string base = fs::path(programPath).parent_path().string();
    // An installed program (in a .../bin folder) never keeps its files there,
    // even when the user may write it.
    const bool installed = fs::path(base).filename() == "bin";
    if (base.empty() || installed || ::access(base.c_str(), W_OK) != 0) {
        const char* xdg = std::getenv("XDG_DATA_HOME");
        const char* home = std::getenv("HOME");
        fs::path data = (xdg && *xdg) ? fs::path(xdg) : fs::path(home ? home : "/tmp") / ".local" / "share";
        base = (data / programName).string();
    }
    ProgramFolders f;
    f.Base = base;
    f.SettingsFile = (fs::path(base) / (programName + ".ini")).string();
    f.Config = (fs::path(base) / "config").string();
    f.Saved = (fs::path(base) / "saved").string();
    f.Info = (fs::path(base) / "Info").string();
    return f;
}

bool CreateProgramFolders(const ProgramFolders& folders, std::string& error)
{
    std::vector<std::string> wanted = {folders.Config};
    for (DeviceTypeCode code = 1; code <= DeviceTypeLast; ++code)
        if (MeterTypeOf(code).Files.FolderAtStart)
            wanted.push_back((fs::path(folders.Saved) / std::string(SavedFolderName(code))).string());
    for (const auto& folder : wanted) {
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec) {
            error = "Ошибка создания папки " + folder + ": " + ec.message();
            return false;
        }
    }
    return true;
}
