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

#include "Tulv6xMeter.h"

inline constexpr ChannelCells Kvt64KUCells{0x0090, 0x0094, 0x00A0, 0x00C0};

inline constexpr Meter6xMap Kvt64KUMap{
    .order = ByteOrder::LittleEndian,
    .relay = true,
    .channels = ChannelArg::None,
    .k = TableOf(CalTable::K, Kvt64KUCells, Kvt64KUCells),
    .obr = TableOf(CalTable::Obr, Kvt64KUCells, Kvt64KUCells),
    .scrambledWrites = true,
    .live = LiveArg::None,
    .flow = {0x001E},
    .raw = {0x03A0},
    .number = NumberForm::Decimal,
    .numberCell = 0x0000,
    .stamp = StampWrite::Relay,
    .stampCell = 0x0020,
    .reset = ResetForm::Relay,
};

class TulvKvt64KU : public Tulv6xRelayMeterOf<Kvt64KUMap> {
public:
    static constexpr std::uint16_t ChipSettingsCell = 0x00F0;
    static constexpr std::uint16_t SoundTimeAddr[2] = {0x03A4, 0x03A8};
    static constexpr std::uint16_t AmplitudeAddr[2] = {0x03AC, 0x03B0};
    static constexpr std::uint16_t DataBufferAddr = 0x0800;

    // Writes Count bytes with the alternative write 0A 42 as a plain 6x frame
    // to NetAddr (WriteRtc2k_0A42: port check, gated by EWrite).
    void WriteRtc2k_new(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count);

    // Mean of the two sound times; 0 when either read fails.
    float ClbRead_SoundTime();
    // The second amplitude when Which is not 0, else the first; 0 on failure.
    float ClbRead_AmpValue(std::uint8_t Which);
    // Buffer reads: true on success; false with the buffer untouched on failure.
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
    void StartPoverkaMode() { KU_StartPoverka(); }
    void StopPoverkaMode() { KU_StopPoverka(); }
};
