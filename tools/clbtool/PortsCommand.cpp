#include "PortsCommand.h"

#include "Commands.h"
#include "ToolContext.h"

#include <algorithm>
#include <nlohmann/json.hpp>

bool IsPortsCommand(const std::vector<std::string>& args)
{
    return std::count(args.begin(), args.end(), "ports") == 1 &&
           std::all_of(args.begin(), args.end(), [](const std::string& a) { return a == "ports" || a == "--json"; });
}

int RunPortsCommand(const std::vector<std::string>& args, std::ostream& out, const SerialPortSystem& sys)
{
    const bool asJson = std::find(args.begin(), args.end(), "--json") != args.end();
    const auto ports = ListSerialPorts(sys);
    const auto services = RunningPortGrabbers(sys);
    if (asJson) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& p : ports)
            list.push_back({{"path", p.Path},
                            {"device", p.Device},
                            {"manufacturer", p.Manufacturer},
                            {"product", p.Product},
                            {"serial", p.Serial},
                            {"display", p.Display},
                            {"state", SerialPortState(p, sys)}});
        out << nlohmann::json{{"ports", list}, {"services", services}}.dump(2) << "\n";
        return 0;
    }
    if (ports.empty()) out << "Последовательные порты не найдены.\n";
    for (const auto& p : ports) {
        const std::string state = SerialPortState(p, sys);
        out << p.Path << "\t" << p.Display << (state.empty() ? "" : "\t" + state) << "\n";
    }
    // The advice for a busy or forbidden port, once per group.
    std::vector<std::string> groups;
    for (const auto& p : ports) {
        const std::string group = DeviceGroup(p.Device, sys);
        if (SerialPortState(p, sys).rfind("нет прав", 0) == 0 && !group.empty() &&
            std::find(groups.begin(), groups.end(), group) == groups.end()) {
            groups.push_back(group);
            out << "Чтобы открывать порты группы " << group
                << ", добавьте себя в неё и войдите в систему заново: sudo usermod -aG " << group << " $USER\n";
        }
    }
    const std::string advice = DiagnoseOpenFailure("", TulvOpenError::Other, sys);
    if (!advice.empty()) out << advice << "\n";
    return 0;
}

Command PortsCommand()
{
    Command c;
    c.name = "ports";
    c.help = "  ports [--json]\n"
             "      последовательные порты по устойчивым именам и что мешает их открыть\n";
    c.shared = {"--json", "--help", "--version"};
    c.check = NoArguments;
    // Under --json its own object (the list and the services), not the result object.
    c.run = [](ToolContext& t) {
        std::vector<std::string> args = {"ports"};
        if (t.options.json) args.push_back("--json");
        return RunPortsCommand(args, t.out);
    };
    return c;
}
