#include "Ulv6xProtocol.h"

#include "Cp1251.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <vector>

std::uint8_t Frame6x::Checksum(const std::uint8_t* bytes, int count)
{
    std::uint8_t sum = 0;
    for (int i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return static_cast<std::uint8_t>(~sum);
}

namespace {
std::uint16_t Be16(const std::uint8_t* b)
{
    return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}
} // namespace

void Frame6x::DescribeCommand(std::uint8_t group, std::uint8_t command, const std::uint8_t* data, int n, bool request,
                              TulvFrameFields& f)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02X %02X", group, command);
    f.Command = hex;
    const int code = group << 8 | command;
    auto all = [&] { f.Data.assign(data, data + n); };
    // Requests carrying a byte address and a count (reads) or the data (writes).
    auto addrRead = [&](const char* area) {
        f.Area = area;
        if (request && n >= 3) {
            f.Cell = Be16(data);
            f.Count = data[2];
        } else if (!request) {
            all();
        }
    };
    auto addrWrite = [&](const char* area) {
        f.Area = area;
        if (request && n >= 2) {
            f.Cell = Be16(data);
            f.Count = n - 2;
            f.Data.assign(data + 2, data + n);
        } else if (!request) {
            all();
        }
    };
    switch (code) {
    case 0x0F01: f.Name = "чтение"; addrRead("Rtc2k"); break;
    case 0x0C01: f.Name = "чтение"; addrRead("RAM"); break;
    case 0x0F81: f.Name = "запись"; addrWrite("Rtc2k"); break;
    case 0x0A42: f.Name = "запись (0A 42)"; addrWrite("Rtc2k"); break;
    case 0x0F02:
        f.Name = "чтение";
        f.Area = "Rtc128";
        if (request && n >= 2) {
            f.Cell = data[0];
            f.Count = data[1];
        } else if (!request) {
            all();
        }
        break;
    case 0x0F82:
        f.Name = "запись";
        f.Area = "Rtc128";
        if (request && n >= 1) {
            f.Cell = data[0];
            f.Count = n - 1;
            f.Data.assign(data + 1, data + n);
        } else if (!request) {
            all();
        }
        break;
    case 0x0F03:
        f.Name = "чтение";
        f.Area = "DataFlash";
        if (request && n >= 5) {
            f.Count = data[0];
            f.Cell = static_cast<long long>(data[1]) << 24 | data[2] << 16 | data[3] << 8 | data[4];
        } else if (!request) {
            all();
        }
        break;
    case 0x0000: f.Name = "идентификатор"; break;
    case 0x0001: f.Name = "версия ПО"; break;
    case 0x0002: f.Name = "модификация"; break;
    case 0x0003: f.Name = "подверсия ПО"; break;
    case 0x0C00: f.Name = "текущие значения"; break;
    case 0x317A: f.Name = "режим поверки: вкл."; break;
    case 0xA853: f.Name = "режим поверки: выкл."; break;
    case 0x0F64: f.Name = "сброс калибровочной таблицы"; break;
    default:
        if (group == 0x21 || group == 0x22) f.Name = "калибровка усилителя";
        break;
    }
    if (f.Data.empty() && f.Count < 0 && n > 0 && f.Area.empty()) {
        all();
        // Identification texts are printable in code page 1251 (the version of
        // some meters is two binary bytes instead).
        if (!request && group == 0x00 && std::all_of(data, data + n, [](std::uint8_t c) { return c >= 0x20; })) {
            const std::string text = Cp1251ToUtf8(std::string_view(reinterpret_cast<const char*>(data), n));
            f.Note = "текст \"" + text + "\"";
        }
    }
}

TulvFrameFields Frame6x::Decode(const std::uint8_t* b, std::size_t count, bool request)
{
    TulvFrameFields f;
    if (count >= 2) f.Address = std::to_string(b[1]);
    if (count >= 3 && (b[2] ^ 0xFF) != b[1]) f.Note = "дополнение адреса неверно";
    if (count < 6) return f;
    const int n = b[5];
    const bool complete = count >= static_cast<std::size_t>(n) + 7;
    const int have = static_cast<int>(std::min<std::size_t>(n, count - 6));
    std::string note = f.Note;
    Frame6x::DescribeCommand(b[3], b[4], b + 6, have, request, f);
    if (!note.empty()) f.Note = f.Note.empty() ? note : note + "; " + f.Note;
    if (complete) f.Checksum = Checksum(b, n + 6) == b[n + 6] ? 1 : 0;
    return f;
}

Tulv6xProtocol::Tulv6xProtocol() : TulvProtocolLink(5, 500, 150) {}
Tulv6xProtocol::~Tulv6xProtocol() = default;

