// metersim: meters on a pseudo-terminal, for testing the tool without hardware. See README.md.
#include "Scenario.h"
#include "Simulator.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

const char kUsage[] =
    "usage: metersim --scenario FILE.json --link PATH [--baud N] [--pacing] [--echo] [--log FILE] [--dump FILE]\n"
    "  --scenario FILE  the meters on the line (JSON)\n"
    "  --link PATH      symbolic link to create, pointing at the pseudo-terminal's device\n"
    "  --baud N         line speed for pacing (overrides the scenario's line.baud; default 9600)\n"
    "  --pacing         write replies at the line speed (overrides line.pacing)\n"
    "  --echo           write every request back before answering (overrides line.echo)\n"
    "  --log FILE       frame log, one line per frame\n"
    "  --dump FILE      memory dump (JSON), written at exit and on SIGUSR1\n"
    "Prints \"READY PATH\" when the line is up; stops on SIGTERM or SIGINT.\n"
    "SIGUSR2 unplugs the line; the next SIGUSR2 plugs it in again.\n";

int Usage(const std::string& error)
{
    std::fprintf(stderr, "metersim: %s\n%s", error.c_str(), kUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    metersim::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--pacing") {
            options.pacing = true;
            continue;
        }
        if (arg == "--echo") {
            options.echo = true;
            continue;
        }
        std::string* target = arg == "--scenario" ? &options.scenario
                              : arg == "--link"   ? &options.link
                              : arg == "--log"    ? &options.log
                              : arg == "--dump"   ? &options.dump
                                                  : nullptr;
        if (!target && arg != "--baud") return Usage("unknown option " + arg);
        if (i + 1 >= argc) return Usage(arg + " needs a value");
        const std::string value = argv[++i];
        if (target) {
            *target = value;
        } else {
            try {
                const auto baud = metersim::ParseUnsigned(value, 4'000'000);
                if (baud == 0) throw std::invalid_argument("0");
                options.baud = static_cast<std::uint32_t>(baud);
            } catch (const std::invalid_argument&) {
                return Usage("--baud needs a positive number, not " + value);
            }
        }
    }
    if (options.scenario.empty() || options.link.empty()) return Usage("--scenario and --link are required");

    try {
        metersim::Scenario scenario = metersim::LoadScenarioFile(options.scenario, metersim::BuiltinRegistry());
        metersim::FrameLog log;
        if (!options.log.empty()) log.Open(options.log);
        metersim::Simulator simulator(options, std::move(scenario), log);
        return simulator.Run();
    } catch (const metersim::ScenarioError& e) {
        std::fprintf(stderr, "metersim: %s: %s\n", options.scenario.c_str(), e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "metersim: %s\n", e.what());
        return 1;
    }
}
