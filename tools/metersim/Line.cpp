#include "Line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace metersim {

namespace {

// How long a reply waits for room in a full pseudo-terminal (nobody reading the other side)
// before it is dropped.
constexpr int kWriteStallMs = 500;

} // namespace

Line::Line(const LineSettings& settings, FrameLog& log) : settings_(settings), log_(log), rng_(settings.seed) {}

void Line::Attach(int masterFd)
{
    fd_ = masterFd;
    if (fd_ >= 0) return;
    for (auto& p : pending_)
        log_.Write("DROPPED", p.who, p.reply.bytes, "line unplugged");
    pending_.clear();
    for (auto& protocol : protocols_)
        protocol->Reset();
    Settle(MonoNow());
}

void Line::Receive(const std::uint8_t* data, std::size_t count, MonoTime now)
{
    if (settings_.echo && fd_ >= 0 && count > 0) {
        std::string error;
        const std::size_t written = WriteChunk(data, count, error);
        if (written < count)
            log_.Write("DROPPED", std::nullopt, Bytes(data + written, data + count), "echo: write failed: " + error);
    }
    for (std::size_t i = 0; i < count; ++i) {
        history_.push_back(data[i]);
        const std::uint64_t offset = received_++;
        for (auto& protocol : protocols_)
            protocol->Receive(data[i], offset, now);
        if (claimed_) Settle(now);
    }
    Settle(now);
}

void Line::Claim(std::uint64_t begin, std::uint64_t end, bool taken)
{
    claims_.push_back({begin, end, {}});
    claimed_ = true;
    if (taken) {
        newFrameAt_ = std::max(newFrameAt_.value_or(0), end);
        lastTakenBytes_ = end - begin;
    }
}

void Line::Garbage(std::string_view family, std::uint64_t begin, std::uint64_t end, std::string_view reason)
{
    std::string why = std::string(family) + ": " + std::string(reason);
    // Byte after byte of the same kind of garbage makes one span.
    if (!garbage_.empty() && garbage_.back().end == begin && garbage_.back().reason == why) {
        garbage_.back().end = end;
        return;
    }
    garbage_.push_back({begin, end, std::move(why)});
}

void Line::Settle(MonoTime now)
{
    claimed_ = false;
    if (newFrameAt_) {
        const std::uint64_t at = *newFrameAt_;
        newFrameAt_.reset();
        for (auto& protocol : protocols_)
            protocol->StartFrame(at);
    }
    LogGarbage();
    for (auto& protocol : protocols_)
        protocol->Dispatch(now);
}

void Line::LogGarbage()
{
    std::uint64_t settled = received_;
    for (const auto& protocol : protocols_)
        if (auto h = protocol->Horizon()) settled = std::min(settled, *h);
    if (settled <= logged_) return;

    auto covers = [](const std::vector<Span>& spans, std::uint64_t at) {
        return std::any_of(spans.begin(), spans.end(), [at](const Span& s) { return s.begin <= at && at < s.end; });
    };
    auto logRun = [this](std::uint64_t begin, std::uint64_t end) {
        std::string reasons;
        for (const auto& g : garbage_) {
            if (g.end <= begin || g.begin >= end) continue;
            if (("; " + reasons + ";").find("; " + g.reason + ";") != std::string::npos) continue;
            reasons += (reasons.empty() ? "" : "; ") + g.reason;
        }
        Bytes bytes(history_.begin() + static_cast<std::ptrdiff_t>(begin - logged_),
                    history_.begin() + static_cast<std::ptrdiff_t>(end - logged_));
        log_.Write("GARBAGE", std::nullopt, bytes, reasons);
    };
    // Consecutive bytes that some family called garbage and none took as a frame make one line.
    bool inRun = false;
    std::uint64_t runStart = 0;
    for (std::uint64_t at = logged_; at < settled; ++at) {
        const bool garbage = covers(garbage_, at) && !covers(claims_, at);
        if (garbage && !inRun) runStart = at;
        if (!garbage && inRun) logRun(runStart, at);
        inRun = garbage;
    }
    if (inRun) logRun(runStart, settled);

    history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(settled - logged_));
    logged_ = settled;
    auto done = [settled](const Span& s) { return s.end <= settled; };
    garbage_.erase(std::remove_if(garbage_.begin(), garbage_.end(), done), garbage_.end());
    claims_.erase(std::remove_if(claims_.begin(), claims_.end(), done), claims_.end());
}

