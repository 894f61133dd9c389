// Driver of the ДЛН-08.05С flow meter (type code 10): values big-endian (most
// significant byte first). The meter is used with one flow channel; the cells of
// a second channel are part of its map and are what channel 2 addresses.
//
// Rtc2k cells (4-byte singles):
//   channel 1: K0 0x0100, Ku 0x0104, K points 0x0108.., Obr points 0x0128..
//   channel 2: K0 0x0704, Ku 0x071C, K points 0x0740.., Obr points 0x0780..
// Gmax at 0x0010 (single); factory number at 0x0000 (8 characters); stamp at
// 0x01F0 (16 bytes, written in two halves). RAM: live flow value 0x00B4, raw
// measurement 0x00B0. The resets go to the cells of channel 1.
#pragma once

#include "Tulv6xMeter.h"

inline constexpr ChannelCells Dln0805sChannel1{0x0100, 0x0104, 0x0108, 0x0128};
inline constexpr ChannelCells Dln0805sChannel2{0x0704, 0x071C, 0x0740, 0x0780};

inline constexpr Meter6xMap Dln0805sMap{
    .order = ByteOrder::BigEndian,
    .channels = ChannelArg::Checked,
    .k = TableOf(CalTable::K, Dln0805sChannel1, Dln0805sChannel2),
    .obr = TableOf(CalTable::Obr, Dln0805sChannel1, Dln0805sChannel2),
    .scrambledWrites = true,
    .live = LiveArg::None,
    .flow = {0x00B4},
    .raw = {0x00B0},
    .number = NumberForm::CfgCharacters,
    .numberCell = 0x0000,
    .stamp = StampWrite::CfgHalves,
    .stampCell = 0x01F0,
    .reset = ResetForm::Plain,
    .resetNew = true,
    .gmaxCell = 0x0010,
};

class TulvDln0805s : public Tulv6xMeterOf<Dln0805sMap> {};
