// What the commands of clbtool share: the streams, the options, the JSON
// result and the ways out (ToolContext); the start-up of a meter command
// (folders, settings, slots, the port chosen), its line (trace, port,
// drivers, host) and its session on the meters (connect, the command's step,
// disconnect, the slots shown); and the texts of slots and numbers.
#pragma once

#include "ClbThread.h"
#include "CommandLine.h"
#include "ConsoleHost.h"
#include "DevManager.h"
#include "ProgramFolders.h"
#include "Connection.h"
#include "MeterTypes.h"
#include "SlotBoxes.h"
#include "Settings.h"
#include "UlvComPort.h"
#include "UlvTrace.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

struct ToolContext {
    ToolContext(std::ostream& out, std::ostream& err) : out(out), err(err) {}

    std::ostream& out;
    std::ostream& err;
    Options options;
    // The one JSON object of --json; "ok", "status" and "messages" are set on the way out.
    bool json = false;
    nlohmann::json result = {{"ok", true}};

    // The meter commands' start-up (StartUp) and line (OpenLine).
    ProgramFolders folders;
    Settings settings;
    DevManager dev;
    PortChoice choice;
    std::unique_ptr<TulvTrace> trace;
    TulvComPort port;
    std::optional<ConsoleHost> host;

    // Every way out: the status, and the result under --json.
    int Finish(int status, const std::vector<std::string>& messages);
    // A usage error: its text and a pointer to the help; status 2.
    int UsageFailure(const std::string& text);
};

// Folders, settings (what fails is said on the error stream), the slots of
// --clb or --slot, the port chosen. afterSlots runs once the slots are known,
// beforePort once they are checked. False after a usage failure (status in
// status).
bool StartUp(ToolContext& c, int& status, const std::function<void(ToolContext&)>& afterSlots = {},
             const std::function<void(ToolContext&)>& beforePort = {});

// The port of the result, the note of a port taken from the settings, the
// trace, the port and the drivers, and the host. False after a usage failure.
bool OpenLine(ToolContext& c, int& status);

// A session on the meters: connect (read out), the command's step, disconnect,
// the slots into the result and (as text) onto the standard output.
struct MeterSession {
    ToolContext& c;
    ConsoleHost& host;
    TClbThread& poller;
    Connection& connection;
    bool connected = false;
    int status = 0;
    // A file the command could not read or write: status 2.
    bool fileFailed = false;
    // A meter operation that failed: status 1.
    bool meterFailed = false;
};

struct SessionSteps {
    // Before the poller exists and before the connection.
    std::function<void(ToolContext&)> beforePoller;
    std::function<void(MeterSession&)> beforeConnect;
    // The command's step, connected or not.
    std::function<void(MeterSession&)> step;
    // After the disconnection, before the slots are shown.
    std::function<void(MeterSession&)> afterDisconnect;
    // The status last of all (a poll ended by a signal).
    std::function<int(MeterSession&, int status)> finalStatus;
};

// Start-up, line and session: the exit status.
int RunMeterCommand(ToolContext& c, const SessionSteps& steps, const std::function<void(ToolContext&)>& afterSlots = {},
                    const std::function<void(ToolContext&)>& beforePort = {},
                    const std::function<std::optional<int>(ToolContext&)>& beforeLine = {});

// A slot of --slot: TYPE:ADDRESS[:CHANNEL][@SERIAL] (throws UsageError).
DeviceSlot ParseSlot(const std::string& text);
// The port of an option (--port, --reference-port): COMn through the settings'
// [Ports], or a device path (throws UsageError naming the option).
void NamePort(PortChoice& c, const std::string& port, const Settings& settings, const std::string& option);

// A single as a JSON number whose text is the shortest that reads back as the same single.
nlohmann::json Number(float v);
std::string TypeName(std::uint8_t code);
// A file as the user will find it again: absolute, without "." and "..".
std::string AbsolutePath(const std::string& file);
const char* SignalName(int sig);
// The relay's serial number of a slot whose meter is reached through the relay; 0 otherwise.
std::uint32_t RelayOf(const DeviceSlot& s);
