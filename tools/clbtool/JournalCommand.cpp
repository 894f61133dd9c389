#include "JournalCommand.h"

#include "AtomicFile.h"
#include "CoefficientFiles.h"
#include "WriteJournal.h"

#include <filesystem>

bool IsJournalCommand(const std::vector<std::string>& args)
{
    return !args.empty() && args[0] == "journal";
}

int RunJournalCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const std::string& journalPath)
{
    std::string serial;
    bool filtered = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--serial" && i + 1 < args.size() && !filtered) {
            serial = args[++i];
            filtered = true;
        } else if (args[i].rfind("--serial=", 0) == 0 && !filtered) {
            serial = args[i].substr(9);
            filtered = true;
        } else {
            err << "clbtool: команде journal нужен только --serial СЕРИЙНЫЙ_НОМЕР\nСправка: clbtool --help\n";
            return 2;
        }
    }
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
        if (!filtered || (fields.size() > 5 && fields[5] == serial)) out << lines[i] << "\n";
    }
    return 0;
}
