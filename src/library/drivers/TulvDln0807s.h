// Driver of the ДЛН-08.07С flow meter (type code 12): values little-endian
// (least significant byte first, as they lie in memory). The meter has two
// channel numbers but one set of cells: channel 1 and 2 are checked and address
// the same cells (each channel of the meter answers at its own network address).
//
// Rtc2k cells (4-byte singles): K0 0x0100, Ku 0x0104, K points 0x0108..,
// Obr points 0x0128..; Gmax at 0x0010 (single); factory number at 0x0000
// (8 characters); stamp at 0x01F0 (16 bytes, written in two halves).
// RAM: live flow value 0x00B4, raw measurement 0x00B0.
// The meter takes no scrambled writes.
#pragma once

#include "Tulv6xMeter.h"

#include <string_view>

inline constexpr ChannelCells Dln0807sCells{0x0100, 0x0104, 0x0108, 0x0128};

inline constexpr Meter6xMap Dln0807sMap{
    .order = ByteOrder::LittleEndian,
    .channels = ChannelArg::Checked,
    .k = TableOf(CalTable::K, Dln0807sCells, Dln0807sCells),
    .obr = TableOf(CalTable::Obr, Dln0807sCells, Dln0807sCells),
    .scrambledWrites = false,
    .live = LiveArg::None,
    .flow = {0x00B4},
    .raw = {0x00B0},
    .number = NumberForm::Characters,
    .numberCell = 0x0000,
    .stamp = StampWrite::CfgHalves,
    .stampCell = 0x01F0,
    .reset = ResetForm::Plain,
    .gmaxCell = 0x0010,
};

class TulvDln0807s : public Tulv6xMeterOf<Dln0807sMap> {
public:
    // The identity text of the meters whose factory number is read.
    static constexpr std::string_view IdentityMark = "DLN-08.07";

    // The factory number: the 8 bytes as 8 characters, unchanged, read only when
    // the identity text contains "DLN-08.07". Empty text when the identity
    // question fails (LastError 1..6), when the identity is another (LastError
    // 0, nothing read), or when the number's read fails (LastError 1..6; 3 also
    // for a short reply).
    void GetDeviceNumber(std::string& S);
};
