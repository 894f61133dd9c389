#include "CoefficientActions.h"

#include "AtomicFile.h"
#include "ClbThread.h"
#include "CoefficientBackup.h"
#include "CoefficientFiles.h"
#include "Cp1251.h"
#include "DeviceCatalogue.h"
#include "Plausibility.h"

#include <filesystem>

namespace {
const char* const ErrorCaption = "Ошибка";

// "Прибор 1 (КВТ-64 № 12064001, канал 1)": which meter a report is about;
// word: "Прибор", "прибора".
std::string SlotTitle(const char* word, int s, const DeviceSlot& slot)
{
    const DeviceTypeInfo* type = FindDeviceType(NormalizeDeviceType(slot.TypeCode()));
    std::string t = word + (" " + std::to_string(s));
    if (!type) return t;
    t += " (" + std::string(type->DisplayName);
    if (!slot.SerialText().empty() && slot.SerialText() != "-") t += " № " + slot.SerialText();
    return t + ", канал " + std::to_string(slot.Channel()) + ")";
}
} // namespace

PrintDocument PrintFilePage(const std::string& title, std::string_view bytes)
{
    PrintDocument doc;
    doc.Title = title;
    doc.FontFamily = "Courier New";
    doc.FontPoints = 10;
    int y = 150;
    for (const std::string& line : SplitLines(bytes)) {
        doc.Lines.push_back({200, y, Cp1251ToUtf8(line)});
        y += 100;
    }
    return doc;
}

std::string LoadDialogPreset(const std::string& savedFolder, const DeviceSlot& slot)
{
    namespace fs = std::filesystem;
    const auto txt = DefaultCoefficientFileName(savedFolder, slot, false);
    if (!txt) return {};
    const std::string base = txt->substr(0, txt->size() - 4); // without ".txt"
    std::string best;
    fs::file_time_type newest{};
    for (const char* ext : {".kvt", ".txt", ".tpr"}) {
        std::error_code ec;
        const fs::path p = base + ext;
        if (!fs::is_regular_file(p, ec)) continue;
        const auto t = fs::last_write_time(p, ec);
        if (ec) continue;
        if (best.empty() || t > newest) {
            best = p.string();
            newest = t;
        }
    }
    return best;
}

bool CoefficientActions::BSave01Click(int s)
{
    FLastSaved.clear();
    FSaveAsked = false;
    PausePolling pause(FPoller);
    // A poller that kept the port has had the user told: nothing is saved.
    if (!pause.Ready()) return false;
    const DeviceSlot& slot = FDev.Slot(s);
    const CoefficientSet& c = FDev.Coefficients(s);
    if (slot.TypeCode() == 0 || !c.ReadDone) return false;

    FileDialog dialog;
    dialog.Title = "Сохранить коэффициенты";
    dialog.Filter = CoefficientFileFilter;
    dialog.DefaultExt = "kvt";
    dialog.Save = true;
    dialog.FileName = DefaultCoefficientFileName(FSavedFolder, slot, true).value_or(FLastSaveName);
    const auto path = FHost.ChooseFile(dialog);
    if (!path) return false;
    FLastSaveName = *path;
    FSaveAsked = true;

    std::string error;
    if (!SaveCoefficientFile(*path, slot, c, FSettings, error)) {
        FHost.MessageBox(error, ErrorCaption, MsgIcon::Error, MsgButtons::Ok);
        return false;
    }
    if (CoefficientFormatOf(*path) != CoefficientFormat::Tpr) {
        FLastSaved = *path;
        return true;
    }

    // The print file is printed as it stands on the disk.
    std::string bytes;
    if (!ReadWholeFile(*path, bytes, error) || !FHost.Print(PrintFilePage(*path, bytes), error)) {
        FHost.MessageBox(error, ErrorCaption, MsgIcon::Error, MsgButtons::Ok);
        return false;
    }
    FLastSaved = *path;
    return true;
}

std::string CoefficientActions::SaveReport(int s, bool saved) const
{
    if (!FSaveAsked || s < 1 || s > 2) return {};
    const std::string who = "Коэффициенты " + SlotTitle("прибора", s, FDev.Slot(s));
    if (!saved || FLastSaved.empty()) return who + " не сохранены";
    std::string text = who + " сохранены в " + FLastSaved;
    if (CoefficientFormatOf(FLastSaved) == CoefficientFormat::Tpr) text += " и отправлены на печать";
    return text;
}

