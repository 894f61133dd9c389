// Driver of the КВТ-64M heat meter (type code 6): two flow channels, values
// little-endian (least significant byte first, as they lie in memory).
//
// Rtc2k cells (4-byte singles):
//   channel 1: K0 0x0300, Ku 0x0308, K points 0x0320.., Obr points 0x0360..
//   channel 2: K0 0x0304, Ku 0x030C, K points 0x0340.., Obr points 0x0380..
// Factory number at 0x0000 (32-bit integer), stamp at 0x0020 (16 bytes).
// RAM: live flow values 0x01CC/0x01D0, raw measurements 0x0200/0x0204 (channel 1/2).
// ResetK is the scrambled reset of both channels.
#pragma once

#include "Tulv6xMeter.h"

inline constexpr ChannelCells Kvt78Channel1{0x0300, 0x0308, 0x0320, 0x0360};
inline constexpr ChannelCells Kvt78Channel2{0x0304, 0x030C, 0x0340, 0x0380};

inline constexpr Meter6xMap Kvt78Map{
    .order = ByteOrder::LittleEndian,
    .channels = ChannelArg::Checked,
    .k = TableOf(CalTable::K, Kvt78Channel1, Kvt78Channel2),
    .obr = TableOf(CalTable::Obr, Kvt78Channel1, Kvt78Channel2),
    .scrambledWrites = true,
    .live = LiveArg::Checked,
    .flow = {0x01CC, 0x01D0},
    .raw = {0x0200, 0x0204},
    .number = NumberForm::Decimal,
    .numberCell = 0x0000,
    .stamp = StampWrite::Rtc2k,
    .stampCell = 0x0020,
    .reset = ResetForm::Scrambled,
    .resetChannels = 2,
};

class TulvKvt78 : public Tulv6xMeterOf<Kvt78Map> {};
