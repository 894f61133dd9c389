// Numbers from text, with "." as the decimal separator whatever the locale.
#pragma once

#include <string>
#include <string_view>

// Parses a whole text as a decimal number (leading and trailing blanks allowed,
// a sign, digits with at most one ".", an optional exponent; "2005." is 2005).
// False for anything else, and for values that are not finite.
bool ParseNumber(std::string_view text, double& value);

// The shortest decimal text that reads back as the same single: 0.001f gives
// "0.001", 3.111f "3.111", 1e-7f "1e-07"; fixed notation unless the exponent
// form is shorter. Not-a-number and the infinities give "nan", "inf", "-inf".
std::string ShortestText(float value);
