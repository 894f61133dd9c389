#include "StartByteDeframer.h"

namespace metersim {

void StartByteDeframer::Push(std::uint8_t byte, std::uint64_t offset, std::vector<Event>& events)
{
    if (buffer_.empty()) bufferStart_ = offset;
    buffer_.push_back(byte);
    Scan(events);
}

void StartByteDeframer::Abandon(const char* reason, std::vector<Event>& events)
{
    if (!buffer_.empty()) Skip(buffer_.size(), reason, events);
}

std::optional<std::uint64_t> StartByteDeframer::Horizon() const
{
    if (buffer_.empty()) return std::nullopt;
    return bufferStart_;
}

void StartByteDeframer::Skip(std::size_t count, const std::string& reason, std::vector<Event>& events)
{
    // Consecutive skipped bytes form one garbage event, whatever the reasons.
    const std::uint64_t at = bufferStart_;
    Event* g = nullptr;
    if (!events.empty() && events.back().kind == Event::Kind::Garbage &&
        events.back().offset + events.back().bytes.size() == at)
        g = &events.back();
    else
        g = &events.emplace_back(Event{Event::Kind::Garbage, at, {}, {}});
    g->bytes.insert(g->bytes.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    if (g->reason.find(reason) == std::string::npos) g->reason += (g->reason.empty() ? "" : "; ") + reason;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    bufferStart_ += count;
}

void StartByteDeframer::Scan(std::vector<Event>& events)
{
    const std::size_t header = layout_.lengthOffset + 1;
    while (!buffer_.empty()) {
        if (buffer_[0] != layout_.start) {
            std::size_t n = 1;
            while (n < buffer_.size() && buffer_[n] != layout_.start)
                ++n;
            Skip(n, "no start byte", events);
            continue;
        }
        if (layout_.checkHeader) {
            if (buffer_.size() < layout_.headerLength) return;
            if (const char* wrong = layout_.checkHeader(buffer_.data())) {
                Skip(1, wrong, events);
                continue;
            }
        }
        if (buffer_.size() < header) return;
        const std::size_t n = buffer_[layout_.lengthOffset];
        if (n > layout_.maxData) {
            Skip(1, "data length above " + std::to_string(layout_.maxData), events);
            continue;
        }
        const std::size_t length = header + n + 1;
        if (buffer_.size() < length) return;
        if (layout_.checksum(buffer_.data(), length - 1) != buffer_[length - 1]) {
            Skip(1, "wrong checksum", events);
            continue;
        }
        events.push_back({Event::Kind::Frame,
                          bufferStart_,
                          Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length)),
                          {}});
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
        bufferStart_ += length;
    }
}

} // namespace metersim
