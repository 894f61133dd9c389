// ModBus RTU: read holding registers (3), write multiple registers (16) and
// report slave ID (17), each frame closed by the CRC-16/MODBUS (start 0xFFFF,
// appended low byte first). Register data travel as the meter sends them
// (big-endian 16-bit registers); the drivers reassemble their values.
//
// Replies: the receiver takes the next bytes (no start search, the reply's
// address is not checked) and knows the length from the function code:
//   3      address, 03, byte count B, B data bytes, CRC       (B + 5 bytes)
//   16     address, 10, start (2), count (2), CRC              (8 bytes)
//   17     address, 11, an unused byte, text length L, L text bytes, CRC
//          (L + 6 bytes; the meters put the text length where other slaves
//          put their slave ID)
//   other  address, function, one byte, CRC                    (5 bytes)
// An exception reply (function code with bit 7 set: address, function | 0x80,
// exception code, CRC) fails the operation with LastError 7, the code for a
// reply that does not carry the answer asked for; nothing is copied, the reply
// stays in ReplyBuffer (exception code at offset 2) and it is not repeated: the
// slave has answered.
//
// Every operation leaves its outcome in LastError (see ProtocolErrorCode) and
// never throws for a transmission failure. Programming errors (more registers
// than a frame carries, a buffer shorter than the registers to write) throw
// std::invalid_argument before anything is sent.
#pragma once

#include "UlvFrameFields.h"
#include "UlvProtocolLink.h"
#include "UlvUtils.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

// Frame helpers, free of any transaction state.
namespace FrameModBus {
constexpr int BufferSize = 512;
constexpr std::uint8_t FnReadHoldingRegisters = 0x03;
constexpr std::uint8_t FnWriteMultipleRegisters = 0x10;
constexpr std::uint8_t FnReportSlaveId = 0x11;
constexpr std::uint8_t ExceptionFlag = 0x80;
constexpr int MaxWriteRegisters = 123; // 2 x count + 9 bytes fit 255

// CRC-16/MODBUS of count bytes.
std::uint16_t Crc(const std::uint8_t* bytes, int count);
// Appends the CRC of the first count bytes, low byte first; returns count + 2.
int AppendCrc(std::uint8_t* frame, int count);
// True when the last two of length bytes are the CRC of the others.
bool CrcOk(const std::uint8_t* frame, int length);
// Requests; each returns the frame length.
int BuildReadHoldingRegisters(std::uint8_t* frame, std::uint8_t addr, std::uint16_t start, std::uint16_t count);
int BuildWriteMultipleRegisters(std::uint8_t* frame, std::uint8_t addr, std::uint16_t start, std::uint16_t count,
                                const std::uint8_t* data);
int BuildReportSlaveId(std::uint8_t* frame, std::uint8_t addr);
// The length of a reply as far as the first received bytes tell it (5 until
// the function code and the byte after it are known).
int ExpectedLength(const std::uint8_t* frame, int received);
// True for an exception reply.
inline bool IsException(const std::uint8_t* frame) { return (frame[1] & ExceptionFlag) != 0; }
// What a frame says, for the traffic log.
TulvFrameFields Decode(const std::uint8_t* bytes, std::size_t count, bool request);
} // namespace FrameModBus

class TulvModBusProtocol : public TulvProtocolLink {
public:
    TulvModBusProtocol();
    virtual ~TulvModBusProtocol();
    TulvModBusProtocol(const TulvModBusProtocol&) = delete;
    TulvModBusProtocol& operator=(const TulvModBusProtocol&) = delete;

    // --- Properties -------------------------------------------------------
    // ComPort, AutoOpenPort, EWrite, RepeatCount (3), PacketTimeout (300),
    // ByteTimeout (40), NetAddr and LastError: see TulvProtocolLink.
    // GetDevID opens a closed port when AutoOpenPort allows; the register
    // operations never do.
    // Stored only.
    std::uint32_t DeviceType() const { return FDeviceType; }
    void SetDeviceType(std::uint32_t v) { FDeviceType = v > 17 ? 0 : v; }

    // --- Operations -------------------------------------------------------
    // Attempts: up to RepeatCount of send and receive with no pause between
    // them, stopping at the first reply with a good CRC, or at once when the
    // device has gone away. The register operations neither check nor open the
    // port: on a closed port the writes fail and the reply never comes (2).

    // Function 3: reads Count registers from Start and copies their 2 x Count
    // bytes into Data. True on success (LastError 0). False with LastError
    // 1 (no port; nothing sent), 2 (a byte did not come in time), 5 (CRC),
    // 7 (exception reply), or 3 when the reply does not carry exactly 2 x Count
    // data bytes laid out as a register reply, or carries more than Data holds;
    // on failure nothing is copied.
    bool ReadHoldingRegisters(std::uint16_t Start, std::uint16_t Count, std::span<std::uint8_t> Data);
    // Function 16: writes Count registers (at most 123) from the first 2 x Count
    // bytes of Data, gated by EWrite. True on success and when the write is
    // suppressed (LastError 0, nothing sent). False with LastError 1 (no port;
    // nothing sent), 2, 5 or 7 (exception reply).
    bool WriteMultipleRegisters(std::uint16_t Start, std::uint16_t Count, std::span<const std::uint8_t> Data);
    // Function 17: the meter's identification text, as UTF-8, made of the L text
    // bytes whose code is above 0x14 (control bytes such as CR are skipped).
    // Opens a closed port when AutoOpenPort allows. LastError 1 (no port) or 6
    // (port closed): S unchanged, nothing sent. Otherwise S is emptied on
    // failure: LastError 2, 5, 7 (exception reply), or 3 when the reply's length
    // does not match its text length L.
    void GetDevID(std::string& S);

    // The last reply, its length (0 after a failed receive), and the last request.
    const std::array<std::uint8_t, FrameModBus::BufferSize>& ReplyBuffer() const { return FReply; }
    int ReplyLength() const { return FReplyLength; }
    const std::array<std::uint8_t, FrameModBus::BufferSize>& RequestBuffer() const { return FRequest; }

protected:
    // Purges the port and writes the first Count request bytes one at a time.
    // False with LastError 1 at the first failed byte or with no port; true
    // otherwise, LastError untouched.
    bool SendModBusFrame(std::uint8_t Count);
    // Receives one reply (10 ms start delay, PacketTimeout for the first byte,
    // ByteTimeout for each further one). Returns its length with LastError 0,
    // or 0 with LastError 2 (timeout) or 5 (CRC). Every byte that comes counts
    // and no reply is longer than 261 bytes, so a line that never falls silent
    // ends the attempt after one frame's worth of noise (with a CRC error).
    std::uint16_t ReceiveModBusFrame();

    std::array<std::uint8_t, FrameModBus::BufferSize> FReply{};
    std::array<std::uint8_t, FrameModBus::BufferSize> FRequest{};

private:
    // Runs the attempts for the request of length bytes in the request buffer;
    // then refuses an exception reply (7). True when a normal reply came.
    bool Exchange(int length);

    std::uint32_t FDeviceType = 0;
    int FReplyLength = 0;
};
