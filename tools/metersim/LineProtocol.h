// A protocol family on the simulated line. Every family sees every byte that arrives (as every
// meter on a real bus hears every frame), cuts its own frames out of the stream, lets its meters
// answer, and hands the replies to the line, which writes them.
//
// Several families can share a line. Bytes are numbered from the start of the run (their offset),
// and each family tells the line, through the FrameLedger, which bytes make one of its frames and
// which are none of its frames. The line logs as garbage only the bytes that no family took as a
// frame, once every family has decided on them. A frame that a meter on the line takes (answered
// or not) ends whatever the other families were collecting: every family starts a new frame with
// the byte after it. That is how the families without a start byte (M4, ModBus), which begin a
// frame only after a pause, find a request that follows another family's exchange at once.
#pragma once

#include "Faults.h"
#include "FrameLog.h"
#include "Meter.h"
#include "MonoTime.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace metersim {

// Where a family hands a reply: sent when the line reaches due. who names the meter in the log.
class ReplySink {
public:
    virtual ~ReplySink() = default;
    virtual void Send(std::string who, ShapedReply reply, MonoTime due) = 0;
};

// What a family reports about the bytes it has looked at.
class FrameLedger {
public:
    virtual ~FrameLedger() = default;
    // Bytes [begin, end) form a well-formed frame of the family. taken: a meter on the line takes it
    // (answered or not), so that every family starts a new frame at end.
    virtual void Claim(std::uint64_t begin, std::uint64_t end, bool taken) = 0;
    // Bytes [begin, end) are none of the family's frames; reason says why (the line adds the family).
    virtual void Garbage(std::string_view family, std::uint64_t begin, std::uint64_t end, std::string_view reason) = 0;
};

// What the line lends a family.
struct LineContext {
    FrameLog& log;
    ReplySink& sink;
    FrameLedger& ledger;
    std::mt19937& rng;                    // for random noise; seeded by the scenario, so runs repeat
    std::chrono::milliseconds frameGap;   // a pause of this long ends a partial frame
    std::function<unsigned()> lineBaud{}; // the speed the client set on the line (0: unknown)

    // True when the meter listens at the speed the line runs at (or at any).
    bool Hears(const Meter& meter) const
    {
        const unsigned baud = lineBaud ? lineBaud() : 0;
        return meter.Baud() == 0 || baud == 0 || baud == meter.Baud();
    }
    // Logs that the meter did not understand a request sent at another speed.
    void NotHeard(const Meter& meter, const std::string& who) const
    {
        log.Write("NOREPLY", who, {},
                  "line at " + std::to_string(lineBaud ? lineBaud() : 0) + " baud, meter at " +
                      std::to_string(meter.Baud()));
    }
};

class LineProtocol {
public:
    virtual ~LineProtocol() = default;
    // Takes one byte, the offset-th of the run, that arrived at now. Frames it completes are
    // claimed at once and answered in Dispatch.
    virtual void Receive(std::uint8_t byte, std::uint64_t offset, MonoTime now) = 0;
    // Another family's meter took a frame that ends before offset: whatever this family has
    // collected is none of its frames, and the next byte begins a new one.
    virtual void StartFrame(std::uint64_t offset) = 0;
    // Logs and answers the frames claimed since the last call.
    virtual void Dispatch(MonoTime now) = 0;
    // The offset of the oldest byte the family has not decided on yet, if any.
    virtual std::optional<std::uint64_t> Horizon() const = 0;
    // When the family next needs OnDeadline (a partial frame going stale), if at all.
    virtual std::optional<MonoTime> Deadline() const = 0;
    virtual void OnDeadline(MonoTime now) = 0;
    // Forgets any partial frame (the line was unplugged).
    virtual void Reset() = 0;
};

// Creates the family's engine for its meters on the line (every meter is of the family's class).
using LineProtocolFactory = std::unique_ptr<LineProtocol> (*)(const std::vector<Meter*>& meters,
                                                              const LineContext& context);

} // namespace metersim