CoefficientActions::Report CoefficientActions::LoadReport(int s, LoadResult result) const
{
    Report r;
    if (result == LoadResult::NotRun || s < 1 || s > 2) return r;
    r.Text = SlotTitle("Прибор", s, FDev.Slot(s)) + ": " + FWriter.Outcome();
    if (result == LoadResult::Written || result == LoadResult::WriteFailed) {
        r.Place = Report::Where::MessageBox;
        r.Caption = "Запись коэффициентов";
        r.Icon = result == LoadResult::Written ? MsgIcon::Information : MsgIcon::Warning;
        if (!FWriter.BackupPath().empty())
            r.Text += "\n\nПрежние коэффициенты прибора сохранены в " + FWriter.BackupPath();
        return r;
    }
    r.Place = Report::Where::StatusLine;
    // The status line holds one line: the first line of a longer reason.
    if (const auto nl = r.Text.find('\n'); nl != std::string::npos) r.Text.erase(nl);
    return r;
}

CoefficientActions::LoadResult CoefficientActions::BLoad01Click(int s)
{
    const DeviceSlot& slot = FDev.Slot(s);
    CoefficientSet& c = FDev.Coefficients(s);
    if (slot.TypeCode() == 0 || !c.ReadDone) return LoadResult::NotRun;

    FileDialog dialog;
    dialog.Title = "Загрузить коэффициенты";
    dialog.Filter = LoadFileFilter;
    // The meter's backups, when it has any, are where a restore starts.
    dialog.InitialFolder = LoadDialogFolder(FSavedFolder, slot);
    if (ListBackups(FSavedFolder, slot).empty()) dialog.FileName = LoadDialogPreset(FSavedFolder, slot);
    const auto path = FHost.ChooseFile(dialog);
    if (!path) return LoadResult::NotRun;

    FWarnings.clear();
    CoefficientSet loaded = c;
    std::string error, warning;
    if (!LoadCoefficientFile(*path, slot, loaded, error, &warning)) {
        // Nothing of a file that was not read whole reaches the slot or the meter.
        FWriter.SetOutcome(error);
        FHost.MessageBox(error, ErrorCaption, MsgIcon::Error, MsgButtons::Ok);
        return LoadResult::Refused;
    }
    if (!warning.empty()) FHost.MessageBox(warning, "Предупреждение", MsgIcon::Warning, MsgButtons::Ok);
    {
        // The poller computes its flows from these values: they change while it
        // is outside its reads, all at once.
        PausePolling pause(FPoller);
        // Still inside its reads when the wait ran out (the user has been
        // told): the values stay as they are and nothing is asked.
        if (!pause.Ready()) return LoadResult::NotRun;
        c.Gmax = loaded.Gmax;
        c.K = loaded.K;
        c.Obr = loaded.Obr;
    }
    // The print page keeps nine decimals: what it gives back may differ from
    // what the meter held in the last digits, and the user is told so.
    std::string notice = CoefficientFormatOf(*path) == CoefficientFormat::Tpr ? TprRoundingNotice : "";
    // Doubts about the values are said with the question; the user decides.
    std::optional<std::string> fileSerial;
    std::string bytes, readError;
    if (CoefficientFormatOf(*path) == CoefficientFormat::Kvt && ReadWholeFile(*path, bytes, readError))
        fileSerial = KvtFileSerial(Cp1251ToUtf8(bytes));
    FWarnings = PlausibilityWarnings(slot, c, fileSerial);
    const std::string doubts = WarningNotice(FWarnings);
    if (!doubts.empty()) notice = notice.empty() ? doubts : doubts + "\n\n" + notice;
    FWriter.SetSourceFile(*path);
    switch (FWriter.WriteCoefficients(s, notice)) {
    case WriteResult::Declined: return LoadResult::Declined;
    case WriteResult::NotWritable: return LoadResult::NotWritable;
    case WriteResult::Written: return LoadResult::Written;
    case WriteResult::Failed: break;
    }
    return LoadResult::WriteFailed;
}
