// The M4 protocol: a fixed 14-byte request answered by a fixed 14-byte reply.
//
// Frame (request and reply): 0x00, NetAddr, operation letter (the reply carries
// the letter + 0x80), address high and low byte or two parameters, 8 data bytes
// (zeros in reads), checksum = the plain 8-bit sum of the 13 bytes before it.
// The reply's bytes 0, 1, 3 and 4 are not checked.
//
// Every operation leaves its outcome in LastError (see ProtocolErrorCode) and
// never throws for a transmission failure. No operation checks or opens the
// port (the owner opens it): a closed port shows as failed writes and a reply
// that never comes (2). With no port component every attempt fails to send (1)
// and then to receive, so the operations end with 2, as on a closed port.
//
// Attempts: up to RepeatCount of send and receive, stopping at the first that
// receives 14 bytes; after each failed attempt (also the last) a pause of
// PacketTimeout ms, except in WriteS. A device that has gone away (the port is
// Lost) ends the attempts at once, without the pause.
#pragma once

#include "UlvFrameFields.h"
#include "UlvProtocolLink.h"
#include "UlvUtils.h"

#include <array>
#include <cstdint>
#include <span>

// Frame helpers, free of any transaction state.
namespace FrameM4 {
constexpr int Size = 14;
constexpr int DataOffset = 5;
constexpr std::uint8_t ReplyFlag = 0x80;
// The plain 8-bit sum of count bytes.
std::uint8_t Checksum(const std::uint8_t* bytes, int count);
// Fills a request: 0, addr, letter, p1, p2, the 8 data bytes (zeros when data is
// null), checksum.
void Build(std::array<std::uint8_t, Size>& frame, std::uint8_t netAddr, std::uint8_t letter, std::uint8_t p1,
           std::uint8_t p2, const std::uint8_t* data);
// True when byte 13 is the sum of bytes 0..12.
bool ChecksumOk(const std::array<std::uint8_t, Size>& frame);
// What a frame says, for the traffic log.
TulvFrameFields Decode(const std::uint8_t* bytes, std::size_t count, bool request);
} // namespace FrameM4

class TulvM4Protocol : public TulvProtocolLink {
public:
    TulvM4Protocol();
    virtual ~TulvM4Protocol();
    TulvM4Protocol(const TulvM4Protocol&) = delete;
    TulvM4Protocol& operator=(const TulvM4Protocol&) = delete;

    // --- Properties -------------------------------------------------------
    // ComPort, AutoOpenPort, EWrite, RepeatCount (3), PacketTimeout (100),
    // ByteTimeout (30), NetAddr and LastError: see TulvProtocolLink.
    // AutoOpenPort is stored only: no M4 operation opens the port.
    // PacketTimeout is the wait for the first reply byte, and the pause after
    // a failed attempt.

    // --- Operations -------------------------------------------------------
    // The read operations deliver the reply's 8 data bytes into Data.

    // Live values from internal ("M") and external ("G") RAM. LastError: 0;
    // 2 (no reply); 7 when the reply code is not the letter + 0x80 (nothing
    // copied); 5 when the checksum is wrong (the data are copied all the same).
    void ReadRamInt(std::span<std::uint8_t, 8> Data, std::uint16_t Addr);
    void ReadRamExt(std::span<std::uint8_t, 8> Data, std::uint16_t Addr);
    // Parameter memory ("R"), the parameter query ("P", parameters P1, P2 and
    // Data sent) and the setting command ("S", Data sent; a pause of
    // PacketTimeout between send and receive; not gated by EWrite). LastError:
    // 0; 2 (no reply); a reply with a wrong reply code is ignored: nothing
    // copied and LastError stays 0, so callers that must tell a real answer
    // apart check the reply buffer; 5 when the checksum is wrong (the data are
    // copied all the same).
    void ReadMem(std::span<std::uint8_t, 8> Data, std::uint16_t Addr);
    void ParameterDevice(std::span<std::uint8_t, 8> Data, std::uint8_t P1, std::uint8_t P2);
    void SetDevice(std::span<std::uint8_t, 8> Data, std::uint8_t P1, std::uint8_t P2);
    // Parameter memory write ("W") of 8 bytes, gated by EWrite; WriteMemP takes
    // an untyped 8-byte buffer. The reply code is not examined. LastError: 0
    // (also when suppressed: nothing sent); 2 (no reply); 5 (checksum).
    void WriteMem(std::span<const std::uint8_t, 8> Data, std::uint16_t Addr);
    void WriteMemP(const void* Data, std::uint16_t Addr);
    // Setting command ("S") with zero data, gated by EWrite, no pause between
    // attempts. LastError: 0 (also when suppressed: nothing sent); 2 (no reply);
    // 7 (reply code wrong); 5 (checksum).
    void WriteS(std::uint8_t P1, std::uint8_t P2);

    // The last reply and the last request (read-only views).
    const std::array<std::uint8_t, FrameM4::Size>& ReplyBuffer() const { return FReply; }
    const std::array<std::uint8_t, FrameM4::Size>& RequestBuffer() const { return FRequest; }

protected:
    // Purges the port and writes the 14 request bytes one at a time. True with
    // LastError 0; false with LastError 1 at the first failed byte or with no port.
    bool SendM4Frame();
    // Reads the next 14 bytes into the reply buffer (PacketTimeout for the
    // first, ByteTimeout for each further byte; no start delay, no start-byte
    // search). Returns 14 with LastError 0, or the count reached with LastError 2.
    // Every byte that comes counts, so a line that never falls silent ends the
    // attempt after 14 bytes (its noise then fails the reply code or the sum).
    std::uint8_t ReceiveM4Frame();

    std::array<std::uint8_t, FrameM4::Size> FReply{};
    std::array<std::uint8_t, FrameM4::Size> FRequest{};

private:
    enum class Pacing { PauseAfterFailure, NoPause, PauseBeforeReceive };
    // Builds the request and runs the attempts. True when 14 bytes came back.
    bool Exchange(std::uint8_t letter, std::uint8_t p1, std::uint8_t p2, const std::uint8_t* data, Pacing pacing);
    enum class WrongCode { Fails, Ignored };
    // After a successful exchange: a wrong reply code copies nothing and gives
    // 7 (Fails) or leaves 0 (Ignored); otherwise copies the data into Data and
    // checks the checksum (5, the data stay copied).
    void FinishRead(std::uint8_t letter, std::span<std::uint8_t, 8> Data, WrongCode wrongCode);
    void Write(const std::uint8_t* data, std::uint16_t addr);
};
