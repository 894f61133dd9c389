// The 6x protocol: the request/reply protocol of most meters.
//
// Frame (request and reply): start byte (0x55 request, 0xAA reply), address,
// address xor 0xFF, command group, command, N, N data bytes, checksum = the
// complement of the 8-bit sum of all bytes before it. N is at most 248.
//
// Every command leaves its outcome in LastError (see ProtocolErrorCode) and
// never throws for a transmission failure. Programming errors (a count larger
// than the caller's buffer, a frame longer than 255 bytes) throw std::invalid_argument.
#pragma once

#include "UlvFrameFields.h"
#include "UlvProtocolLink.h"
#include "UlvUtils.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

// Frame helpers, free of any transaction state.
namespace Frame6x {
constexpr std::uint8_t RequestStart = 0x55;
constexpr std::uint8_t ReplyStart = 0xAA;
constexpr int MaxData = 248;
// The complement of the 8-bit sum of count bytes.
std::uint8_t Checksum(const std::uint8_t* bytes, int count);
// What a frame (request or reply, complete or not) says, for the traffic log.
TulvFrameFields Decode(const std::uint8_t* bytes, std::size_t count, bool request);
// The meaning of a command and its N data bytes, shared with the relay frames.
void DescribeCommand(std::uint8_t group, std::uint8_t command, const std::uint8_t* data, int n, bool request,
                     TulvFrameFields& f);
} // namespace Frame6x

// Relay frame helpers.
namespace FrameRelay {
constexpr std::uint32_t BroadcastAddr = 44400000;
constexpr int MaxData = 246; // N + 9 bytes fit 255
// Completes a relay request whose group, command, N and data are in place at
// offsets 5..: start byte 0x55, addr least significant byte first at offsets
// 1..4, checksum after the data. Returns the frame length N + 9.
int Complete(std::uint8_t* frame, std::uint32_t addr);
// What a relay frame says, for the traffic log.
TulvFrameFields Decode(const std::uint8_t* bytes, std::size_t count, bool request);
} // namespace FrameRelay

class Tulv6xProtocol : public TulvProtocolLink {
public:
    Tulv6xProtocol();
    virtual ~Tulv6xProtocol();
    Tulv6xProtocol(const Tulv6xProtocol&) = delete;
    Tulv6xProtocol& operator=(const Tulv6xProtocol&) = delete;

    // --- Properties -------------------------------------------------------
    // ComPort, AutoOpenPort, EWrite, RepeatCount (5), PacketTimeout (500),
    // ByteTimeout (150), NetAddr and LastError: see TulvProtocolLink.
    std::uint32_t GZU_NetAddr() const { return FGZU_NetAddr; }
    void SetGZU_NetAddr(std::uint32_t v) { FGZU_NetAddr = v; }
    std::uint32_t DeviceType() const { return FDeviceType; }
    void SetDeviceType(std::uint32_t v) { FDeviceType = v > 17 ? 0 : v; }

    // --- Memory commands ----------------------------------------------------
    // Reads copy the reply's N data bytes into Data only on success; a reply
    // with more data than Data holds is refused with code 3 and copies nothing.

