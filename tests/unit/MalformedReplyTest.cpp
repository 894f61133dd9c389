// Malformed replies on the scripted port, in one table for the three receivers
// (6x, M4, ModBus). Each row sends one request that gets a malformed reply and
// states the LastError it leaves and what, if anything, reaches the caller's
// buffer; guard bytes around the buffer show any write past it. The next
// request then gets a good reply, which must be taken: a bad reply leaves
// nothing behind that spoils the next exchange.
//
// One attempt per request (RepeatCount 1), so that each reply answers exactly
// one call. Protocol6xTest, M4Test and ModBusTest show some of these mistakes
// with other replies and operations; this table keeps the rules for malformed
// replies side by side, with the guard bytes and the next exchange checked.
//
// Golden frames: the 6x checksum is the complement of the byte sum, the M4
// checksum the plain byte sum, and the ModBus CRC the CRC-16/MODBUS (check
// value 0x4B37), all worked by the helpers below; 01 03 04 41 20 00 00 EF C5
// is the read of two registers that ModBusTest takes from a textbook.
#include "ScriptedPort.h"
#include "Ulv6xProtocol.h"
#include "UlvM4Protocol.h"
#include "UlvModBusProtocol.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <span>
#include <vector>

namespace {

// A 6x frame with its checksum (the complement of the byte sum) appended.
Bytes Frame6x(Bytes b, int checksumOffset = 0)
{
    std::uint8_t sum = 0;
    for (auto x : b) sum = static_cast<std::uint8_t>(sum + x);
    b.push_back(static_cast<std::uint8_t>(~sum + checksumOffset));
    return b;
}
Bytes Frame6x(const std::string& hex, int checksumOffset = 0)
{
    return Frame6x(Hex(hex), checksumOffset);
}

// An M4 frame with its checksum (the plain byte sum) appended.
Bytes FrameM4(const std::string& hex, int checksumOffset = 0)
{
    Bytes b = Hex(hex);
    std::uint8_t sum = 0;
    for (auto x : b) sum = static_cast<std::uint8_t>(sum + x);
    b.push_back(static_cast<std::uint8_t>(sum + checksumOffset));
    return b;
}

// A ModBus frame with its CRC appended, low byte first.
Bytes WithCrc(const Bytes& b)
{
    Bytes out = b;
    const std::uint16_t crc = Crc16Update(0xFFFF, b.data(), static_cast<int>(b.size()));
    out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    out.push_back(static_cast<std::uint8_t>(crc >> 8));
    return out;
}
Bytes WithCrc(const std::string& hex)
{
    return WithCrc(Hex(hex));
}

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Repeat(std::uint8_t byte, size_t n)
{
    return Bytes(n, byte);
}

Bytes DropLast(Bytes b)
{
    b.pop_back();
    return b;
}

// Three protocol objects on one line, as the drivers of a shared port are.
struct Line {
    Line()
    {
        port.opened = true;
        six.SetComPort(&port);
        six.SetNetAddr(3);
        six.SetRepeatCount(1);
        six.SetEWrite(true);
        m4.SetComPort(&port);
        m4.SetNetAddr(3);
        m4.SetRepeatCount(1);
        m4.SetEWrite(true);
        modbus.SetComPort(&port);
        modbus.SetNetAddr(1);
        modbus.SetRepeatCount(1);
        modbus.SetEWrite(true);
    }
    ScriptedPort port;
    Tulv6xProtocol six;
    TulvM4Protocol m4;
    TulvModBusProtocol modbus;
};

using Call = std::function<ProtocolErrorCode(Line&, std::span<std::uint8_t>)>;

struct Row {
    const char* name;
    Call call;
    size_t size;            // the caller's buffer
    Bytes bad;              // the malformed reply
    ProtocolErrorCode error;
    Bytes taken;            // what the call leaves at the start of the buffer (empty: nothing)
    Bytes good;             // the reply to the next request
    Bytes goodData;         // what the next call leaves at the start of the buffer
};

void PrintTo(const Row& r, std::ostream* os)
{
    *os << r.name;
}

// The caller's buffer between two guards; its bytes start as a pattern.
class Guarded {
public:
    static constexpr size_t Guard = 16;
    explicit Guarded(size_t size) : Size(size), All(size + 2 * Guard) { Fill(); }
    void Fill()
    {
        for (size_t i = 0; i < All.size(); ++i) All[i] = static_cast<std::uint8_t>(0xC3 ^ (i * 13));
    }
    std::span<std::uint8_t> Data() { return std::span<std::uint8_t>(All.data() + Guard, Size); }
    // The buffer's bytes as hex, and what they should be: expected first, then the pattern.
    std::string Hex() const { return ToHex(Bytes(All.begin() + Guard, All.begin() + Guard + Size)); }
    std::string Expected(const Bytes& first) const
    {
        Bytes b(All.size());
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(0xC3 ^ (i * 13));
        std::copy(first.begin(), first.end(), b.begin() + Guard);
        return ToHex(Bytes(b.begin() + Guard, b.begin() + Guard + Size));
    }
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < Guard; ++i) {
            const size_t j = Guard + Size + i;
            if (All[i] != static_cast<std::uint8_t>(0xC3 ^ (i * 13))) return false;
            if (All[j] != static_cast<std::uint8_t>(0xC3 ^ (j * 13))) return false;
        }
        return true;
    }

