// A slot of the slot table as a test configures it.
#pragma once

#include "DeviceSlot.h"

#include <string>

// A slot of the type code with its network address, channel and serial text
// (address 0 is a fresh slot's).
DeviceSlot MakeSlot(int type, int address, int channel, const std::string& serial = "-");
