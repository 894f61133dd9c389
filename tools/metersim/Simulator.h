// The simulator's run: the pseudo-terminal, the line, the signals and the dump.
//
// Signals (turned into bytes on a pipe by the handlers and acted on in the loop):
//   SIGTERM, SIGINT, SIGHUP  write the dump (if asked), remove the link, exit 0
//   SIGUSR1                  write the dump now
//   SIGUSR2                  unplug (close the pseudo-terminal, remove the link); the next one
//                            plugs in a new pair at the same link and prints READY again
#pragma once

#include "FrameLog.h"
#include "Line.h"
#include "PseudoTerminal.h"
#include "Scenario.h"

#include <cstdint>
#include <optional>
#include <string>

namespace metersim {

struct Options {
    std::string scenario;
    std::string link;
    std::string log;
    std::string dump;
    std::optional<std::uint32_t> baud; // overrides the scenario's
    bool pacing = false;               // forces pacing on
    bool echo = false;                 // forces the line's echo on
};

class Simulator {
public:
    // The log must already be open (or stay closed when not asked for).
    Simulator(const Options& options, Scenario scenario, FrameLog& log);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Serves until told to stop; returns the exit status.
    int Run();

private:
    bool Plug();
    void Unplug();
    void ReadLine();
    void HandleSignal(int signo);
    bool WriteDump();

    Options options_;
    Scenario scenario_;
    FrameLog& log_;
    Line line_;
    PseudoTerminal pty_;
    bool running_ = true;
    std::uint64_t dumps_ = 0;
};

} // namespace metersim