std::tm Tulv6xProtocol::LocalNow()
{
    return (FComPort ? FComPort->Clock() : RealClock()).LocalTime();
}

// --- Framing and transactions ------------------------------------------------

bool Tulv6xProtocol::SendFrame(std::uint8_t Count)
{
    return SendRequest(TulvTraceFamily::Proto6x, FRequest.data(), Count, Writes::Whole);
}

std::uint8_t Tulv6xProtocol::ReceiveFrame()
{
    return ReceiveFrameImpl(false, 0);
}

std::uint8_t Tulv6xProtocol::ReceiveFrameLimited(std::uint16_t MaxData)
{
    return ReceiveFrameImpl(true, MaxData);
}

std::uint8_t Tulv6xProtocol::ReceiveFrameImpl(bool limited, std::uint16_t maxData)
{
    if (FComPort == nullptr) {
        FLastError = ErrPortRead;
        return 0;
    }
    const bool traced = FComPort->Trace() != nullptr;
    const std::uint64_t traceStart = traced ? FComPort->Clock().NowMs() : 0;
    std::vector<std::uint8_t> noise;
    // Every way out: the outcome, and with a trace the bytes taken.
    auto done = [&](ProtocolErrorCode code, int taken) -> std::uint8_t {
        FLastError = code;
        if (traced)
            TraceReceive(FComPort, TulvTraceFamily::Proto6x, noise, FReply.data(), static_cast<std::size_t>(taken),
                         code, traceStart);
        return code == ErrOk ? static_cast<std::uint8_t>(taken) : 0;
    };
    Pause(10);
    int pos = 0;
    int expected = 7;
    const std::uint64_t huntEnd = FComPort->StartByteDeadline(FPacketTimeout);
    while (pos < expected) {
        const std::uint32_t timeout = pos == 0 ? FPacketTimeout : FByteTimeout;
        std::uint8_t b = 0;
        if (!FComPort->PollByte(timeout, b)) return done(ErrPortRead, pos);
        FReply[pos] = b;
        if (pos == 5) {
            // A length the caller does not accept, or one that would make the
            // frame longer than 255 bytes, is refused; what is left of the frame
            // is thrown away.
            if ((limited && b > maxData) || b > Frame6x::MaxData) {
                FComPort->Purge();
                return done(ErrPacketSize, pos + 1);
            }
            expected = b + 7;
        }
        if (pos == 2 && (FReply[2] ^ 0xFF) != FReply[1]) return done(ErrNetAddr, pos + 1);
        if (pos == 0 && b != Frame6x::ReplyStart) {
            // Noise before the start byte; a line that goes on chattering gives
            // no reply in time.
            if (traced) noise.push_back(b);
            if (FComPort->Clock().NowMs() > huntEnd) return done(ErrPortRead, 0);
            continue;
        }
        ++pos;
    }
    if (Frame6x::Checksum(FReply.data(), expected - 1) == FReply[expected - 1]) return done(ErrOk, expected);
    return done(ErrChecksum, expected);
}

bool Tulv6xProtocol::Transaction()
{
    return TransactionImpl(false, 0);
}

bool Tulv6xProtocol::TransactionLimited(std::uint16_t MaxData)
{
    return TransactionImpl(true, MaxData);
}

bool Tulv6xProtocol::TransactionImpl(bool limited, std::uint16_t maxData)
{
    if (FComPort == nullptr) {
        FLastError = ErrPortWrite;
        return false;
    }
    FRequest[0] = Frame6x::RequestStart;
    FRequest[1] = FNetAddr;
    FRequest[2] = static_cast<std::uint8_t>(FNetAddr ^ 0xFF);
    const int n = FRequest[5];
    FRequest[6 + n] = Frame6x::Checksum(FRequest.data(), 6 + n);
    int attempt = 0;
    for (; attempt < FRepeatCount; ++attempt) {
        if (attempt > 0) TraceOutcome(FComPort, TulvTraceFamily::Proto6x, TulvTraceKind::Repeat, attempt + 1u, FRepeatCount);
        SendFrame(static_cast<std::uint8_t>(n + 7));
        ReceiveFrameImpl(limited, maxData);
        if (FLastError == ErrOk) break;
        // A device that has gone away will not come back within the repeats.
        if (FComPort->Lost()) break;
    }
    FComPort->EndExchange(attempt == 0 && FLastError == ErrOk, FPacketTimeout);
    return FLastError == ErrOk;
}

// --- Command rules -----------------------------------------------------------

bool Tulv6xProtocol::CheckPort(PortCheck check)
{
    if (check == PortCheck::None) return true;
    if (FComPort == nullptr) {
        FLastError = ErrPortWrite;
        return false;
    }
    if (!FComPort->Opened() && check == PortCheck::Auto && FAutoOpenPort) FComPort->Open();
    if (!FComPort->Opened()) {
        FLastError = ErrPortMissing;
        return false;
    }
    return true;
}

