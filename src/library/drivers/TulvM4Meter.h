// The engine under the drivers of the meters on the M4 protocol.
//
// Every value of these meters is an M4 float in the first 4 bytes of the 8-byte
// block at its address; the factory number is the block at address 0 as 8
// characters; none keeps a calibration stamp. What they do alike lives here: the
// block reads (whose reply code is checked), the table operations over a cell
// map, the two ways a value is written and the read-modify-write. A meter's
// module gives its M4MeterMap and its own operations (live reads, Gmax, reset).
//
// The M4 protocol ignores a reply to "R" whose reply code is not 0xD2 (LastError
// stays 0, nothing is copied); writing back after such a reply would put the
// previous block into the meter, so the engine counts a wrong reply code as a
// failed read (LastError 7), for every read of the parameter memory.
#pragma once

#include "CellTable.h"
#include "DriverCodec.h"
#include "TulvSignature.h"
#include "UlvM4Protocol.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// How a plain value write goes to the meter.
enum class M4Write {
    ReadModifyWrite, // read the block, replace bytes 0..3, write the 8 bytes back
    Enabled,         // WriteS(5, 0), then the value's block with four zero bytes
};

struct M4MeterMap {
    CellTable k, obr; // both columns the same for a meter with one set of cells
    M4Write write;
};

class TulvM4Meter : public TulvM4Protocol, public TulvSignatureText {
public:
    using Block = std::array<std::uint8_t, 8>;

    // The factory number: the 8 bytes at address 0 as 8 characters, untrimmed.
    // Empty text on a failed read.
    void GetDeviceNumber(std::string& S);

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of channel ch from the
    // measured (K) or reference (Obr) table. True on success. A failed read
    // stores 0 and returns false with LastError set; ch outside 1..2 or i above
    // 9 returns false, sends nothing, and leaves value and LastError untouched.
    bool ClbReadK(std::uint8_t ch, std::uint8_t i, float& value) { return ReadTable(CalTable::K, ch, i, value); }
    bool ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value) { return ReadTable(CalTable::Obr, ch, i, value); }

    // Writes one value in the meter's way (M4Write): by read-modify-write,
    // false without a write when the read fails (LastError 2, 5 or 7); or
    // WriteS(5, 0) and then the block, false when the setting command fails
    // (nothing written). Otherwise true when LastError is 0 after the write
    // (also when EWrite is false and the writes are suppressed). Bad arguments
    // return false without a transaction.
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value) { return WriteTable(CalTable::K, ch, i, value); }
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value) { return WriteTable(CalTable::Obr, ch, i, value); }

    // The meter keeps no stamp: true at once, nothing written.
    bool ClbWriteSignature() { return true; }

protected:
    explicit TulvM4Meter(const M4MeterMap& map) : FMap(map) {}

    // 1 selects channel 1, every other value channel 2 (the live and Gmax reads).
    static int AnyChannel(std::uint8_t ch) { return ch == 1 ? 0 : 1; }

    // Reads the block at addr into the exchange block; a reply with a wrong
    // reply code fails with LastError 7 and leaves it as it was.
    bool ReadBlock(std::uint16_t addr);
    // The value at addr; a failed read stores 0 and returns false.
    bool ReadValue(std::uint16_t addr, float& value);
    // The value at addr, or 0 when the read fails.
    float ValueAt(std::uint16_t addr);
    // The M4 float of a block read by one of the RAM reads; 0 when it failed.
    float LiveValue();
    // Read-modify-write of the value at addr: bytes 4..7 keep what was read.
    // False, nothing written, when the read fails.
    bool ModifyValue(std::uint16_t addr, float value);

    bool ReadTable(CalTable t, std::uint8_t ch, std::uint8_t i, float& value);
    bool WriteTable(CalTable t, std::uint8_t ch, std::uint8_t i, float value);

    const M4MeterMap& FMap;
    Block FBlock{}; // the block of the last read, or the block last written by read-modify-write

private:
    bool CellOf(CalTable t, std::uint8_t ch, std::uint8_t i, std::uint16_t& cell) const;
};
