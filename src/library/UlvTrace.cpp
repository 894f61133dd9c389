#include "UlvTrace.h"

#include "Ulv6xProtocol.h"
#include "UlvM4Protocol.h"
#include "UlvModBusProtocol.h"
#include "UlvUtils.h"

#include <algorithm>
#include <cstdio>

const char* TraceFamilyName(TulvTraceFamily family)
{
    switch (family) {
    case TulvTraceFamily::Proto6x: return "6x";
    case TulvTraceFamily::Relay: return "relay";
    case TulvTraceFamily::M4: return "m4";
    case TulvTraceFamily::ModBus: return "modbus";
    }
    return "?";
}

TulvFrameFields DecodeTraceFrame(TulvTraceFamily family, const std::uint8_t* bytes, std::size_t count, bool request)
{
    switch (family) {
    case TulvTraceFamily::Proto6x: return Frame6x::Decode(bytes, count, request);
    case TulvTraceFamily::Relay: return FrameRelay::Decode(bytes, count, request);
    case TulvTraceFamily::M4: return FrameM4::Decode(bytes, count, request);
    case TulvTraceFamily::ModBus: return FrameModBus::Decode(bytes, count, request);
    }
    return {};
}

std::string TraceHex(const std::uint8_t* bytes, std::size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i) s += ' ';
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string FrameFieldsText(const TulvFrameFields& f)
{
    std::string s;
    auto part = [&s](const std::string& p) {
        if (p.empty()) return;
        if (!s.empty()) s += "; ";
        s += p;
    };
    if (!f.Address.empty()) part("адрес " + f.Address);
    if (!f.Command.empty()) part(f.Name.empty() ? f.Command : f.Command + " " + f.Name);
    if (!f.Area.empty()) {
        char cell[32] = "";
        if (f.Cell >= 0) std::snprintf(cell, sizeof cell, " 0x%04llX", f.Cell);
        part(f.Area + cell);
    }
    if (f.Count >= 0) part("число " + std::to_string(f.Count));
    if (!f.Data.empty()) part("данные " + TraceHex(f.Data.data(), f.Data.size()));
    part(f.Note);
    if (f.Checksum == 1) part("КС верна");
    if (f.Checksum == 0) part("КС НЕВЕРНА");
    if (f.Checksum < 0) part("кадр неполный");
    return s;
}

std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04X", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

namespace {

bool IsFrameKind(TulvTraceKind k)
{
    return k == TulvTraceKind::Sent || k == TulvTraceKind::Received;
}

const char* KindKey(TulvTraceKind k)
{
    switch (k) {
    case TulvTraceKind::Sent: return "sent";
    case TulvTraceKind::Received: return "received";
    case TulvTraceKind::Noise: return "noise";
    case TulvTraceKind::Dropped: return "dropped";
    case TulvTraceKind::Answer: return "answer";
    case TulvTraceKind::Timeout: return "timeout";
    case TulvTraceKind::Repeat: return "repeat";
    case TulvTraceKind::Error: return "error";
    }
    return "?";
}

std::string TimeText(const TulvTraceEvent& e, std::uint64_t startMs)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%10.3f", static_cast<double>(e.TimeMs - std::min(e.TimeMs, startMs)));
    return buf;
}

} // namespace

