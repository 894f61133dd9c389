// clbtool restore N [FILE] [--yes]: write into the meter of slot N its newest
// backup (or FILE), as write does.
#include "Commands.h"

#include "GuardedWriteCommand.h"

Command RestoreCommand()
{
    Command c;
    c.name = "restore";
    c.help = "  restore N [ФАЙЛ] [--yes]\n"
             "      записать в прибор слота N его последнюю резервную копию (или ФАЙЛ)\n";
    c.shared = MeterOptions();
    c.own = {{"--yes", {}, false, nullptr, {}, {}}};
    c.check = [](Options& o) { ParseSlotAndFile(o, true); };
    c.run = [](ToolContext& t) { return RunGuardedWrite(t, true); };
    return c;
}
