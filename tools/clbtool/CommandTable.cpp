#include "Commands.h"

const std::vector<Command>& CommandTable()
{
    // In the order of the help.
    static const std::vector<Command> table = {
        TypesCommand(), ProbeCommand(),   ReadCommand(),      PollCommand(),  SaveCommand(),
        WriteCommand(), RestoreCommand(), CalibrateCommand(), SheetCommand(), JournalCommand(),
        PlantCommand(), PortsCommand(),   ScanCommand(),
    };
    return table;
}

void NoArguments(Options& o)
{
    if (!o.args.empty()) throw UsageError{"команда " + o.command + " без аргументов"};
}
