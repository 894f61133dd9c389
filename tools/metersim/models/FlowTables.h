// The calibration tables of a flow channel as a meter keeps them, whatever its memory and number
// form: the scenario's "tables" key, the factory values, the dump's "tables", and the scrambled
// block in which newer meters take a coefficient.
//
// Per channel a meter keeps ten values by index: 0 K0 (zero coefficient), 1 Ku (gain), 2..9 the
// eight calibration points, in two tables: K (the flow the meter measured) and Obr (the reference
// flow). K0 and Ku are one pair of cells that both tables share. Scenario form, per channel:
//   "tables": {"1": {"K": [10 numbers], "Obr": [10 numbers]}, "2": {...}}
// either table or both; K and Obr must agree in their first two values.
#pragma once

#include "../Bytes.h"
#include "../JsonFields.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace metersim {

// K0, Ku, then the eight points.
using CalibrationTable = std::array<float, 10>;

// K0 0, Ku 1, points 0.001 0.0025 0.005 0.01 0.02 0.04 0.1 0.5: both point tables alike, no correction.
extern const CalibrationTable kStandardFactoryTable;

// A number of the scenario that a 4-byte float can hold.
float ScenarioFloat(const json& v, const std::string& where);
std::vector<float> ScenarioFloats(const json& v, std::size_t count, const std::string& where);

// Reads "tables" for a meter with channels sets of cells ("1" .. "<channels>"). store(channel from
// 1, k, values) receives each table given; k false is the Obr table (its first two values are the
// shared K0 and Ku all the same).
void LoadCalibrationTables(const json& v, std::size_t channels, const std::string& where,
                           const std::function<void(int channel, bool k, const CalibrationTable& values)>& store);

// The dump's "tables": value(channel from 1, k, index) as the meter holds it; a value that is no
// number shows as null.
json DumpCalibrationTables(std::size_t channels, const std::function<float(int channel, bool k, int index)>& value);

// The 32-bit value that an 8-byte scrambled block carries, the block in the order of its bytes B0..B7
// (a meter that keeps numbers most significant byte first receives them reversed, B7 first).
std::uint32_t DescrambleBlock(const std::array<std::uint8_t, 8>& block);

} // namespace metersim
