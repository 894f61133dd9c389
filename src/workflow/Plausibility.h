// The plausibility check of values about to be written: warnings shown with
// the write question, never a refusal.
#pragma once

#include "CoefficientSet.h"
#include "DeviceSlot.h"
#include "MeterTypes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The form of K0 and Ku per type code, from the type's row (code 0 and
// unknown codes: fraction and factor).
CoefficientForm CoefficientFormOf(std::uint8_t typeCode);

// The plausible range of a calibrated meter, in the meters' own terms: K0 at
// most half of Gmax either way, Ku between half and twice no correction.
inline constexpr float PlausibleZeroShare = 0.5f;
inline constexpr float PlausibleGainMin = 0.5f, PlausibleGainMax = 2.0f;

// The ranges of K0 and Ku as the slot's type keeps them (for set's Gmax and
// the slot's sensor). CheckZero is false where the unit is not known (a sensor
// index beyond the divisor table).
struct PlausibleRanges {
    float K0Min, K0Max, KuMin, KuMax;
    bool CheckZero = true;
};
PlausibleRanges PlausibleRangesOf(const DeviceSlot& slot, const CoefficientSet& set);

// The serial number a KVT file names under [Device] Num; std::nullopt when it
// names none (missing, empty or only zeros: a file not made for one meter).
std::optional<std::string> KvtFileSerial(std::string_view bytes);

// Each doubt about set for the slot's meter, one text each (Russian):
// K0 or Ku outside the plausible range, points of either table not
// increasing, a reference point that is zero or negative, a Gmax that matches
// no size of a КВТ-64-1 or ДЛН-08.03С (index 0 would be written), and a file
// serial that is not the meter's.
std::vector<std::string> PlausibilityWarnings(const DeviceSlot& slot, const CoefficientSet& set,
                                              const std::optional<std::string>& fileSerial);

// The warnings as said before the write question; empty for none.
std::string WarningNotice(const std::vector<std::string>& warnings);
