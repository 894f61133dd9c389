// A scripted serial port on a virtual clock, for unit tests of the protocols.
//
// It records every byte written (grouped into requests: a Purge starts a new
// request), and replays scripted replies: each queued reply answers the next
// request that is waited on (a request followed only by the next Purge, such as
// a broadcast, takes none), and its bytes arrive on the virtual clock delay ms
// after the request was written and gap ms apart. Waiting on the port advances the
// virtual clock to the next arrival or to the end of the wait, so timeouts and
// repeats run instantly and exactly.
#pragma once

#include "UlvComPort.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class VirtualClock final : public TulvClock {
public:
    void SleepMs(std::uint32_t ms) override
    {
        now += ms;
        sleeps.push_back(ms);
    }
    std::uint64_t NowMs() override { return now; }
    void Advance(std::uint64_t ms) { now += ms; }
    std::tm LocalTime() override { return localTime; }
    // Sets the local time that LocalTime reports (month 1..12, full year).
    void SetLocalTime(int year, int month, int day, int hour, int minute, int second, int weekday = 0)
    {
        localTime = std::tm{};
        localTime.tm_year = year - 1900;
        localTime.tm_mon = month - 1;
        localTime.tm_mday = day;
        localTime.tm_hour = hour;
        localTime.tm_min = minute;
        localTime.tm_sec = second;
        localTime.tm_wday = weekday;
    }

    std::uint64_t now = 0;
    std::tm localTime{0, 30, 7, 5, 2, 124, 2, 0, 0, 0, nullptr}; // Tue 5 March 2024 07:30:00
    std::vector<std::uint32_t> sleeps; // plain sleeps only (not waits on the port)
};

using Bytes = std::vector<std::uint8_t>;

// "55 AA 0F" -> bytes
Bytes Hex(const std::string& text);
std::string ToHex(const Bytes& bytes);

class ScriptedPort final : public TulvPort {
public:
    struct Reply {
        Bytes bytes;             // empty: no answer to this request
        std::uint32_t delay = 0; // ms after the request until the first byte
        std::uint32_t gap = 0;   // ms between bytes
    };
    struct Request {
        std::uint64_t time = 0; // when its first byte was written
        Bytes bytes;
        int writeCalls = 0;     // how many WriteByte/WriteBuffer calls carried it
    };

    ScriptedPort() = default;

    // Queues the answer to the next request that has none yet.
    void QueueReply(Bytes bytes, std::uint32_t delay = 0, std::uint32_t gap = 0);
    void QueueSilence() { QueueReply({}); }
    // Bytes that arrive at an absolute virtual time, whatever is written.
    void InjectAt(std::uint64_t time, Bytes bytes);
    // A line that never falls silent: from the virtual time from on, the byte
    // arrives every everyMs ms (a floating bus, a jabbering adapter), besides
    // whatever else is scripted. Purge drops what has arrived of it.
    void Chatter(std::uint8_t byte, std::uint32_t everyMs, std::uint64_t from = 0);
    std::uint64_t chatterTaken = 0; // chatter bytes read

    // Failure switches.
    bool openSucceeds = true;
    int writesBeforeFailure = -1; // -1: never fail; n: the (n+1)-th write call fails
    void HangUp() { lost = true; }

    // What happened.
    std::vector<Request> requests;
    int purges = 0;
    int opens = 0;
    int readPolls = 0; // ReadByte calls
    VirtualClock clock;

    // TulvPort
    bool Open() override;
    void Close() override { opened = false; }
    void Purge() override;
    bool Opened() const override { return opened; }
    bool ReadByte(std::uint8_t& b) override;
    bool WriteByte(std::uint8_t b) override { return Write(&b, 1); }
    bool WriteBuffer(const void* buf, int count) override { return Write(buf, count); }
    void WaitForByte(std::uint32_t ms) override;
    bool Lost() const override { return lost; }
    TulvClock& Clock() override { return clock; }

    bool opened = false;
    bool lost = false;

    // The bytes of all requests, in order.
    Bytes AllWritten() const;
    // Bytes that have arrived but not been read.
    size_t Pending() const;

private:
    struct Arrival {
        std::uint64_t time;
        std::uint8_t byte;
    };
    bool Write(const void* buf, int count);
    void ArmIfRequestEnded();

    std::deque<Reply> FScript;
    std::deque<Arrival> FIncoming; // sorted by time
    bool FNewRequest = true;       // the next write starts a new request
    bool FRequestOpen = false;     // a request is being written and its reply not yet armed
    int FWriteCalls = 0;
    std::uint64_t FLastWrite = 0;
    bool FChatter = false;
    std::uint8_t FChatterByte = 0;
    std::uint32_t FChatterEvery = 1;
    std::uint64_t FChatterNext = 0; // arrival time of the next chatter byte not yet read
};
