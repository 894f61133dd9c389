// A meter on the relay sub-protocol, addressed by its serial number ("serial" in the scenario).
//
// Memories (bytes never set read as 0xFF):
//   rtc2k  16-bit addresses, 64 KiB: parameter memory (read 0F 01, write 0F 81 or 0A 42)
//   ram    16-bit addresses, 64 KiB: working memory (read 0C 01)
// Commands:
//   00 00, 00 01, 00 03   identity text, software version, software sub-version ("texts": "id",
//                         "version", "subversion")
//   0F 01, 0C 01          addr hi, addr lo, count -> count bytes (at most 246)
//   0F 81, 0A 42          addr hi, addr lo, data -> stored; the reply carries the bytes as the
//                         meter now holds them, read back (read-only cells show their own value)
//   0F 64                 reset the calibration table: answered with one data byte 1 (counted in
//                         the dump; a model with a table of its own restores it)
//   31 7A, A8 53          verification mode on, off: never answered (the tool broadcasts them)
// Anything else, a malformed request or a range past the end of an area gets no reply.
//
// With "net_address" (1..255) the meter also takes plain 6x frames sent to that network address and
// answers them from the same memories (a write then gets the 6x reply without data).
#pragma once

#include "FrameRelay.h"
#include "Meter.h"
#include "Texts.h"

#include <optional>
#include <string>

namespace metersim {

class MeterRelay : public Meter {
public:
    explicit MeterRelay(std::string model = "generic");

    // Answers one request addressed to this meter (or broadcast). A meter type with cells of its
    // own overrides this and falls back to it for everything else.
    virtual Answer Handle(const prelay::Request& request);

    static bool IsVerificationSwitch(const prelay::Request& request, bool& on);
    // The 6x network address the meter also answers at, if any.
    std::optional<std::uint8_t> NetAddress() const { return netAddress_; }
    bool InVerification() const { return verification_; }

    void Load(json& entry, const std::string& where) override;
    json Dump() const override;

protected:
    // Resets the calibration table; the generic meter has none and only counts the resets.
    virtual void ResetCalibrationTable() {}

private:
    TextSet texts_;
    std::optional<std::uint8_t> netAddress_;
    bool verification_ = false;
    std::uint64_t calibrationResets_ = 0;
};

} // namespace metersim
