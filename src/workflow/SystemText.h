// The system's error texts in the language of the tool.
#pragma once

#include <string>

// The text of an errno value in Russian; the system's own text for a value
// without a translation.
std::string SystemErrorText(int err);

// text with every system error text it holds (as the C library words it)
// replaced by its Russian text.
std::string RussianSystemTexts(std::string text);
