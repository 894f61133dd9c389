#include "CoefficientBackup.h"

#include "AtomicFile.h"
#include "CoefficientFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <tuple>

namespace fs = std::filesystem;

std::optional<std::string> BackupFolder(const std::string& savedFolder, const DeviceSlot& slot)
{
    const auto preset = DefaultCoefficientFileName(savedFolder, slot, false);
    if (!preset) return std::nullopt;
    return (fs::path(*preset).parent_path() / "backup").string();
}

std::string BackupStem(const DeviceSlot& slot)
{
    std::string serial = slot.SerialText();
    for (char& c : serial)
        if (c == '/') c = '_';
    return serial + "#" + std::to_string(slot.Channel());
}

bool WriteBackup(const std::string& savedFolder, const DeviceSlot& slot, const CoefficientTables& tables,
                 std::time_t when, std::string& path, std::string& error)
{
    const auto folder = BackupFolder(savedFolder, slot);
    if (!folder) {
        path.clear();
        error = "Нет папки резервных копий для этого типа прибора";
        return false;
    }
    std::tm local{};
    ::localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = (fs::path(*folder) / (BackupStem(slot) + "-" + stamp)).string();
    path = base + ".kvt";
    std::error_code ec;
    fs::create_directories(*folder, ec);
    if (ec) {
        error = "Ошибка создания папки " + *folder + ": " + ec.message();
        return false;
    }
    // A backup is never replaced: a second one within the second gets a number.
    for (int n = 2; fs::exists(path, ec) && n < 1000; ++n) path = base + "_" + std::to_string(n) + ".kvt";
    CoefficientSet set;
    set.K = tables.K;
    set.Obr = tables.Obr;
    set.Gmax = tables.Gmax;
    return WriteFileAtomic(path, CoefficientKvtBytes(slot, set, {}), error);
}

namespace {

// The order of a backup name "<stem>-YYYYMMDD-HHMMSS[_N].kvt": its time, then N
// (1 without a number); std::nullopt for any other name.
std::optional<std::tuple<std::string, int>> BackupOrder(const std::string& name, const std::string& stem)
{
    const std::string head = stem + "-";
    if (name.size() < head.size() + 15 + 4 || name.compare(0, head.size(), head) != 0) return std::nullopt;
    if (name.compare(name.size() - 4, 4, ".kvt") != 0) return std::nullopt;
    const std::string stamp = name.substr(head.size(), 15);
    for (std::size_t i = 0; i < 15; ++i)
        if (i == 8 ? stamp[i] != '-' : (stamp[i] < '0' || stamp[i] > '9')) return std::nullopt;
    const std::string rest = name.substr(head.size() + 15, name.size() - 4 - head.size() - 15);
    if (rest.empty()) return std::make_tuple(stamp, 1);
    if (rest.size() < 2 || rest.size() > 4 || rest[0] != '_') return std::nullopt;
    int n = 0;
    for (std::size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] < '0' || rest[i] > '9') return std::nullopt;
        n = n * 10 + (rest[i] - '0');
    }
    return std::make_tuple(stamp, n);
}

} // namespace

std::vector<std::string> ListBackups(const std::string& savedFolder, const DeviceSlot& slot)
{
    const auto folder = BackupFolder(savedFolder, slot);
    if (!folder) return {};
    const std::string stem = BackupStem(slot);
    std::vector<std::pair<std::tuple<std::string, int>, std::string>> found;
    std::error_code ec;
    for (fs::directory_iterator it(*folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!it->is_regular_file(ec)) continue;
        if (auto order = BackupOrder(name, stem)) found.emplace_back(*order, it->path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (auto& f : found) out.push_back(std::move(f.second));
    return out;
}

std::string LoadDialogFolder(const std::string& savedFolder, const DeviceSlot& slot)
{
    const auto folder = BackupFolder(savedFolder, slot);
    if (!folder) return savedFolder;
    if (!ListBackups(savedFolder, slot).empty()) return *folder;
    return fs::path(*folder).parent_path().string();
}