void Tulv6xProtocol::PutRequest(std::uint8_t group, std::uint8_t command, std::span<const std::uint8_t> data)
{
    if (data.size() > static_cast<size_t>(Frame6x::MaxData))
        throw std::invalid_argument("6x request carries more than 248 data bytes");
    FRequest[3] = group;
    FRequest[4] = command;
    FRequest[5] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), FRequest.begin() + 6);
}

bool Tulv6xProtocol::CopyReplyData(std::span<std::uint8_t> dst)
{
    const size_t n = FReply[5];
    if (n > dst.size()) {
        FLastError = ErrPacketSize;
        TraceOutcome(FComPort, TulvTraceFamily::Proto6x, TulvTraceKind::Error, ErrPacketSize);
        return false;
    }
    std::copy(FReply.begin() + 6, FReply.begin() + 6 + n, dst.begin());
    return true;
}

bool Tulv6xProtocol::Command(PortCheck check, bool gated, std::uint8_t group, std::uint8_t command,
                             std::span<const std::uint8_t> data, int limit)
{
    if (!CheckPort(check)) return false;
    if (gated && !FEWrite) {
        FLastError = ErrOk; // a suppressed write looks like a successful one
        return false;
    }
    PutRequest(group, command, data);
    return limit < 0 ? Transaction() : TransactionLimited(static_cast<std::uint16_t>(limit));
}

bool Tulv6xProtocol::AddrRead(std::uint8_t group, std::uint8_t command, std::uint16_t addr, std::uint8_t count,
                              int limit)
{
    const std::uint8_t req[3] = {static_cast<std::uint8_t>(addr >> 8), static_cast<std::uint8_t>(addr), count};
    return Command(PortCheck::Auto, false, group, command, req, limit);
}

bool Tulv6xProtocol::AddrWrite(std::uint8_t group, std::uint8_t command, std::uint16_t addr, const void* data,
                               std::uint8_t count, int limit)
{
    if (count > Frame6x::MaxData - 2) throw std::invalid_argument("6x write carries more than 246 bytes");
    std::uint8_t req[Frame6x::MaxData];
    req[0] = static_cast<std::uint8_t>(addr >> 8);
    req[1] = static_cast<std::uint8_t>(addr);
    if (count > 0) std::memcpy(req + 2, data, count);
    return Command(PortCheck::Auto, true, group, command, std::span<const std::uint8_t>(req, count + 2u), limit);
}

namespace {
void RequireFits(size_t have, std::uint8_t count)
{
    if (count > have) throw std::invalid_argument("count exceeds the caller's buffer");
}
} // namespace

// --- Memory commands ---------------------------------------------------------

void Tulv6xProtocol::ReadRtc2k(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    if (AddrRead(0x0F, 0x01, Addr, Count, Count)) CopyReplyData(Data);
}

void Tulv6xProtocol::ReadRtc2kP(std::uint16_t Addr, void* Data, std::uint8_t Count)
{
    if (AddrRead(0x0F, 0x01, Addr, Count, -1))
        CopyReplyData(std::span<std::uint8_t>(static_cast<std::uint8_t*>(Data), Count));
}

void Tulv6xProtocol::ReadCfg(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    if (AddrRead(0x0F, 0x01, Addr, Count, -1)) CopyReplyData(Data);
}

void Tulv6xProtocol::WriteRtc2k(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count)
{
    RequireFits(Data.size(), Count);
    AddrWrite(0x0F, 0x81, Addr, Data.data(), Count, -1);
}

void Tulv6xProtocol::WriteRtc2kP(std::uint16_t Addr, const void* Data, std::uint8_t Count)
{
    AddrWrite(0x0F, 0x81, Addr, Data, Count, -1);
}

void Tulv6xProtocol::WriteCfg(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count)
{
    RequireFits(Data.size(), Count);
    AddrWrite(0x0F, 0x81, Addr, Data.data(), Count, -1);
}

void Tulv6xProtocol::WriteRtc2k_rd4(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count)
{
    RequireFits(Data.size(), Count);
    AddrWrite(0x0F, 0x81, Addr, Data.data(), Count, 4);
}

void Tulv6xProtocol::WriteRtc2k_0A42(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count)
{
    RequireFits(Data.size(), Count);
    AddrWrite(0x0A, 0x42, Addr, Data.data(), Count, -1);
}

void Tulv6xProtocol::ReadRAM(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    if (AddrRead(0x0C, 0x01, Addr, Count, Count)) CopyReplyData(Data);
}

