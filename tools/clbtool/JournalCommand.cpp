#include "JournalCommand.h"

#include "AtomicFile.h"
#include "CoefficientFiles.h"
#include "Commands.h"
#include "PlantCommand.h"
#include "ProgramFolders.h"
#include "ToolContext.h"
#include "WriteJournal.h"

#include <filesystem>

int PrintJournal(std::ostream& out, std::ostream& err, const std::string& journalPath,
                 const std::optional<std::string>& serial)
{
    std::string bytes, error;
    std::error_code ec;
    if (std::filesystem::exists(journalPath, ec) &&
        !ReadWholeFile(journalPath, bytes, error, std::size_t{1} << 30)) {
        err << "clbtool: " << error << "\n";
        return 2;
    }
    const std::vector<std::string> lines = SplitLines(bytes);
    out << (lines.empty() ? JournalHeader() : lines[0]) << "\n";
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        const auto fields = JournalFields(lines[i]);
        if (!serial || (fields.size() > 5 && fields[5] == *serial)) out << lines[i] << "\n";
    }
    return 0;
}

Command JournalCommand()
{
    static const std::string usage = "команде journal нужен только --serial СЕРИЙНЫЙ_НОМЕР";
    Command c;
    c.name = "journal";
    c.help = "  journal [--serial S]\n"
             "      журнал записей в приборы (journal.csv рядом с файлом настроек),\n"
             "      все строки или строки прибора с серийным номером S\n"
             "  journal --plant [--serial S] [--since ДЕНЬ] [--bench СТЕНД]\n"
             "          [--json|--csv]\n"
             "      учёт завода: события всех стендов с сервера ([Plant] Database)\n"
             "  journal --sync\n"
             "      отправить на сервер учёта события, ждущие в очереди этого стенда\n";
    c.own = {{"--serial", {}, true,
              [](Options& o, const std::string& v) {
                  if (o.Has("--serial")) throw UsageError{usage};
                  o.own["--serial"].push_back(v);
              },
              {}, usage}};
    for (OptionRule& s : PlantJournalOptions()) c.own.push_back(std::move(s));
    c.jsonResult = false;
    c.unknownOption = [](const std::string&) { return usage; };
    c.check = [](Options& o) {
        if (IsPlantJournal(o)) {
            if (!o.args.empty()) throw UsageError{"непонятный аргумент " + o.args[0]};
            CheckPlantJournal(o);
            return;
        }
        // The local journal takes --serial only.
        if (!o.args.empty() || o.own.size() > (o.Has("--serial") ? 1u : 0u)) throw UsageError{usage};
    };
    c.run = [](ToolContext& t) {
        if (IsPlantJournal(t.options)) return RunPlantJournal(t);
        const std::string path = JournalPath(ResolveProgramFolders(RunningProgramPath(), "clbtool").SettingsFile);
        return PrintJournal(t.out, t.err, path, t.options.Value("--serial"));
    };
    return c;
}
