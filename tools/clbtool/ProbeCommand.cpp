// clbtool probe: which meter answers in each slot, of which type and serial
// number; nothing is read out.
#include "Commands.h"

#include "Probe.h"
#include "SerialPorts.h"
#include "SystemText.h"
#include "ToolContext.h"

using nlohmann::json;

namespace {

int Probe(ToolContext& c)
{
    int status = 0;
    if (!StartUp(c, status) || !OpenLine(c, status)) return status;
    ConsoleHost& host = *c.host;
    TulvComPort& port = c.port;
    json slots = json::array();
    for (int n = 1; n <= 2; ++n) {
        const DeviceSlot& s = c.dev.Slot(n);
        if (s.TypeCode() == 0) continue;
        SetUpPort(port, c.choice, RelayAddressed(s.TypeCode()));
        ProbeResult r;
        std::string outcome, said;
        if (!port.Opened() && !port.Open()) {
            std::string text = port.OpenErrorText();
            if (const std::string why = DiagnoseOpenFailure(port.ResolvedPath(), port.OpenError()); !why.empty())
                text += "\n" + why;
            host.MessageBox(text, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
            outcome = "port_error";
            said = "порт не открыт: " + port.OpenErrorText();
        } else {
            r = ProbeMeter({s.TypeCode(), s.NetAddress(), s.RelayAddress(), s.Channel() == 2}, port);
            port.Close();
            for (const auto& m : r.Messages) host.MessageBox(m.Text, m.Caption, MsgIcon::Warning, MsgButtons::Ok);
            if (r.Ok && !r.NoChannel2) {
                outcome = "found";
                said = "найден";
            } else if (r.NoChannel2) {
                outcome = "no_channel_2";
                said = "у этой модификации нет канала G2";
            } else if (!r.Identity.empty()) {
                // It answered, but not as this type.
                outcome = "other_type";
                said = "ответил прибор другого типа";
            } else {
                outcome = "no_answer";
                said = "нет ответа";
            }
        }
        if (outcome != "found") status = 1;
        json j = {{"slot", n},        {"type", s.TypeCode()},   {"name", TypeName(s.TypeCode())},
                  {"address", s.NetAddress()},
                  {"relay", RelayOf(s)},
                  {"channel", s.Channel()}, {"identity", r.Identity}, {"serial", r.SerialText},
                  {"ok", outcome == "found"}, {"outcome", outcome}};
        slots.push_back(j);
        if (!c.json) {
            c.out << "слот " << n << ": " << TypeName(s.TypeCode()) << ": " << said;
            if (!r.Identity.empty()) c.out << ", ответ \"" << r.Identity << "\"";
            if (!r.SerialText.empty()) c.out << ", серийный номер " << r.SerialText;
            c.out << "\n";
        }
    }
    c.result["slots"] = slots;
    return c.Finish(status, host.Messages());
}

} // namespace

Command ProbeCommand()
{
    Command c;
    c.name = "probe";
    c.help = "  probe\n"
             "      опознать прибор каждого слота: тип и серийный номер\n";
    c.shared = MeterOptions();
    c.check = NoArguments;
    c.run = Probe;
    return c;
}
