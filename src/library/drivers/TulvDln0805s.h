// Driver of the ДЛН-08.05С flow meter (type code 10): values big-endian (most
// significant byte first). The meter is used with one flow channel; the cells of
// a second channel are part of its map and are what channel 2 addresses.
//
// Rtc2k cells (4-byte singles):
//   channel 1: K0 0x0100, Ku 0x0104, K points 0x0108.., Obr points 0x0128..
//   channel 2: K0 0x0704, Ku 0x071C, K points 0x0740.., Obr points 0x0780..
// Gmax at 0x0010 (single); factory number at 0x0000 (8 characters); stamp at
// 0x01F0 (16 bytes, written in two halves). RAM: live flow value 0x00B4, raw
// measurement 0x00B0.
#pragma once

#include "Ulv6xProtocol.h"

#include <cstdint>
#include <string>
#include <string_view>

class TulvDln0805s : public Tulv6xProtocol {
public:
    // The factory number: 8 characters, each byte below 32 shown as a blank.
    // Empty text on a failed read (LastError 1..6; 3 also for a short reply).
    void GetDeviceNumber(std::string& S);

    // The live flow value and the raw measurement (RAM singles); 0 when the read fails.
    float ClbReadG();
    float ClbReadSFR();

    // Gmax, the single at 0x0010; 0 when the read fails (LastError set).
    float ClbReadGmax();

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of channel ch from the measured
    // (K) or reference (Obr) table. True on success. A failed read stores 0 and
    // returns false with LastError set; ch outside 1..2 or i above 9 returns
    // false, sends nothing, and leaves value and LastError untouched.
    bool ClbReadK(std::uint8_t ch, std::uint8_t i, float& value);
    bool ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value);

    // Writes one value as a plain 4-byte single. True when LastError is 0 after
    // the write; bad arguments return false without a transaction.
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value);
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value);

    // Writes one value as a scrambled block (ScrambleValue8 of its bit pattern).
    // The 8 bytes go to the meter reversed, followed by a ninth byte 0x00.
    bool ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block);
    bool ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block);

    // Factory values for channel 1 with nine plain 8-byte writes: points 1-2,
    // 3-4, 5-6, 7-8 each to the K and then the Obr cells, then K0 and Ku
    // together. Failures are not reported; LastError is that of the last write.
    void ResetK();
    // Factory values for channel 1 with scrambled writes: per point the K cell,
    // then the Obr cell; then K0 and Ku. Failures are not reported.
    void ResetK_new();

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
    bool WriteCellScrambled(std::uint16_t cell, std::uint64_t block);
    float ReadLive(std::uint16_t addr);

    bool FSignatureSet = false;
    bool FSignatureWritten = false;
    std::string FSignature;
};
