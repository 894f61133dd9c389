#include "ScriptedPort.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

Bytes Hex(const std::string& text)
{
    Bytes out;
    int nibbles = 0;
    int value = 0;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        value = value * 16 + v;
        if (++nibbles == 2) {
            out.push_back(static_cast<std::uint8_t>(value));
            nibbles = 0;
            value = 0;
        }
    }
    if (nibbles != 0) throw std::invalid_argument("odd number of hex digits: " + text);
    return out;
}

std::string ToHex(const Bytes& bytes)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

void ScriptedPort::QueueReply(Bytes bytes, std::uint32_t delay, std::uint32_t gap)
{
    FScript.push_back({std::move(bytes), delay, gap});
}

void ScriptedPort::InjectAt(std::uint64_t time, Bytes bytes)
{
    for (auto b : bytes) FIncoming.push_back({time, b});
    std::stable_sort(FIncoming.begin(), FIncoming.end(),
                     [](const Arrival& a, const Arrival& b) { return a.time < b.time; });
}

void ScriptedPort::Chatter(std::uint8_t byte, std::uint32_t everyMs, std::uint64_t from)
{
    FChatter = true;
    FChatterByte = byte;
    FChatterEvery = everyMs == 0 ? 1 : everyMs;
    FChatterNext = from;
}

bool ScriptedPort::Open()
{
    ++opens;
    if (!openSucceeds) return false;
    opened = true;
    lost = false;
    return true;
}

void ScriptedPort::Purge()
{
    if (!opened) return;
    ++purges;
    // A request that nobody waited an answer for (a broadcast) gets no reply.
    FRequestOpen = false;
    // Everything that has already arrived is discarded; later bytes still come.
    while (!FIncoming.empty() && FIncoming.front().time <= clock.now) FIncoming.pop_front();
    if (FChatter && FChatterNext <= clock.now)
        FChatterNext += ((clock.now - FChatterNext) / FChatterEvery + 1) * FChatterEvery;
    FNewRequest = true;
}

bool ScriptedPort::Write(const void* buf, int count)
{
    const auto* p = static_cast<const std::uint8_t*>(buf);
    ++FWriteCalls;
    if (!opened || lost) return false;
    if (writesBeforeFailure >= 0 && FWriteCalls > writesBeforeFailure) return false;
    if (FNewRequest) {
        requests.push_back({clock.now, {}, 0});
        FNewRequest = false;
        FRequestOpen = true;
    }
    auto& r = requests.back();
    r.bytes.insert(r.bytes.end(), p, p + count);
    ++r.writeCalls;
    FLastWrite = clock.now;
    return true;
}

void ScriptedPort::ArmIfRequestEnded()
{
    if (!FRequestOpen) return;
    FRequestOpen = false;
    if (FScript.empty()) return;
    Reply reply = std::move(FScript.front());
    FScript.pop_front();
    std::uint64_t t = FLastWrite + reply.delay;
    for (size_t i = 0; i < reply.bytes.size(); ++i) FIncoming.push_back({t + i * reply.gap, reply.bytes[i]});
    std::stable_sort(FIncoming.begin(), FIncoming.end(),
                     [](const Arrival& a, const Arrival& b) { return a.time < b.time; });
}

bool ScriptedPort::ReadByte(std::uint8_t& b)
{
    ++readPolls;
    if (!opened || lost) return false;
    ArmIfRequestEnded();
    if (FChatter && FChatterNext <= clock.now &&
        (FIncoming.empty() || FIncoming.front().time > clock.now || FChatterNext < FIncoming.front().time)) {
        b = FChatterByte;
        FChatterNext += FChatterEvery;
        ++chatterTaken;
        return true;
    }
    if (FIncoming.empty() || FIncoming.front().time > clock.now) return false;
    b = FIncoming.front().byte;
    FIncoming.pop_front();
    return true;
}

void ScriptedPort::WaitForByte(std::uint32_t ms)
{
    ArmIfRequestEnded();
    const std::uint64_t end = clock.now + ms;
    std::uint64_t next = end + 1;
    if (!FIncoming.empty()) next = FIncoming.front().time;
    if (FChatter) next = std::min(next, FChatterNext);
    if (opened && !lost && next <= end) {
        clock.now = std::max(clock.now, next);
        return;
    }
    clock.now = end;
}

Bytes ScriptedPort::AllWritten() const
{
    Bytes all;
    for (const auto& r : requests) all.insert(all.end(), r.bytes.begin(), r.bytes.end());
    return all;
}

size_t ScriptedPort::Pending() const
{
    size_t chatter = FChatter && FChatterNext <= clock.now ? (clock.now - FChatterNext) / FChatterEvery + 1 : 0;
    return chatter + static_cast<size_t>(std::count_if(FIncoming.begin(), FIncoming.end(),
                                                       [&](const Arrival& a) { return a.time <= clock.now; }));
}
