// clbtool read: connect, read every slot out, disconnect.
#include "Commands.h"

#include "ToolContext.h"

Command ReadCommand()
{
    Command c;
    c.name = "read";
    c.help = "  read\n"
             "      подключиться и прочитать все слоты\n";
    c.shared = MeterOptions();
    c.check = NoArguments;
    c.run = [](ToolContext& t) { return RunMeterCommand(t, {}); };
    return c;
}
