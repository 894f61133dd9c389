// Driver of the ДЛН-08.07 flow meter (type code 11) on the M4 protocol: two
// flow channels; every value is an M4 float in the first 4 bytes of the 8-byte
// block at its parameter address.
//
// Parameter memory ("R"/"W"), channel 1 / channel 2:
//   K0 8 / 13, Ku 9 / 14, Gmax 10 / 15, K points 32..39 / 64..71,
//   Obr points 16..23 / 48..55.
// Factory number: the 8 bytes at parameter 0. Internal RAM ("M"): current flow
// 121 / 133, second flow value 115 / 127.
//
// A value is written after the setting command WriteS(5, 0), which the meter
// needs before it takes a parameter write.
#pragma once

#include "TulvM4Meter.h"

inline constexpr ChannelCells Dln0807Channel1{8, 9, 32, 16};
inline constexpr ChannelCells Dln0807Channel2{13, 14, 64, 48};

inline constexpr M4MeterMap Dln0807Map{
    .k = TableOf(CalTable::K, Dln0807Channel1, Dln0807Channel2, 1),
    .obr = TableOf(CalTable::Obr, Dln0807Channel1, Dln0807Channel2, 1),
    .write = M4Write::Enabled,
};

class TulvDln0807 : public TulvM4Meter {
public:
    static constexpr std::uint16_t GmaxAddr[2] = {10, 15};
    static constexpr std::uint16_t FlowAddr[2] = {121, 133};
    static constexpr std::uint16_t SecondFlowAddr[2] = {115, 127};

    TulvDln0807() : TulvM4Meter(Dln0807Map) {}

    // Current flow, second flow value and Gmax of channel ch: 1 selects channel
    // 1, any other value channel 2. 0 when the read fails.
    float ClbReadG(std::uint8_t ch);
    float ClbReadGFlow(std::uint8_t ch);
    float ClbReadGmax(std::uint8_t ch) { return ValueAt(GmaxAddr[AnyChannel(ch)]); }

    // Factory values, channel 1 and then channel 2: WriteS(5, 0); then by
    // read-modify-write (bytes 4..7 keep what was read) K0 = 0.0, Ku = 1.0, and
    // per point the K cell, then the Obr cell, with this meter's factory points
    // (FactoryPoints). A cell whose read fails is skipped, not written. Failures
    // are not reported; LastError is that of the last command.
    void ResetK();

    // The factory values of points 1..8 of this meter.
    static constexpr float FactoryPoints[8] = {0.003f, 0.01f, 0.02f, 0.04f, 0.2f, 0.45f, 0.9f, 1.2f};
};
