// The boxes of a slot in the main window: their names, and the texts and
// colour of the coefficient boxes.
#pragma once

#include "CoefficientSet.h"
#include "DeviceSlot.h"
#include "Host.h"

#include <optional>
#include <string>

// The names of the boxes of a slot: the zero box (row 0), the gain box (row 1)
// and the point boxes (rows 2..9), and the live flow box.
std::string CoefficientBoxName(int slot, int row);
std::string FlowBoxName(int slot);

constexpr BoxColour ShownColour = 0xC0DCC0; // light green

// The text of a coefficient box for a slot's type and coefficients; nothing
// when the box keeps its text (the gain box of the ultrasonic meters).
std::optional<std::string> CoefficientText(const DeviceSlot& slot, const CoefficientSet& c, int row);

// Shows one coefficient box of a slot (light green, the text above); nothing
// for an empty slot or one that has not been read out.
void ShowCoefficientBox(Host& host, int n, const DeviceSlot& slot, const CoefficientSet& c, int row);