void Tulv6xProtocol::ReadRtc128(std::uint8_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    const std::uint8_t req[2] = {Addr, Count};
    if (Command(PortCheck::Auto, false, 0x0F, 0x02, req, -1)) CopyReplyData(Data);
}

void Tulv6xProtocol::WriteRtc128(std::uint8_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    RequireFits(Data.size(), Count);
    if (Count > Frame6x::MaxData - 1) throw std::invalid_argument("Rtc128 write carries more than 247 bytes");
    std::uint8_t req[Frame6x::MaxData];
    req[0] = Addr;
    std::copy(Data.begin(), Data.begin() + Count, req + 1);
    if (Command(PortCheck::Auto, true, 0x0F, 0x82, std::span<const std::uint8_t>(req, Count + 1u), -1))
        CopyReplyData(Data);
}

void Tulv6xProtocol::ReadDataFlash(std::uint32_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    const std::uint8_t req[5] = {Count, static_cast<std::uint8_t>(Addr >> 24), static_cast<std::uint8_t>(Addr >> 16),
                                 static_cast<std::uint8_t>(Addr >> 8), static_cast<std::uint8_t>(Addr)};
    if (Command(PortCheck::Auto, false, 0x0F, 0x03, req, -1)) CopyReplyData(Data);
}

void Tulv6xProtocol::SetDateTime()
{
    if (!CheckPort(PortCheck::Auto)) return;
    const std::tm lt = LocalNow();
    FClockBuf.fill(0);
    FClockBuf[0] = ByteToBcd(static_cast<std::uint8_t>(lt.tm_sec));
    FClockBuf[2] = ByteToBcd(static_cast<std::uint8_t>(lt.tm_min));
    FClockBuf[4] = ByteToBcd(static_cast<std::uint8_t>(lt.tm_hour));
    FClockBuf[6] = static_cast<std::uint8_t>(lt.tm_wday % 7 + 1); // 1 = Sunday
    FClockBuf[7] = ByteToBcd(static_cast<std::uint8_t>(lt.tm_mday));
    FClockBuf[8] = ByteToBcd(static_cast<std::uint8_t>(lt.tm_mon + 1));
    FClockBuf[9] = ByteToBcd(static_cast<std::uint8_t>(lt.tm_year % 100));
    WriteRtc128(0, std::span<std::uint8_t>(FClockBuf.data(), FClockBuf.size()), 10);
}

// --- Identification ----------------------------------------------------------

void Tulv6xProtocol::TextCommand(PortCheck check, std::uint8_t command, std::string& S)
{
    if (!CheckPort(check)) return;
    PutRequest(0x00, command, {});
    if (Transaction())
        S = Cp1251ToUtf8(std::string_view(reinterpret_cast<const char*>(FReply.data() + 6), FReply[5]));
    else
        S.clear();
}

void Tulv6xProtocol::GetDevID(std::string& S)
{
    TextCommand(PortCheck::Auto, 0x00, S);
}

void Tulv6xProtocol::GetSoftVer(std::string& S)
{
    TextCommand(PortCheck::Open, 0x01, S);
}

void Tulv6xProtocol::GetSoftVer64_1(std::string& S)
{
    if (!CheckPort(PortCheck::Open)) return;
    PutRequest(0x00, 0x01, {});
    if (!Transaction()) {
        S.clear();
        return;
    }
    // Bytes the reply does not carry count as 0.
    const int n = FReply[5];
    const int major = n > 0 ? FReply[6] : 0;
    const int minor = n > 1 ? FReply[7] : 0;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d.%.2d", major, minor);
    S = buf;
}

void Tulv6xProtocol::GetModification(std::string& S)
{
    TextCommand(PortCheck::Open, 0x02, S);
}

void Tulv6xProtocol::GetSoftSubVer(std::string& S)
{
    TextCommand(PortCheck::Open, 0x03, S);
}

void Tulv6xProtocol::GetSfrTek(float (&Values)[4])
{
    PutRequest(0x0C, 0x00, {});
    if (!Transaction()) return;
    if (FReply[5] < 16) {
        FLastError = ErrPacketSize;
        TraceOutcome(FComPort, TulvTraceFamily::Proto6x, TulvTraceKind::Error, ErrPacketSize);
        return;
    }
    for (int i = 0; i < 4; ++i) {
        std::uint8_t b[4];
        std::copy(FReply.begin() + 6 + 4 * i, FReply.begin() + 10 + 4 * i, b);
        SwapBytes4(b);
        std::memcpy(&Values[i], b, 4);
    }
}

std::uint32_t Tulv6xProtocol::DetectDevice()
{
    FDeviceType = 0;
    std::string scratch;
    GetDevID(scratch);
    return FDeviceType;
}
