// clbtool write N FILE [--yes]: read out, load FILE into slot N, write it into
// the meter and check it, with the meter's coefficients backed up first.
#include "Commands.h"

#include "GuardedWriteCommand.h"

Command WriteCommand()
{
    Command c;
    c.name = "write";
    c.help = "  write N ФАЙЛ [--yes]\n"
             "      прочитать, загрузить ФАЙЛ в слот N, записать в прибор и проверить;\n"
             "      без --yes на вопрос о записи ответ \"нет\": ничего не записывается;\n"
             "      перед записью прежние коэффициенты прибора сохраняются в резервную\n"
             "      копию (saved/<тип>/backup)\n";
    c.shared = MeterOptions();
    c.own = {{"--yes", {}, false, nullptr, {}, {}}};
    c.check = [](Options& o) { ParseSlotAndFile(o, false); };
    c.run = [](ToolContext& t) { return RunGuardedWrite(t, false); };
    return c;
}
