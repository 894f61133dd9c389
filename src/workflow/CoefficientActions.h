// The save and load buttons of a slot column: a slot's coefficients saved to a
// coefficient file (and, for the print format, printed), or loaded from one and
// then written into the meter.
#pragma once

#include "CoefficientWriter.h"
#include "DevManager.h"
#include "Host.h"
#include "PlantOutbox.h"
#include "Settings.h"
#include "WriteJournal.h"

#include <string>
#include <vector>

class TClbThread;

// The file filter of both coefficient dialogs.
inline constexpr const char* CoefficientFileFilter =
    "Файлы коэффициентов (старый формат) (*.txt)|*.txt|Файлы коэффициентов (*.kvt)|*.kvt|"
    "Файлы коэффициентов для печати (*.tpr)|*.tpr|Все файлы (*.*)|*.*";

// The load dialog: every coefficient file at once first (a meter's files of
// all three formats and its backups side by side), then each format.
inline constexpr const char* LoadFileFilter =
    "Все файлы коэффициентов (*.txt *.kvt *.tpr)|*.txt;*.kvt;*.tpr|"
    "Файлы коэффициентов (старый формат) (*.txt)|*.txt|Файлы коэффициентов (*.kvt)|*.kvt|"
    "Файлы коэффициентов для печати (*.tpr)|*.tpr|Все файлы (*.*)|*.*";

// The file the load dialog offers for a slot: of the slot's default name
// (<saved>/<type>/<serial>#<channel>) in the three formats, the one written
// last; empty when none exists (the dialog then only opens the folder).
std::string LoadDialogPreset(const std::string& savedFolder, const DeviceSlot& slot);

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
        if (settings && !settings->Path().empty()) {
            FWriter.SetJournalFile(JournalPath(settings->Path()));
            if (!settings->PlantDatabase().empty())
                FWriter.SetPlantBench(settings->PlantBench().empty() ? HostName() : settings->PlantBench());
        }
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

    // What the user is told once a load button's work is done: a write that
    // ran (checked, or failed on the way) is reported in a message box with
    // its outcome as the command line says it; a refused file, a declined
    // question or a write that could not start only in the status line (their
    // reason was told already or is the user's own answer); NotRun, nothing.
    struct Report {
        enum class Where { Nowhere, MessageBox, StatusLine };
        Where Place = Where::Nowhere;
        MsgIcon Icon = MsgIcon::None;
        std::string Caption;
        std::string Text;
    };
    Report LoadReport(int s, LoadResult result) const;
    // The status line after the save button: where the file went (and that it
    // was printed), or that nothing was saved; empty when the dialog was
    // cancelled or the slot had nothing to save.
    std::string SaveReport(int s, bool saved) const;

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
    // The file of the last save that went through; empty when it failed.
    std::string FLastSaved;
    bool FSaveAsked = false; // the last save got as far as a file name
    std::vector<std::string> FWarnings;
};
