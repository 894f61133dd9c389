#include "Frame6x.h"

namespace metersim::p6x {

std::uint8_t Checksum(const std::uint8_t* data, std::size_t count) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum = static_cast<std::uint8_t>(sum + data[i]);
    return static_cast<std::uint8_t>(~sum);
}

Bytes BuildReply(std::uint8_t address, std::uint8_t group, std::uint8_t command, const Bytes& data) {
    Bytes frame{kReplyStart, address, static_cast<std::uint8_t>(address ^ 0xFF),
                group,       command, static_cast<std::uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(Checksum(frame.data(), frame.size()));
    return frame;
}

void RequestDeframer::Push(const std::uint8_t* data, std::size_t count, std::vector<Event>& events) {
    buffer_.insert(buffer_.end(), data, data + count);
    Scan(events);
}

void RequestDeframer::Abandon(std::vector<Event>& events) {
    if (!buffer_.empty()) Skip(buffer_.size(), "incomplete frame, line went quiet", events);
}

void RequestDeframer::Skip(std::size_t count, const char* reason, std::vector<Event>& events) {
    // Consecutive skipped bytes form one garbage event, whatever the reasons.
    if (events.empty() || events.back().kind != Event::Kind::Garbage)
        events.push_back({Event::Kind::Garbage, {}, {}, {}});
    Event& g = events.back();
    g.bytes.insert(g.bytes.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    if (g.reason.find(reason) == std::string::npos)
        g.reason += (g.reason.empty() ? "" : "; ") + std::string(reason);
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
}

void RequestDeframer::Scan(std::vector<Event>& events) {
    while (!buffer_.empty()) {
        if (buffer_[0] != kRequestStart) {
            std::size_t n = 1;
            while (n < buffer_.size() && buffer_[n] != kRequestStart)
                ++n;
            Skip(n, "no start byte", events);
            continue;
        }
        if (buffer_.size() < 3) return;
        if ((buffer_[2] ^ 0xFF) != buffer_[1]) {
            Skip(1, "wrong address complement", events);
            continue;
        }
        if (buffer_.size() < 6) return;
        const std::size_t n = buffer_[5];
        if (n > kMaxData) {
            Skip(1, "data length above 248", events);
            continue;
        }
        if (buffer_.size() < n + kOverhead) return;
        if (Checksum(buffer_.data(), n + 6) != buffer_[n + 6]) {
            Skip(1, "wrong checksum", events);
            continue;
        }
        Request r;
        r.address = buffer_[1];
        r.group = buffer_[3];
        r.command = buffer_[4];
        r.data.assign(buffer_.begin() + 6, buffer_.begin() + 6 + static_cast<std::ptrdiff_t>(n));
        r.raw.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n + kOverhead));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n + kOverhead));
        events.push_back({Event::Kind::Frame, std::move(r), {}, {}});
    }
}

} // namespace metersim::p6x
