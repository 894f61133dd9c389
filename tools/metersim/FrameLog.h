// The frame log: one line per event on the line, flushed at once so that a test can read it while
// the simulator runs.
//
//   <seconds since start> <KIND> <meter or -> [<hex bytes>] [# <note>]
//
// A meter is named by its address; a meter of a family other than 6x by family and address
// ("relay:44412345", "m4:1", "modbus:17"), so that meters of different families at one address can
// be told apart.
//
// Kinds: RX (a request to one of the meters), TX (bytes written as a reply, noise included; the
// note names the faults that acted), NOREPLY (a request left unanswered; the note says why),
// IGNORED (a well-formed frame for an address not on the line), BROADCAST (a frame to every meter
// of a family, never answered), GARBAGE (bytes skipped while
// looking for a frame; the note says why), DROPPED (a reply that could not be written), UNPLUG and
// REPLUG.
#pragma once

#include "Bytes.h"
#include "MonoTime.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace metersim {

class FrameLog {
public:
    FrameLog() = default;
    FrameLog(const FrameLog&) = delete;
    FrameLog& operator=(const FrameLog&) = delete;
    ~FrameLog();

    // Opens (truncates) the log file; throws std::system_error on failure. Without it, Write does nothing.
    void Open(const std::string& path);

    void Write(std::string_view kind, std::optional<std::uint32_t> address, const Bytes& bytes,
               std::string_view note = {});
    void Write(std::string_view kind, std::string_view who, const Bytes& bytes, std::string_view note = {});

private:
    std::FILE* file_ = nullptr;
    MonoTime start_ = MonoNow();
};

} // namespace metersim
