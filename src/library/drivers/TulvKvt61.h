// Driver of the КВТ-64К heat meter (type code 3): values big-endian. The meter
// has two channel numbers but one set of cells: channel 1 and 2 are checked and
// address the same cells, for the table operations and the live reads alike.
//
// Rtc2k cells (4-byte singles, most significant byte first): K0 0x0040, Ku 0x0044,
// K points 0x0048.., Obr points 0x0068..; factory number at 0x0000 (8 characters);
// stamp at 0x01F0 (16 bytes). RAM: live flow value 0x00B4, raw measurement 0x00B0.
#pragma once

#include "Tulv6xMeter.h"

inline constexpr ChannelCells Kvt61Cells{0x0040, 0x0044, 0x0048, 0x0068};

inline constexpr Meter6xMap Kvt61Map{
    .order = ByteOrder::BigEndian,
    .channels = ChannelArg::Checked,
    .k = TableOf(CalTable::K, Kvt61Cells, Kvt61Cells),
    .obr = TableOf(CalTable::Obr, Kvt61Cells, Kvt61Cells),
    .scrambledWrites = true,
    .live = LiveArg::Checked,
    .flow = {0x00B4, 0x00B4},
    .raw = {0x00B0, 0x00B0},
    .number = NumberForm::Characters,
    .numberCell = 0x0000,
    .stamp = StampWrite::Cfg,
    .stampCell = 0x01F0,
    .reset = ResetForm::Plain,
    .resetNew = true,
};

class TulvKvt61 : public Tulv6xMeterOf<Kvt61Map> {};
