// A meter on the M4 protocol.
//
// Memories, 16-bit addresses, 64 KiB each (bytes never set read as 0xFF):
//   ram_int  internal RAM: "M" reads 8 bytes
//   ram_ext  external RAM: "G" reads 8 bytes
//   mem      parameter memory: "R" reads 8 bytes, "W" writes 8 bytes (the reply carries the bytes
//            as the meter now holds them, read back)
// "P" (parameter query) answers with the 8 bytes that the scenario's "parameters" table gives for
// its two parameters, zeros for pairs not in the table. "S" (setting command) is recorded in the
// dump under "settings" ({p1, p2, data}, in order) and answered with the request's data.
// Every reply carries the letter + 0x80, the request's two address or parameter bytes and 8 data
// bytes. A read past the end of an area or an unknown letter gets no reply.
#pragma once

#include "FrameM4.h"
#include "Meter.h"

#include <map>
#include <string>
#include <utility>

namespace metersim {

class MeterM4 : public Meter {
public:
    explicit MeterM4(std::string model = "generic");

    // Answers one request addressed to this meter with the reply's 8 data bytes, or silence. A
    // meter type with cells of its own overrides this and falls back to it for everything else.
    virtual Answer Handle(const pm4::Request& request);

    void Load(json& entry, const std::string& where) override;
    json Dump() const override;

private:
    std::map<std::pair<std::uint8_t, std::uint8_t>, Bytes> parameters_;
    json parameterSource_ = json::array();
    json settings_ = json::array();
};

} // namespace metersim
