#include "CoefficientActions.h"

#include "AtomicFile.h"
#include "ClbThread.h"
#include "CoefficientBackup.h"
#include "CoefficientFiles.h"
#include "Cp1251.h"
#include "Plausibility.h"

namespace {
const char* const ErrorCaption = "Ошибка";
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

bool CoefficientActions::BSave01Click(int s)
{
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

    std::string error;
    if (!SaveCoefficientFile(*path, slot, c, FSettings, error)) {
        FHost.MessageBox(error, ErrorCaption, MsgIcon::Error, MsgButtons::Ok);
        return false;
    }
    if (CoefficientFormatOf(*path) != CoefficientFormat::Tpr) return true;

    // The print file is printed as it stands on the disk.
    std::string bytes;
    if (!ReadWholeFile(*path, bytes, error) || !FHost.Print(PrintFilePage(*path, bytes), error)) {
        FHost.MessageBox(error, ErrorCaption, MsgIcon::Error, MsgButtons::Ok);
        return false;
    }
    return true;
}

CoefficientActions::LoadResult CoefficientActions::BLoad01Click(int s)
{
    const DeviceSlot& slot = FDev.Slot(s);
    CoefficientSet& c = FDev.Coefficients(s);
    if (slot.TypeCode() == 0 || !c.ReadDone) return LoadResult::NotRun;

    FileDialog dialog;
    dialog.Title = "Загрузить коэффициенты";
    dialog.Filter = CoefficientFileFilter;
    // The meter's backups, when it has any, are where a restore starts, with
    // their format offered first.
    dialog.InitialFolder = LoadDialogFolder(FSavedFolder, slot);
    if (ListBackups(FSavedFolder, slot).empty())
        dialog.FileName = DefaultCoefficientFileName(FSavedFolder, slot, false).value_or(std::string());
    else
        dialog.Filter = BackupFileFilter;
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
