// The M4 receiver. Input: operation, split, then the meter's bytes; the bytes
// before split answer the first attempt, the rest the second.
//
// After the call: nothing written beyond the 8-byte data buffer; the data are
// taken only from a complete reply that carries the operation's reply code;
// LastError follows the operation's rule for a wrong code and a wrong sum.
#include "FuzzSupport.h"

#include "ScriptedPort.h"
#include "UlvM4Protocol.h"

namespace {

enum Op : std::uint8_t {
    OpReadRamInt,
    OpReadRamExt,
    OpReadMem,
    OpParameterDevice,
    OpSetDevice,
    OpWriteMem,
    OpWriteMemP,
    OpWriteS,
    OpCount
};

const char Letters[OpCount] = {'M', 'G', 'R', 'P', 'S', 'W', 'W', 'S'};

} // namespace

int FuzzM4(const std::uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    const auto op = static_cast<Op>(in.Take() % OpCount);
    const std::uint8_t split = in.Take();
    std::vector<std::uint8_t> first, second;
    SplitReplies(in.Rest(), split, first, second);

    ScriptedPort port;
    port.opened = true;
    port.QueueReply(first);
    port.QueueReply(second);
    TulvM4Protocol p;
    p.SetComPort(&port);
    p.SetNetAddr(3);
    p.SetEWrite(true);
    p.SetRepeatCount(2);
    p.SetPacketTimeout(10);
    p.SetByteTimeout(10);

    GuardedBuffer buf(8);
    const std::span<std::uint8_t, 8> d(buf.Ptr(), 8);
    switch (op) {
    case OpReadRamInt: p.ReadRamInt(d, 0x0079); break;
    case OpReadRamExt: p.ReadRamExt(d, 0x044D); break;
    case OpReadMem: p.ReadMem(d, 0x0150); break;
    case OpParameterDevice: p.ParameterDevice(d, 1, 0x50); break;
    case OpSetDevice: p.SetDevice(d, 99, 0); break;
    case OpWriteMem: p.WriteMem(d, 0x0148); break;
    case OpWriteMemP: p.WriteMemP(buf.Ptr(), 0x0148); break;
    case OpWriteS: p.WriteS(5, 0); break;
    case OpCount: break;
    }

    const ProtocolErrorCode err = p.LastError();
    const auto& reply = p.ReplyBuffer();
    const std::string errText = "LastError " + std::to_string(err);
    FUZZ_CHECK(err == ErrOk || err == ErrPortRead || err == ErrChecksum || err == ErrIntegrity, errText);
    FUZZ_CHECK(buf.GuardsIntact(), "a write beyond the 8-byte buffer");
    FUZZ_CHECK(port.requests.size() >= 1 && port.requests.size() <= 2, "attempts outside 1..RepeatCount");

    const bool received = err != ErrPortRead;
    const bool codeOk = reply[2] == static_cast<std::uint8_t>(Letters[op] + FrameM4::ReplyFlag);
    const bool sumOk = FrameM4::ChecksumOk(reply);
    const bool isRead = op <= OpSetDevice;
    const bool codeFails = op == OpReadRamInt || op == OpReadRamExt || op == OpWriteS;
    const bool checksCode = isRead || op == OpWriteS;

    if (isRead && received && codeOk)
        FUZZ_CHECK(buf.Holds(reply.data() + FrameM4::DataOffset, 8), "the data are not the reply's");
    else
        FUZZ_CHECK(buf.Untouched(), "a value taken from a reply without the reply code (" + errText + ")");

    if (!received) return 0;
    ProtocolErrorCode expected = ErrOk;
    if (checksCode && !codeOk)
        expected = codeFails ? ErrIntegrity : ErrOk;
    else if (!sumOk)
        expected = ErrChecksum;
    FUZZ_CHECK(err == expected, errText + ", expected " + std::to_string(expected));
    return 0;
}
