// Starts the meter simulator (metersim) on a pseudo-terminal for a test, and stops it again.
//
//   MeterSimProcess sim(scenario);                 // scenario as JSON or as text
//   int fd = open(sim.DevicePath().c_str(), ...);  // the simulated line
//   nlohmann::json dump = sim.Dump();              // what the meters hold now
//
// Everything lives in a fresh temporary folder (scenario, link, frame log, dump, the simulator's
// error output) that is removed when the object goes. The child is only ever signalled by its
// process id; it is also asked to end when the thread that started it ends (PR_SET_PDEATHSIG), so
// a crashed test leaves no simulator behind. Failures throw std::runtime_error with the reason,
// including what the simulator printed.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

struct MeterSimOptions {
    std::uint32_t baud = 0; // line speed for pacing; 0 keeps the scenario's (default 9600)
    bool pacing = false;    // write replies at the line speed
    bool log = true;        // keep a frame log (LogLines)
    std::chrono::milliseconds startTimeout{10000}; // wait for READY (a sanitizer build starts slowly)
    std::string executable{}; // the metersim binary; empty: the one this build made (METERSIM_PATH)
};

class MeterSimProcess {
  public:
    explicit MeterSimProcess(const nlohmann::json& scenario, MeterSimOptions options = {});
    explicit MeterSimProcess(const std::string& scenarioText, MeterSimOptions options = {});
    explicit MeterSimProcess(const char* scenarioText, MeterSimOptions options = {});
    ~MeterSimProcess();
    MeterSimProcess(const MeterSimProcess&) = delete;
    MeterSimProcess& operator=(const MeterSimProcess&) = delete;

    // The symbolic link to the simulated line's device.
    const std::string& DevicePath() const { return link_; }
    // The temporary folder holding the scenario, log and dump.
    const std::string& Folder() const { return folder_; }
    pid_t Pid() const { return pid_; }

    // Asks for a dump (SIGUSR1), waits for the new file and returns it parsed.
    nlohmann::json Dump();

    // The complete lines of the frame log so far (empty when the log is off).
    std::vector<std::string> LogLines() const;

    // Unplug closes the simulator's side and waits until the link is gone; Replug makes a new
    // line at the same link and waits until the simulator reports it ready (also after a meter's
    // "unplug" fault unplugged it).
    void Unplug();
    void Replug();

    // Ends the simulator (SIGTERM; SIGKILL if it does not end in time) and returns its exit code,
    // or 128 + the signal that ended it. Further calls return the same value.
    int Stop();
    // The dump that the simulator wrote when it stopped.
    nlohmann::json FinalDump() const;

    // What the simulator printed on its error output so far.
    std::string ErrorOutput() const;

  private:
    void Start(const std::string& scenarioText);
    void Launch(const std::string& scenarioText);
    std::string ReadLine(std::chrono::milliseconds timeout, const char* waitingFor);
    [[noreturn]] void Fail(const std::string& what);
    void Cleanup();
    void KeepLog() const;

    MeterSimOptions options_;
    std::string executable_;
    std::string folder_;
    std::string link_;
    std::string logPath_;
    std::string dumpPath_;
    std::string errPath_;
    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string pendingOut_;
    int exitStatus_ = -1;
    bool plugged_ = false;
};

// The dump of one meter: the meter of protocol ("6x", "relay", "m4", "modbus") at address (the
// serial number for a relay meter). Throws std::out_of_range when there is none.
const nlohmann::json& DumpMeter(const nlohmann::json& dump, const std::string& protocol, std::uint32_t address);

// Every byte of every area of one meter's dump, by area and byte address, that differs from the
// area's fill (bytes never set read as the fill and are left out).
std::map<std::string, std::map<std::uint64_t, std::string>> MeterMemory(const nlohmann::json& meter);

// count bytes of an area of a meter from a dump, from address addr of the area (a register number
// in an area of 16-bit registers); bytes that were never set read as the area's fill. Throws
// std::out_of_range for an unknown meter or area, or a range past the area's end.
std::vector<std::uint8_t> DumpBytes(const nlohmann::json& dump, const std::string& protocol, std::uint32_t address,
                                    const std::string& area, std::uint32_t addr, std::size_t count);
// The same for the one meter at meterAddress, whatever its protocol (a line with meters of
// several families at one address throws std::out_of_range: name the protocol then).
std::vector<std::uint8_t> DumpBytes(const nlohmann::json& dump, int meterAddress, const std::string& area,
                                    std::uint32_t addr, std::size_t count);
