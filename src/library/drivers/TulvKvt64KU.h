// Driver of the КВТ-64КУ heat meter with an ultrasonic flow part (type code 14):
// one flow channel, values little-endian (least significant byte first).
//
// The meter is addressed by its serial number, GZU_NetAddr: every memory
// transaction goes through the relay (GZU_ReadRtc2k, GZU_ReadRam,
// GZU_WriteRtc2k). Only the verification-mode switch (KU_ frames to address 0)
// and WriteRtc2k_new (0A 42 to NetAddr) are plain 6x frames. Relay transactions
// make no port check and are not gated by EWrite (see Tulv6xProtocol).
//
// Rtc2k cells (4-byte singles): K0 0x0090, Ku 0x0094, K points 0x00A0..,
// Obr points 0x00C0..; factory number 0x0000 (32-bit integer); Gmax 0x0023;
// measuring-chip settings 0x00F0 (7 bytes); stamp 0x0020 (16 bytes).
// RAM: live flow 0x001E; raw value block 0x03A0 (36 bytes: the raw measurement,
// the two sound times at 0x03A4/0x03A8, the two amplitudes at 0x03AC/0x03B0,
// then 16 bytes passed through as they are); error flags 0x03F0 (1 byte); data
// buffer 0x0800.
//
// Reads refuse a reply that carries another number of bytes than asked (3): the
// rest of the caller's value would be stale.
#pragma once

#include "Ulv6xProtocol.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class TulvKvt64KU : public Tulv6xProtocol {
public:
    // The factory number as decimal text; empty text on a failed read.
    void GetDeviceNumber(std::string& S);
    // The identity text through the relay; empty on failure. Hides the plain
    // 6x Tulv6xProtocol::GetDevID, which stays reachable by its qualified name.
    void GetDevID(std::string& S);

    // The live flow value and the raw measurement (RAM singles); 0 when the read fails.
    float ClbReadG();
    float ClbReadSFR();

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of the measured (K) or
    // reference (Obr) table; the meter has one channel. True on success; a
    // failed read stores 0 and returns false with LastError set; i above 9
    // returns false, sends nothing, and leaves value and LastError untouched.
    bool ClbReadK(std::uint8_t i, float& value);
    bool ClbReadObr(std::uint8_t i, float& value);

    // Writes one value as a plain 4-byte single through the relay. True when
    // LastError is 0 after the write; i above 9 returns false without a transaction.
    bool ClbWriteK(std::uint8_t i, float value);
    bool ClbWriteObr(std::uint8_t i, float value);

    // Writes one value as a scrambled block (ScrambleValue8 of its bit pattern):
    // the 8 bytes in block order, followed by a ninth byte 0x00.
    bool ClbWriteK_new(std::uint8_t i, std::uint64_t block);
    bool ClbWriteObr_new(std::uint8_t i, std::uint64_t block);

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
    // Writes Count bytes with the alternative write 0A 42 as a plain 6x frame
    // to NetAddr (WriteRtc2k_0A42: port check, gated by EWrite).
    void WriteRtc2k_new(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count);

    // --- Ultrasonic measurements ---------------------------------------------
    // Length of the sound path in metres for a sound time in nanoseconds at a
    // water temperature in °C, from the speed of sound interpolated between the
    // points of its table. 0 for a temperature of 0 °C or below, above 150 °C,
    // or not a number. Needs no meter.
    static float clb_CalcSoundPathLength(float Temperature, float SoundTime);
    // Mean of the two sound times; 0 when either read fails.
    float ClbRead_SoundTime();
    // The second amplitude when Which is not 0, else the first; 0 on failure.
    float ClbRead_AmpValue(std::uint8_t Which);
    // The error flag byte; 0 on failure.
    int ReadErrors();

    // Buffer reads: true on success; false with the buffer untouched on failure.
    // The 36-byte raw value block.
    bool ClbReadRawValues(std::span<std::uint8_t, 36> Buf);
    // Count bytes of the data buffer (Count must not exceed Data's size:
    // std::invalid_argument).
    bool ClbRead_Cons_SFR_SONIC_DATA(std::span<std::uint8_t> Data, std::uint8_t Count);
    // The 7 bytes of measuring-chip settings.
    bool ClbReadGP30_FHL_settings(std::span<std::uint8_t, 7> Buf);
    // 40 bytes of memory from the K0 cell on, as stored: K0, Ku, the 8 bytes
    // between Ku and the first K point, K points 1..6.
    bool ClbReadTableK(std::span<std::uint8_t, 40> Data);
    // The reference table as 10 singles by index, as stored (little-endian):
    // K0, Ku (8 bytes from the K0 cell), then Obr points 1..8 (32 bytes from
    // the first Obr cell). Two reads; Data is filled only when both succeed.
    bool ClbReadTableObr(std::span<std::uint8_t, 40> Data);

    // Verification mode on and off: KU_StartPoverka, KU_StopPoverka (plain 6x
    // frames to address 0, no reply read).
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
    // year, month, day, hour, minute, second of the local time) at 0x0020
    // through the relay, once until the next ClearSignature. False without a
    // transaction when no 8-character Signature is set; true without a
    // transaction when already written; else true when the write succeeded.
    bool ClbWriteSignature();
    void ClearSignature() { FSignatureWritten = false; }

private:
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
