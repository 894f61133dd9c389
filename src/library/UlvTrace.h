// The traffic log: every frame sent and received on a port, and the outcome of
// every exchange, for a technician chasing a fault on a bench.
//
// The protocols report their events through the port they talk to (see
// TulvPort::Trace); a port without a trace costs one pointer test per event.
// The port knows only the recorder (UlvTraceRecorder.h); this module is the
// other half: the lines, which decode each protocol's frames.
//
// Text form, one line per event (time in ms since the trace began on the port's clock):
//   12.000 6x    -> 55 03 FC 0F 01 03 01 24 04 6F | адрес 3; 0F 01 чтение Rtc2k; Rtc2k 0x0124; 4 байт; КС верна
//   22.000 6x    <- AA 03 FC 0F 01 04 3F 80 00 00 D3 | адрес 3; ...; данные 3F 80 00 00; КС верна
//   22.000 6x    == ответ
//  532.000 6x    == тайм-аут через 510 мс
// The JSON-lines form carries the same as one object a line.
#pragma once

#include "UlvFrameFields.h"
#include "UlvTraceRecorder.h"

#include <cstddef>
#include <cstdint>
#include <string>

const char* TraceFamilyName(TulvTraceFamily family);
// One frame of a family decoded; request tells which way it went.
TulvFrameFields DecodeTraceFrame(TulvTraceFamily family, const std::uint8_t* bytes, std::size_t count, bool request);
// The fields as a readable text ("адрес 3; 0F 01 чтение Rtc2k; ...").
std::string FrameFieldsText(const TulvFrameFields& f);
std::string TraceHex(const std::uint8_t* bytes, std::size_t count);
// A text as a JSON string, quotes included (UTF-8 passes as it is).
std::string JsonString(const std::string& s);

// The traffic log of a port: a recorder that writes its events in one of the two forms.
class TulvTrace : public TulvTraceRecorder {
public:
    enum class Format { Text, JsonLines };

    // Writes to path (created or truncated). IsOpen tells whether the file could be opened.
    TulvTrace(const std::string& path, Format format);

    // One event as the line the trace writes (without the newline).
    static std::string FormatText(const TulvTraceEvent& e, std::uint64_t startMs);
    static std::string FormatJson(const TulvTraceEvent& e, std::uint64_t startMs);
};
