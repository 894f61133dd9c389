#include "Gzu08.h"

namespace metersim {

namespace {

constexpr std::uint16_t kSensorIndex = 0x0021;

UltrasonicLayout Layout()
{
    UltrasonicLayout l;
    l.k0 = 0x0300;
    l.ku = 0x0304;
    l.channels = {{0x0310, 0x0350}, {0x0330, 0x0370}};
    l.stampCell = 0x02D0;
    l.liveG = 0x0010;
    l.liveForm = LiveForm::ZeroGain;
    l.dataBufferLength = 13;
    l.texts = {{"id", "GZU-08"}, {"version", "V2.01"}, {"subversion", "00"}};
    l.gmax = 10.0f;
    return l;
}

} // namespace

Gzu08::Gzu08() : UltrasonicMeter("gzu08", Layout())
{
    Put("rtc2k", kSensorIndex, Bytes{1, 0});
}

void Gzu08::Load(json& entry, const std::string& where)
{
    if (auto index = Take(entry, "sensor_index"))
        Put("rtc2k", kSensorIndex, Bytes{static_cast<std::uint8_t>(ToUnsigned(*index, 0xFF, where + ".sensor_index"))});
    UltrasonicMeter::Load(entry, where);
}

json Gzu08::Dump() const
{
    json d = UltrasonicMeter::Dump();
    for (const auto& area : Areas())
        if (area.Name() == "rtc2k") d["sensor_index"] = area.Read(kSensorIndex, 1)[0];
    return d;
}

} // namespace metersim
