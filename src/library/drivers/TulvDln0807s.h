// Driver of the ДЛН-08.07С flow meter (type code 12): values little-endian
// (least significant byte first, as they lie in memory). The meter has two
// channel numbers but one set of cells: channel 1 and 2 are checked and address
// the same cells (each channel of the meter answers at its own network address).
//
// Rtc2k cells (4-byte singles): K0 0x0100, Ku 0x0104, K points 0x0108..,
// Obr points 0x0128..; Gmax at 0x0010 (single); factory number at 0x0000
// (8 characters); stamp at 0x01F0 (16 bytes, written in two halves).
// RAM: live flow value 0x00B4, raw measurement 0x00B0.
// The meter takes no scrambled writes.
#pragma once

#include "Ulv6xProtocol.h"

#include <cstdint>
#include <string>
#include <string_view>

class TulvDln0807s : public Tulv6xProtocol {
public:
    // The factory number: the 8 bytes as 8 characters, unchanged, read only when
    // the identity text contains "DLN-08.07". Empty text when the identity
    // question fails (LastError 1..6), when the identity is another (LastError
    // 0, nothing read), or when the number's read fails (LastError 1..6; 3 also
    // for a short reply).
    void GetDeviceNumber(std::string& S);

    // The live flow value and the raw measurement (RAM singles); 0 when the read fails.
    float ClbReadG();
    float ClbReadSFR();

    // Gmax, the single at 0x0010; 0 when the read fails (LastError set).
    float ClbReadGmax();

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of the measured (K) or
    // reference (Obr) table. True on success. A failed read stores 0 and returns
    // false with LastError set; ch outside 1..2 or i above 9 returns false, sends
    // nothing, and leaves value and LastError untouched.
    bool ClbReadK(std::uint8_t ch, std::uint8_t i, float& value);
    bool ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value);

    // Writes one value as a plain 4-byte single. True when LastError is 0 after
    // the write; bad arguments return false without a transaction.
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value);
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value);

    // Factory values with nine plain 8-byte writes: points 1-2, 3-4, 5-6, 7-8
    // each to the K and then the Obr cells, then K0 and Ku together. Failures
    // are not reported; LastError is that of the last write.
    void ResetK();

    // --- Calibration stamp ---------------------------------------------------
    // Assigning keeps the first 8 characters of a text of 8 or more characters,
    // and makes Signature empty otherwise; either way SignatureSet becomes true.
    const std::string& Signature() const { return FSignature; }
    void SetSignature(std::string_view text);
    bool SignatureSet() const { return FSignatureSet; }
    // True once the stamp has been written since the last ClearSignature.
    bool SignatureWritten() const { return FSignatureWritten; }
    // Writes the 16-byte stamp (Signature in code page 1251, two zero bytes, BCD
    // year, month, day, hour, minute, second of the local time) once until the
    // next ClearSignature, in two halves: bytes 0..7 to 0x01F0, then bytes 8..15
    // to 0x01F8. A failed first half stops it. False without a transaction when
    // no 8-character Signature is set; true without a transaction when already
    // written; else true when both halves were written (LastError 0).
    bool ClbWriteSignature();
    void ClearSignature() { FSignatureWritten = false; }

private:
    static bool ValidArgs(std::uint8_t ch, std::uint8_t i) { return ch >= 1 && ch <= 2 && i <= 9; }
    // Turns a reply that carried fewer bytes than asked into a refused packet (3).
    bool ReplyCarried(std::uint8_t count);
    bool ReadCell(std::uint16_t cell, float& value);
    bool WriteCell(std::uint16_t cell, float value);
    float ReadLive(std::uint16_t addr);

    bool FSignatureSet = false;
    std::string FSignature;
    bool FSignatureWritten = false;
};
