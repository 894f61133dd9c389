#include "Slots.h"

#include <cstdint>

DeviceSlot MakeSlot(int type, int address, int channel, const std::string& serial)
{
    DeviceSlot s;
    s.SetTypeCode(static_cast<std::uint8_t>(type));
    s.SetNetAddress(static_cast<std::uint8_t>(address));
    s.SetChannel(static_cast<std::uint8_t>(channel));
    s.SetSerialText(serial);
    return s;
}
