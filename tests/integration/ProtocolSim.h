// Small helpers shared by the integration tests of the relay, M4 and ModBus protocols against the
// meter simulator.
#pragma once

#include "MeterSimProcess.h"
#include "UlvComPort.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace protosim {

using Bytes = std::vector<std::uint8_t>;

inline std::string HexOf(const std::uint8_t* b, size_t n)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", b[i]);
        s += buf;
    }
    return s;
}

inline std::string HexOf(const Bytes& b)
{
    return HexOf(b.data(), b.size());
}

// True when no byte arrives on the port within ms (the bytes that do arrive are consumed).
inline bool NothingArrives(TulvComPort& port, std::uint32_t ms)
{
    port.WaitForByte(ms);
    std::uint8_t b = 0;
    return !port.ReadByte(b);
}

// Whether the simulator logged a line holding fragment.
inline bool Logged(const MeterSimProcess& sim, const std::string& fragment)
{
    for (const auto& line : sim.LogLines())
        if (line.find(fragment) != std::string::npos) return true;
    return false;
}

// The frame log's lines of one kind (" GARBAGE ", " RX relay:44412345 ", ...).
inline std::vector<std::string> LogLinesWith(const MeterSimProcess& sim, const std::string& fragment)
{
    std::vector<std::string> out;
    for (const auto& line : sim.LogLines())
        if (line.find(fragment) != std::string::npos) out.push_back(line);
    return out;
}

} // namespace protosim
