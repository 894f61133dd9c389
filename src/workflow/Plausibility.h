// The plausibility check of values about to be written: warnings shown with
// the write question, never a refusal.
#pragma once

#include "CoefficientSet.h"
#include "DeviceSlot.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The range in which K0 and Ku of a calibrated meter lie (values as the
// meters keep them: K0 a fraction of Gmax, Ku a factor). One range serves
// every type: the meters keep both in the same form.
inline constexpr float PlausibleK0Min = -0.5f, PlausibleK0Max = 0.5f;
inline constexpr float PlausibleKuMin = 0.5f, PlausibleKuMax = 2.0f;

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
