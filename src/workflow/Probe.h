// Identifying a meter before it enters a slot: the add-device dialog's probe,
// also run by the command-line front.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TulvPort;

struct ProbeRequest {
    std::uint8_t TypeCode = 0;
    std::uint8_t NetAddress = 0;
    std::uint32_t RelayAddress = 0; // the serial number of a relay-addressed meter
    bool WantChannel2 = false;
};

struct ProbeMessage {
    std::string Text;
    std::string Caption;
};

struct ProbeResult {
    bool Ok = false;            // the meter answered and is of the type
    std::string Identity;       // the identity text the meter gave
    std::string SerialText;     // at most 16 characters; empty when not read
    bool NoChannel2 = false;    // the meter's modification has no channel G2: nothing is added
    std::vector<ProbeMessage> Messages; // shown in this order (warning icon)
};

// Probes a meter on an open port with a driver of its type (writing disabled,
// the dialog's timeouts). When the probe fails the result carries the message
// "Не удалось установить связь с прибором" last.
ProbeResult ProbeMeter(const ProbeRequest& request, TulvPort& port);

// The type codes whose identification accepts the identity text id, in code
// order (types identified by their serial number alone are not among them).
std::vector<std::uint8_t> TypesForIdentity(const std::string& id);
