// Driver of the КВТ-64 heat meter (type code 1): two flow channels, values big-endian.
//
// Rtc2k cells (4-byte singles, most significant byte first):
//   channel 1: K0 0x0700, Ku 0x0718, K points 0x0720.., Obr points 0x0760..
//   channel 2: K0 0x0704, Ku 0x071C, K points 0x0740.., Obr points 0x0780..
// Factory number at 0x007C (32-bit integer), stamp at 0x0020 (16 bytes).
// The live flow value comes from GetSfrTek; the meter has no raw value to read
// and no factory reset over the line (ResetK does nothing).
#pragma once

#include "Tulv6xMeter.h"

inline constexpr ChannelCells Kvt64Channel1{0x0700, 0x0718, 0x0720, 0x0760};
inline constexpr ChannelCells Kvt64Channel2{0x0704, 0x071C, 0x0740, 0x0780};

inline constexpr Meter6xMap Kvt64Map{
    .order = ByteOrder::BigEndian,
    .channels = ChannelArg::Checked,
    .k = TableOf(CalTable::K, Kvt64Channel1, Kvt64Channel2),
    .obr = TableOf(CalTable::Obr, Kvt64Channel1, Kvt64Channel2),
    .scrambledWrites = true,
    .live = LiveArg::Own,
    .number = NumberForm::Decimal,
    .numberCell = 0x007C,
    .stamp = StampWrite::Rtc2k,
    .stampCell = 0x0020,
    .reset = ResetForm::None,
};

class TulvKvt64 : public Tulv6xMeterOf<Kvt64Map> {
public:
    // Value number ch (1 or 2) of GetSfrTek, the meter's raw live reading.
    // 0 when ch is not 1 or 2 (nothing sent) or the read fails.
    float ClbReadG(std::uint8_t ch);
};
