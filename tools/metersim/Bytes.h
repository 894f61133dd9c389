// Byte strings and their hexadecimal form, as they appear in scenarios, dumps and the frame log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace metersim {

using Bytes = std::vector<std::uint8_t>;

// Parses hexadecimal bytes: pairs of hex digits, optionally separated by blanks ("3F800000",
// "3f 80 00 00"). Throws std::invalid_argument naming the problem (odd digit count, bad character).
Bytes ParseHex(std::string_view text);

// "3F800000" (compact, for dumps) or "3F 80 00 00" (spaced, for the frame log).
std::string FormatHex(const std::uint8_t* data, std::size_t count, bool spaced);
inline std::string FormatHex(const Bytes& bytes, bool spaced)
{
    return FormatHex(bytes.data(), bytes.size(), spaced);
}

// Parses an unsigned number written as decimal digits or as "0x" followed by hex digits.
// Throws std::invalid_argument when the text is not such a number or exceeds max.
std::uint64_t ParseUnsigned(std::string_view text, std::uint64_t max);

} // namespace metersim
