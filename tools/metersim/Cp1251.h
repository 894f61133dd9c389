// The meters keep their texts in the single-byte Cyrillic code page 1251. Scenarios give texts in
// UTF-8; these conversions cover ASCII and the Cyrillic letters А..я with Ё and ё, which is all that
// meter identification texts use. Anything else is refused rather than replaced, so that a scenario
// never makes a meter send a byte its author did not mean.
#pragma once

#include "Bytes.h"

#include <optional>
#include <string>
#include <string_view>

namespace metersim {

// Throws std::invalid_argument for invalid UTF-8 or a character outside the table.
Bytes Utf8ToCp1251(std::string_view utf8);

// Empty when a byte is outside the table.
std::optional<std::string> Cp1251ToUtf8(const Bytes& bytes);

} // namespace metersim
