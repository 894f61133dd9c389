// The ДЛН-08.08 flow meter (model "dln0808", ModBus family): one flow channel in holding registers,
// 16 bits each, most significant byte first; a value of two registers has its more significant
// register first.
//
// My registers:
//   0..1      current flow, signed 32-bit integer
//   107..108  raw measurement, signed 32-bit integer
//   299..300  Gmax, IEEE single
//   315..316  factory number, unsigned 32-bit integer
//   318       software version: major number in the high byte, minor in the low byte
//   338..353  K points 8, 7, ..., 1 (two registers each: point 1 at 352, point 8 at 338)
//   354..369  Obr points 8, 7, ..., 1 (point 1 at 368, point 8 at 354)
//   370       K0, a signed number -128..127 in one register
//   371..372  Ku, IEEE single
// Writes store the registers as they come.
//
// I leave the factory with K0 0, Ku the single of bit pattern 34 20 00 00 (1.4901161e-7; this is
// what the tool's factory reset writes back) and the points 0.001 ... 0.5 in both tables.
//
// Scenario keys of my own, besides those of any ModBus meter ("texts" "id" defaults to "DLN-0808"):
//   "factory_number"  unsigned 32-bit number
//   "version"         [major, minor], 0..255 each
//   "gmax"            a number
//   "live"            {"G": ..., "SFR": ...}: signed 32-bit integers
//   "tables"          {"1": {"K": [...], "Obr": [...]}} as in FlowTables.h; K0 a whole number -128..127
// The scenario's "memory" patches act last.
//
// The dump adds "tables" (K0 as the signed number of its register, the rest decoded) and "gmax".
#pragma once

#include "../MeterModBus.h"
#include "FlowTables.h"

#include <memory>

namespace metersim {

class Dln0808 : public MeterModBus {
public:
    Dln0808();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Dln0808>(); }
    void Load(json& entry, const std::string& where) override;
    json Dump() const override;
    // On the flow stand my current flow follows the stand, rounded to the whole number I keep.
    std::optional<StandCalibration> StandState(int channel) const override;
    void PutLiveFlow(int channel, double value) override;

private:
    void Put(std::uint16_t reg, const Bytes& bytes);
    void PutTable(bool k, const CalibrationTable& values);
    float Value(bool k, int index) const;
    Bytes Registers(std::uint16_t reg, std::size_t count) const;
};

} // namespace metersim
