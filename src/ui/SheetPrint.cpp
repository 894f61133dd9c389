#include "SheetPrint.h"

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
    const DialogPrint printed = PrintThroughDialog(document, parent, error);
    if (printed == DialogPrint::Failed) ShowError(host, error);
    return printed == DialogPrint::Printed;
}

DialogPrint PrintThroughDialog(const SheetDocument& document, QWidget* parent, std::string& error)
{
    bool printed = false;
    if (NextAnswer) {
        const PrintDialogAnswer answer = *NextAnswer;
        NextAnswer.reset();
        if (!answer.Accept) return DialogPrint::Cancelled;
        printed = answer.PdfPath.empty() ? PrintSheetsOnPrinter(document, answer.Printer, error)
                                         : PrintSheetsToPdf(document, answer.PdfPath, error);
    } else {
        QPrinter printer(QPrinter::HighResolution);
        QPrintDialog dialog(&printer, parent);
        if (dialog.exec() != QDialog::Accepted) return DialogPrint::Cancelled;
        printed = PaintSheets(printer, document, error);
    }
    return printed ? DialogPrint::Printed : DialogPrint::Failed;
}
