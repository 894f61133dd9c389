#include "Line.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace metersim {

namespace {

// How long a reply waits for room in a full pseudo-terminal (nobody reading the other side)
// before it is dropped.
constexpr int kWriteStallMs = 500;

} // namespace

Line::Line(const LineSettings& settings, FrameLog& log)
    : settings_(settings), log_(log), rng_(settings.seed) {}

void Line::Attach(int masterFd) {
    fd_ = masterFd;
    if (fd_ >= 0) return;
    for (auto& p : pending_)
        log_.Write("DROPPED", p.address, p.reply.bytes, "line unplugged");
    pending_.clear();
    for (auto& protocol : protocols_)
        protocol->Reset();
}

void Line::Receive(const std::uint8_t* data, std::size_t count, MonoTime now) {
    for (auto& protocol : protocols_)
        protocol->Receive(data, count, now);
}

std::optional<MonoTime> Line::Deadline() const {
    std::optional<MonoTime> earliest;
    if (!pending_.empty()) earliest = pending_.front().due;
    for (const auto& protocol : protocols_) {
        if (auto d = protocol->Deadline(); d && (!earliest || *d < *earliest)) earliest = d;
    }
    return earliest;
}

void Line::RunDue(MonoTime now) {
    for (auto& protocol : protocols_) {
        if (auto d = protocol->Deadline(); d && *d <= now) protocol->OnDeadline(now);
    }
    while (!pending_.empty() && pending_.front().due <= now) {
        Pending p = std::move(pending_.front());
        pending_.erase(pending_.begin());
        Write(p);
        now = MonoNow(); // a paced write takes time
    }
}

void Line::Send(std::uint32_t meterAddress, ShapedReply reply, MonoTime due) {
    auto at = std::upper_bound(pending_.begin(), pending_.end(), due,
                               [](MonoTime t, const Pending& p) { return t < p.due; });
    pending_.insert(at, Pending{due, meterAddress, std::move(reply)});
}

std::size_t Line::WriteChunk(const std::uint8_t* data, std::size_t count, std::string& error) {
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

void Line::Write(const Pending& p) {
    const Bytes& bytes = p.reply.bytes;
    if (fd_ < 0) {
        log_.Write("DROPPED", p.address, bytes, "line unplugged");
        return;
    }
    // Logged first, so that a client that has the reply in hand also finds it in the log.
    log_.Write("TX", p.address, bytes, p.reply.faults);
    std::string error;
    std::size_t written = 0;
    if (!settings_.pacing) {
        written = WriteChunk(bytes.data(), bytes.size(), error);
    } else {
        // Byte k has gone over the wire (start bit, 8 data bits, stop bit) at start + (k + 1) byte
        // times. Absolute deadlines keep the sleeps' overshoot from adding up.
        const MonoTime start = MonoNow();
        for (; written < bytes.size(); ++written) {
            const MonoTime due =
                start + MonoTime((static_cast<std::int64_t>(written) + 1) * 10'000'000'000LL /
                                 static_cast<std::int64_t>(settings_.baud));
            const timespec ts = ToTimespec(due);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
            if (WriteChunk(&bytes[written], 1, error) != 1) break;
        }
    }
    if (written < bytes.size())
        log_.Write("DROPPED", p.address,
                   Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(written), bytes.end()),
                   "write failed: " + error);
}

} // namespace metersim
