// clbtool save N FILE [--print FILE.pdf]: read out and save the coefficients of
// slot N; the format follows FILE's extension, and the page of a .tpr file is
// printed into FILE.pdf.
#include "Commands.h"

#include "CoefficientActions.h"
#include "CoefficientFiles.h"
#include "ToolContext.h"

#include <algorithm>
#include <sys/stat.h>

namespace {

bool FolderExists(const std::string& file)
{
    const std::size_t slash = file.find_last_of('/');
    if (slash == std::string::npos) return true;
    const std::string folder = slash == 0 ? std::string("/") : file.substr(0, slash);
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string FolderOf(const std::string& file)
{
    const std::size_t slash = file.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : file.substr(0, std::max<std::size_t>(slash, 1));
}

// What a save needs that can be checked before the port is opened.
void CheckSaveTarget(ToolContext& c)
{
    const Options& o = c.options;
    const auto printPdf = o.Value("--print");
    if (CoefficientFormatOf(o.file) == CoefficientFormat::None)
        throw UsageError{"файл " + o.file + ": формат выбирается по расширению (.txt, .kvt или .tpr)"};
    if (!FolderExists(o.file)) throw UsageError{"папки " + FolderOf(o.file) + " нет"};
    if (printPdf) {
        if (CoefficientFormatOf(o.file) != CoefficientFormat::Tpr)
            throw UsageError{"--print печатает только страницу файла .tpr, а не " + o.file};
        if (!FolderExists(*printPdf)) throw UsageError{"папки " + FolderOf(*printPdf) + " нет"};
    }
}

void Save(MeterSession& s)
{
    ToolContext& c = s.c;
    const Options& o = c.options;
    if (!s.connected) return;
    const auto printPdf = o.Value("--print");
    CoefficientActions actions(c.dev, s.poller, s.host, &c.settings, c.folders.Saved);
    s.host.NextFile = o.file;
    s.host.PrintPdf = printPdf;
    s.host.AnswerYes = false;
    s.fileFailed = !actions.BSave01Click(o.slot);
    c.result["saved"] = !s.fileFailed;
    if (!s.fileFailed) c.result["file"] = AbsolutePath(o.file);
    if (printPdf) c.result["printed"] = AbsolutePath(*printPdf);
    if (!c.json) {
        c.out << "слот " << o.slot << ": " << (s.fileFailed ? "не сохранено" : "сохранено в " + AbsolutePath(o.file));
        if (!s.fileFailed && printPdf) c.out << ", страница напечатана в " << AbsolutePath(*printPdf);
        c.out << "\n";
    }
}

} // namespace

Command SaveCommand()
{
    Command c;
    c.name = "save";
    c.help = "  save N ФАЙЛ [--print ФАЙЛ.pdf]\n"
             "      прочитать и сохранить коэффициенты слота N; формат по расширению\n"
             "      ФАЙЛА (.txt, .kvt, .tpr); страница .tpr печатается в ФАЙЛ.pdf\n";
    c.shared = MeterOptions();
    c.own = {{"--print", {}, true, nullptr, {}, "--print: не указан файл PDF"}};
    c.check = [](Options& o) { ParseSlotAndFile(o, false); };
    c.run = [](ToolContext& t) {
        SessionSteps steps;
        steps.step = Save;
        return RunMeterCommand(t, steps, {}, CheckSaveTarget);
    };
    return c;
}
