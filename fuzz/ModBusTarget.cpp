// The ModBus receiver. Input: operation, register count, buffer size, split,
// then the slave's bytes; the bytes before split answer the first attempt, the
// rest the second.
//
// After the call: nothing written beyond the caller's buffer and nothing taken
// from a failed call; a read that succeeded holds exactly 2 x count register
// bytes of a register reply with a good CRC; LastError is one the receiver can
// give on an open port; an exception reply never succeeds.
#include "FuzzSupport.h"

#include "Cp1251.h"
#include "ScriptedPort.h"
#include "UlvModBusProtocol.h"

namespace {

enum Op : std::uint8_t { OpRead, OpWrite, OpGetDevID, OpCount };

} // namespace

int FuzzModBus(const std::uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    const auto op = static_cast<Op>(in.Take() % OpCount);
    const std::uint16_t count = in.Take() % (FrameModBus::MaxWriteRegisters + 1);
    const std::size_t bufSize = in.Take();
    const std::uint8_t split = in.Take();
    std::vector<std::uint8_t> first, second;
    SplitReplies(in.Rest(), split, first, second);

    ScriptedPort port;
    port.opened = true;
    port.QueueReply(first);
    port.QueueReply(second);
    TulvModBusProtocol p;
    p.SetComPort(&port);
    p.SetNetAddr(1);
    p.SetEWrite(true);
    p.SetRepeatCount(2);
    p.SetPacketTimeout(10);
    p.SetByteTimeout(10);

    // A write needs its 2 x count bytes; a read may be given a buffer too small.
    GuardedBuffer buf(op == OpWrite ? 2u * count : bufSize);
    std::string text = "prior";
    bool ok = false;
    switch (op) {
    case OpRead: ok = p.ReadHoldingRegisters(0x0010, count, buf.Data()); break;
    case OpWrite: ok = p.WriteMultipleRegisters(0x0172, count, buf.Data()); break;
    case OpGetDevID: p.GetDevID(text); ok = p.LastError() == ErrOk; break;
    case OpCount: break;
    }

    const ProtocolErrorCode err = p.LastError();
    const auto& reply = p.ReplyBuffer();
    const std::string errText = "LastError " + std::to_string(err);
    FUZZ_CHECK(err == ErrOk || err == ErrPortRead || err == ErrPacketSize || err == ErrChecksum || err == ErrIntegrity,
               errText);
    FUZZ_CHECK(ok == (err == ErrOk), "the result and LastError disagree (" + errText + ")");
    FUZZ_CHECK(buf.GuardsIntact(), "a write beyond the caller's buffer");
    FUZZ_CHECK(port.requests.size() >= 1 && port.requests.size() <= 2, "attempts outside 1..RepeatCount");
    if (ok) {
        FUZZ_CHECK(p.ReplyLength() >= 5 && FrameModBus::CrcOk(reply.data(), p.ReplyLength()),
                   "a reply without a good CRC taken");
        FUZZ_CHECK(!FrameModBus::IsException(reply.data()), "an exception reply taken as an answer");
    }

    if (op == OpRead && ok) {
        const std::size_t n = 2u * count;
        FUZZ_CHECK(reply[2] == n && p.ReplyLength() == static_cast<int>(n) + 5, "a reply of another layout taken");
        FUZZ_CHECK(buf.Holds(reply.data() + 3, n), "the buffer does not hold the register bytes");
        FUZZ_CHECK(buf.UntouchedFrom(n), "bytes after the register bytes changed");
    } else {
        FUZZ_CHECK(buf.Untouched(), "a value taken from a failed call or a write (" + errText + ")");
    }
    if (op == OpGetDevID) {
        if (!ok) {
            FUZZ_CHECK(text.empty(), "a failed identification left a text");
        } else {
            FUZZ_CHECK(p.ReplyLength() == reply[3] + 6, "an identification reply of another length taken");
            std::string raw;
            for (int i = 0; i < reply[3]; ++i)
                if (reply[4 + i] > 0x14) raw.push_back(static_cast<char>(reply[4 + i]));
            FUZZ_CHECK(text == Cp1251ToUtf8(raw), "the text is not the reply's");
        }
    }
    return 0;
}