private:
    size_t Size;
    std::vector<std::uint8_t> All;
};

class MalformedReply : public ::testing::TestWithParam<Row> {};

TEST_P(MalformedReply, LeavesItsCodeTakesNothingAndSpoilsNoLaterExchange)
{
    const Row& r = GetParam();
    Line line;
    line.port.QueueReply(r.bad);
    line.port.QueueReply(r.good);
    Guarded buf(r.size);

    EXPECT_EQ(r.call(line, buf.Data()), r.error);
    EXPECT_TRUE(buf.GuardsIntact()) << "a write outside the caller's buffer";
    EXPECT_EQ(buf.Hex(), buf.Expected(r.taken));
    EXPECT_EQ(line.port.requests.size(), 1u);

    buf.Fill();
    EXPECT_EQ(r.call(line, buf.Data()), ErrOk) << "the next good reply";
    EXPECT_TRUE(buf.GuardsIntact());
    EXPECT_EQ(buf.Hex(), buf.Expected(r.goodData));
    EXPECT_EQ(line.port.requests.size(), 2u);
    EXPECT_EQ(line.port.Pending(), 0u);
}

// --- Calls -------------------------------------------------------------------

std::uint8_t Count(std::span<std::uint8_t> b)
{
    return static_cast<std::uint8_t>(b.size());
}

const Call readRtc2k = [](Line& l, std::span<std::uint8_t> b) {
    l.six.ReadRtc2k(0x0124, b, Count(b));
    return l.six.LastError();
};
const Call readRtc2kP = [](Line& l, std::span<std::uint8_t> b) {
    l.six.ReadRtc2kP(0x05E0, b.data(), Count(b));
    return l.six.LastError();
};
const Call readCfg = [](Line& l, std::span<std::uint8_t> b) {
    l.six.ReadCfg(0, b, Count(b));
    return l.six.LastError();
};
const Call readRam = [](Line& l, std::span<std::uint8_t> b) {
    l.six.ReadRAM(0x00A0, b, Count(b));
    return l.six.LastError();
};
const Call readRtc128 = [](Line& l, std::span<std::uint8_t> b) {
    l.six.ReadRtc128(0, b, Count(b));
    return l.six.LastError();
};
const Call readDataFlash = [](Line& l, std::span<std::uint8_t> b) {
    l.six.ReadDataFlash(0x00012345, b, Count(b));
    return l.six.LastError();
};
const Call kuStartAmpClb = [](Line& l, std::span<std::uint8_t>) {
    l.six.KU_StartAmpClb();
    return l.six.LastError();
};

