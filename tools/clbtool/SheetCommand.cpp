#include "SheetCommand.h"

#include "CoefficientSheet.h"
#include "Commands.h"
#include "PrintLoader.h"
#include "RussianPlural.h"
#include "ToolContext.h"

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

namespace {

void Sheet(MeterSession& s)
{
    ToolContext& c = s.c;
    if (!s.connected) return;
    const std::string& pdf = c.options.args[0];
    std::size_t pages = 0;
    s.fileFailed = !PrintSheetCommand(c.dev, c.settings, s.host, pdf, pages);
    if (s.fileFailed) return;
    c.result["printed"] = AbsolutePath(pdf);
    c.result["pages"] = pages;
    if (!c.json)
        c.out << "лист коэффициентов: " << CountText(static_cast<long long>(pages), "страница", "страницы", "страниц")
              << " в " << AbsolutePath(pdf) << "\n";
}

} // namespace

Command SheetCommand()
{
    Command c;
    c.name = "sheet";
    c.help = "  sheet ФАЙЛ.pdf\n"
             "      прочитать и напечатать лист коэффициентов каждого прибора\n"
             "      (страница на прибор) в ФАЙЛ.pdf\n";
    c.shared = MeterOptions();
    c.check = [](Options& o) {
        if (o.args.size() != 1) throw UsageError{"команде sheet нужен файл PDF"};
    };
    c.run = [](ToolContext& t) {
        SessionSteps steps;
        steps.step = Sheet;
        return RunMeterCommand(t, steps);
    };
    return c;
}
