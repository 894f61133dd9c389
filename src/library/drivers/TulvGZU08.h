// Driver of the ГЗУ-08 ultrasonic flow meter (type code 15): two flow
// directions as channels 1 (forward) and 2 (reverse), values little-endian
// (least significant byte first).
//
// The meter is addressed by its serial number, GZU_NetAddr: every transaction
// goes through the relay (GZU_ReadRtc2k, GZU_ReadRam, GZU_WriteRtc2k,
// GZU_Write_Rtc2k_new, GZU_GetDevID, GZU_ResetClbTable, and the broadcasts of
// the verification-mode switch). Relay transactions make no port check and are
// not gated by EWrite (see Tulv6xProtocol).
//
// Rtc2k cells (4-byte singles); the two directions share K0 and Ku:
//   K0 0x0300, Ku 0x0304
//   channel 1: K points 0x0310.., Obr points 0x0350..
//   channel 2: K points 0x0330.., Obr points 0x0370..
// Factory number 0x0000 (32-bit integer); sensor index 0x0021 (first of 2
// bytes); Gmax 0x0023; stamp 0x02D0 (16 bytes, written with 0A 42).
// RAM: live flow 0x0010; raw value block 0x03A0 (36 bytes, starting with the raw
// measurement); error flags 0x03F0 (1 byte); data buffer 0x0800 (13 bytes).
//
// Reads refuse a reply that carries another number of bytes than asked (3): the
// rest of the caller's value would be stale.
#pragma once

#include "Ulv6xProtocol.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class TulvGZU08 : public Tulv6xProtocol {
public:
    // The factory number as decimal text; empty text on a failed read.
    void GetDeviceNumber(std::string& S);
    // The identity text through the relay; empty on failure. Hides the plain
    // 6x Tulv6xProtocol::GetDevID, which stays reachable by its qualified name.
    void GetDevID(std::string& S);

    // The live flow value and the raw measurement (RAM singles); 0 when the read fails.
    float ClbReadG();
    float ClbReadSFR();

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of direction ch from the
    // measured (K) or reference (Obr) table; both directions share K0 and Ku.
    // True on success. A failed read stores 0 and returns false with LastError
    // set; ch outside 1..2 or i above 9 returns false, sends nothing, and leaves
    // value and LastError untouched.
    bool ClbReadK(std::uint8_t ch, std::uint8_t i, float& value);
    bool ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value);

    // Writes one value as a plain 4-byte single through the relay. True when
    // LastError is 0 after the write; bad arguments return false without a transaction.
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value);
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value);

    // Writes one value as a scrambled block (ScrambleValue8 of its bit pattern):
    // the 8 bytes in block order, followed by a ninth byte 0x00.
    bool ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block);
    bool ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block);

    // The meter restores its factory tables itself (relay 0F 64, no data).
    // LastError is that of the transaction.
    void ResetK();

    // --- Memory of the meter through the relay -------------------------------
    // These hide the plain 6x commands of the same names in Tulv6xProtocol
    // (direct frames to NetAddr); those stay reachable as
    // Tulv6xProtocol::ReadRtc2k and Tulv6xProtocol::ReadRAM.
    //
    // Reads Count bytes into Data (Count must not exceed Data's size:
    // std::invalid_argument). On failure Data is untouched: LastError 1, 2 or 5
    // from the relay, or 3 when the reply carries another number of bytes.
    void ReadRtc2k(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    void ReadRAM(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    // Writes Count bytes (at most 244; Count must not exceed Data's size:
    // std::invalid_argument) with the relay's alternative write 0A 42. What the
    // meter echoes is not handed back. LastError as the relay's.
    void WriteRtc2k_new(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count);

    // --- Ultrasonic measurements ---------------------------------------------
    // Length of the sound path in metres for a sound time in nanoseconds at a
    // water temperature in °C, from the speed of sound interpolated between the
    // points of its table. 0 for a temperature of 0 °C or below, above 150 °C,
    // or not a number. Needs no meter.
    static float clb_CalcSoundPathLength(float Temperature, float SoundTime);
    // The error flag byte; 0 on failure.
    int ReadErrors();

    // Buffer reads: true on success; false with the buffer untouched on failure.
    // The 36-byte raw value block.
    bool ClbReadRawValues(std::span<std::uint8_t, 36> Buf);
    // The first 12 bytes of the raw value block (the block is read whole).
    bool ClbReadSFRs(std::span<std::uint8_t, 12> Buf);
    // The 13-byte data buffer.
    bool Read_CLB_G_VALUES(std::span<std::uint8_t, 13> Buf);
    // This meter offers no whole-table reads: false, nothing sent, Data untouched.
    bool ClbReadTableK(std::span<std::uint8_t, 40> Data);
    bool ClbReadTableObr(std::span<std::uint8_t, 40> Data);

    // Verification mode on and off: GZU_StartPoverka, GZU_StopPoverka
    // (broadcasts over the relay, no reply read).
    void StartPoverkaMode();
    void StopPoverkaMode();

    // --- Calibration stamp ---------------------------------------------------
    // Assigning keeps the first 8 characters of a text of 8 or more characters,
    // and makes Signature empty otherwise; either way SignatureSet becomes true.
    const std::string& Signature() const { return FSignature; }
    void SetSignature(std::string_view text);
    bool SignatureSet() const { return FSignatureSet; }
    // True once the stamp has been written since the last ClearSignature.
    bool SignatureWritten() const { return FSignatureWritten; }
    // Writes the 16-byte stamp (Signature in code page 1251, two zero bytes, BCD
    // year, month, day, hour, minute, second of the local time) at 0x02D0 with
    // the relay's write 0A 42, once until the next ClearSignature. False without
    // a transaction when no 8-character Signature is set; true without a
    // transaction when already written; else true when the write succeeded.
    bool ClbWriteSignature();
    void ClearSignature() { FSignatureWritten = false; }

private:
    static bool ValidArgs(std::uint8_t ch, std::uint8_t i) { return ch >= 1 && ch <= 2 && i <= 9; }
    enum class Area { Rtc2k, Ram };
    // Reads exactly out.size() bytes through the relay into out; out untouched on failure.
    bool RelayRead(Area area, std::uint16_t addr, std::span<std::uint8_t> out);
    bool ReadSingle(Area area, std::uint16_t addr, float& value);
    bool ReadCell(std::uint16_t cell, float& value);
    bool WriteCell(std::uint16_t cell, float value);
    bool WriteCellScrambled(std::uint16_t cell, std::uint64_t block);
    float ReadLive(std::uint16_t addr);

    bool FSignatureSet = false;
    std::string FSignature;
    bool FSignatureWritten = false;
};
