// Driver of the ДЛН-08.05 flow meter (type code 9) on the M4 protocol: one flow
// channel (the channel argument is checked, both channels use the same cells);
// every value is an M4 float in the first 4 bytes of the 8-byte block at its
// parameter address.
//
// Parameter memory ("R"/"W"): K0 13, Ku 14, Gmax 15, K points 32..39, Obr
// points 16..23; factory number: the 8 bytes at parameter 0. The current flow
// and the ADC values come with the parameter query "P" (4, 0) and (2, 0), sent
// with eight zero data bytes.
//
// A value is written after the setting command WriteS(5, 0), which the meter
// needs before it takes a parameter write.
//
// The protocol ignores a reply to "R" or "P" whose reply code is wrong (LastError
// stays 0, nothing is copied). This driver checks the reply code and counts a
// wrong one as a failed read (LastError 7), so that no stale bytes are taken for
// a value.
//
// The meter keeps no calibration stamp.
#pragma once

#include "TulvM4Meter.h"

inline constexpr ChannelCells Dln0805Cells{13, 14, 32, 16};

inline constexpr M4MeterMap Dln0805Map{
    .k = TableOf(CalTable::K, Dln0805Cells, Dln0805Cells, 1),
    .obr = TableOf(CalTable::Obr, Dln0805Cells, Dln0805Cells, 1),
    .write = M4Write::Enabled,
};

class TulvDln0805 : public TulvM4Meter {
public:
    static constexpr std::uint16_t GmaxAddr = 15;

    TulvDln0805() : TulvM4Meter(Dln0805Map) {}

    // Current flow (query "P" 4, 0) and Gmax; 0 when the read fails.
    float ClbReadG();
    float ClbReadGmax() { return ValueAt(GmaxAddr); }
    // The two ADC values of the query "P" (2, 0), packed into the reply's data:
    // the result is the M4 float of bytes 0..3 and Second that of bytes 3..6 (an
    // M4 float is decoded from its first three bytes, so the values occupy bytes
    // 0..2 and 3..5). ch is not looked at. On failure the result is 0 and Second
    // is unchanged.
    float ClbReadADCCur(std::uint8_t ch, float& Second);

    // The meter restores its factory values on the setting commands (5, 0) and
    // then (99, 0), sent with SetDevice and eight zero data bytes. SetDevice is
    // not gated by EWrite, so the reset is sent even with writing disabled.
    // Failures are not reported; LastError is that of the last command.
    void ResetK();

private:
    // The parameter query "P" (p1, p2) with eight zero data bytes; the reply's
    // data in data. A reply with a wrong reply code fails with LastError 7.
    bool Query(std::uint8_t p1, std::uint8_t p2, Block& data);
};
