// Driver of the КВТ-76 heat meter (type code 5): two flow channels, values big-endian.
//
// The meter guards its calibration tables with a checksum: they form one block
// of 146 bytes at Rtc2k 0x05E0 —
//   offset   0: channel 1 table (72 bytes)
//   offset  72: channel 2 table (72 bytes)
//   offset 144: checksum, big-endian: the one's complement of the 16-bit sum of
//               bytes 0..143
// A channel table holds 18 big-endian singles: K0, Ku, Obr points 1..8, K points 1..8.
// Every plain write therefore rewrites the whole block; a scrambled write goes to
// its cell and is followed by a new checksum.
// Factory number at Rtc2k 0x0152 (32-bit integer), stamp at 0x07E0 (16 bytes).
// RAM: live flow values 0x00A0/0x00A4, raw measurements 0x0000/0x0004 (channel 1/2).
#pragma once

#include "Ulv6xProtocol.h"

#include <cstdint>
#include <string>
#include <string_view>

class TulvKvt76 : public Tulv6xProtocol {
public:
    // The factory number as decimal text; empty text on a failed read (LastError
    // 1..6; 3 also when the reply carries fewer than 4 bytes).
    void GetDeviceNumber(std::string& S);

    // The live flow value and the raw measurement of channel ch (RAM singles).
    // 0 when ch is not 1 or 2 (nothing sent) or the read fails.
    float ClbReadG(std::uint8_t ch);
    float ClbReadSFR(std::uint8_t ch);

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of channel ch from the measured
    // (K) or reference (Obr) table, read from its one cell. True on success. A
    // failed read stores 0 and returns false with LastError set; ch outside 1..2
    // or i above 9 returns false, sends nothing, and leaves value and LastError
    // untouched.
    bool ClbReadK(std::uint8_t ch, std::uint8_t i, float& value);
    bool ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value);

    // Writes one value by rewriting the checksum-guarded block: read the block,
    // put the value in, recompute the checksum, write the block back in pieces,
    // then write the stamp (its outcome is not part of the result, though it
    // leaves LastError). False when the block read fails or is short (nothing is
    // written then) or at the first failed piece (the rest is not written and
    // the meter's checksum does not match until the next complete write).
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value);
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value);

    // Writes one value as a scrambled block (ScrambleValue8 of its bit pattern) to
    // its cell: the 8 bytes reversed and a ninth byte 0x00. The meter keeps the
    // plain value in the cell; the block's checksum is then read back, recomputed
    // and written to 0x0670. No stamp. False at the first failed step.
    bool ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block);
    bool ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block);

    // Rewrites channel ch's whole table from 18 singles in block order (K0, Ku,
    // Obr points 1..8, K points 1..8); the other channel keeps what was read.
    // Results as for ClbWriteK; ch outside 1..2 returns false without a transaction.
    bool ClbWriteAll(std::uint8_t ch, const float (&table)[18]);

    // This meter has no factory reset over the line: does nothing.
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
    static constexpr int BlockSize = 146;
    using Block = std::uint8_t[BlockSize];

    static bool ValidArgs(std::uint8_t ch, std::uint8_t i) { return ch >= 1 && ch <= 2 && i <= 9; }
    // Turns a reply that carried fewer bytes than asked into a refused packet (3).
    bool ReplyCarried(std::uint8_t count);
    bool ReadCell(std::uint16_t cell, float& value);
    float ReadLive(std::uint16_t addr);
    bool ReadBlock(Block& block);
    // Checksum, pieces and stamp; false at the first failed piece.
    bool WriteBlock(Block& block);
    bool RewriteCell(std::uint16_t cell, float value);
    bool WriteCellScrambled(std::uint16_t cell, std::uint64_t block);

    bool FSignatureSet = false;
    std::string FSignature;
    bool FSignatureWritten = false;
};
