// Driver of the КВТ-64M1 heat meter (type code 7): one flow channel, values
// little-endian (least significant byte first, as they lie in memory).
//
// Rtc2k cells (4-byte singles): K0 0x0120, Ku 0x0124, K points 0x0128..,
// Obr points 0x0148..; factory number at 0x0000 (32-bit integer); stamp at 0x0020
// (16 bytes). RAM: live flow value 0x0020, raw measurement 0x03A0.
// The table operations take no channel; ResetK is the scrambled reset.
#pragma once

#include "Tulv6xMeter.h"

inline constexpr ChannelCells Kvt64M1Cells{0x0120, 0x0124, 0x0128, 0x0148};

inline constexpr Meter6xMap Kvt64M1Map{
    .order = ByteOrder::LittleEndian,
    .channels = ChannelArg::None,
    .k = TableOf(CalTable::K, Kvt64M1Cells, Kvt64M1Cells),
    .obr = TableOf(CalTable::Obr, Kvt64M1Cells, Kvt64M1Cells),
    .scrambledWrites = true,
    .live = LiveArg::None,
    .flow = {0x0020},
    .raw = {0x03A0},
    .number = NumberForm::Decimal,
    .numberCell = 0x0000,
    .stamp = StampWrite::Rtc2k,
    .stampCell = 0x0020,
    .reset = ResetForm::Scrambled,
};

class TulvKvt64M1 : public Tulv6xMeterOf<Kvt64M1Map> {};
