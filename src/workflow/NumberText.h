// Numbers from text, with "." as the decimal separator whatever the locale.
#pragma once

#include <string_view>

// Parses a whole text as a decimal number (leading and trailing blanks allowed,
// a sign, digits with at most one ".", an optional exponent; "2005." is 2005).
// False for anything else, and for values that are not finite.
bool ParseNumber(std::string_view text, double& value);
