#include "Kvt64KU.h"

namespace metersim {

namespace {

constexpr std::uint16_t kChipSettings = 0x00F0;
constexpr std::size_t kChipSettingsLength = 7;
constexpr std::uint16_t kSoundTimes = 0x03A4;
constexpr std::uint16_t kAmplitudes = 0x03AC;

UltrasonicLayout Layout()
{
    UltrasonicLayout l;
    l.k0 = 0x0090;
    l.ku = 0x0094;
    l.channels = {{0x00A0, 0x00C0}};
    l.stampCell = 0x0020;
    l.liveG = 0x001E;
    l.dataBufferLength = 64;
    l.texts = {{"id", "KVT-64KU"}, {"version", "V1.03"}, {"subversion", "01"}};
    l.gmax = 2.5f;
    return l;
}

} // namespace

Kvt64KU::Kvt64KU() : UltrasonicMeter("kvt64ku", Layout())
{
    // A sound path of about 0.15 m in water at 20 °C, and amplitudes of a clean signal.
    Put("ram", kSoundTimes, Single(101150.0f));
    Put("ram", kSoundTimes + 4, Single(101170.0f));
    Put("ram", kAmplitudes, Single(1.25f));
    Put("ram", kAmplitudes + 4, Single(1.20f));
    Put("rtc2k", kChipSettings, Bytes{0x43, 0x1A, 0x00, 0x7F, 0x20, 0x05, 0x11});
}

void Kvt64KU::LoadOwnKeys(json& entry, const std::string& where)
{
    if (auto times = Take(entry, "sound_times")) {
        const auto v = ScenarioFloats(*times, 2, where + ".sound_times");
        Put("ram", kSoundTimes, Single(v[0]));
        Put("ram", kSoundTimes + 4, Single(v[1]));
    }
    if (auto amplitudes = Take(entry, "amplitudes")) {
        const auto v = ScenarioFloats(*amplitudes, 2, where + ".amplitudes");
        Put("ram", kAmplitudes, Single(v[0]));
        Put("ram", kAmplitudes + 4, Single(v[1]));
    }
    bool given = false;
    const Bytes settings = TakeHex(entry, "chip_settings", kChipSettingsLength, where, given);
    if (given && settings.size() != kChipSettingsLength)
        throw ScenarioError(where + ".chip_settings: expected 7 bytes");
    if (given) Put("rtc2k", kChipSettings, settings);
}

} // namespace metersim
