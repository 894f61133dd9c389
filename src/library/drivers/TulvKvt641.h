// Driver of the КВТ-64-1 heat meter (type code 2): one flow channel, values big-endian.
//
// Rtc2k cells (4-byte singles, most significant byte first): K0 0x0050, Ku 0x0054,
// K points 0x0058.., Obr points 0x0078..; size code of Gmax at 0x000A (1 byte);
// factory number at 0x0000 (8 characters); stamp at 0x01F0 (16 bytes).
// RAM: live flow value 0x00B4, raw measurement 0x00B0.
// The table operations take a channel and do not look at it.
#pragma once

#include "Tulv6xMeter.h"

inline constexpr ChannelCells Kvt641Cells{0x0050, 0x0054, 0x0058, 0x0078};

inline constexpr Meter6xMap Kvt641Map{
    .order = ByteOrder::BigEndian,
    .channels = ChannelArg::Ignored,
    .k = TableOf(CalTable::K, Kvt641Cells, Kvt641Cells),
    .obr = TableOf(CalTable::Obr, Kvt641Cells, Kvt641Cells),
    .scrambledWrites = true,
    .live = LiveArg::None,
    .flow = {0x00B4},
    .raw = {0x00B0},
    .number = NumberForm::CfgCharacters,
    .numberCell = 0x0000,
    .stamp = StampWrite::Cfg,
    .stampCell = 0x01F0,
    .reset = ResetForm::Plain,
    .resetNew = true,
};

class TulvKvt641 : public Tulv6xMeterOf<Kvt641Map> {
public:
    // Gmax by size code 0..7, for the standard meters and for the M series
    // (modification text "M", asked from software version 4000 on).
    static constexpr float GmaxStandard[8] = {6.0f, 16.0f, 30.0f, 40.0f, 60.0f, 160.0f, 300.0f, 600.0f};
    static constexpr float GmaxMSeries[8] = {6.3f, 16.0f, 25.0f, 40.0f, 63.0f, 160.0f, 250.0f, 630.0f};
    static constexpr std::uint16_t SizeCodeCell = 0x000A;

    // Gmax from the size code at 0x000A, in the table of the meter's series: from
    // version 4000.0 on the modification is asked first, and the text "M" (exactly)
    // selects the M series; a failed question counts as the standard series.
    // 0 when the size code cannot be read or is 8 or more.
    float ClbReadGmax(float version);
};
