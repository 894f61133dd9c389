// A meter on the 6x protocol: the commands every such meter answers.
//
// Memories (bytes never set read as 0xFF):
//   rtc2k      16-bit addresses, 64 KiB: parameter memory (read 0F 01, write 0F 81 or 0A 42)
//   ram        16-bit addresses, 64 KiB: working memory (read 0C 01)
//   rtc128     8-bit addresses, 256 bytes: clock chip memory (read 0F 02, write 0F 82)
//   dataflash  32-bit addresses (read 0F 03)
// Identification (group 00): 00 identity text, 01 software version, 02 modification,
// 03 software sub-version. 0C 00 returns four big-endian IEEE singles.
//
// Verification mode: 31 7A switches it on, A8 53 off (no data). These switches are never answered;
// the tool sends them to address 0, which every 6x meter on the line takes (the family does that).
//
// A request with an unknown command, a malformed layout or a range past the end of an area gets
// no reply, as a meter that does not understand a request stays silent.
#pragma once

#include "Frame6x.h"
#include "Meter.h"
#include "Texts.h"

#include <array>
#include <string>

namespace metersim {

class Meter6x : public Meter {
public:
    using Answer = metersim::Answer;

    explicit Meter6x(std::string model = "generic");

    // Answers one request addressed to this meter. A meter type with cells of its own overrides
    // this and falls back to it for everything else.
    virtual Answer Handle(const p6x::Request& request);

    // The verification-mode switch (31 7A on, A8 53 off).
    static bool IsVerificationSwitch(const p6x::Request& request, bool& on);
    bool InVerification() const { return verification_; }
    void SetVerification(bool on) { verification_ = on; }

    void Load(json& entry, const std::string& where) override;
    json Dump() const override;

protected:
    Answer Read(const char* area, std::uint64_t addr, std::size_t count);
    // Stores data; the reply carries the stored bytes read back when echo is set, else no data.
    Answer Write(const char* area, std::uint64_t addr, const Bytes& data, bool echo);
    // One of the four values that 0C 00 answers (index from 0).
    void SetSfrTek(std::size_t index, float value) { sfrTek_.at(index) = value; }

private:
    TextSet texts_;
    std::array<float, 4> sfrTek_{};
    bool verification_ = false;
};

} // namespace metersim
