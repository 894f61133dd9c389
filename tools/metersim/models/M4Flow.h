// What the meters on the M4 protocol that keep calibration tables have in common, seen from inside
// the meter.
//
// I keep every value as an M4 float: byte 0 the sign (bit 7) and a binary exponent with bias 64,
// bytes 1 and 2 a 16-bit mantissa M with 32768 <= M < 65536 (value = M / 65536 * 2^exponent; zero
// is exponent 0 and M 0, i.e. 40 00 00), byte 3 the sum of bytes 0..2. A value sits in the first
// 4 bytes of the 8-byte block that "R" reads at its address; "W" writes such a block.
//
// My parameter memory ("mem") is addressed one of two ways, per type:
//   by byte   "R" at an address reads the 8 bytes from there ("W" writes 8 bytes there), so values
//             four addresses apart share a block
//   by block  every address is a parameter with an 8-byte block of its own: parameter p sits at
//             bytes 8p .. 8p + 7 of "mem" (scenario patches and the dump address those bytes)
// The factory number is the 8 characters of the block at address 0.
//
// Types whose parameter memory is locked take a "W" only after the setting command "S" (5, 0); a
// locked meter answers a "W" with the block as it stands and keeps nothing. Once unlocked I stay
// unlocked until I am switched off.
//
// Scenario keys of every such meter, besides those of any M4 meter:
//   "factory_number"  a text of 8 characters, or {"hex": "..."} of 8 bytes
//   "gmax"            a number (one channel) or a list of one per channel
//   "tables"          as in FlowTables.h, one entry per channel
//   "writes_enabled"  true: start unlocked (types with a lock only)
// The scenario's "memory" patches act last.
//
// The dump adds "tables" (decoded), "gmax" (per channel, a list) and, on types with a lock,
// "writes_enabled".
#pragma once

#include "../MeterM4.h"
#include "FlowTables.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace metersim {

// The 4 bytes of an M4 float, and the value of one (its check byte is not looked at).
std::array<std::uint8_t, 4> EncodeM4(float value);
float DecodeM4(const std::uint8_t* bytes);

struct M4FlowLayout {
    enum class Addressing { ByByte, ByBlock };
    struct Cells {
        std::uint16_t k0;
        std::uint16_t ku;
        std::uint16_t gmax;
        std::array<std::uint16_t, 8> k;   // points 1..8
        std::array<std::uint16_t, 8> obr; // points 1..8
    };
    Addressing addressing = Addressing::ByByte;
    std::vector<Cells> channels;
    bool locked = false;
    CalibrationTable factory{}; // K0, Ku and the points this type leaves the factory with
    std::string factoryNumber;  // 8 characters
    std::vector<float> gmax;    // per channel
};

class M4FlowMeter : public MeterM4 {
public:
    Answer Handle(const pm4::Request& request) override;
    void Load(json& entry, const std::string& where) override;
    json Dump() const override;
    // On the flow stand my current flow follows the stand (my type says where it lives).
    std::optional<StandCalibration> StandState(int channel) const override;

protected:
    M4FlowMeter(std::string model, M4FlowLayout layout);

    // The value at an address of the parameter memory, and storing one there (bytes 4..7 of its
    // block keep what they hold).
    float Value(std::uint16_t address) const;
    void SetValue(std::uint16_t address, float value);
    // An M4 float at a byte address of a RAM ("ram_int", "ram_ext").
    void PutRam(const char* area, std::uint16_t addr, float value);

    // Puts the factory values into the tables of one channel (from 1): the K table with K0 and Ku,
    // or the Obr points.
    void ResetK(int channel);
    void ResetObr(int channel);

    // Takes my type's own keys, before the scenario's "memory" patches act.
    virtual void LoadOwnKeys(json& entry, const std::string& where);

    // Whether my parameter memory takes writes now (always, on a type without a lock).
    bool WritesEnabled() const { return !layout_.locked || unlocked_; }

private:
    std::uint32_t ByteOffset(std::uint16_t address) const;
    std::uint16_t Cell(int channel, bool k, int index) const;
    const MemoryArea& Mem() const;

    M4FlowLayout layout_;
    bool unlocked_ = false;
};

} // namespace metersim
