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
//
// The protocol ignores a reply to "R" whose reply code is not 0xD2 (LastError
// stays 0, nothing is copied). This driver checks the reply code and counts a
// wrong one as a failed read (LastError 7), so that no stale block is taken for
// a value or written back by the factory reset.
//
// The meter keeps no calibration stamp.
#pragma once

#include "UlvM4Protocol.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class TulvDln0807 : public TulvM4Protocol {
public:
    // The factory number: the 8 bytes at parameter 0 as 8 characters, untrimmed.
    // Empty text on a failed read.
    void GetDeviceNumber(std::string& S);

    // Current flow, second flow value and Gmax of channel ch: 1 selects channel
    // 1, any other value channel 2. 0 when the read fails.
    float ClbReadG(std::uint8_t ch);
    float ClbReadGFlow(std::uint8_t ch);
    float ClbReadGmax(std::uint8_t ch);

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of channel ch from the
    // measured (K) or reference (Obr) table. True on success. A failed read
    // stores 0 and returns false with LastError set; ch outside 1..2 or i above
    // 9 returns false, sends nothing, and leaves value and LastError untouched.
    bool ClbReadK(std::uint8_t ch, std::uint8_t i, float& value);
    bool ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value);

    // Writes one value: WriteS(5, 0), then the block of the value's M4 float
    // and four zero bytes with WriteMem. False when the setting command fails
    // (nothing written); otherwise true when LastError is 0 after the write.
    // With EWrite false both are suppressed and the result is true. Bad
    // arguments return false without a transaction.
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value);
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value);

    // Factory values, channel 1 and then channel 2: WriteS(5, 0); then by
    // read-modify-write (bytes 4..7 keep what was read) K0 = 0.0, Ku = 1.0, and
    // per point the K cell, then the Obr cell, with this meter's factory points
    // (FactoryPoints). A cell whose read fails is skipped, not written. Failures
    // are not reported; LastError is that of the last command.
    void ResetK();

    // The factory values of points 1..8 of this meter.
    static constexpr float FactoryPoints[8] = {0.003f, 0.01f, 0.02f, 0.04f, 0.2f, 0.45f, 0.9f, 1.2f};

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
    // Reads the block at addr; a reply with a wrong reply code fails with
    // LastError 7 and leaves block as it was.
    bool ReadBlock(std::uint16_t addr, std::array<std::uint8_t, 8>& block);
    bool ReadValue(std::uint16_t addr, float& value);
    float ReadLive(std::uint16_t addr);
    bool WriteValue(std::uint16_t addr, float value);
    void ResetValue(std::uint16_t addr, float value);

    bool FSignatureSet = false;
    std::string FSignature;
};