    // Rtc2k read (0F 01), replies with more than Count data bytes refused (3).
    void ReadRtc2k(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    // The same request into an untyped buffer of Count bytes, unlimited receive.
    void ReadRtc2kP(std::uint16_t Addr, void* Data, std::uint8_t Count);
    void ReadCfg(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    // Rtc2k writes (0F 81), gated by EWrite; Count at most 246.
    void WriteRtc2k(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count);
    void WriteRtc2kP(std::uint16_t Addr, const void* Data, std::uint8_t Count);
    void WriteCfg(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count);
    // As WriteRtc2k, but a reply with more than 4 data bytes is refused (3).
    void WriteRtc2k_rd4(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count);
    // The alternative Rtc2k write (0A 42).
    void WriteRtc2k_0A42(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count);
    // RAM read (0C 01), replies with more than Count data bytes refused (3).
    void ReadRAM(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    // Rtc128 (clock chip) read (0F 02) and write (0F 82, Count at most 247); the
    // write copies the reply data back into Data.
    void ReadRtc128(std::uint8_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    void WriteRtc128(std::uint8_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    // DataFlash read (0F 03): Count, then the 32-bit address big-endian.
    void ReadDataFlash(std::uint32_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    // Writes the computer's local date and time into Rtc128 0..9 (BCD).
    void SetDateTime();

    // --- Identification (group 00) -----------------------------------------
    // Texts arrive in code page 1251 and are returned as UTF-8. On a failed
    // transaction S becomes empty; when the port check fails S is left unchanged.
    void GetDevID(std::string& S);        // opens the port when AutoOpenPort allows
    void GetSoftVer(std::string& S);      // requires an open port
    void GetSoftVer64_1(std::string& S);  // "%d.%.2d" of data bytes 0 and 1
    void GetModification(std::string& S);
    void GetSoftSubVer(std::string& S);
    // Four big-endian singles of the live values (0C 00); no port check at all.
    // A reply with fewer than 16 data bytes is refused (3) and Values stay.
    void GetSfrTek(float (&Values)[4]);
    // DeviceType := 0, GetDevID, returns DeviceType.
    std::uint32_t DetectDevice();

    // --- Relay sub-protocol and verification mode (Ulv6xRelay.cpp) ----------
    // On the relay a meter is addressed by its serial number GZU_NetAddr.
    // Relay frame (request and reply): 0x55 (reply 0xAA), GZU_NetAddr least
    // significant byte first (4 bytes), group, command, N, N data bytes,
    // checksum = the complement of the byte sum; N + 9 bytes, N at most 246.
    // The reply's address and command bytes are not checked.
    //
    // Relay operations make no port check and ignore AutoOpenPort and EWrite:
    // on a closed port the sends fail (1) and the reply wait then times out (2).
    // With no port component they leave LastError 1 and send nothing.

    // Purges the port and writes the first Count request bytes one byte at a
    // time. False with LastError 1 at the first byte that fails (or with no port);
    // true otherwise, LastError untouched.
    bool GZU_SendPkt(std::uint8_t Count);
    // Receives one relay reply into the reply buffer (10 ms start delay, bytes
    // before 0xAA dropped until TulvPort::StartByteDeadline). Returns
    // its length with LastError 0, or 0 with LastError 2 (a byte did not come in
    // time, or the line kept sending noise instead of a reply), 3 (length byte 247 or more: the
    // frame would not fit 255 bytes; the port is purged) or 5 (checksum).
    std::uint8_t GZU_ReceivePkt();
    // Completes the request placed at offsets 5.. (start byte, GZU_NetAddr,
    // checksum) and runs up to RepeatCount attempts of send and receive, fewer
    // when the device has gone away. True when LastError is 0; LastError is that
    // of the last attempt (1 with no port).
    bool GZU_SendReceivePkt();
    // Completes the request placed at offsets 5.. with the broadcast address and
    // sends it once; no reply is read. LastError 0 when sent, 1 when not.
    void GZU_SendBroadcast();

    // Identification texts over the relay (00 00, 00 01, 00 03), as UTF-8.
    // S is emptied first and filled only on success. LastError as GZU_SendReceivePkt.
    void GZU_GetDevID(std::string& S);
    void GZU_GetDevPOver(std::string& S);
    void GZU_GetSoftSubVer(std::string& S);
    // Rtc2k read (0F 01) and RAM read (0C 01): the reply's data are copied into
    // Data on success. A reply with more data than Data holds leaves LastError 3
    // and copies nothing; otherwise LastError as GZU_SendReceivePkt.
    void GZU_ReadRtc2k(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    void GZU_ReadRam(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    // Rtc2k write (0F 81), Count at most 244 bytes of Data; not gated by EWrite.
    // On success the first min(N, 8, Data size) reply data bytes are copied back
    // into Data. LastError as GZU_SendReceivePkt.
    void GZU_WriteRtc2k(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    // The alternative Rtc2k write (0A 42), Count at most 244; not gated by EWrite.
    // On success all reply data are copied back into Data; a reply with more
    // data than Data holds leaves LastError 3 and copies nothing.
    void GZU_Write_Rtc2k_new(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count);
    // Resets the calibration table (0F 64). LastError as GZU_SendReceivePkt.
    void GZU_ResetClbTable();
    // Broadcast verification mode on (31 7A) and off (A8 53); no reply is read.
    // LastError as GZU_SendBroadcast.
    void GZU_StartPoverka();
    void GZU_StopPoverka();

    // Verification mode on (31 7A) and off (A8 53) as plain 6x frames to address
    // 0, sent once, no reply read. Port check as the memory commands (opens the
    // port when AutoOpenPort allows): LastError 1 (no port) or 6 (port closed)
    // and nothing sent; otherwise 0 when sent, 1 when the write failed.
    void KU_StartPoverka();
    void KU_StopPoverka();
    // Amplifier calibration and reset, plain 6x transactions to NetAddr with the
    // port check of the memory commands; none is gated by EWrite. True when the
    // transaction succeeded and the reply's data byte 0 is not zero. LastError:
    // 0, 1 (no port), 6 (port closed), 2, 4, 5 from the transaction, or 3 when a
    // reply carries no data byte (false).
    bool KU_StartAmpClb();                                // 21 01
    bool KU_StopAmpClb();                                 // 21 02
    bool KU_SetAmpClbFHL(std::uint8_t A, std::uint8_t B); // 21 03 A B
    bool KU_SetAmpClbPoint(std::uint8_t P);               // 21 04 P
    bool KU_StartAmpClbMeasure();                         // 21 05
    bool KU_StopAmpClbMeasure();                          // 21 06
    bool KU_IsAmpClb_Started();                           // 22 01
    bool KU_IsAmpClbFHL_Setuped();                        // 22 03
    bool KU_IsAmpClbPoint_Setuped();                      // 22 04
    bool KU_IsAmpClbMeasure_Started();                    // 22 05
    bool KU_ResetK();                                     // 0F 64

    // The last reply frame and the request being built (read-only views for
    // callers that need the raw bytes, and for tests).
    const std::array<std::uint8_t, 256>& ReplyBuffer() const { return FReply; }
    const std::array<std::uint8_t, 256>& RequestBuffer() const { return FRequest; }

protected:
    enum class PortCheck { Auto, Open, None };

    // Purges the port and writes the first Count request bytes in one write;
    // on failure LastError 1 and false.
    bool SendFrame(std::uint8_t Count);
    // Receives one reply frame into the reply buffer. Bytes before the start
    // byte are noise: each restarts the first-byte wait, and one that comes
    // after TulvPort::StartByteDeadline ends the attempt. Returns its length, or 0
    // with LastError 2 (timeout, or noise without end), 3 (length refused), 4 (address complement)
    // or 5 (checksum).
    std::uint8_t ReceiveFrame();
    std::uint8_t ReceiveFrameLimited(std::uint16_t MaxData);
    // Complete the request placed at offsets 3.. of the request buffer, send it
    // and wait for the reply, up to RepeatCount attempts. True when LastError is 0.
    bool Transaction();
    bool TransactionLimited(std::uint16_t MaxData);

    // Step 1 of every command: no port (1), or closed and not opened (6).
    bool CheckPort(PortCheck check);
    // Places group, command and data in the request buffer.
    void PutRequest(std::uint8_t group, std::uint8_t command, std::span<const std::uint8_t> data);
    // Copies the last reply's data into dst; refuses (3) when it does not fit.
    bool CopyReplyData(std::span<std::uint8_t> dst);
    // The local date and time from the port's clock (the real clock when no port
    // is assigned).
    std::tm LocalNow();

    std::array<std::uint8_t, 256> FReply{};
    std::array<std::uint8_t, 256> FRequest{};
    std::array<std::uint8_t, 256> FClockBuf{};

private:
    std::uint8_t ReceiveFrameImpl(bool limited, std::uint16_t maxData);
    bool TransactionImpl(bool limited, std::uint16_t maxData);
    // A complete command: port check, write gate, request, transaction.
    // True when a transaction ran and succeeded.
    bool Command(PortCheck check, bool gated, std::uint8_t group, std::uint8_t command,
                 std::span<const std::uint8_t> data, int limit);
    bool AddrWrite(std::uint8_t group, std::uint8_t command, std::uint16_t addr, const void* data, std::uint8_t count,
                   int limit);
    bool AddrRead(std::uint8_t group, std::uint8_t command, std::uint16_t addr, std::uint8_t count, int limit);
    void TextCommand(PortCheck check, std::uint8_t command, std::string& S);

    // Relay and verification helpers (Ulv6xRelay.cpp).
    void GZU_PutRequest(std::uint8_t group, std::uint8_t command, std::span<const std::uint8_t> data);
    bool GZU_AddrRequest(std::uint8_t group, std::uint8_t command, std::uint16_t addr,
                         std::span<const std::uint8_t> data);
    bool GZU_CopyReplyData(std::span<std::uint8_t> dst, size_t limit);
    void GZU_TextCommand(std::uint8_t command, std::string& S);
    void GZU_Broadcast(std::uint8_t group, std::uint8_t command);
    void KU_Broadcast(std::uint8_t group, std::uint8_t command);
    bool KU_Query(std::uint8_t group, std::uint8_t command, std::span<const std::uint8_t> data);

    std::uint32_t FGZU_NetAddr = 0;
    std::uint32_t FDeviceType = 0;
};
