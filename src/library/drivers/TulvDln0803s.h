// Driver of the ДЛН-08.03С flow meter (type code 8): one flow channel, values
// big-endian (most significant byte first).
//
// Rtc2k cells (4-byte singles): K0 0x0040, Ku 0x0044, K points 0x0048..,
// Obr points 0x0068..; Gmax index at 0x0008 and size code at 0x0009 (1 byte
// each); factory number at 0x0000 (8 characters); stamp at 0x01F0 (16 bytes).
// RAM: live flow value 0x00B4, raw measurement 0x00B0.
//
// The meter comes in two modifications, told apart by the identity text:
// "DLN0803-C" (1) and "DLN0803-CM" (2). Each has its own list of Gmax values;
// the Gmax index is the position in that list, and the size code is the one
// that goes with that position.
#pragma once

#include "Ulv6xProtocol.h"

#include <cstdint>
#include <string>
#include <string_view>

class TulvDln0803s : public Tulv6xProtocol {
public:
    // Gmax by index: 7 entries for modification 1, 8 for modification 2.
    static constexpr float GmaxModification1[7] = {6.0f, 16.0f, 30.0f, 60.0f, 160.0f, 300.0f, 600.0f};
    static constexpr float GmaxModification2[8] = {6.3f, 16.0f, 25.0f, 40.0f, 63.0f, 160.0f, 250.0f, 630.0f};
    // The size code (the byte at 0x0009) that goes with each Gmax index.
    static constexpr std::uint8_t SizeCodeModification1[7] = {15, 25, 32, 50, 80, 100, 150};
    static constexpr std::uint8_t SizeCodeModification2[8] = {15, 25, 32, 40, 50, 80, 100, 150};

    // The Gmax index (the byte for 0x0008) of gmax in the list of the
    // modification: the position of the first entry exactly equal to gmax; 0 when
    // no entry is equal or the modification is neither 1 nor 2.
    static constexpr std::uint8_t GmaxIndex(std::uint8_t modification, float gmax)
    {
        if (modification == 1) {
            for (std::uint8_t k = 0; k < 7; ++k)
                if (GmaxModification1[k] == gmax) return k;
        } else if (modification == 2) {
            for (std::uint8_t k = 0; k < 8; ++k)
                if (GmaxModification2[k] == gmax) return k;
        }
        return 0;
    }
    // The size code (the byte for 0x0009) of a Gmax index: the entry of the
    // modification's list; 15 when the index lies beyond the list; 0 when the
    // modification is neither 1 nor 2.
    static constexpr std::uint8_t GmaxSizeCode(std::uint8_t modification, std::uint8_t index)
    {
        if (modification == 1) return index < 7 ? SizeCodeModification1[index] : 15;
        if (modification == 2) return index < 8 ? SizeCodeModification2[index] : 15;
        return 0;
    }

    // --- Identification ------------------------------------------------------
    // The software version as a number: the version text without its first
    // character, plus 0.0001. 0 when the question fails (LastError 1, 2, 4, 5,
    // or 6 with the port closed). A text that is not a number throws
    // std::invalid_argument.
    float GetPO_Version();
    // The identity text; empty when the question fails (LastError not 0).
    void GetDevice_ID(std::string& S);
    // 1 for the identity "DLN0803-C", 2 for "DLN0803-CM", 0 for any other
    // identity or when the identity or the version question fails. Asks both
    // questions; the version only has to be answered, its text is not judged.
    std::uint8_t GetDevice_Modification();

    // The factory number: 8 characters, each byte below 32 shown as a blank.
    // Empty text on a failed read (LastError 1..6; 3 also for a short reply).
    void GetDeviceNumber(std::string& S);

    // The live flow value and the raw measurement (RAM singles); 0 when the read fails.
    float ClbReadG();
    float ClbReadSFR();

    // Gmax: the entry at the Gmax index (0x0008) in the list of the meter's
    // modification (GetDevice_Modification first, then the index, which is read
    // whatever the modification). 0 when the index cannot be read (LastError set),
    // lies beyond the list, or the modification is neither 1 nor 2.
    float ClbReadGmax();

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
    // year, month, day, hour, minute, second of the local time) in one write,
    // once until the next ClearSignature. False without a transaction when no
    // 8-character Signature is set; true without a transaction when already
    // written; else true when the write succeeded (LastError 0).
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
    bool FSignatureWritten = false;
    std::string FSignature;
};
