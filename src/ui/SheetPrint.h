// The print button of the main window: the coefficient sheet of every meter
// that takes part, through the print dialog.
#pragma once

#include "CalibrationRun.h"

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

// The certificate of a calibration run into a PDF file, with the sheet's
// footer lines from the settings (as they are when the writer is made).
CertificateWriter WindowCertificateWriter(const Settings& settings);

// For tests: the answer that the next print dialog gives without being shown.
// Accept false is a cancel; PdfPath names a PDF file to print into (through
// PrintSheetsToPdf); an accepted answer without a PdfPath prints on the
// default printer.
struct PrintDialogAnswer {
    bool Accept = true;
    std::string PdfPath;
};
void SetNextPrintDialogAnswer(std::optional<PrintDialogAnswer> answer);
// Whether the answer set in advance is still waiting (no dialog was reached).
bool PrintDialogAnswerPending();
