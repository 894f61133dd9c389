// Driver of the ДЛН-08.09 flow meter (type code 13): one flow channel, values
// little-endian (least significant byte first, as they lie in memory).
//
// Rtc2k cells (4-byte singles): K0 0x0240, Ku 0x0244, K points 0x0248..,
// Obr points 0x0268..; factory number at 0x0000 (32-bit integer); stamp at 0x0020
// (16 bytes). RAM: live flow value 0x000C, raw measurement 0x03A0.
// Gmax (a single at 0x0068) is read by the caller; the driver has no operation for it.
// The table operations take no channel; ResetK is the scrambled reset.
#pragma once

#include "Tulv6xMeter.h"

inline constexpr ChannelCells Dln0809Cells{0x0240, 0x0244, 0x0248, 0x0268};

inline constexpr Meter6xMap Dln0809Map{
    .order = ByteOrder::LittleEndian,
    .channels = ChannelArg::None,
    .k = TableOf(CalTable::K, Dln0809Cells, Dln0809Cells),
    .obr = TableOf(CalTable::Obr, Dln0809Cells, Dln0809Cells),
    .scrambledWrites = true,
    .live = LiveArg::None,
    .flow = {0x000C},
    .raw = {0x03A0},
    .number = NumberForm::Decimal,
    .numberCell = 0x0000,
    .stamp = StampWrite::Rtc2k,
    .stampCell = 0x0020,
    .reset = ResetForm::Scrambled,
};

class TulvDln0809 : public Tulv6xMeterOf<Dln0809Map> {};
