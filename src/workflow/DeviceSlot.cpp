#include "DeviceSlot.h"

#include "Cp1251.h"

#include <algorithm>
#include <bit>

std::uint32_t DeviceSlot::Get32(std::size_t at) const
{
    return static_cast<std::uint32_t>(Image_[at]) | static_cast<std::uint32_t>(Image_[at + 1]) << 8 |
           static_cast<std::uint32_t>(Image_[at + 2]) << 16 | static_cast<std::uint32_t>(Image_[at + 3]) << 24;
}

void DeviceSlot::Put32(std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) Image_[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string DeviceSlot::SerialText() const
{
    const std::size_t len = std::min<std::size_t>(Image_[10], 16);
    return Cp1251ToUtf8(std::string_view(reinterpret_cast<const char*>(Image_.data() + 11), len));
}

void DeviceSlot::SetSerialText(std::string_view utf8)
{
    std::string bytes = Utf8ToCp1251Lossy(utf8);
    if (bytes.size() > 16) bytes.resize(16);
    Image_[10] = static_cast<std::uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), Image_.begin() + 11);
}

float DeviceSlot::SoftwareVersion() const
{
    return std::bit_cast<float>(Get32(28));
}

void DeviceSlot::SetSoftwareVersion(float v)
{
    Put32(28, std::bit_cast<std::uint32_t>(v));
}
