// A meter on ModBus RTU, at a slave address 1..247.
//
// Memory: "holding", the holding registers, 16 bits each, big-endian (registers never set read as
// FFFF); the scenario key "registers" sets how many there are (default 65536), so that a read past
// the last one can be tried. Memory patches and read-only ranges address registers; their bytes
// must come in whole registers.
// Functions:
//   03  read holding registers: 1..125 registers -> byte count and the registers
//   10  write multiple registers: 1..123 registers -> start and count
//   11  report slave ID: an unused byte (the count of the bytes that follow, as slaves put it), the
//       text length L and the L bytes of the "texts" "id" (at most 250)
// Exceptions: 01 for a function it does not serve, 02 for registers beyond the last one, 03 for a
// count out of its range or a request whose length does not match its layout.
// Frames to address 0 are broadcasts: every meter stores a write (function 16), none answers.
#pragma once

#include "FrameModBus.h"
#include "Meter.h"
#include "Texts.h"

#include <string>

namespace metersim {

class MeterModBus : public Meter {
public:
    explicit MeterModBus(std::string model = "generic");

    // Answers one request with the reply's PDU (function code and data), or silence. A meter type
    // with registers of its own overrides this and falls back to it for everything else.
    virtual Answer Handle(const pmb::Request& request);

    void Load(json& entry, const std::string& where) override;
    json Dump() const override;

private:
    TextSet texts_;
};

} // namespace metersim
