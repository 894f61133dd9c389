#include "ClbTool.h"

#include "CommandLine.h"
#include "DevManager.h"
#include "ToolContext.h"

int RunClbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    ToolContext c(out, err);
    // Under --json every way out is one JSON object on the standard output,
    // a mistake in the command line included.
    // A command without the result object says its usage errors as text.
    const Command* command = FindCommand(CommandWord(args));
    if (!command || command->jsonResult)
        for (const auto& a : args) c.json = c.json || a == "--json";
    try {
        c.options = ParseCommandLine(args);
    } catch (const UsageError& e) {
        return c.UsageFailure(e.text);
    }
    if (c.options.help) {
        if (c.json) c.result["help"] = UsageText();
        else out << UsageText();
        return c.Finish(0, {});
    }
    if (c.options.version) {
        if (c.json) c.result["version"] = DevManager::Version;
        else out << "clbtool " << DevManager::Version << "\n";
        return c.Finish(0, {});
    }
    return command->run(c);
}