std::span<std::uint8_t, 8> Eight(std::span<std::uint8_t> b)
{
    return std::span<std::uint8_t, 8>(b.data(), 8);
}
const Call m4ReadMem = [](Line& l, std::span<std::uint8_t> b) {
    l.m4.ReadMem(Eight(b), 0x0150);
    return l.m4.LastError();
};
const Call m4ReadRamInt = [](Line& l, std::span<std::uint8_t> b) {
    l.m4.ReadRamInt(Eight(b), 0x0079);
    return l.m4.LastError();
};
const Call m4ReadRamExt = [](Line& l, std::span<std::uint8_t> b) {
    l.m4.ReadRamExt(Eight(b), 0x044D);
    return l.m4.LastError();
};
const Call m4ParameterDevice = [](Line& l, std::span<std::uint8_t> b) {
    l.m4.ParameterDevice(Eight(b), 1, 0x50);
    return l.m4.LastError();
};
const Call m4SetDevice = [](Line& l, std::span<std::uint8_t> b) {
    l.m4.SetDevice(Eight(b), 99, 0);
    return l.m4.LastError();
};
const Call m4WriteMem = [](Line& l, std::span<std::uint8_t> b) {
    l.m4.WriteMem(Eight(b), 0x0148);
    return l.m4.LastError();
};
const Call m4WriteS = [](Line& l, std::span<std::uint8_t>) {
    l.m4.WriteS(5, 0);
    return l.m4.LastError();
};

// Two registers from 0x0010; one register written at 370.
const Call mbRead = [](Line& l, std::span<std::uint8_t> b) {
    l.modbus.ReadHoldingRegisters(0x0010, 2, b);
    return l.modbus.LastError();
};
const Call mbWrite = [](Line& l, std::span<std::uint8_t> b) {
    l.modbus.WriteMultipleRegisters(370, 1, b);
    return l.modbus.LastError();
};

// --- Good replies ------------------------------------------------------------

const Bytes good6xRead = Frame6x("AA 03 FC 0F 01 04 11 22 33 44");
const Bytes data6x = Hex("11 22 33 44");
const Bytes goodKu = Frame6x("AA 03 FC 21 01 01 01");
Bytes M4Reply(std::uint8_t code, int checksumOffset = 0)
{
    Bytes head = {0x00, 0x03, code};
    return FrameM4(ToHex(head) + " 01 50 11 22 33 44 55 66 77 88", checksumOffset);
}
const Bytes dataM4 = Hex("11 22 33 44 55 66 77 88");
const Bytes goodMbRead = Hex("01 03 04 41 20 00 00 EF C5");
const Bytes dataMb = Hex("41 20 00 00");
const Bytes goodMbWrite = WithCrc("01 10 01 72 00 01");

