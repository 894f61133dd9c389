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
// its bytes 0..3 replaced, and the 8 bytes written back. The protocol ignores a
// reply to "R" whose reply code is not 0xD2 (LastError stays 0, nothing is
// copied); writing back after such a reply would put the previous block into
// the meter, so this driver checks the reply code and counts a wrong one as a
// failed read (LastError 7), for every read of the parameter memory.
//
// The meter keeps no calibration stamp.
#pragma once

#include "UlvM4Protocol.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class TulvKvt09M4 : public TulvM4Protocol {
public:
    // The factory number: the 8 bytes at address 0 as 8 characters, untrimmed.
    // Empty text on a failed read.
    void GetDeviceNumber(std::string& S);

    // Current flow and Gmax of channel ch: 1 selects channel 1, any other value
    // channel 2. 0 when the read fails.
    float ClbReadG(std::uint8_t ch);
    float ClbReadGmax(std::uint8_t ch);

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of channel ch from the
    // measured (K) or reference (Obr) table. True on success. A failed read
    // stores 0 and returns false with LastError set; ch outside 1..2 or i above
    // 9 returns false, sends nothing, and leaves value and LastError untouched.
    bool ClbReadK(std::uint8_t ch, std::uint8_t i, float& value);
    bool ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value);

    // Writes one value by read-modify-write of its block (bytes 4..7 keep what
    // was read). False without a write when the read fails (LastError 2, 5 or
    // 7); otherwise true when LastError is 0 after the write (also when EWrite
    // is false and the write is suppressed). Bad arguments return false
    // without a transaction.
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value);
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value);
    // Writes Gmax of channel ch (1 selects channel 1, any other value channel 2)
    // by read-modify-write, as ClbWriteK does.
    bool ClbWriteGmax(std::uint8_t ch, float value);

    // Factory values: the setting commands WriteS (1,1), (2,1), (17,1), (18,1)
    // in this order (gated by EWrite). Failures are not reported; LastError is
    // that of the last command.
    void ResetK();

    // The block of the last read of the parameter memory, or the block last
    // written.
    const std::array<std::uint8_t, 8>& ExchangeBuffer() const { return FBuffer; }

    // --- Calibration stamp ---------------------------------------------------
    // Assigning keeps the first 8 characters of a text of 8 or more characters,
    // and makes Signature empty otherwise; either way SignatureSet becomes true.
    const std::string& Signature() const { return FSignature; }
    void SetSignature(std::string_view text);
    bool SignatureSet() const { return FSignatureSet; }
    // The meter keeps no stamp: true at once, nothing written.
    bool ClbWriteSignature() { return true; }

private:
    static bool ValidArgs(std::uint8_t ch, std::uint8_t i) { return ch >= 1 && ch <= 2 && i <= 9; }
    // Reads the block at addr into the exchange buffer; a reply with a wrong
    // reply code fails with LastError 7 and leaves the buffer as it was.
    bool ReadBlock(std::uint16_t addr);
    bool ReadValue(std::uint16_t addr, float& value);
    bool WriteValue(std::uint16_t addr, float value);

    std::array<std::uint8_t, 8> FBuffer{};
    bool FSignatureSet = false;
    std::string FSignature;
};
