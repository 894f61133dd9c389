// A protocol family on the simulated line. Every family sees every byte that arrives (as every
// meter on a real bus hears every frame), cuts its own frames out of the stream, lets its meters
// answer, and hands the replies to the line, which writes them.
#pragma once

#include "Faults.h"
#include "FrameLog.h"
#include "Meter.h"
#include "MonoTime.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <vector>

namespace metersim {

// Where a family hands a reply: sent when the line reaches due.
class ReplySink {
  public:
    virtual ~ReplySink() = default;
    virtual void Send(std::uint32_t meterAddress, ShapedReply reply, MonoTime due) = 0;
};

// What the line lends a family.
struct LineContext {
    FrameLog& log;
    ReplySink& sink;
    std::mt19937& rng;                  // for random noise; seeded by the scenario, so runs repeat
    std::chrono::milliseconds frameGap; // a partial frame is dropped after this long without a byte
};

class LineProtocol {
  public:
    virtual ~LineProtocol() = default;
    // Takes bytes that arrived at now.
    virtual void Receive(const std::uint8_t* data, std::size_t count, MonoTime now) = 0;
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
