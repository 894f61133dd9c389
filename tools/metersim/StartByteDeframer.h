// Cuts requests that begin with a start byte and carry their data length in the header out of the
// received byte stream, as a meter of the 6x or the relay family does:
//
//   start byte, header bytes, N (at lengthOffset), N data bytes, checksum
//
// Bytes before a start byte are skipped. A candidate whose header check, length or checksum is
// wrong loses its start byte and the search goes on from the byte after it, so that a real frame
// that begins inside a broken one is still found.
#pragma once

#include "Bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace metersim {

struct StartByteLayout {
    std::uint8_t start;
    std::size_t lengthOffset; // N is here; the frame is lengthOffset + 1 + N + 1 bytes
    std::size_t maxData;
    // Checks the header once headerLength bytes are in; returns why it is wrong, or null.
    std::size_t headerLength = 0;
    const char* (*checkHeader)(const std::uint8_t* frame) = nullptr;
    // The checksum of count bytes.
    std::uint8_t (*checksum)(const std::uint8_t* data, std::size_t count) = nullptr;
};

class StartByteDeframer {
public:
    struct Event {
        enum class Kind { Frame, Garbage } kind;
        std::uint64_t offset; // of the first byte
        Bytes bytes;          // the frame, or the skipped bytes
        std::string reason;   // Garbage: why they were skipped
    };

    explicit StartByteDeframer(const StartByteLayout& layout) : layout_(layout) {}

    // Takes the byte received at offset and appends what it completes to events.
    void Push(std::uint8_t byte, std::uint64_t offset, std::vector<Event>& events);

    // Gives up on the partial frame held so far (the line went quiet, or another family's frame
    // went by), reporting it as garbage.
    void Abandon(const char* reason, std::vector<Event>& events);

    bool HasPartialFrame() const { return !buffer_.empty(); }
    // The offset of the first byte held.
    std::optional<std::uint64_t> Horizon() const;

private:
    void Scan(std::vector<Event>& events);
    void Skip(std::size_t count, const std::string& reason, std::vector<Event>& events);

    StartByteLayout layout_;
    Bytes buffer_;
    std::uint64_t bufferStart_ = 0;
};

} // namespace metersim
