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

#include "Tulv6xMeter.h"

inline constexpr ChannelCells Gzu08Channel1{0x0300, 0x0304, 0x0310, 0x0350};
inline constexpr ChannelCells Gzu08Channel2{0x0300, 0x0304, 0x0330, 0x0370};

inline constexpr Meter6xMap Gzu08Map{
    .order = ByteOrder::LittleEndian,
    .relay = true,
    .channels = ChannelArg::Checked,
    .k = TableOf(CalTable::K, Gzu08Channel1, Gzu08Channel2),
    .obr = TableOf(CalTable::Obr, Gzu08Channel1, Gzu08Channel2),
    .scrambledWrites = true,
    .live = LiveArg::None,
    .flow = {0x0010},
    .raw = {0x03A0},
    .number = NumberForm::Decimal,
    .numberCell = 0x0000,
    .stamp = StampWrite::RelayNew,
    .stampCell = 0x02D0,
    .reset = ResetForm::Relay,
};

class TulvGZU08 : public Tulv6xRelayMeterOf<Gzu08Map> {
public:
    static constexpr std::uint16_t DataBufferAddr = 0x0800;

    // Writes Count bytes (at most 244; Count must not exceed Data's size:
    // std::invalid_argument) with the relay's alternative write 0A 42. What the
    // meter echoes is not handed back. LastError as the relay's.
    void WriteRtc2k_new(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count)
    {
        RelayWriteNew(Addr, Data, Count);
    }

    // Buffer reads: true on success; false with the buffer untouched on failure.
    // The first 12 bytes of the raw value block (the block is read whole).
    bool ClbReadSFRs(std::span<std::uint8_t, 12> Buf);
    // The 13-byte data buffer.
    bool Read_CLB_G_VALUES(std::span<std::uint8_t, 13> Buf) { return ReadRamExactly(DataBufferAddr, Buf); }
    // This meter offers no whole-table reads: false, nothing sent, Data untouched.
    bool ClbReadTableK(std::span<std::uint8_t, 40>) { return false; }
    bool ClbReadTableObr(std::span<std::uint8_t, 40>) { return false; }

    // Verification mode on and off: GZU_StartPoverka, GZU_StopPoverka
    // (broadcasts over the relay, no reply read).
    void StartPoverkaMode() { GZU_StartPoverka(); }
    void StopPoverkaMode() { GZU_StopPoverka(); }
};
