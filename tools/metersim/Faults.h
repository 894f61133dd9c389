// Faults that a meter injects into its replies, each on a chosen subset of them.
//
// A meter numbers the replies it decides to give, 1, 2, 3, ... (requests it does not answer at all,
// such as unknown commands, are not numbered). Each fault carries a selector that says on which of
// those replies it acts: every one, the first K, or every Nth. "The first two replies have a wrong
// checksum, the third is good" is {"bad_checksum": {"first": 2}}.
//
// Not every fault fits every family: a relay frame has no address complement, an M4 reply has a
// reply code where a ModBus reply has an exception. Each meter class says which faults it takes
// (a FaultMenu); a scenario that asks for another one is refused with the reason.
#pragma once

#include "Bytes.h"
#include "JsonFields.h"

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace metersim {

class ReplySelector {
public:
    // Every reply.
    ReplySelector() = default;
    static ReplySelector First(std::uint64_t k) { return {Kind::First, k}; }
    static ReplySelector Every(std::uint64_t n) { return {Kind::Every, n}; }
    static ReplySelector From(std::uint64_t k) { return {Kind::From, k}; }
    static ReplySelector Range(std::uint64_t from, std::uint64_t to) { return {Kind::Range, from, to}; }

    // Takes the keys "first", "every", "from" and "to" out of obj: "first": K (replies 1..K),
    // "every": N (N, 2N, ...), "from": K (K and every later reply), "from": K with "to": L (K..L).
    // Neither means every reply.
    static ReplySelector Take(json& obj, const std::string& where);

    // replyNumber counts from 1.
    bool Applies(std::uint64_t replyNumber) const;
    std::string Describe() const;

private:
    enum class Kind { All, First, Every, From, Range };
    ReplySelector(Kind kind, std::uint64_t n, std::uint64_t to = 0) : kind_(kind), n_(n), to_(to) {}
    Kind kind_ = Kind::All;
    std::uint64_t n_ = 0;
    std::uint64_t to_ = 0;
};

// What a protocol family knows about the layout of its reply frames. A family implements the
// operations of the faults its meters take; the others are never called.
class ReplyFrameHooks {
public:
    virtual ~ReplyFrameHooks() = default;
    // Makes the frame's checksum (or CRC) wrong, and nothing else.
    virtual void BreakChecksum(Bytes& frame) const = 0;
    // Makes the frame's address check fail, keeping its checksum right.
    virtual void BreakAddressCheck(Bytes& frame) const;
    // Makes the reply code wrong (the request's code instead of the reply's), keeping the checksum right.
    virtual void BreakReplyCode(Bytes& frame) const;
    // Replaces the frame by an exception reply with this code.
    virtual void MakeException(Bytes& frame, std::uint8_t code) const;
    // Whether a random noise byte may take this value (never the start byte of a reply, so that
    // where the real reply begins stays unambiguous).
    virtual bool AllowedAsNoise(std::uint8_t b) const = 0;
};

// A reply after the faults have acted on it.
struct ShapedReply {
    bool silent = false;       // not sent at all
    bool unplug = false;       // instead of the reply, the line is unplugged (as by SIGUSR2)
    std::uint32_t delayMs = 0; // extra wait before the first byte
    Bytes bytes;               // noise, then the (possibly damaged) frame
    std::string faults;        // the faults that acted, for the log ("noise bad_checksum")
};

// The faults a meter class takes. Keys of the scenario: silent, delay_ms, noise, bad_checksum
// (bad_crc is the same fault under the name ModBus uses), bad_complement, drop_last_byte,
// drop_byte, wrong_code, exception, unplug.
struct FaultMenu {
    std::string family;
    std::vector<std::string> accepted;
    // Why a fault of the other families does not apply here (for the message).
    std::map<std::string, std::string> refusals;
};

class FaultSet {
public:
    // Parses the "faults" object of a meter that takes the faults of menu.
    static FaultSet Parse(const json& faults, const std::string& where, const FaultMenu& menu);

    ShapedReply Shape(std::uint64_t replyNumber, Bytes frame, const ReplyFrameHooks& hooks, std::mt19937& rng) const;

    // The configuration, as in the scenario, for the dump.
    const json& Source() const { return source_; }

private:
    struct Noise {
        ReplySelector when;
        std::uint32_t count = 0; // random bytes, when bytes is empty
        Bytes bytes;             // explicit bytes
    };
    struct Delay {
        ReplySelector when;
        std::uint32_t ms = 0;
    };
    struct Exception {
        ReplySelector when;
        std::uint8_t code = 0;
    };
    std::optional<ReplySelector> silent_;
    std::optional<Delay> delay_;
    std::optional<Noise> noise_;
    std::optional<ReplySelector> badChecksum_;
    std::optional<ReplySelector> badComplement_;
    std::optional<ReplySelector> dropLastByte_;
    struct DropByte {
        ReplySelector when;
        std::uint32_t at = 0; // position in the frame, from 0
    };
    std::optional<DropByte> dropByte_;
    std::optional<ReplySelector> unplug_;
    std::optional<ReplySelector> wrongCode_;
    std::optional<Exception> exception_;
    json source_ = json::object();
};

} // namespace metersim
