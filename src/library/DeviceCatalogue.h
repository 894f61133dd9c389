// The closed set of meter types the tool knows: type codes, the names under
// which a type is shown, listed and filed, its slot picture, its channel count,
// and the driver class and protocol family that serve it.
//
// This unit knows the driver classes only by name; the workflow creates drivers
// from the type code in its own table.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

// 0 = no device, 1..16 = the meter types of the catalogue. Every other value is
// treated like 0: it has no catalogue row and no driver.
using DeviceTypeCode = std::uint8_t;

constexpr DeviceTypeCode DeviceTypeNone = 0;
constexpr DeviceTypeCode DeviceTypeLast = 16;

// The protocol family a driver class derives from.
enum class ProtocolFamily : std::uint8_t {
    None,         // no device
    Proto6x,      // Tulv6xProtocol
    Proto6xRelay, // Tulv6xProtocol, the meter reached through the relay sub-protocol
    M4,           // TulvM4Protocol
    ModBus,       // TulvModBusProtocol (only a class without a type code uses it)
};

// One row of the catalogue. Texts are UTF-8. An entry that the type does not have
// is std::nullopt: code 0 has no LatinName and no DriverClass; code 16 has no
// ListName, LatinName, PictureName or TwoChannels (the device dialogs never offer it).
struct DeviceTypeInfo {
    DeviceTypeCode Code;
    // The Russian name shown to a person and written into files.
    std::string_view DisplayName;
    // The entry of the device dialogs' type lists (list position = code).
    std::optional<std::string_view> ListName;
    // The type's sub-folder of "saved".
    std::optional<std::string_view> LatinName;
    // The slot picture resource.
    std::optional<std::string_view> PictureName;
    // The meter has two flow channels G1 and G2 to choose from.
    std::optional<bool> TwoChannels;
    // The driver class created for a slot of this type.
    std::optional<std::string_view> DriverClass;
    ProtocolFamily Protocol;
};

// The catalogue, indexed by type code 0..16. The names keep the scripts exactly
// as the meters' documents and the stored files use them: the DisplayName of
// codes 6, 7 and 16 has a Latin M, the ListName and LatinName of codes 6 and 7
// a Cyrillic М; the LatinName of code 14 ends in Cyrillic КУ and that of code 15
// is Cyrillic; the LatinName of code 8 ends in a Latin C.
extern const std::array<DeviceTypeInfo, DeviceTypeLast + 1> DeviceCatalogue;

// The row of a code, or nullptr for a code above 16.
const DeviceTypeInfo* FindDeviceType(DeviceTypeCode code);

// The code a slot is treated as: the code itself for 0..16, 0 for anything above.
DeviceTypeCode NormalizeDeviceType(DeviceTypeCode code);

// True for the codes that get a driver (1..16).
bool HasDriver(DeviceTypeCode code);
