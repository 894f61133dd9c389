#include "TulvKvt64KU.h"

#include <algorithm>

void TulvKvt64KU::WriteRtc2k_new(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count)
{
    WriteRtc2k_0A42(Addr, Data, Count);
}

float TulvKvt64KU::ClbRead_SoundTime()
{
    std::uint8_t first[4];
    std::uint8_t second[4];
    if (!ReadRamExactly(SoundTimeAddr[0], first)) return 0.0f;
    if (!ReadRamExactly(SoundTimeAddr[1], second)) return 0.0f;
    return static_cast<float>((static_cast<double>(GetSingle(first, FMap.order)) + GetSingle(second, FMap.order)) / 2);
}

float TulvKvt64KU::ClbRead_AmpValue(std::uint8_t Which)
{
    return ReadLive(AmplitudeAddr[Which != 0 ? 1 : 0]);
}

bool TulvKvt64KU::ClbRead_Cons_SFR_SONIC_DATA(std::span<std::uint8_t> Data, std::uint8_t Count)
{
    if (Count > Data.size()) throw std::invalid_argument("count exceeds the caller's buffer");
    return ReadRamExactly(DataBufferAddr, Data.first(Count));
}

bool TulvKvt64KU::ClbReadGP30_FHL_settings(std::span<std::uint8_t, 7> Buf)
{
    return ReadRtc2kExactly(ChipSettingsCell, Buf);
}

bool TulvKvt64KU::ClbReadTableK(std::span<std::uint8_t, 40> Data)
{
    return ReadRtc2kExactly(FMap.k[0][0], Data);
}

bool TulvKvt64KU::ClbReadTableObr(std::span<std::uint8_t, 40> Data)
{
    // K0 and Ku lie before a gap; the Obr points follow the K points.
    std::uint8_t table[40];
    if (!ReadRtc2kExactly(FMap.obr[0][0], std::span<std::uint8_t>(table, 8))) return false;
    if (!ReadRtc2kExactly(FMap.obr[2][0], std::span<std::uint8_t>(table + 8, 32))) return false;
    std::copy(std::begin(table), std::end(table), Data.begin());
    return true;
}
