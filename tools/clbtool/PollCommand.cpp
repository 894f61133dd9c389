// clbtool poll [N]: read out, then N cycles of the flow poll, each shown as it
// happens; SIGINT or SIGTERM ends the poll with what was polled.
#include "Commands.h"

#include "RussianPlural.h"
#include "StopSignals.h"
#include "ToolContext.h"

#include <chrono>
#include <mutex>
#include <regex>

using nlohmann::json;

namespace {

std::string CycleLine(int number, const json& cycle)
{
    std::string line = "цикл " + std::to_string(number) + ":";
    bool first = true;
    for (const auto& e : cycle) {
        line += first ? " " : ", ";
        first = false;
        line += "слот " + std::to_string(e["slot"].get<int>()) + " ";
        if (!e["ok"].get<bool>())
            line += "ошибка опроса";
        else
            line += e["text"].is_null() ? std::string("-") : e["text"].get<std::string>();
    }
    return line;
}

int Poll(ToolContext& c)
{
    int cycles = 10;
    std::optional<StopSignals> stop;
    std::mutex m;
    json cycleLog = json::array();
    int failedCycles = 0;
    SessionSteps steps;
    // Held back before the poller exists, so that only this thread takes them.
    steps.beforePoller = [&](ToolContext&) { stop.emplace(); };
    steps.beforeConnect = [&](MeterSession& s) {
        s.host.OnCycle = [&, &dev = c.dev, &poller = s.poller, &host = s.host] {
            std::lock_guard<std::mutex> lock(m);
            if (static_cast<int>(cycleLog.size()) >= cycles) return;
            json cycle = json::array();
            bool cycleOk = true;
            for (int n = 1; n <= 2; ++n) {
                if (dev.Slot(n).TypeCode() == 0 || !dev.Coefficients(n).PollEnabled.load()) continue;
                auto box = host.BoxState(FlowBoxName(n));
                const bool ok = poller.FlowOk(n);
                cycleOk = cycleOk && ok;
                cycle.push_back({{"slot", n},
                                 {"flow", Number(poller.CurrentFlow(n))},
                                 {"text", box.Text ? json(*box.Text) : json(nullptr)},
                                 {"ok", ok}});
            }
            if (!cycleOk) ++failedCycles;
            cycleLog.push_back(cycle);
            // Each cycle is shown as it happens.
            if (!c.json) c.out << CycleLine(static_cast<int>(cycleLog.size()), cycle) << std::endl;
        };
    };
    steps.step = [&](MeterSession& s) {
        // Every cycle is bounded by the meters' timeouts; the limit only
        // guards against a poller that no longer runs.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60) * (cycles + 1);
        bool stalled = false;
        if (stop->Take(0) == 0 && s.connected) {
            for (;;) {
                {
                    std::lock_guard<std::mutex> lock(m);
                    // A poller that lost its port pauses itself and ends its cycle.
                    if (static_cast<int>(cycleLog.size()) >= cycles || s.poller.GetState() != TClbThread::Run) break;
                }
                if (std::chrono::steady_clock::now() > limit) {
                    stalled = true;
                    break;
                }
                if (stop->Take(50) != 0) break;
            }
        }
        if (stalled) s.host.MessageBox("Опрос приборов остановился", "Ошибка", MsgIcon::Error, MsgButtons::Ok);
        std::lock_guard<std::mutex> lock(m);
        s.meterFailed =
            stalled || failedCycles != 0 || (stop->Caught() == 0 && static_cast<int>(cycleLog.size()) < cycles);
    };
    steps.afterDisconnect = [&](MeterSession& s) {
        std::lock_guard<std::mutex> lock(m);
        s.host.OnCycle = nullptr;
        c.result["cycles"] = cycleLog;
        const int done = static_cast<int>(cycleLog.size());
        const int sig = stop->Caught();
        c.result["poll"] = {{"requested", cycles},
                            {"done", done},
                            {"failed", failedCycles},
                            {"interrupted", sig ? json(SignalName(sig)) : json(nullptr)}};
        if (!c.json) {
            c.out << (sig ? std::string("опрос прерван сигналом ") + SignalName(sig) : std::string("опрос окончен"))
                  << ": " << CountText(done, "цикл", "цикла", "циклов") << " из " << cycles << ", с ошибкой "
                  << failedCycles << ", порт закрыт\n";
        }
    };
    steps.finalStatus = [&](MeterSession&, int status) { return stop->Caught() != 0 ? 128 + stop->Caught() : status; };
    const auto countOfCycles = [&](ToolContext& t) {
        if (t.options.args.empty()) return;
        if (!std::regex_match(t.options.args[0], std::regex(R"(\d{1,6})")))
            throw UsageError{"poll: число циклов - целое от 0 до 999999"};
        cycles = std::stoi(t.options.args[0]);
    };
    return RunMeterCommand(c, steps, countOfCycles);
}

} // namespace

Command PollCommand()
{
    Command c;
    c.name = "poll";
    c.help = "  poll [N]\n"
             "      прочитать, затем N циклов опроса расхода (по умолчанию 10);\n"
             "      Ctrl-C прерывает опрос\n";
    c.shared = MeterOptions();
    c.check = [](Options& o) {
        if (o.args.size() > 1) throw UsageError{"команде poll нужно одно число циклов"};
    };
    c.run = Poll;
    return c;
}