std::string TulvTrace::FormatText(const TulvTraceEvent& e, std::uint64_t startMs)
{
    char fam[16];
    std::snprintf(fam, sizeof fam, " %-6s ", TraceFamilyName(e.Family));
    std::string s = TimeText(e, startMs) + fam;
    const std::string hex = TraceHex(e.Bytes.data(), e.Bytes.size());
    switch (e.Kind) {
    case TulvTraceKind::Sent:
    case TulvTraceKind::Received: {
        const bool request = e.Kind == TulvTraceKind::Sent;
        s += request ? "-> " : "<- ";
        s += hex + " | " + FrameFieldsText(DecodeTraceFrame(e.Family, e.Bytes.data(), e.Bytes.size(), request));
        break;
    }
    case TulvTraceKind::Noise: s += "<- " + hex + " | шум пропущен (" + std::to_string(e.Bytes.size()) + " байт)"; break;
    case TulvTraceKind::Dropped:
        s += "<- " + hex + " | опоздавший ответ отброшен (" + std::to_string(e.Bytes.size()) + " байт)";
        break;
    case TulvTraceKind::Answer: s += "== ответ"; break;
    case TulvTraceKind::Timeout: s += "== тайм-аут через " + std::to_string(e.Value) + " мс"; break;
    case TulvTraceKind::Repeat:
        s += "== повтор " + std::to_string(e.Value) + " из " + std::to_string(e.Value2);
        break;
    case TulvTraceKind::Error:
        s += "== ошибка " + std::to_string(e.Value) + ": " + ProtocolErrorText(e.Value);
        break;
    }
    return s;
}

std::string TulvTrace::FormatJson(const TulvTraceEvent& e, std::uint64_t startMs)
{
    std::string s = "{\"t_ms\":" + std::to_string(e.TimeMs - std::min(e.TimeMs, startMs)) + ",\"family\":\"" +
                    TraceFamilyName(e.Family) + "\",\"event\":\"" + KindKey(e.Kind) + "\"";
    if (e.Kind == TulvTraceKind::Sent) s += ",\"dir\":\"out\"";
    if (e.Kind == TulvTraceKind::Received || e.Kind == TulvTraceKind::Noise || e.Kind == TulvTraceKind::Dropped)
        s += ",\"dir\":\"in\"";
    if (!e.Bytes.empty() || IsFrameKind(e.Kind)) s += ",\"hex\":" + JsonString(TraceHex(e.Bytes.data(), e.Bytes.size()));
    if (IsFrameKind(e.Kind)) {
        const TulvFrameFields f =
            DecodeTraceFrame(e.Family, e.Bytes.data(), e.Bytes.size(), e.Kind == TulvTraceKind::Sent);
        s += ",\"fields\":{";
        std::string inner;
        auto add = [&inner](const std::string& kv) { inner += (inner.empty() ? "" : ",") + kv; };
        if (!f.Address.empty()) add("\"address\":" + JsonString(f.Address));
        if (!f.Command.empty()) add("\"command\":" + JsonString(f.Command));
        if (!f.Name.empty()) add("\"name\":" + JsonString(f.Name));
        if (!f.Area.empty()) add("\"area\":" + JsonString(f.Area));
        if (f.Cell >= 0) add("\"cell\":" + std::to_string(f.Cell));
        if (f.Count >= 0) add("\"count\":" + std::to_string(f.Count));
        if (!f.Data.empty()) add("\"data\":" + JsonString(TraceHex(f.Data.data(), f.Data.size())));
        if (!f.Note.empty()) add("\"note\":" + JsonString(f.Note));
        add(std::string("\"checksum\":") + (f.Checksum == 1 ? "\"good\"" : f.Checksum == 0 ? "\"bad\"" : "\"incomplete\""));
        s += inner + "}";
    }
    if (e.Kind == TulvTraceKind::Timeout) s += ",\"after_ms\":" + std::to_string(e.Value);
    if (e.Kind == TulvTraceKind::Repeat)
        s += ",\"attempt\":" + std::to_string(e.Value) + ",\"of\":" + std::to_string(e.Value2);
    if (e.Kind == TulvTraceKind::Error)
        s += ",\"code\":" + std::to_string(e.Value) + ",\"text\":" + JsonString(ProtocolErrorText(e.Value));
    return s + "}";
}

TulvTrace::TulvTrace(const std::string& path, Format format)
    : TulvTraceRecorder(path, format == Format::JsonLines ? &TulvTrace::FormatJson : &TulvTrace::FormatText)
{
}
