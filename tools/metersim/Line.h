// The simulated line: takes the bytes that arrive on the pseudo-terminal, lets every protocol family
// on it look at them one by one, logs the bytes that no family took as a frame, and writes the
// replies when they are due, at the line's baud rate if pacing is on.
#pragma once

#include "FrameLog.h"
#include "LineProtocol.h"
#include "MonoTime.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace metersim {

struct LineSettings {
    std::uint32_t baud = 9600;
    // Write replies byte by byte at the baud rate (10 bits per byte) instead of in one write.
    bool pacing = false;
    std::chrono::milliseconds frameGap{50};
    std::uint32_t seed = 1;
    // A two-wire line whose adapter hears its own request: every byte that arrives is written
    // straight back, before any reply.
    bool echo = false;
    // A line that never falls silent (a floating bus): once afterReplies replies have been
    // written, the byte goes out every everyMs ms for good, and the meters are no longer heard
    // (their replies are dropped).
    struct Chatter {
        bool on = false;
        std::uint8_t byte = 0xFF;
        std::uint32_t everyMs = 1;
        std::uint64_t afterReplies = 0;
    } chatter;
};

class Line : public ReplySink, public FrameLedger {
public:
    Line(const LineSettings& settings, FrameLog& log);

    const LineSettings& Settings() const { return settings_; }
    LineContext Context() { return {log_, *this, *this, rng_, settings_.frameGap, baudSource_}; }
    // Where the meters learn the speed the client set (meters with a "baud" of their own answer only at it).
    void SetBaudSource(std::function<unsigned()> source) { baudSource_ = std::move(source); }
    void AddProtocol(std::unique_ptr<LineProtocol> protocol) { protocols_.push_back(std::move(protocol)); }

    // The master side of the pseudo-terminal, or -1 while unplugged. Unplugging drops pending
    // replies and partial frames.
    void Attach(int masterFd);

    void Receive(const std::uint8_t* data, std::size_t count, MonoTime now);

    // The earliest moment at which RunDue has work, if any.
    std::optional<MonoTime> Deadline() const;
    // Expires stale partial frames and writes the replies that are due.
    void RunDue(MonoTime now);

    void Send(std::string who, ShapedReply reply, MonoTime due) override;
    // Whether a meter's "unplug" fault asked for the line to be unplugged (cleared by the call).
    bool TakeUnplugRequest()
    {
        const bool r = unplugRequested_;
        unplugRequested_ = false;
        return r;
    }
    void Claim(std::uint64_t begin, std::uint64_t end, bool taken) override;
    void Garbage(std::string_view family, std::uint64_t begin, std::uint64_t end, std::string_view reason) override;

private:
    struct Pending {
        MonoTime due;
        std::string who;
        ShapedReply reply;
    };
    struct Span {
        std::uint64_t begin, end;
        std::string reason; // empty for a claim
    };

    // After a frame was claimed or the families moved on: starts a new frame everywhere after a
    // taken one, logs the garbage that every family has decided on, answers the frames.
    void Settle(MonoTime now);
    void LogGarbage();

    void Write(const Pending& p);
    // Writes bytes, waiting a while when the pseudo-terminal is full; returns how many were taken
    // (fewer than count when it stays full or the write fails, with error saying why).
    std::size_t WriteChunk(const std::uint8_t* data, std::size_t count, std::string& error);

    LineSettings settings_;
    FrameLog& log_;
    std::mt19937 rng_;
    std::vector<std::unique_ptr<LineProtocol>> protocols_;
    std::vector<Pending> pending_; // in order of due time; equal times keep their order
    int fd_ = -1;
    std::function<unsigned()> baudSource_;
    bool unplugRequested_ = false;

    // Chatter: whether it has begun, when its next byte is due, replies written so far.
    void Chatter(MonoTime now);
    bool chattering_ = false;
    MonoTime nextChatter_{};
    std::uint64_t repliesWritten_ = 0;

    std::uint64_t received_ = 0;       // bytes received so far (the offset of the next one)
    std::uint64_t lastTakenBytes_ = 0; // length of the last frame a meter took (for pacing)
    std::deque<std::uint8_t> history_; // received bytes from offset logged_ on
    std::uint64_t logged_ = 0;         // bytes before this offset are settled
    std::vector<Span> garbage_;        // reported, not yet logged
    std::vector<Span> claims_;
    std::optional<std::uint64_t> newFrameAt_;
    bool claimed_ = false;
};

} // namespace metersim
