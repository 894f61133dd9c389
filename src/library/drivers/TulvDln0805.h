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

#include "UlvM4Protocol.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class TulvDln0805 : public TulvM4Protocol {
public:
    // The factory number: the 8 bytes at parameter 0 as 8 characters, untrimmed.
    // Empty text on a failed read.
    void GetDeviceNumber(std::string& S);

    // Current flow (query "P" 4, 0) and Gmax; 0 when the read fails.
    float ClbReadG();
    float ClbReadGmax();
    // The two ADC values of the query "P" (2, 0), packed into the reply's data:
    // the result is the M4 float of bytes 0..3 and Second that of bytes 3..6 (an
    // M4 float is decoded from its first three bytes, so the values occupy bytes
    // 0..2 and 3..5). ch is not looked at. On failure the result is 0 and Second
    // is unchanged.
    float ClbReadADCCur(std::uint8_t ch, float& Second);

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8); ch must be 1 or 2, both
    // address the same cells. True on success. A failed read stores 0 and
    // returns false with LastError set; bad arguments return false, send
    // nothing, and leave value and LastError untouched.
    bool ClbReadK(std::uint8_t ch, std::uint8_t i, float& value);
    bool ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value);

    // Writes one value: WriteS(5, 0), then the block of the value's M4 float
    // and four zero bytes with WriteMem. False when the setting command fails
    // (nothing written); otherwise true when LastError is 0 after the write.
    // With EWrite false both are suppressed and the result is true. Bad
    // arguments return false without a transaction.
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value);
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value);

    // The meter restores its factory values on the setting commands (5, 0) and
    // then (99, 0), sent with SetDevice and eight zero data bytes. SetDevice is
    // not gated by EWrite, so the reset is sent even with writing disabled.
    // Failures are not reported; LastError is that of the last command.
    void ResetK();

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
    // Parameter query with zero data; the same reply code check.
    bool Query(std::uint8_t p1, std::uint8_t p2, std::array<std::uint8_t, 8>& data);
    bool WriteValue(std::uint16_t addr, float value);

    bool FSignatureSet = false;
    std::string FSignature;
};