// --- The table -----------------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(
    Rules, MalformedReply,
    ::testing::Values(
        // 6x: a reply starts with 0xAA; every other byte before it is noise, so a
        // frame that starts with the request's 0x55 is never found: the wait ends.
        Row{"SixXFrameWithTheRequestStartByteIsNeverFound", readRtc2k, 4,
            Frame6x("55 03 FC 0F 01 04 11 22 33 44"), ErrPortRead, {}, good6xRead, data6x},
        Row{"SixXWrongAddressComplementIsRefusedAtTheThirdByte", readCfg, 8,
            Frame6x("AA 03 03 0F 01 04 11 22 33 44"), ErrNetAddr, {}, good6xRead, data6x},
        // N = 0 and N = 1 are well-formed: a read takes as many bytes as came
        // (the drivers compare N with the count they asked for).
        Row{"SixXLengthZeroIsTakenAndCopiesNothing", readRtc2k, 4, Frame6x("AA 03 FC 0F 01 00"), ErrOk, {},
            good6xRead, data6x},
        Row{"SixXLengthZeroConfirmsNoAmplifierCommand", kuStartAmpClb, 0, Frame6x("AA 03 FC 21 01 00"),
            ErrPacketSize, {}, goodKu, {}},
        Row{"SixXLengthOneFillsOnlyTheFirstByte", readRtc2k, 4, Frame6x("AA 03 FC 0F 01 01 5A"), ErrOk,
            Hex("5A"), good6xRead, data6x},
        // N = 248 makes the largest frame, 255 bytes.
        Row{"SixXLength248FillsABufferOf248", readCfg, 248,
            Frame6x(Concat(Hex("AA 03 FC 0F 01 F8"), Repeat(0x6B, 248))),
            ErrOk, Repeat(0x6B, 248), good6xRead, data6x},
        Row{"SixXLength248IsRefusedByABufferOf8", readRtc2kP, 8,
            Frame6x(Concat(Hex("AA 03 FC 0F 01 F8"), Repeat(0x6B, 248))),
            ErrPacketSize, {}, good6xRead, data6x},
        // N = 249 and above would not fit 255 bytes: refused at the length byte
        // and the rest thrown away, by the unlimited receive as well.
        Row{"SixXLength249IsRefusedByTheUnlimitedReceive", readRtc128, 16,
            Concat(Hex("AA 03 FC 0F 02 F9"), Repeat(0x6B, 250)), ErrPacketSize, {}, good6xRead, data6x},
        Row{"SixXLength255IsRefusedByALimitedRead", readRtc2k, 8,
            Concat(Hex("AA 03 FC 0F 01 FF"), Repeat(0x6B, 256)), ErrPacketSize, {}, good6xRead, data6x},
        Row{"SixXLengthLongerThanWhatArrivesTimesOut", readRtc2k, 16, Hex("AA 03 FC 0F 01 0A 11 22 33 44 98"),
            ErrPortRead, {}, good6xRead, data6x},
        Row{"SixXChecksumOneAboveIsRefused", readRam, 4, Frame6x("AA 03 FC 0C 01 04 11 22 33 44", +1), ErrChecksum,
            {}, good6xRead, data6x},
        Row{"SixXChecksumOneBelowIsRefused", readDataFlash, 4, Frame6x("AA 03 FC 0F 03 04 11 22 33 44", -1),
            ErrChecksum, {}, good6xRead, data6x},
        // Bytes after a good frame, even the start of another, are purged before
        // the next request.
        Row{"SixXTrailingBytesAfterAGoodFrameAreDropped", readRtc2k, 4,
            Concat(Frame6x("AA 03 FC 0F 01 04 55 66 77 08"), Hex("AA 03 FC")), ErrOk, Hex("55 66 77 08"),
            good6xRead, data6x},

        // M4: the reply is the next 14 bytes.
        Row{"M4ThirteenBytesTimeOut", m4ReadMem, 8, DropLast(M4Reply(0xD2)), ErrPortRead, {}, M4Reply(0xD2),
            dataM4},
        Row{"M4FifteenBytesGiveTheFirstFourteenAndDropTheLast", m4ReadMem, 8, Concat(M4Reply(0xD2), Hex("D2")),
            ErrOk, dataM4, M4Reply(0xD2), dataM4},
        // A wrong sum after a right reply code: the reads deliver the data with
        // code 5 (the drivers look at the code), the writes report 5.
        Row{"M4WrongSumOfAReadDeliversTheDataWithCode5", m4ReadMem, 8, M4Reply(0xD2, +1), ErrChecksum, dataM4,
            M4Reply(0xD2), dataM4},
        Row{"M4WrongSumOfAWriteConfirmation", m4WriteMem, 8, M4Reply(0xD7, -1), ErrChecksum, {}, M4Reply(0xD7), {}},
        // The reply code of another operation: each operation has its own rule.
        Row{"M4ReadRamIntRefusesTheReplyOfReadMem", m4ReadRamInt, 8, M4Reply(0xD2), ErrIntegrity, {},
            M4Reply(0xCD), dataM4},
        Row{"M4ReadRamExtRefusesTheReplyOfReadRamInt", m4ReadRamExt, 8, M4Reply(0xCD), ErrIntegrity, {},
            M4Reply(0xC7), dataM4},
        Row{"M4ReadMemIgnoresTheReplyOfReadRamInt", m4ReadMem, 8, M4Reply(0xCD), ErrOk, {}, M4Reply(0xD2), dataM4},
        Row{"M4ParameterDeviceIgnoresTheReplyOfSetDevice", m4ParameterDevice, 8, M4Reply(0xD3), ErrOk, {},
            M4Reply(0xD0), dataM4},
        Row{"M4SetDeviceIgnoresTheReplyOfParameterDevice", m4SetDevice, 8, M4Reply(0xD0), ErrOk, {}, M4Reply(0xD3),
            dataM4},
        Row{"M4WriteSRefusesTheReplyOfParameterDevice", m4WriteS, 0, M4Reply(0xD0), ErrIntegrity, {}, M4Reply(0xD3),
            {}},
        Row{"M4WriteMemDoesNotExamineTheReplyCode", m4WriteMem, 8, M4Reply(0x00), ErrOk, {}, M4Reply(0xD7), {}},

        // ModBus: the length follows from the function code; no start search.
        Row{"ModBusDataByteChangedOnTheLineFailsTheCrc", mbRead, 4, Hex("01 03 04 41 21 00 00 EF C5"), ErrChecksum,
            {}, goodMbRead, dataMb},
        Row{"ModBusAnotherSlavesConfirmationIsTaken", mbWrite, 2, WithCrc("07 10 01 72 00 01"), ErrOk, {},
            goodMbWrite, {}},
        // Function 4 is not one the receiver knows: it reads five bytes, which
        // cannot end in the CRC of a nine-byte frame.
        Row{"ModBusAnotherFunctionIsCutAtFiveBytes", mbRead, 4, WithCrc("01 04 04 41 20 00 00"), ErrChecksum, {},
            goodMbRead, dataMb},
        // Exceptions: the slave has answered, so no repeat, and nothing is taken.
        Row{"ModBusException1IllegalFunction", mbRead, 4, WithCrc("01 83 01"), ErrIntegrity, {}, goodMbRead,
            dataMb},
        Row{"ModBusException2IllegalAddressOfAWrite", mbWrite, 2, WithCrc("01 90 02"), ErrIntegrity, {},
            goodMbWrite, {}},
        Row{"ModBusException3IllegalValue", mbRead, 4, WithCrc("01 83 03"), ErrIntegrity, {}, goodMbRead, dataMb},
        Row{"ModBusException4SlaveFailureOfAWrite", mbWrite, 2, WithCrc("01 90 04"), ErrIntegrity, {}, goodMbWrite,
            {}},
        Row{"ModBusUnknownExceptionCode", mbRead, 4, WithCrc("01 83 5A"), ErrIntegrity, {}, goodMbRead, dataMb},
        Row{"ModBusByteCountOfOneIsNotTwoRegisters", mbRead, 4, WithCrc("01 03 01 41"), ErrPacketSize, {},
            goodMbRead, dataMb},
        Row{"ModBusByteCountOf255IsReadAndRefused", mbRead, 4,
            WithCrc(Concat(Hex("01 03 FF"), Repeat(0x6B, 255))), ErrPacketSize, {}, goodMbRead, dataMb},
        Row{"ModBusOneByteTimesOut", mbRead, 4, Hex("01"), ErrPortRead, {}, goodMbRead, dataMb},
        Row{"ModBusTwoBytesTimeOut", mbRead, 4, Hex("01 03"), ErrPortRead, {}, goodMbRead, dataMb},
        Row{"ModBusThreeBytesTimeOut", mbRead, 4, Hex("01 03 04"), ErrPortRead, {}, goodMbRead, dataMb},
        Row{"ModBusFourBytesOfAnExceptionTimeOut", mbRead, 4, Hex("01 83 02 C0"), ErrPortRead, {}, goodMbRead,
            dataMb}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
