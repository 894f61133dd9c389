// Driver of the КВТ-64-1 heat meter (type code 2): one flow channel, values big-endian.
//
// Rtc2k cells (4-byte singles, most significant byte first): K0 0x0050, Ku 0x0054,
// K points 0x0058.., Obr points 0x0078..; size code of Gmax at 0x000A (1 byte);
// factory number at 0x0000 (8 characters); stamp at 0x01F0 (16 bytes).
// RAM: live flow value 0x00B4, raw measurement 0x00B0.
#pragma once

#include "Ulv6xProtocol.h"

#include <cstdint>
#include <string>
#include <string_view>

class TulvKvt641 : public Tulv6xProtocol {
public:
    // Gmax by size code 0..7, for the standard meters and for the M series
    // (modification text "M", asked from software version 4000 on).
    static constexpr float GmaxStandard[8] = {6.0f, 16.0f, 30.0f, 40.0f, 60.0f, 160.0f, 300.0f, 600.0f};
    static constexpr float GmaxMSeries[8] = {6.3f, 16.0f, 25.0f, 40.0f, 63.0f, 160.0f, 250.0f, 630.0f};

    // The factory number: 8 characters, each byte below 32 shown as a blank.
    // Empty text on a failed read (LastError 1..6; 3 also for a short reply).
    void GetDeviceNumber(std::string& S);

    // The live flow value and the raw measurement (RAM singles); 0 when the read fails.
    float ClbReadG();
    float ClbReadSFR();

    // Gmax from the size code at 0x000A, in the table of the meter's series: from
    // version 4000.0 on the modification is asked first, and the text "M" (exactly)
    // selects the M series; a failed question counts as the standard series.
    // 0 when the size code cannot be read or is 8 or more.
    float ClbReadGmax(float version);

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of the measured (K) or
    // reference (Obr) table. The meter has one channel: ch is accepted and not
    // looked at. True on success; a failed read stores 0 and returns false with
    // LastError set; i above 9 returns false, sends nothing, and leaves value and
    // LastError untouched.
    bool ClbReadK(std::uint8_t ch, std::uint8_t i, float& value);
    bool ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value);

    // Writes one value as a plain 4-byte single. True when LastError is 0 after
    // the write; i above 9 returns false without a transaction.
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value);
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value);

    // Writes one value as a scrambled block (ScrambleValue8 of its bit pattern).
    // The 8 bytes go to the meter reversed, followed by a ninth byte 0x00.
    bool ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block);
    bool ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block);

    // Factory values with nine plain 8-byte writes: points 1-2, 3-4, 5-6, 7-8
    // each to the K and then the Obr cells, then K0 and Ku together. Failures
    // are not reported; LastError is that of the last write.
    void ResetK();
    // Factory values with scrambled writes: per point the K cell, then the Obr
    // cell; then K0 and Ku. Failures are not reported.
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