std::optional<MonoTime> Line::Deadline() const
{
    std::optional<MonoTime> earliest;
    if (!pending_.empty()) earliest = pending_.front().due;
    if (chattering_ && fd_ >= 0 && (!earliest || nextChatter_ < *earliest)) earliest = nextChatter_;
    for (const auto& protocol : protocols_) {
        if (auto d = protocol->Deadline(); d && (!earliest || *d < *earliest)) earliest = d;
    }
    return earliest;
}

void Line::Chatter(MonoTime now)
{
    const auto& c = settings_.chatter;
    if (!c.on) return;
    if (!chattering_) {
        if (repliesWritten_ < c.afterReplies) return;
        chattering_ = true;
        nextChatter_ = now;
        char note[64];
        std::snprintf(note, sizeof note, "chatter: %02X every %u ms", c.byte, c.everyMs);
        log_.Write("CHATTER", std::nullopt, {}, note);
    }
    if (fd_ < 0) {
        nextChatter_ = now;
        return;
    }
    const MonoTime every = std::chrono::milliseconds(c.everyMs);
    // After a stall (a paced reply being dropped, a busy machine) the line goes on from now
    // rather than making up for the missed bytes in one burst.
    if (now - nextChatter_ > std::chrono::milliseconds(100)) nextChatter_ = now;
    while (nextChatter_ <= now) {
        // Never waits: what the other side does not take is lost, as on a real line.
        (void)!::write(fd_, &c.byte, 1);
        nextChatter_ += every;
    }
}

void Line::RunDue(MonoTime now)
{
    Chatter(now);
    bool expired = false;
    for (auto& protocol : protocols_) {
        if (auto d = protocol->Deadline(); d && *d <= now) {
            protocol->OnDeadline(now);
            expired = true;
        }
    }
    if (expired) Settle(now);
    while (!pending_.empty() && pending_.front().due <= now) {
        Pending p = std::move(pending_.front());
        pending_.erase(pending_.begin());
        Write(p);
        now = MonoNow(); // a paced write takes time
    }
}

void Line::Send(std::string who, ShapedReply reply, MonoTime due)
{
    if (reply.unplug) {
        unplugRequested_ = true;
        return;
    }
    // With pacing, the request itself takes its time on the line too: the pseudo-terminal hands
    // it over at once, so the reply starts only once the request would have arrived.
    if (settings_.pacing)
        due += MonoTime(static_cast<std::int64_t>(lastTakenBytes_) * 10'000'000'000LL /
                        static_cast<std::int64_t>(settings_.baud));
    auto at =
        std::upper_bound(pending_.begin(), pending_.end(), due, [](MonoTime t, const Pending& p) { return t < p.due; });
    pending_.insert(at, Pending{due, std::move(who), std::move(reply)});
}

std::size_t Line::WriteChunk(const std::uint8_t* data, std::size_t count, std::string& error)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, data + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = std::strerror(errno);
            return done;
        }
        pollfd pfd{fd_, POLLOUT, 0};
        int r = ::poll(&pfd, 1, kWriteStallMs);
        if (r == 0) {
            error = "nobody reads the line";
            return done;
        }
        if (r < 0 && errno != EINTR) {
            error = std::strerror(errno);
            return done;
        }
    }
    return done;
}

void Line::Write(const Pending& p)
{
    const Bytes& bytes = p.reply.bytes;
    if (fd_ < 0) {
        log_.Write("DROPPED", p.who, bytes, "line unplugged");
        return;
    }
    if (chattering_) {
        log_.Write("DROPPED", p.who, bytes, "the line chatters");
        return;
    }
    ++repliesWritten_;
    // Logged first, so that a client that has the reply in hand also finds it in the log.
    log_.Write("TX", p.who, bytes, p.reply.faults);
    std::string error;
    std::size_t written = 0;
    if (!settings_.pacing) {
        written = WriteChunk(bytes.data(), bytes.size(), error);
    } else {
        // Byte k has gone over the wire (start bit, 8 data bits, stop bit) at start + (k + 1) byte
        // times. Absolute deadlines keep the sleeps' overshoot from adding up.
        const MonoTime start = MonoNow();
        for (; written < bytes.size(); ++written) {
            const MonoTime due = start + MonoTime((static_cast<std::int64_t>(written) + 1) * 10'000'000'000LL /
                                                  static_cast<std::int64_t>(settings_.baud));
            const timespec ts = ToTimespec(due);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
            if (WriteChunk(&bytes[written], 1, error) != 1) break;
        }
    }
    if (written < bytes.size())
        log_.Write("DROPPED", p.who, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(written), bytes.end()),
                   "write failed: " + error);
}

} // namespace metersim
