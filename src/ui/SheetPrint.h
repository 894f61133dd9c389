// The print buttons of the windows: the coefficient sheet of every meter that
// takes part (main window), a calibration run's certificate (calibration
// window); both through the print dialog.
#pragma once

#include "CoefficientSheet.h"
#include "DevManager.h"
#include "Host.h"
#include "Settings.h"

#include <optional>
#include <string>

class QWidget;

// Groups the slots (a serial text that is no integer is told through the
// host's error message, and nothing more happens), runs the print dialog
// (its own print-to-file included), and prints one sheet per meter with
// today's date and the footer lines of the settings. Printer failures are told
// through the host. True when a job was printed; false on cancel or an error.
bool PrintCoefficientSheet(DevManager& dev, Host& host, const Settings& settings, QWidget* parent);

// How printing through the dialog ended.
enum class DialogPrint { Printed, Cancelled, Failed };
// Runs the print dialog and prints the sheets where it says: on the printer
// chosen, or into the file of its print-to-file. Failed with the message in
// error; a cancel prints nothing and says nothing.
DialogPrint PrintThroughDialog(const SheetDocument& document, QWidget* parent, std::string& error);

// For tests: the answer that the next print dialog gives without being shown.
// Accept false is a cancel; PdfPath names a PDF file to print into (through
// PrintSheetsToPdf); an accepted answer without a PdfPath prints on the
// printer named Printer, or on the default printer when Printer is empty.
struct PrintDialogAnswer {
    bool Accept = true;
    std::string PdfPath;
    std::string Printer;
};
void SetNextPrintDialogAnswer(std::optional<PrintDialogAnswer> answer);
// Whether the answer set in advance is still waiting (no dialog was reached).
bool PrintDialogAnswerPending();
