// What the flow-meter tests against the simulator share: the line (the real serial port on the
// simulator's pseudo-terminal), the small timeouts, the calibration tables they put into a meter and
// read back from its dump, and the frames that reached the meter according to the frame log.
#pragma once

#include "MeterSimProcess.h"
#include "SimLine.h"
#include "UlvComPort.h"
#include "UlvUtils.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace flowsim {

using nlohmann::json;

// What a meter holds out of the factory, by coefficient index (K0, Ku, points 1..8).
inline constexpr std::array<float, 10> kFactory = {0.0f,  1.0f,  0.001f, 0.0025f, 0.005f,
                                                   0.01f, 0.02f, 0.04f,  0.1f,    0.5f};

// The two tables of one channel; K0 and Ku are one pair of cells, so both start alike.
struct Tables {
    std::array<float, 10> K{};
    std::array<float, 10> Obr{};
};

// Values distinct per cell, per channel and per salt, none of them a factory value. Negative K0 and
// values with long mantissas show a byte-order slip at once.
inline Tables MakeTables(int channel, int salt)
{
    Tables t;
    t.K[0] = t.Obr[0] = -0.0375f * channel - 0.5f * salt;
    t.K[1] = t.Obr[1] = 1.0f + 0.0123f * channel + 0.1f * salt;
    for (int p = 0; p < 8; ++p) {
        t.K[2 + p] = 0.0137f * (p + 1) * channel + 0.25f * salt;
        t.Obr[2 + p] = 0.0111f * (p + 1) * channel + 0.125f * salt + 0.003f;
    }
    return t;
}

inline json TablesJson(const Tables& t)
{
    return {{"K", t.K}, {"Obr", t.Obr}};
}

// One table of a meter's dump ("tables": {"1": {"K": [...], "Obr": [...]}}); meter is the index in
// the scenario's list.
inline std::array<float, 10> DumpTable(const json& dump, int meter, const std::string& channel, const char* table)
{
    const json& values = dump.at("meters").at(meter).at("tables").at(channel).at(table);
    std::array<float, 10> out{};
    for (int i = 0; i < 10; ++i)
        out[i] = values.at(i).get<float>();
    return out;
}

inline std::uint64_t Scrambled(float v)
{
    return ScrambleValue8(std::bit_cast<std::uint32_t>(v));
}

// The bytes of the frames that reached meters according to the frame log (RX lines), whole.
inline std::vector<std::vector<std::uint8_t>> ReceivedFrames(const MeterSimProcess& sim)
{
    std::vector<std::vector<std::uint8_t>> frames;
    for (const auto& line : sim.LogLines()) {
        std::istringstream in(line);
        std::string time, kind, who;
        in >> time >> kind >> who;
        if (kind != "RX") continue;
        std::vector<std::uint8_t> raw;
        std::string byte;
        while (in >> byte && byte != "#")
            raw.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
        frames.push_back(std::move(raw));
    }
    return frames;
}

// Waits (up to a generous bound; no timing is judged) until the frame log holds count lines of kind.
inline bool WaitForLog(const MeterSimProcess& sim, const std::string& kind, std::size_t count)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        std::size_t seen = 0;
        for (const auto& line : sim.LogLines()) {
            std::istringstream in(line);
            std::string time, k;
            in >> time >> k;
            if (k == kind) ++seen;
        }
        if (seen >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

// Checks a 16-byte stamp from a dump (hex): the signature, two zero bytes, and a packed-BCD date and
// time (year, month, day, hour, minute, second) that lies between before and after, local time.
inline void ExpectStamp(const std::string& hex, const std::string& signature, std::time_t before, std::time_t after)
{
    ASSERT_EQ(hex.size(), 32u) << hex;
    std::array<int, 16> b{};
    for (int i = 0; i < 16; ++i)
        b[i] = std::stoi(hex.substr(2 * i, 2), nullptr, 16);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(b[i], static_cast<unsigned char>(signature[i])) << "signature byte " << i << " of " << hex;
    EXPECT_EQ(b[8], 0) << hex;
    EXPECT_EQ(b[9], 0) << hex;
    auto bcd = [&](int i) {
        EXPECT_LE(b[i] >> 4, 9) << "byte " << i << " of " << hex << " is no BCD";
        EXPECT_LE(b[i] & 15, 9) << "byte " << i << " of " << hex << " is no BCD";
        return (b[i] >> 4) * 10 + (b[i] & 15);
    };
    std::tm tm{};
    tm.tm_year = 100 + bcd(10);
    tm.tm_mon = bcd(11) - 1;
    tm.tm_mday = bcd(12);
    tm.tm_hour = bcd(13);
    tm.tm_min = bcd(14);
    tm.tm_sec = bcd(15);
    tm.tm_isdst = -1;
    const std::time_t stamped = std::mktime(&tm);
    EXPECT_GE(stamped, before - 1) << hex;
    EXPECT_LE(stamped, after + 1) << hex;
}

// The simulator and the real port on its pseudo-terminal.
using SimLine = ::SimulatorLine;

} // namespace flowsim
