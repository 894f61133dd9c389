// Constants of the ultrasonic meters (type codes 14 and 15) that the workflow
// needs besides the drivers: the divisor of the point values by sensor index.
// The drivers themselves do not use them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

// Divisor of the shown point values of an ultrasonic meter, by the sensor index
// 0..6 that the meter reports (КВТ-64КУ slots keep index 0).
inline constexpr std::array<float, 7> SensorDivisorTable = {56.0f, 90.0f, 106.0f, 96.0f, 90.0f, 90.0f, 90.0f};

// The divisor of a sensor index; none for an index outside the table (7 or
// more), so that no value from beyond the table is ever used.
constexpr std::optional<float> SensorDivisor(std::uint8_t index)
{
    if (index >= SensorDivisorTable.size()) return std::nullopt;
    return SensorDivisorTable[index];
}
