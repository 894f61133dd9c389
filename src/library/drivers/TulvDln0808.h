// Driver of the ДЛН-08.08 flow meter on ModBus RTU (no type code: the library
// offers it, the tool's slots never use it). One flow channel: the channel
// argument is checked, both channels use the same registers.
//
// Holding registers (16-bit, big-endian; two-register values most significant
// register first):
//   current flow 0..1 and raw value 107..108: signed 32-bit integers
//   Gmax 299..300: IEEE single
//   factory number 315..316: unsigned 32-bit integer
//   software version 318: high byte, low byte
//   K0 370: one register, a signed value -128..127 (read as the low byte of the
//     register; written sign-extended)
//   Ku 371..372: IEEE single
//   K points 1..8: 352, 350, 348, 346, 344, 342, 340, 338 (two registers each)
//   Obr points 1..8: 368, 366, 364, 362, 360, 358, 356, 354 (two registers each)
//
// The meter keeps no calibration stamp.
#pragma once

#include "TulvSignature.h"
#include "UlvModBusProtocol.h"

#include <cstdint>
#include <string>
#include <string_view>

class TulvDln0808 : public TulvModBusProtocol, public TulvSignatureOnce {
public:
    // The factory number as decimal text; empty text on a failed read.
    void GetDeviceNumber(std::string& S);
    // The software version as "HH.LL" from the high and low byte of its register,
    // each at least two digits (1 and 5 give "01.05"); empty text on a failed read.
    void GetSoftVer(std::string& S);

    // Current flow, raw value and Gmax; ch must be 1 or 2 (both the same
    // registers). 0 for another ch (nothing sent) or when the read fails.
    float ClbReadG(std::uint8_t ch);
    float ClbReadSFR(std::uint8_t ch);
    float ClbReadGmax(std::uint8_t ch);

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8); ch must be 1 or 2, both
    // address the same registers. Two registers are read at the value's first
    // register; K0 is the low byte of the first, taken as a signed number. True
    // on success. A failed read stores 0 and returns false with LastError set;
    // bad arguments return false, send nothing, and leave value and LastError
    // untouched.
    bool ClbReadK(std::uint8_t ch, std::uint8_t i, float& value);
    bool ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value);

    // Writes one value: Ku and the points as a single in two registers; K0 as
    // one register holding the value truncated toward zero (-3.7 goes as -3,
    // FF FD). A K0 that is not a number or whose truncation lies outside
    // -128..127 cannot be kept by the meter: false, nothing sent, LastError
    // untouched. True when LastError is 0 after the write (also when EWrite is
    // false and the write is suppressed). Bad arguments return false without a
    // transaction.
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value);
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value);

    // Factory values through ClbWriteK on channel 1 for i = 0..9 (K0 0.0, Ku the
    // single of bit pattern 0x34200000, then the factory points), then
    // ClbWriteObr for i = 2..9. Failures are not reported; LastError is that of
    // the last write.
    void ResetK();

    // --- Calibration stamp ---------------------------------------------------
    // The meter keeps no stamp, so nothing is ever sent. False when no
    // 8-character Signature is set; true when already marked written; otherwise
    // marks it written and returns whether LastError (of the last operation) is 0.
    bool ClbWriteSignature();

private:
    static bool ValidArgs(std::uint8_t ch, std::uint8_t i) { return ch >= 1 && ch <= 2 && i <= 9; }
    // Reads the two registers at start into b (most significant register first).
    bool ReadPair(std::uint16_t start, std::uint8_t (&b)[4]);
    float ReadInteger(std::uint16_t start);
    bool ReadCell(std::uint16_t cell, bool zeroCell, float& value);
    bool WriteCell(std::uint16_t cell, bool zeroCell, float value);
};
