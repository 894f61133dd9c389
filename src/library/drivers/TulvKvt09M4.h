// Driver of the КВТ-09M4 heat meter (type code 16) on the M4 protocol: two flow
// channels; every value is an M4 float in the first 4 bytes of the 8-byte
// block at its address.
//
// Parameter memory ("R"/"W"), channel 1 / channel 2:
//   K0 0x0148 / 0x0248, Ku 0x014C / 0x024C, Gmax 0x0150 / 0x0250,
//   K points 0x01A0.. / 0x02A0.., Obr points 0x0160.. / 0x0260.. (4 apart).
// Factory number: the 8 bytes at 0x0000. External RAM ("G"): current flow
// 0x044D / 0x048D.
//
// A value is written by read-modify-write: the block at the address is read,
// its bytes 0..3 replaced, and the 8 bytes written back.
#pragma once

#include "TulvM4Meter.h"

inline constexpr ChannelCells Kvt09M4Channel1{0x0148, 0x014C, 0x01A0, 0x0160};
inline constexpr ChannelCells Kvt09M4Channel2{0x0248, 0x024C, 0x02A0, 0x0260};

inline constexpr M4MeterMap Kvt09M4Map{
    .k = TableOf(CalTable::K, Kvt09M4Channel1, Kvt09M4Channel2),
    .obr = TableOf(CalTable::Obr, Kvt09M4Channel1, Kvt09M4Channel2),
    .write = M4Write::ReadModifyWrite,
};

class TulvKvt09M4 : public TulvM4Meter {
public:
    static constexpr std::uint16_t GmaxAddr[2] = {0x0150, 0x0250};
    static constexpr std::uint16_t FlowAddr[2] = {0x044D, 0x048D};

    TulvKvt09M4() : TulvM4Meter(Kvt09M4Map) {}

    // Current flow and Gmax of channel ch: 1 selects channel 1, any other value
    // channel 2. 0 when the read fails.
    float ClbReadG(std::uint8_t ch);
    float ClbReadGmax(std::uint8_t ch) { return ValueAt(GmaxAddr[AnyChannel(ch)]); }

    // Writes Gmax of channel ch (1 selects channel 1, any other value channel 2)
    // by read-modify-write, as ClbWriteK does.
    bool ClbWriteGmax(std::uint8_t ch, float value) { return ModifyValue(GmaxAddr[AnyChannel(ch)], value); }

    // Factory values: the setting commands WriteS (1,1), (2,1), (17,1), (18,1)
    // in this order (gated by EWrite). Failures are not reported; LastError is
    // that of the last command.
    void ResetK();

    // The block of the last read of the parameter memory, or the block last
    // written.
    const Block& ExchangeBuffer() const { return FBlock; }
};
