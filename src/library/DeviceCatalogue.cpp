#include "DeviceCatalogue.h"

namespace {
constexpr auto P6x = ProtocolFamily::Proto6x;
constexpr auto Relay = ProtocolFamily::Proto6xRelay;
constexpr auto M4 = ProtocolFamily::M4;
} // namespace

// Mind the scripts: "M" in the DisplayName of 6, 7 and 16 is Latin (U+004D);
// "М" in the ListName and LatinName of 6 and 7 is Cyrillic (U+041C); "С" at the
// end of the ДЛН names is Cyrillic (U+0421), "C" at the end of "DLN-0803C" Latin.
const std::array<DeviceTypeInfo, DeviceTypeLast + 1> DeviceCatalogue = {{
    {0, "Нет", "Нет", std::nullopt, "NC", false, std::nullopt, ProtocolFamily::None},
    {1, "КВТ-64", "КВТ-64", "KVT-64", "K64", true, "TulvKvt64", P6x},
    {2, "КВТ-64-1", "КВТ-64/1", "KVT-64-1", "K641", false, "TulvKvt641", P6x},
    {3, "КВТ-64К", "КВТ-64К", "KVT-61", "K61", false, "TulvKvt61", P6x},
    {4, "КВТ-66", "КВТ-66", "KVT-66", "K66", true, "TulvKvt66", P6x},
    {5, "КВТ-76", "КВТ-76", "KVT-76", "K76", true, "TulvKvt76", P6x},
    {6, "КВТ-64M", "КВТ-64М", "KVT-64М", "K64M", true, "TulvKvt78", P6x},
    {7, "КВТ-64M1", "КВТ-64М/1", "KVT-64М-1", "K64M1", false, "TulvKvt64M1", P6x},
    {8, "ДЛН-08.03С", "ДЛН-08.03С", "DLN-0803C", "D0803S", false, "TulvDln0803s", P6x},
    {9, "ДЛН-08.05", "ДЛН-08.05", "DLN-0805", "D0805", false, "TulvDln0805", M4},
    {10, "ДЛН-08.05С", "ДЛН-08.05С", "DLN-0805S", "D0805S", false, "TulvDln0805s", P6x},
    {11, "ДЛН-08.07", "ДЛН-08.07", "DLN-0807", "D0807", true, "TulvDln0807", M4},
    {12, "ДЛН-08.07С", "ДЛН-08.07С", "DLN-0807S", "D0807S", true, "TulvDln0807s", P6x},
    {13, "ДЛН-08.09", "ДЛН-08.09", "DLN-0809", "D0809", false, "TulvDln0809", P6x},
    {14, "КВТ-64КУ", "КВТ-64КУ", "KVT-64КУ", "K64KU", false, "TulvKvt64KU", Relay},
    {15, "ГЗУ-08", "ГЗУ-08", "ГЗУ-08", "GZU-08", true, "TulvGZU08", Relay},
    {16, "КВТ-09M4", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "TulvKvt09M4", M4},
}};

const DeviceTypeInfo* FindDeviceType(DeviceTypeCode code)
{
    return code <= DeviceTypeLast ? &DeviceCatalogue[code] : nullptr;
}

DeviceTypeCode NormalizeDeviceType(DeviceTypeCode code)
{
    return code <= DeviceTypeLast ? code : DeviceTypeNone;
}

bool HasDriver(DeviceTypeCode code)
{
    return code != DeviceTypeNone && code <= DeviceTypeLast;
}
