// Driver of the ДЛН-08.09 flow meter (type code 13): one flow channel, values
// little-endian (least significant byte first, as they lie in memory).
//
// Rtc2k cells (4-byte singles): K0 0x0240, Ku 0x0244, K points 0x0248..,
// Obr points 0x0268..; factory number at 0x0000 (32-bit integer); stamp at 0x0020
// (16 bytes). RAM: live flow value 0x000C, raw measurement 0x03A0.
// Gmax (a single at 0x0068) is read by the caller; the driver has no operation for it.
#pragma once

#include "Ulv6xProtocol.h"

#include <cstdint>
#include <string>
#include <string_view>

class TulvDln0809 : public Tulv6xProtocol {
public:
    // The factory number as decimal text; empty text on a failed read (LastError
    // 1..6; 3 also when the reply carries fewer than 4 bytes).
    void GetDeviceNumber(std::string& S);

    // The live flow value and the raw measurement (RAM singles); 0 when the read fails.
    float ClbReadG();
    float ClbReadSFR();

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of the measured (K) or
    // reference (Obr) table. True on success. A failed read stores 0 and returns
    // false with LastError set; i above 9 returns false, sends nothing, and leaves
    // value and LastError untouched.
    bool ClbReadK(std::uint8_t i, float& value);
    bool ClbReadObr(std::uint8_t i, float& value);

    // Writes one value as a plain 4-byte single. True when LastError is 0 after
    // the write; i above 9 returns false without a transaction.
    bool ClbWriteK(std::uint8_t i, float value);
    bool ClbWriteObr(std::uint8_t i, float value);

    // Writes one value as a scrambled block (ScrambleValue8 of its bit pattern).
    // The 8 bytes go to the meter in block order, followed by a ninth byte 0x00.
    bool ClbWriteK_new(std::uint8_t i, std::uint64_t block);
    bool ClbWriteObr_new(std::uint8_t i, std::uint64_t block);

    // Factory values with scrambled writes: per point the K cell, then the Obr
    // cell; then K0 and Ku through the K table, and again through the Obr table
    // (the same cells, fresh blocks). Failures are not reported; LastError is
    // that of the last write.
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
    // next ClearSignature. False without a transaction when no 8-character
    // Signature is set; true without a transaction when already written; else
    // true when the write succeeded (LastError 0).
    bool ClbWriteSignature();
    void ClearSignature() { FSignatureWritten = false; }

private:
    // Turns a reply that carried fewer bytes than asked into a refused packet (3).
    bool ReplyCarried(std::uint8_t count);
    bool ReadCell(std::uint16_t cell, float& value);
    bool WriteCell(std::uint16_t cell, float value);
    bool WriteCellScrambled(std::uint16_t cell, std::uint64_t block);
    float ReadLive(std::uint16_t addr);

    bool FSignatureSet = false;
    std::string FSignature;
    bool FSignatureWritten = false;
};
