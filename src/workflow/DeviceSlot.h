// The slot record: one meter (or one flow channel of a meter) in the tool's
// two-slot configuration, kept as its exact 56-byte little-endian image, since
// that image is what configuration files store (reserved bytes included).
//
// Offset  Width  Field
//  0      1      TypeCode          0 = empty slot
//  1      1      NetAddress
//  2      2      reserved
//  4      4      RelayAddress      serial number of a relay-addressed meter
//  8      2      reserved
// 10      17     SerialText        length byte + 16 characters (code page 1251)
// 27      1      Channel           1 or 2; 0 in an empty slot
// 28      4      SoftwareVersion   IEEE single
// 32      1      Modification
// 33      1      SensorIndex
// 34      22     reserved
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class DeviceSlot {
public:
    static constexpr std::size_t Size = 56;
    using Image = std::array<std::uint8_t, Size>;

    DeviceSlot() { Image_.fill(0); }
    explicit DeviceSlot(const Image& image) : Image_(image) {}

    const Image& Bytes() const { return Image_; }
    Image& Bytes() { return Image_; }

    std::uint8_t TypeCode() const { return Image_[0]; }
    void SetTypeCode(std::uint8_t v) { Image_[0] = v; }
    std::uint8_t NetAddress() const { return Image_[1]; }
    void SetNetAddress(std::uint8_t v) { Image_[1] = v; }
    std::uint32_t RelayAddress() const { return Get32(4); }
    void SetRelayAddress(std::uint32_t v) { Put32(4, v); }

    // The serial number text as UTF-8. A length byte above 16 (a damaged file)
    // is read as 16.
    std::string SerialText() const;
    // Stores at most 16 characters; characters the code page lacks become '?'.
    void SetSerialText(std::string_view utf8);

    std::uint8_t Channel() const { return Image_[27]; }
    void SetChannel(std::uint8_t v) { Image_[27] = v; }
    float SoftwareVersion() const;
    void SetSoftwareVersion(float v);
    std::uint8_t Modification() const { return Image_[32]; }
    void SetModification(std::uint8_t v) { Image_[32] = v; }
    std::uint8_t SensorIndex() const { return Image_[33]; }
    void SetSensorIndex(std::uint8_t v) { Image_[33] = v; }

private:
    std::uint32_t Get32(std::size_t at) const;
    void Put32(std::size_t at, std::uint32_t v);

    Image Image_;
};
