#include "GuardedWriteCommand.h"

#include "CoefficientActions.h"
#include "CoefficientBackup.h"
#include "CoefficientFiles.h"
#include "NumberText.h"
#include "SystemText.h"
#include "ToolContext.h"

using nlohmann::json;

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

namespace {

// A file that cannot be loaded is refused before anything goes on the line.
std::optional<int> CheckFile(ToolContext& c)
{
    const Options& o = c.options;
    if (o.file.empty()) return std::nullopt; // restore from the newest backup
    CoefficientSet scratch;
    std::string error;
    if (LoadCoefficientFile(o.file, c.dev.Slot(o.slot), scratch, error)) return std::nullopt;
    c.result["written"] = false;
    c.result["outcome"] = "не записано: " + error;
    if (!c.json) {
        c.err << "Ошибка: " << RussianSystemTexts(error) << "\n";
        c.out << "слот " << o.slot << ": не записано\n";
    }
    return c.Finish(2, {RussianSystemTexts(error)});
}

void Write(MeterSession& s, bool restore)
{
    ToolContext& c = s.c;
    Options& o = c.options;
    const bool fromBackup = restore && o.file.empty();
    if (s.connected && restore) {
        // The newest backup of the meter as the read-out identified it.
        std::string error;
        const auto file = RestoreFile(c.folders.Saved, c.dev.Slot(o.slot), o.file, error);
        if (file) {
            o.file = *file;
            c.result["file"] = *file;
        } else {
            s.host.MessageBox(error, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
            c.result["written"] = false;
            c.result["outcome"] = "не записано: " + error;
            if (!c.json) c.out << "слот " << o.slot << ": не записано: " << error << "\n";
            s.fileFailed = true;
        }
    }
    if (restore && !s.fileFailed) c.result["file"] = AbsolutePath(o.file);
    if (s.connected && !o.file.empty()) {
        CoefficientActions actions(c.dev, s.poller, s.host, &c.settings, c.folders.Saved);
        s.host.NextFile = o.file;
        s.host.PrintPdf.reset();
        s.host.AnswerYes = o.Has("--yes");
        using L = CoefficientActions::LoadResult;
        const L r = actions.BLoad01Click(o.slot);
        std::string outcome =
            r == L::NotRun ? std::string("не записано: прибор не прочитан") : actions.Writer().Outcome();
        if (r == L::Declined) outcome += " (без --yes на вопрос о записи ответ \"нет\")";
        c.result["written"] = r == L::Written;
        c.result["outcome"] = outcome;
        c.result["differences"] = DifferencesJson(actions.Writer());
        c.result["warnings"] = actions.Warnings();
        c.result["backup"] =
            actions.Writer().BackupPath().empty() ? json(nullptr) : json(actions.Writer().BackupPath());
        // A refused file is a file error; a declined question or a failed
        // write is a meter operation that did not happen.
        s.fileFailed = r == L::Refused || r == L::NotRun;
        if (r != L::Written) s.status = 1;
        if (!c.json) {
            c.out << "слот " << o.slot << ": ";
            if (restore) c.out << (fromBackup ? "из резервной копии " : "из файла ") << AbsolutePath(o.file) << ": ";
            c.out << outcome << "\n";
            PrintDifferences(c.out, actions.Writer());
            if (!actions.Writer().BackupPath().empty())
                c.out << "прежние коэффициенты прибора сохранены в " << actions.Writer().BackupPath() << "\n";
        }
    } else if (!s.connected) {
        c.result["written"] = false;
        c.result["outcome"] = "не записано: подключение не удалось";
        if (!c.json) c.out << "слот " << o.slot << ": не записано: подключение не удалось\n";
    }
}

} // namespace

int RunGuardedWrite(ToolContext& c, bool restore)
{
    SessionSteps steps;
    steps.step = [restore](MeterSession& s) { Write(s, restore); };
    return RunMeterCommand(c, steps, {}, {}, CheckFile);
}
