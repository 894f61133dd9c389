// The relay receiver (meters addressed by serial number). Input: operation,
// count, split, then the meter's bytes; the bytes before split answer the
// first attempt, the rest the second.
//
// After the call: nothing written beyond the caller's buffer, nothing taken
// from a failed call, a read holds exactly the reply's data, a write's echo at
// most its first 8 bytes; LastError is one the relay receiver can give on an
// open port; a reply taken as good is a well-formed relay frame.
#include "FuzzSupport.h"

#include "Cp1251.h"
#include "ScriptedPort.h"
#include "Ulv6xProtocol.h"

#include <algorithm>

namespace {

bool RelayFrameIsGood(const std::array<std::uint8_t, 256>& r)
{
    const int n = r[7];
    if (r[0] != Frame6x::ReplyStart || n > FrameRelay::MaxData) return false;
    return Frame6x::Checksum(r.data(), n + 8) == r[n + 8];
}

enum Op : std::uint8_t {
    OpReadRtc2k,
    OpReadRam,
    OpWriteRtc2k,
    OpWriteRtc2kNew,
    OpGetDevID,
    OpGetSoftSubVer,
    OpResetClbTable,
    OpCount
};

} // namespace

int FuzzRelay(const std::uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    const auto op = static_cast<Op>(in.Take() % OpCount);
    const std::uint8_t count = in.Take();
    const std::uint8_t split = in.Take();
    std::vector<std::uint8_t> first, second;
    SplitReplies(in.Rest(), split, first, second);

    ScriptedPort port;
    port.opened = true;
    port.QueueReply(first);
    port.QueueReply(second);
    Tulv6xProtocol p;
    p.SetComPort(&port);
    p.SetGZU_NetAddr(44412345);
    p.SetRepeatCount(2);
    p.SetPacketTimeout(10);
    p.SetByteTimeout(10);

    GuardedBuffer buf(count);
    const std::uint8_t sent = std::min<std::uint8_t>(count, FrameRelay::MaxData - 2);
    std::size_t copyLimit = 0; // how many reply data bytes the operation may copy (0: it copies none)
    std::string text = "prior";
    switch (op) {
    case OpReadRtc2k: p.GZU_ReadRtc2k(0x0124, buf.Data(), count); copyLimit = FrameRelay::MaxData; break;
    case OpReadRam: p.GZU_ReadRam(0x00A0, buf.Data(), count); copyLimit = FrameRelay::MaxData; break;
    case OpWriteRtc2k: p.GZU_WriteRtc2k(0x0020, buf.Data(), sent); copyLimit = std::min<std::size_t>(8, count); break;
    case OpWriteRtc2kNew: p.GZU_Write_Rtc2k_new(0x0700, buf.Data(), sent); copyLimit = FrameRelay::MaxData; break;
    case OpGetDevID: p.GZU_GetDevID(text); break;
    case OpGetSoftSubVer: p.GZU_GetSoftSubVer(text); break;
    case OpResetClbTable: p.GZU_ResetClbTable(); break;
    case OpCount: break;
    }

    const ProtocolErrorCode err = p.LastError();
    const auto& reply = p.ReplyBuffer();
    const std::string errText = "LastError " + std::to_string(err);
    FUZZ_CHECK(err == ErrOk || err == ErrPortRead || err == ErrPacketSize || err == ErrChecksum, errText);
    FUZZ_CHECK(buf.GuardsIntact(), "a write beyond the caller's buffer");
    FUZZ_CHECK(port.requests.size() >= 1 && port.requests.size() <= 2, "attempts outside 1..RepeatCount");
    if (err == ErrOk) FUZZ_CHECK(RelayFrameIsGood(reply), "a malformed relay reply taken as good");

    if (err != ErrOk || copyLimit == 0) {
        FUZZ_CHECK(buf.Untouched(), "a value taken from a failed call (" + errText + ")");
    } else {
        const std::size_t n = std::min<std::size_t>(reply[7], copyLimit);
        FUZZ_CHECK(n <= count, "more reply data accepted than the buffer holds");
        FUZZ_CHECK(buf.Holds(reply.data() + 8, n), "the buffer does not hold the reply's data");
        FUZZ_CHECK(buf.UntouchedFrom(n), "bytes after the reply's data changed");
    }
    if (op == OpGetDevID || op == OpGetSoftSubVer) {
        if (err != ErrOk)
            FUZZ_CHECK(text.empty(), "a failed text command left a text");
        else
            FUZZ_CHECK(text == Cp1251ToUtf8(std::string_view(reinterpret_cast<const char*>(reply.data() + 8), reply[7])),
                       "the text is not the reply's data");
    }
    return 0;
}
