// What the ultrasonic meters on the relay have in common, seen from inside the meter: addressed by
// my serial number, I keep every number least significant byte first.
//
// My parameter memory (rtc2k):
//   0x0000  factory number, 32-bit integer (by default my serial number)
//   0x0023  Gmax
//   per flow channel (direction) the tables K and Obr, K0 and Ku shared by all channels
//   a calibration stamp of 16 bytes, where my type keeps it
// My RAM:
//   a live flow value, per type
//   0x03A0  the raw value block, 36 bytes; it starts with the raw measurement (a single)
//   0x03F0  error flags, 1 byte
//   0x0800  the data buffer
//
// I take scrambled writes: a write of 9 data bytes (0F 81 or 0A 42) that starts at one of my
// coefficient cells carries an 8-byte block in block order and a ninth byte that I ignore; I decode
// the block and keep the plain single in the cell. Every other write stores its bytes as they come.
// On 0F 64 I put my factory tables back (K0 0, Ku 1, points 0.001 ... 0.5 in every table), whatever
// the tables held.
//
// Scenario keys of every ultrasonic meter, besides those of any relay meter ("texts" default to my
// type's identity and version):
//   "factory_number"  unsigned 32-bit number (default: my serial number)
//   "gmax"            a number
//   "live"            {"G": ..., "SFR": ...}: the live flow value and the raw measurement
//   "raw_block"       {"hex": "..."}: up to 36 bytes of the raw value block from its start; the
//                     named values ("live".SFR and my type's own) are put over it
//   "error_flags"     0..255
//   "data_buffer"     {"hex": "..."}: the bytes of the data buffer
//   "tables"          as in FlowTables.h, one entry per channel
// The scenario's "memory" patches act last.
//
// The dump adds "tables" (decoded), "stamp" (hex), "gmax" and the relay meter's "verification" and
// "calibration_resets".
#pragma once

#include "../MeterRelay.h"
#include "FlowTables.h"

#include <cstdint>
#include <string>
#include <vector>

namespace metersim {

struct UltrasonicLayout {
    // K0 and Ku (shared), and per channel the first cells of the eight K and Obr points.
    std::uint16_t k0 = 0;
    std::uint16_t ku = 0;
    struct Points {
        std::uint16_t k;
        std::uint16_t obr;
    };
    std::vector<Points> channels;
    std::uint16_t stampCell = 0;
    std::uint16_t liveG = 0; // RAM
    LiveForm liveForm = LiveForm::Flow; // how the live flow value relates to the flow I measure
    std::size_t dataBufferLength = 0;
    json texts;
    float gmax = 0.0f;
};

class UltrasonicMeter : public MeterRelay {
public:
    Answer Handle(const prelay::Request& request) override;
    void Load(json& entry, const std::string& where) override;
    json Dump() const override;
    // On the flow stand my one live flow value follows the stand through the tables of the chosen
    // channel (direction).
    std::optional<StandCalibration> StandState(int channel) const override;
    void PutLiveFlow(int channel, double value) override;

protected:
    UltrasonicMeter(std::string model, UltrasonicLayout layout);

    void Put(const char* area, std::uint64_t addr, const Bytes& bytes);
    static Bytes Single(float value);
    static Bytes Word(std::uint32_t value);
    float SingleAt(const char* area, std::uint64_t addr) const;
    // A {"hex": "..."} of at most max bytes.
    static Bytes TakeHex(json& entry, const char* key, std::size_t max, const std::string& where, bool& given);

    void ResetCalibrationTable() override;
    // Takes my type's own keys; called once the raw value block is in, so that the values my type
    // keeps inside it go over it, and before the scenario's "memory" patches act.
    virtual void LoadOwnKeys(json& entry, const std::string& where);

private:
    void StoreTable(int channel, bool k, const CalibrationTable& values);
    bool IsCoefficientCell(std::uint32_t addr) const;
    std::uint16_t Cell(int channel, bool k, int index) const;
    const MemoryArea& NamedArea(const char* name) const;

    UltrasonicLayout layout_;
};

} // namespace metersim
