#include "SheetPrint.h"

#include "CertificateLayout.h"

#include "CoefficientSheet.h"
#include "PagePrinter.h"

#include <QPrintDialog>
#include <QPrinter>

namespace {

std::optional<PrintDialogAnswer> NextAnswer;

void ShowError(Host& host, const std::string& text)
{
    host.MessageBox(text, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
}

} // namespace

void SetNextPrintDialogAnswer(std::optional<PrintDialogAnswer> answer)
{
    NextAnswer = std::move(answer);
}

bool PrintDialogAnswerPending()
{
    return NextAnswer.has_value();
}

bool PrintCoefficientSheet(DevManager& dev, Host& host, const Settings& settings, QWidget* parent)
{
    std::array<SheetGroup, 2> groups;
    std::string error;
    if (!GroupSheets(dev, groups, error)) {
        ShowError(host, error);
        return false;
    }
    const SheetDocument document = LayoutSheets(dev, groups, SheetFooterFrom(settings), TodayText());

    bool printed = false;
    if (NextAnswer) {
        const PrintDialogAnswer answer = *NextAnswer;
        NextAnswer.reset();
        if (!answer.Accept) return false;
        printed = answer.PdfPath.empty() ? PrintSheetsOnDefaultPrinter(document, error)
                                         : PrintSheetsToPdf(document, answer.PdfPath, error);
    } else {
        QPrinter printer(QPrinter::HighResolution);
        QPrintDialog dialog(&printer, parent);
        if (dialog.exec() != QDialog::Accepted) return false;
        printed = PaintSheets(printer, document, error);
    }
    if (!printed) ShowError(host, error);
    return printed;
}

CertificateWriter WindowCertificateWriter(const Settings& settings)
{
    const SheetFooter footer = SheetFooterFrom(settings);
    return [footer](const CalibrationResult& result, const DeviceSlot& meter, const std::string& path,
                    std::string& error) {
        return PrintSheetsToPdf(LayoutCertificate(result, meter, CertificateDetailsNow(meter, footer)), path, error);
    };
}
