#include "SheetCommand.h"

#include "CoefficientSheet.h"
#include "PagePrinter.h"

bool PrintSheetCommand(const DevManager& dev, const Settings& settings, Host& host, const std::string& pdfPath)
{
    std::array<SheetGroup, 2> groups;
    std::string error;
    bool ok = GroupSheets(dev, groups, error);
    if (ok) ok = PrintSheetsToPdf(LayoutSheets(dev, groups, SheetFooterFrom(settings), TodayText()), pdfPath, error);
    if (!ok) host.MessageBox(error, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
    return ok;
}
