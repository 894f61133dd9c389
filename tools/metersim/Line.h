// The simulated line: takes the bytes that arrive on the pseudo-terminal, lets every protocol family
// on it look at them, and writes the replies when they are due, at the line's baud rate if pacing
// is on.
#pragma once

#include "FrameLog.h"
#include "LineProtocol.h"
#include "MonoTime.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <vector>

namespace metersim {

struct LineSettings {
    std::uint32_t baud = 9600;
    // Write replies byte by byte at the baud rate (10 bits per byte) instead of in one write.
    bool pacing = false;
    std::chrono::milliseconds frameGap{50};
    std::uint32_t seed = 1;
};

class Line : public ReplySink {
  public:
    Line(const LineSettings& settings, FrameLog& log);

    const LineSettings& Settings() const { return settings_; }
    LineContext Context() { return {log_, *this, rng_, settings_.frameGap}; }
    void AddProtocol(std::unique_ptr<LineProtocol> protocol) { protocols_.push_back(std::move(protocol)); }

    // The master side of the pseudo-terminal, or -1 while unplugged. Unplugging drops pending
    // replies and partial frames.
    void Attach(int masterFd);

    void Receive(const std::uint8_t* data, std::size_t count, MonoTime now);

    // The earliest moment at which RunDue has work, if any.
    std::optional<MonoTime> Deadline() const;
    // Expires stale partial frames and writes the replies that are due.
    void RunDue(MonoTime now);

    void Send(std::uint32_t meterAddress, ShapedReply reply, MonoTime due) override;

  private:
    struct Pending {
        MonoTime due;
        std::uint32_t address;
        ShapedReply reply;
    };

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
};

} // namespace metersim
