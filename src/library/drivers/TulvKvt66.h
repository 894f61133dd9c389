// Driver of the КВТ-66 heat meter (type code 4): two flow channels, values big-endian.
//
// The meter guards its calibration tables with a checksum: they form one block
// of 146 bytes at Rtc2k 0x05E0 —
//   offset   0: channel 1 table (72 bytes)
//   offset  72: channel 2 table (72 bytes)
//   offset 144: checksum, big-endian: the one's complement of the 16-bit sum of
//               bytes 0..143
// A channel table holds 18 big-endian singles: K0, Ku, Obr points 1..8, K points 1..8.
// Every plain write therefore rewrites the whole block (Tulv6xGuardedMeterOf).
// Factory number at Rtc2k 0x0152 (32-bit integer), stamp at 0x07E0 (16 bytes).
// RAM: live flow values 0x00A0/0x00A4, raw measurements 0x0000/0x0004 (channel 1/2).
// The meter takes no scrambled writes and has no factory reset over the line.
#pragma once

#include "Tulv6xMeter.h"

inline constexpr ChannelCells Kvt66Channel1{0x05E0, 0x05E4, 0x0608, 0x05E8};
inline constexpr ChannelCells Kvt66Channel2{0x0628, 0x062C, 0x0650, 0x0630};

inline constexpr Meter6xMap Kvt66Map{
    .order = ByteOrder::BigEndian,
    .channels = ChannelArg::Checked,
    .k = TableOf(CalTable::K, Kvt66Channel1, Kvt66Channel2),
    .obr = TableOf(CalTable::Obr, Kvt66Channel1, Kvt66Channel2),
    .scrambledWrites = false,
    .live = LiveArg::Checked,
    .flow = {0x00A0, 0x00A4},
    .raw = {0x0000, 0x0004},
    .number = NumberForm::Decimal,
    .numberCell = 0x0152,
    .stamp = StampWrite::Rtc2k,
    .stampCell = 0x07E0,
    .reset = ResetForm::None,
    .guarded = {.start = 0x05E0},
};

class TulvKvt66 : public Tulv6xGuardedMeterOf<Kvt66Map> {};
