// The part of a line protocol that the families without a start byte (M4, ModBus) share.
//
// A meter of such a family begins a request only with the first byte after a pause of the line's
// frame gap, or with the byte right after a frame that a meter on the line took (the end of the
// last exchange, whichever family it was). From there it collects bytes until the family decides:
// a frame, or none (then it waits for the next pause or taken frame). Bytes that arrive in between
// are none of its frames. So a 6x or relay frame that starts with a pause cannot be swallowed: the
// family refuses it (M4: not 00 at the start, or a wrong sum; ModBus: a wrong CRC), and a taken
// frame of another family ends whatever the family was collecting.
#pragma once

#include "LineProtocol.h"

#include <deque>
#include <string>

namespace metersim {

class PauseFramedProtocol : public LineProtocol {
public:
    void Receive(std::uint8_t byte, std::uint64_t offset, MonoTime now) override;
    void StartFrame(std::uint64_t offset) override;
    void Dispatch(MonoTime now) override;
    std::optional<std::uint64_t> Horizon() const override;
    std::optional<MonoTime> Deadline() const override;
    void OnDeadline(MonoTime now) override;
    void Reset() override;

protected:
    PauseFramedProtocol(std::string family, const LineContext& context);

    struct Decision {
        enum class Kind { More, Frame, None } kind;
        std::string reason; // None: why the bytes are no frame
        static Decision More() { return {Kind::More, {}}; }
        static Decision Frame() { return {Kind::Frame, {}}; }
        static Decision None(std::string why) { return {Kind::None, std::move(why)}; }
    };
    // After each byte collected since the start of a frame.
    virtual Decision Judge(const Bytes& collected) const = 0;
    // When the line goes quiet while Judge still wants more.
    virtual Decision AtPause(const Bytes& collected) const = 0;
    // Whether a meter on the line takes this frame (answered or not).
    virtual bool Takes(const Bytes& frame) const = 0;
    // Logs the frame and lets the meters answer it.
    virtual void Answer(const Bytes& frame, MonoTime now) = 0;

    LineContext context_;

private:
    void Decide(const Decision& d);
    void Drop(const std::string& why);

    std::string family_;
    bool armed_ = true; // the next byte begins a frame
    Bytes collected_;
    std::uint64_t start_ = 0;
    bool heard_ = false; // a byte has arrived since the line came up
    MonoTime lastByte_{};
    std::deque<Bytes> found_; // claimed, not yet answered
};

} // namespace metersim
