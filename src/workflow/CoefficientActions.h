// The save and load buttons of a slot column: a slot's coefficients saved to a
// coefficient file (and, for the print format, printed), or loaded from one and
// then written into the meter.
#pragma once

#include "CoefficientWriter.h"
#include "DevManager.h"
#include "Host.h"
#include "Settings.h"
#include "WriteJournal.h"

#include <string>
#include <vector>

class TClbThread;

// The file filter of both coefficient dialogs.
inline constexpr const char* CoefficientFileFilter =
    "Файлы коэффициентов (старый формат) (*.txt)|*.txt|Файлы коэффициентов (*.kvt)|*.kvt|"
    "Файлы коэффициентов для печати (*.tpr)|*.tpr|Все файлы (*.*)|*.*";

// The same with the KVT format first: the load dialog when the meter has backups.
inline constexpr const char* BackupFileFilter =
    "Файлы коэффициентов (*.kvt)|*.kvt|Файлы коэффициентов (старый формат) (*.txt)|*.txt|"
    "Файлы коэффициентов для печати (*.tpr)|*.tpr|Все файлы (*.*)|*.*";

// The page of a print file: line i at x = 200, y = 150 + 100·i printer dots, in
// Courier New of 10 points. bytes: the file as written (code page 1251, CR LF).
PrintDocument PrintFilePage(const std::string& title, std::string_view bytes);

// Said with the write question when the values come from a print file.
inline constexpr const char* TprRoundingNotice =
    "Значения файла печати (.tpr) округлены до 9 знаков после точки: записанные значения могут "
    "отличаться от прежних в последних знаках.";

class CoefficientActions {
public:
    // savedFolder: where the dialogs start (the program's "saved" folder);
    // settings: Shapka and Colontitle of the print file (may be nullptr).
    CoefficientActions(DevManager& dev, TClbThread& poller, Host& host, const Settings* settings,
                       std::string savedFolder)
        : FDev(dev), FPoller(poller), FHost(host), FSettings(settings), FSavedFolder(std::move(savedFolder)),
          FWriter(dev, poller, host)
    {
        FWriter.SetSavedFolder(FSavedFolder);
        if (settings && !settings->Path().empty()) FWriter.SetJournalFile(JournalPath(settings->Path()));
    }

    // The save button of slot s: with polling paused throughout, asks for the
    // file, writes it in the format of its extension and prints a print file.
    // Nothing happens for an empty slot or one that has not been read out.
    // True when the file was written (and printed, for the print format).
    bool BSave01Click(int s);

    // The load button of slot s: asks for the file, reads it into the slot's
    // coefficients (all at once, only when the whole file was read without a
    // fault) and goes on to the write question. A file that cannot be read
    // (missing, a folder, empty, an extension of no format, a key or line
    // missing) is told with its reason and nothing else happens: no question,
    // nothing written. A KVT file without Id is taken after a warning; a print
    // file's question says that its values are rounded.
    enum class LoadResult { NotRun, Refused, Declined, NotWritable, Written, WriteFailed };
    LoadResult BLoad01Click(int s);

    CoefficientWriter& Writer() { return FWriter; }
    // The plausibility warnings of the last load (shown with its write question).
    const std::vector<std::string>& Warnings() const { return FWarnings; }

private:
    DevManager& FDev;
    TClbThread& FPoller;
    Host& FHost;
    const Settings* FSettings;
    std::string FSavedFolder;
    CoefficientWriter FWriter;
    // The save dialog's name of the previous save (kept where the type gives no preset).
    std::string FLastSaveName;
    std::vector<std::string> FWarnings;
};
