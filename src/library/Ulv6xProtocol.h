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

#include "UlvComPort.h"
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
} // namespace Frame6x

class Tulv6xProtocol {
public:
    Tulv6xProtocol();
    virtual ~Tulv6xProtocol();
    Tulv6xProtocol(const Tulv6xProtocol&) = delete;
    Tulv6xProtocol& operator=(const Tulv6xProtocol&) = delete;

    // --- Properties -------------------------------------------------------
    TulvPort* ComPort() const { return FComPort; }
    void SetComPort(TulvPort* port); // assigning none is ignored
    bool AutoOpenPort() const { return FAutoOpenPort; }
    void SetAutoOpenPort(bool v) { FAutoOpenPort = v; }
    bool EWrite() const { return FEWrite; }
    void SetEWrite(bool v) { FEWrite = v; }
    std::uint8_t RepeatCount() const { return FRepeatCount; }
    void SetRepeatCount(std::uint8_t v); // keeps only 1..24
    std::uint32_t PacketTimeout() const { return FPacketTimeout; }
    void SetPacketTimeout(std::uint32_t v); // rounded down to 10s; kept only within 10..9990
    std::uint32_t ByteTimeout() const { return FByteTimeout; }
    void SetByteTimeout(std::uint32_t v); // rounded down to 10s; kept only within 10..2990
    std::uint8_t NetAddr() const { return FNetAddr; }
    void SetNetAddr(std::uint8_t v); // keeps only 0..127
    std::uint32_t GZU_NetAddr() const { return FGZU_NetAddr; }
    void SetGZU_NetAddr(std::uint32_t v) { FGZU_NetAddr = v; }
    ProtocolErrorCode LastError() const { return FLastError; }
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

    // The last reply frame and the request being built (read-only views for
    // callers that need the raw bytes, and for tests).
    const std::array<std::uint8_t, 256>& ReplyBuffer() const { return FReply; }
    const std::array<std::uint8_t, 256>& RequestBuffer() const { return FRequest; }

protected:
    enum class PortCheck { Auto, Open, None };

    // Purges the port and writes the first Count request bytes in one write;
    // on failure LastError 1 and false.
    bool SendFrame(std::uint8_t Count);
    // Receives one reply frame into the reply buffer. Returns its length, or 0
    // with LastError 2 (timeout), 3 (length refused), 4 (address complement)
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
    // Sleeps on the port's clock (the real clock when no port is assigned).
    void Pause(std::uint32_t ms);
    // The local date and time from the port's clock (the real clock when no port
    // is assigned).
    std::tm LocalNow();
    void SetLastError(ProtocolErrorCode code) { FLastError = code; }

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

    TulvPort* FComPort = nullptr;
    bool FAutoOpenPort = false;
    bool FEWrite = false;
    std::uint8_t FRepeatCount = 5;
    std::uint32_t FPacketTimeout = 500;
    std::uint32_t FByteTimeout = 150;
    std::uint8_t FNetAddr = 0;
    std::uint32_t FGZU_NetAddr = 0;
    ProtocolErrorCode FLastError = 0;
    std::uint32_t FDeviceType = 0;
};

// Timeout setter rule shared by every protocol class: round down to a multiple
// of 10, keep the old value when the result is outside lo..hi.
std::uint32_t ClampTimeout(std::uint32_t oldValue, std::uint32_t newValue, std::uint32_t lo, std::uint32_t hi);
