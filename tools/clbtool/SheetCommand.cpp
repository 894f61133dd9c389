#include "SheetCommand.h"

#include "CoefficientSheet.h"
#include "PrintLoader.h"

bool PrintSheetCommand(const DevManager& dev, const Settings& settings, Host& host, const std::string& pdfPath,
                       std::size_t& pages)
{
    std::array<SheetGroup, 2> groups;
    std::string error;
    pages = 0;
    bool ok = GroupSheets(dev, groups, error);
    if (ok) {
        const SheetDocument document = LayoutSheets(dev, groups, SheetFooterFrom(settings), TodayText());
        ok = PrintSheetsToPdfOnDemand(document, pdfPath, error);
        if (ok) pages = document.Pages.size();
    }
    if (!ok) host.MessageBox(error, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
    return ok;
}
