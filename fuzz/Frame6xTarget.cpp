// The 6x receiver. Input: operation, count, split, then the meter's bytes; the
// bytes before split answer the first attempt, the rest the second.
//
// After the call: the caller's buffer is untouched beyond the asked size, and
// untouched altogether unless the call succeeded; a read that succeeded holds
// exactly the reply's data; LastError is one the receiver can give on an open
// port; a reply taken as good is a well-formed frame.
#include "FuzzSupport.h"

#include "Cp1251.h"
#include "ScriptedPort.h"
#include "Ulv6xProtocol.h"

#include <algorithm>
#include <cstring>

namespace {

bool ReplyFrameIsGood(const std::array<std::uint8_t, 256>& r)
{
    const int n = r[5];
    if (r[0] != Frame6x::ReplyStart || (r[1] ^ 0xFF) != r[2] || n > Frame6x::MaxData) return false;
    return Frame6x::Checksum(r.data(), n + 6) == r[n + 6];
}

enum Op : std::uint8_t {
    OpReadRtc2k,
    OpReadRtc2kP,
    OpReadCfg,
    OpReadRAM,
    OpReadRtc128,
    OpReadDataFlash,
    OpWriteRtc128,
    OpWriteRtc2kRd4,
    OpGetDevID,
    OpGetSoftVer64_1,
    OpGetSfrTek,
    OpKuStartAmpClb,
    OpCount
};

} // namespace

int FuzzFrame6x(const std::uint8_t* data, std::size_t size)
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
    p.SetNetAddr(3);
    p.SetEWrite(true);
    p.SetRepeatCount(2);
    p.SetPacketTimeout(10); // virtual time, but every miss is a loop: keep them few
    p.SetByteTimeout(10);

    // The data area of the caller; the commands that copy into it must stay inside.
    GuardedBuffer buf(count);
    bool copies = false;        // the operation copies the reply's data into buf
    bool mayTouchBuffer = true; // writes take buf as input only
    std::string text = "prior";
    float values[4] = {1.5f, -2.5f, 3.5f, -4.5f};
    bool kuResult = false;

    switch (op) {
    case OpReadRtc2k: p.ReadRtc2k(0x0124, buf.Data(), count); copies = true; break;
    case OpReadRtc2kP: p.ReadRtc2kP(0x05E0, buf.Ptr(), count); copies = true; break;
    case OpReadCfg: p.ReadCfg(0, buf.Data(), count); copies = true; break;
    case OpReadRAM: p.ReadRAM(0x00A0, buf.Data(), count); copies = true; break;
    case OpReadRtc128: p.ReadRtc128(0, buf.Data(), count); copies = true; break;
    case OpReadDataFlash: p.ReadDataFlash(0x00012345, buf.Data(), count); copies = true; break;
    case OpWriteRtc128:
        p.WriteRtc128(5, buf.Data(), std::min<std::uint8_t>(count, Frame6x::MaxData - 1));
        copies = true;
        break;
    case OpWriteRtc2kRd4:
        p.WriteRtc2k_rd4(32, buf.Data(), std::min<std::uint8_t>(count, Frame6x::MaxData - 2));
        mayTouchBuffer = false;
        break;
    case OpGetDevID: p.GetDevID(text); break;
    case OpGetSoftVer64_1: p.GetSoftVer64_1(text); break;
    case OpGetSfrTek: p.GetSfrTek(values); break;
    case OpKuStartAmpClb: kuResult = p.KU_StartAmpClb(); break;
    case OpCount: break;
    }

    const ProtocolErrorCode err = p.LastError();
    const auto& reply = p.ReplyBuffer();
    const std::string errText = "LastError " + std::to_string(err);
    FUZZ_CHECK(err == ErrOk || err == ErrPortRead || err == ErrPacketSize || err == ErrNetAddr || err == ErrChecksum,
               errText);
    FUZZ_CHECK(buf.GuardsIntact(), "a write beyond the caller's buffer");
    FUZZ_CHECK(port.requests.size() >= 1 && port.requests.size() <= 2, "attempts outside 1..RepeatCount");
    if (err == ErrOk) FUZZ_CHECK(ReplyFrameIsGood(reply), "a malformed reply taken as good");

    if (!mayTouchBuffer || err != ErrOk) {
        FUZZ_CHECK(buf.Untouched(), "a value taken from a failed call (" + errText + ")");
    } else if (copies) {
        const std::size_t n = reply[5];
        FUZZ_CHECK(n <= count, "more reply data accepted than the buffer holds");
        FUZZ_CHECK(buf.Holds(reply.data() + 6, n), "the buffer does not hold the reply's data");
        FUZZ_CHECK(buf.UntouchedFrom(n), "bytes after the reply's data changed");
    }

    switch (op) {
    case OpReadRtc2k:
    case OpReadRAM:
        if (err == ErrOk) FUZZ_CHECK(reply[5] <= count, "a limited read took a longer reply");
        break;
    case OpWriteRtc2kRd4:
        if (err == ErrOk) FUZZ_CHECK(reply[5] <= 4, "WriteRtc2k_rd4 took more than 4 reply bytes");
        break;
    case OpGetDevID:
    case OpGetSoftVer64_1:
        if (err != ErrOk) FUZZ_CHECK(text.empty(), "a failed text command left a text");
        if (err == ErrOk && op == OpGetDevID)
            FUZZ_CHECK(text == Cp1251ToUtf8(std::string_view(reinterpret_cast<const char*>(reply.data() + 6), reply[5])),
                       "the text is not the reply's data");
        break;
    case OpGetSfrTek:
        if (err != ErrOk || reply[5] < 16) {
            const float prior[4] = {1.5f, -2.5f, 3.5f, -4.5f};
            FUZZ_CHECK(std::memcmp(values, prior, sizeof prior) == 0, "values taken from a failed or short reply");
        }
        if (err == ErrOk) FUZZ_CHECK(reply[5] >= 16, "a short live-value reply taken as good");
        break;
    case OpKuStartAmpClb:
        if (kuResult) FUZZ_CHECK(err == ErrOk && reply[5] > 0 && reply[6] != 0, "a confirmation without a data byte");
        break;
    default: break;
    }
    return 0;
}
