// The simulator seen from the client's side of the pseudo-terminal, with plain POSIX calls and the
// test's own frame arithmetic: what goes over the line, byte for byte.
#include "MeterSimProcess.h"
#include "SimClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace simclient;
using namespace std::chrono_literals;

// The complement of the 8-bit sum, written here independently of the simulator.
std::uint8_t SumComplement(const Bytes& b, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += b[i];
    return static_cast<std::uint8_t>(~sum & 0xFF);
}

Bytes Frame(std::uint8_t start, std::uint8_t addr, std::uint8_t group, std::uint8_t command,
            const Bytes& data) {
    Bytes f{start, addr,    static_cast<std::uint8_t>(addr ^ 0xFF),
            group, command, static_cast<std::uint8_t>(data.size())};
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(SumComplement(f, f.size()));
    return f;
}
Bytes Request(std::uint8_t addr, std::uint8_t group, std::uint8_t command, const Bytes& data = {}) {
    return Frame(0x55, addr, group, command, data);
}
Bytes Reply(std::uint8_t addr, std::uint8_t group, std::uint8_t command, const Bytes& data = {}) {
    return Frame(0xAA, addr, group, command, data);
}

// Meter 3: texts, live values and a few cells in each memory.
json Meter3() {
    return json::parse(R"({
      "address": 3, "protocol": "6x",
      "texts": {"id": "Счётчик-Ё 7", "version": "1.05", "modification": "M2", "subversion": {"hex": "0105"}},
      "sfr_tek": [1.0, 2.0, -0.5, 100.25],
      "memory": [
        {"area": "rtc2k", "addr": "0x0748", "hex": "3F800000"},
        {"area": "ram", "addr": 16, "hex": "11 22 33 44"},
        {"area": "rtc128", "addr": 250, "hex": "A1A2A3A4A5A6"},
        {"area": "dataflash", "addr": "0x00012345", "hex": "0102"},
        {"area": "dataflash", "addr": "0xFFFFFFFE", "hex": "BEEF"}
      ]})");
}

json WithMeters(std::vector<json> meters) {
    return {{"meters", meters}};
}

json Meter3With(const std::string& key, const json& value) {
    json m = Meter3();
    m[key] = value;
    return WithMeters({m});
}


// ---------------------------------------------------------------------------------------------

TEST(MeterSimFrames, AnswersRtc2kReadWithByteExactReply) {
    MeterSimProcess sim(WithMeters({Meter3()}));
    Port port(sim.DevicePath());
    // Worked by hand: the request's bytes sum to 0x1BA, complement 0x45; the reply's to 0x27C,
    // complement 0x83.
    const Bytes request = Hex("55 03 FC 0F 01 03 07 48 04 45");
    ASSERT_EQ(request, Request(3, 0x0F, 0x01, {0x07, 0x48, 0x04}));
    EXPECT_EQ(ToHex(port.Transact(request, 11)), "AA 03 FC 0F 01 04 3F 80 00 00 83");
    EXPECT_TRUE(port.Read(1, 100ms).empty()) << "nothing follows the reply";

    EXPECT_TRUE(HasLogLine(sim, " RX 3 55 03 FC 0F 01 03 07 48 04 45"));
    EXPECT_TRUE(HasLogLine(sim, " TX 3 AA 03 FC 0F 01 04 3F 80 00 00 83"));
}

struct ReadCase {
    const char* name;
    std::uint8_t group, command;
    Bytes request;
    Bytes reply;
};
void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class MeterSimReads : public testing::TestWithParam<ReadCase> {};

TEST_P(MeterSimReads, ReplyCarriesTheAreaBytes) {
    const ReadCase& c = GetParam();
    MeterSimProcess sim(WithMeters({Meter3()}));
    Port port(sim.DevicePath());
    const Bytes expected = Reply(3, c.group, c.command, c.reply);
    EXPECT_EQ(ToHex(port.Transact(Request(3, c.group, c.command, c.request), expected.size())),
              ToHex(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Areas, MeterSimReads,
    testing::Values(
        ReadCase{"Rtc2kCell", 0x0F, 0x01, {0x07, 0x48, 0x04}, Hex("3F800000")},
        ReadCase{"Rtc2kNeverSetReadsFF", 0x0F, 0x01, {0x10, 0x00, 0x02}, Hex("FFFF")},
        ReadCase{"Rtc2kCountZero", 0x0F, 0x01, {0x07, 0x48, 0x00}, {}},
        ReadCase{"Rtc2kCount248FillsAFrame", 0x0F, 0x01, {0x00, 0x00, 248}, Bytes(248, 0xFF)},
        ReadCase{"RamCell", 0x0C, 0x01, {0x00, 0x10, 0x04}, Hex("11223344")},
        ReadCase{"RamUpToLastAddress", 0x0C, 0x01, {0xFF, 0xFC, 0x04}, Hex("FFFFFFFF")},
        ReadCase{"Rtc128UpToLastAddress", 0x0F, 0x02, {0xFA, 0x06}, Hex("A1A2A3A4A5A6")},
        ReadCase{"DataFlashPartlySet", 0x0F, 0x03, {0x04, 0x00, 0x01, 0x23, 0x45}, Hex("0102FFFF")},
        ReadCase{"DataFlashLastTwoBytes", 0x0F, 0x03, {0x02, 0xFF, 0xFF, 0xFF, 0xFE}, Hex("BEEF")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MeterSimFrames, IdentificationAndCurrentValues) {
    MeterSimProcess sim(WithMeters({Meter3()}));
    Port port(sim.DevicePath());
    struct Row {
        std::uint8_t group, command;
        Bytes data;
    };
    const Row rows[] = {
        // "Счётчик-Ё 7" in code page 1251: С D1, ч F7, ё B8, т F2, ч F7, и E8, к EA, Ё A8.
        {0x00, 0x00, Hex("D1 F7 B8 F2 F7 E8 EA 2D A8 20 37")},
        {0x00, 0x01, Hex("31 2E 30 35")},
        {0x00, 0x02, Hex("4D 32")},
        {0x00, 0x03, Hex("01 05")},
        // 1.0, 2.0, -0.5, 100.25 as big-endian IEEE singles.
        {0x0C, 0x00, Hex("3F800000 40000000 BF000000 42C88000")},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(ToHex({r.group, r.command}));
        const Bytes expected = Reply(3, r.group, r.command, r.data);
        EXPECT_EQ(ToHex(port.Transact(Request(3, r.group, r.command), expected.size())), ToHex(expected));
    }
}

struct WriteCase {
    const char* name;
    std::uint8_t group, command;
};
void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class MeterSimRtc2kWrites : public testing::TestWithParam<WriteCase> {};

TEST_P(MeterSimRtc2kWrites, StoreTheBytesAndReplyWithoutData) {
    const WriteCase& c = GetParam();
    MeterSimProcess sim(WithMeters({Meter3()}));
    Port port(sim.DevicePath());
    // Sixteen bytes at 0x0020, some of them equal to the erased value.
    const Bytes payload = Hex("00 11 22 33 FF FF 66 77 88 99 AA BB CC DD EE 55");
    Bytes data{0x00, 0x20};
    data.insert(data.end(), payload.begin(), payload.end());
    const Bytes ack = Reply(3, c.group, c.command);
    EXPECT_EQ(ToHex(port.Transact(Request(3, c.group, c.command, data), ack.size())), ToHex(ack));

    const json dump = sim.Dump();
    EXPECT_EQ(ToHex(DumpBytes(dump, 3, "rtc2k", 0x20, 16)), ToHex(payload));
    EXPECT_EQ(ToHex(DumpBytes(dump, 3, "rtc2k", 0x1F, 1)), "FF") << "nothing stored before the block";
    EXPECT_EQ(ToHex(DumpBytes(dump, 3, "rtc2k", 0x30, 1)), "FF") << "nothing stored after the block";
    // Every set byte is listed, even those equal to the fill.
    EXPECT_EQ(dump["meters"][0]["areas"]["rtc2k"]["runs"][0],
              (json{{"addr", 0x20}, {"hex", "00112233FFFF66778899AABBCCDDEE55"}}));

    const Bytes readBack = Reply(3, 0x0F, 0x01, payload);
    EXPECT_EQ(ToHex(port.Transact(Request(3, 0x0F, 0x01, {0x00, 0x20, 16}), readBack.size())),
              ToHex(readBack));
}

INSTANTIATE_TEST_SUITE_P(Commands, MeterSimRtc2kWrites,
                         testing::Values(WriteCase{"Write0F81", 0x0F, 0x81},
                                         WriteCase{"Write0A42", 0x0A, 0x42}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MeterSimFrames, Rtc128WriteRepliesWithTheStoredBytes) {
    MeterSimProcess sim(WithMeters({Meter3()}));
    Port port(sim.DevicePath());
    const Bytes clock = Hex("45 00 59 00 23 00 07 31 12 99");
    Bytes data{0x00};
    data.insert(data.end(), clock.begin(), clock.end());
    const Bytes expected = Reply(3, 0x0F, 0x82, clock);
    EXPECT_EQ(ToHex(port.Transact(Request(3, 0x0F, 0x82, data), expected.size())), ToHex(expected));
    EXPECT_EQ(ToHex(DumpBytes(sim.Dump(), 3, "rtc128", 0, 10)), ToHex(clock));
}

struct NoReplyCase {
    const char* name;
    Bytes request;
};
void PrintTo(const NoReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class MeterSimUnserved : public testing::TestWithParam<NoReplyCase> {};

TEST_P(MeterSimUnserved, GetNoReplyAndChangeNothing) {
    MeterSimProcess sim(WithMeters({Meter3()}));
    Port port(sim.DevicePath());
    port.Write(GetParam().request);
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    EXPECT_TRUE(HasLogLine(sim, " NOREPLY 3 # "));
    // The meter still answers, and the refused request stored nothing at the end of Rtc2k.
    const Bytes expected = Reply(3, 0x0F, 0x01, {0xFF});
    EXPECT_EQ(ToHex(port.Transact(Request(3, 0x0F, 0x01, {0xFF, 0xFF, 0x01}), expected.size())),
              ToHex(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, MeterSimUnserved,
    testing::Values(NoReplyCase{"UnknownCommand", Request(3, 0x0F, 0x7E)},
                    NoReplyCase{"Rtc2kReadPastTheEnd", Request(3, 0x0F, 0x01, {0xFF, 0xFE, 0x04})},
                    NoReplyCase{"Rtc2kWritePastTheEnd", Request(3, 0x0F, 0x81, {0xFF, 0xFF, 0x01, 0x02})},
                    NoReplyCase{"Rtc128ReadPastTheEnd", Request(3, 0x0F, 0x02, {0xFE, 0x04})},
                    NoReplyCase{"DataFlashReadPast4GiB",
                                Request(3, 0x0F, 0x03, {0x04, 0xFF, 0xFF, 0xFF, 0xFE})},
                    NoReplyCase{"ReadCountAbove248", Request(3, 0x0F, 0x01, {0x00, 0x00, 249})},
                    NoReplyCase{"ReadWithoutCount", Request(3, 0x0F, 0x01, {0x07, 0x48})},
                    NoReplyCase{"IdentificationWithData", Request(3, 0x00, 0x00, {0x01})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MeterSimFrames, OnlyMetersOnTheLineAnswer) {
    json meter5 = Meter3();
    meter5["address"] = 5;
    MeterSimProcess sim(WithMeters({Meter3(), meter5}));
    Port port(sim.DevicePath());
    port.Write(Request(4, 0x0F, 0x01, {0x07, 0x48, 0x04}));
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    EXPECT_TRUE(HasLogLine(sim, " IGNORED 4 55 04 FB "));
    // The meter at 5 answers with its own address.
    const Bytes expected = Reply(5, 0x0F, 0x01, Hex("3F800000"));
    ASSERT_EQ(ToHex(Bytes(expected.begin(), expected.begin() + 3)), "AA 05 FA");
    EXPECT_EQ(ToHex(port.Transact(Request(5, 0x0F, 0x01, {0x07, 0x48, 0x04}), expected.size())),
              ToHex(expected));
}

struct GarbageCase {
    const char* name;
    Bytes before;
    std::chrono::milliseconds pause; // between the garbage and the request
};
void PrintTo(const GarbageCase& c, std::ostream* os) {
    *os << c.name;
}

class MeterSimGarbage : public testing::TestWithParam<GarbageCase> {};

TEST_P(MeterSimGarbage, IsSkippedAndTheRequestAnsweredOnce) {
    const GarbageCase& c = GetParam();
    MeterSimProcess sim(WithMeters({Meter3()}));
    Port port(sim.DevicePath());
    const Bytes request = Request(3, 0x0F, 0x01, {0x07, 0x48, 0x04});
    const Bytes expected = Reply(3, 0x0F, 0x01, Hex("3F800000"));
    if (c.pause > 0ms) {
        port.Write(c.before);
        std::this_thread::sleep_for(c.pause);
        port.WriteRaw(request);
    } else {
        Bytes both = c.before;
        both.insert(both.end(), request.begin(), request.end());
        port.Write(both);
    }
    EXPECT_EQ(ToHex(port.Read(expected.size(), kReplyWait)), ToHex(expected));
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "") << "the garbage was answered too";
    EXPECT_TRUE(HasLogLine(sim, " GARBAGE - "));
}

Bytes Corrupted(Bytes frame, std::size_t at) {
    frame[at] ^= 0x01;
    return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Line, MeterSimGarbage,
    testing::Values(GarbageCase{"NoiseBytes", Hex("01 02 03 FE"), 0ms},
                    GarbageCase{"StrayStartBytes", Hex("55 55"), 0ms},
                    GarbageCase{"StrayReplyAndFalseStart", Hex("AA 03 FC 55 03"), 0ms},
                    GarbageCase{"RequestWithWrongChecksum",
                                Corrupted(Request(3, 0x0F, 0x01, {0x07, 0x48, 0x04}), 9), 0ms},
                    GarbageCase{"RequestWithWrongComplement",
                                Corrupted(Request(3, 0x0F, 0x01, {0x07, 0x48, 0x04}), 2), 0ms},
                    // A header announcing two data bytes. Were it kept across the pause, the next request's
                    // first three bytes (55 03 and FC as the checksum) would complete it into a valid frame
                    // for an unknown command, and the request itself would be lost.
                    GarbageCase{"PartialFrameBeforeAPause", Hex("55 03 FC 0F 46 02"), 150ms}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Faults

struct FaultCase {
    const char* name;
    const char* faults;
    bool silent = false;
    std::size_t randomNoise = 0; // this many bytes before the frame, none of them AA
    Bytes explicitNoise{};       // these bytes before the frame
    int lengthChange = 0;        // of the frame
    std::chrono::milliseconds minDelay{0};
    // Checks the frame received against the good one.
    std::function<void(const Bytes& got, const Bytes& good)> check{};
};
void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class MeterSimFaults : public testing::TestWithParam<FaultCase> {};

TEST_P(MeterSimFaults, ShapeTheReply) {
    const FaultCase& c = GetParam();
    MeterSimProcess sim(Meter3With("faults", json::parse(c.faults)));
    Port port(sim.DevicePath());
    const Bytes good = Reply(3, 0x0F, 0x01, Hex("3F800000"));
    const auto start = Clock::now();
    port.Write(Request(3, 0x0F, 0x01, {0x07, 0x48, 0x04}));
    if (c.silent) {
        EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
        EXPECT_TRUE(HasLogLine(sim, " NOREPLY 3 # fault: silent"));
        return;
    }
    const std::size_t noise = c.randomNoise + c.explicitNoise.size();
    const std::size_t frameLength = good.size() + c.lengthChange;
    const Bytes got = port.Read(noise + frameLength, kReplyWait);
    const auto elapsed = Clock::now() - start;
    ASSERT_EQ(got.size(), noise + frameLength) << ToHex(got);
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "") << "bytes after the reply";
    EXPECT_GE(elapsed, c.minDelay);

    const Bytes prefix(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(noise));
    const Bytes frame(got.begin() + static_cast<std::ptrdiff_t>(noise), got.end());
    if (!c.explicitNoise.empty()) {
        EXPECT_EQ(ToHex(prefix), ToHex(c.explicitNoise));
    }
    for (std::uint8_t b : Bytes(prefix.begin(), prefix.begin() + static_cast<std::ptrdiff_t>(c.randomNoise)))
        ASSERT_NE(b, 0xAA) << "random noise holds the reply's start byte";
    if (c.check) {
        c.check(frame, good);
    } else {
        EXPECT_EQ(ToHex(frame), ToHex(good));
    }
}

TEST(MeterSimNoise, RandomNoiseNeverHoldsTheReplyStart) {
    MeterSimProcess sim(Meter3With("faults", {{"noise", 1000}}));
    Port port(sim.DevicePath());
    const Bytes good = Reply(3, 0x0F, 0x01, Hex("3F800000"));
    // Eight replies: 8000 random bytes, among which a byte drawn from all 256 values would be AA
    // many times over.
    for (int i = 0; i < 8; ++i) {
        const Bytes got = port.Transact(Request(3, 0x0F, 0x01, {0x07, 0x48, 0x04}), 1000 + good.size());
        ASSERT_EQ(got.size(), 1000 + good.size());
        EXPECT_EQ(std::count(got.begin(), got.end(), 0xAA), 1) << "reply " << i;
        EXPECT_EQ(ToHex(Bytes(got.end() - static_cast<std::ptrdiff_t>(good.size()), got.end())), ToHex(good));
    }
}

void ExpectOnlyChecksumWrong(const Bytes& got, const Bytes& good) {
    EXPECT_EQ(ToHex(Bytes(got.begin(), got.end() - 1)), ToHex(Bytes(good.begin(), good.end() - 1)));
    const std::uint8_t right = good.back();
    EXPECT_NE(got.back(), right);
    // Nor what a plain sum or a negated sum would give, so that such a slip is still caught.
    EXPECT_NE(got.back(), static_cast<std::uint8_t>(~right));
    EXPECT_NE(got.back(), static_cast<std::uint8_t>(right + 1));
}

void ExpectOnlyComplementWrong(const Bytes& got, const Bytes& good) {
    EXPECT_EQ(got[1], good[1]);
    EXPECT_NE(got[2], static_cast<std::uint8_t>(got[1] ^ 0xFF));
    EXPECT_EQ(ToHex(Bytes(got.begin() + 3, got.end() - 1)), ToHex(Bytes(good.begin() + 3, good.end() - 1)));
    EXPECT_EQ(got.back(), SumComplement(got, got.size() - 1)) << "the checksum stays right";
}

void ExpectLastByteMissing(const Bytes& got, const Bytes& good) {
    EXPECT_EQ(ToHex(got), ToHex(Bytes(good.begin(), good.end() - 1)));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MeterSimFaults,
    testing::Values(FaultCase{.name = "Silent", .faults = R"({"silent": true})", .silent = true},
                    FaultCase{.name = "Delay", .faults = R"({"delay_ms": 300})", .minDelay = 300ms},
                    FaultCase{.name = "RandomNoise", .faults = R"({"noise": 5})", .randomNoise = 5},
                    FaultCase{.name = "ExplicitNoise",
                              .faults = R"({"noise": "AA 00 55"})",
                              .explicitNoise = Hex("AA0055")},
                    FaultCase{.name = "BadChecksum",
                              .faults = R"({"bad_checksum": true})",
                              .check = ExpectOnlyChecksumWrong},
                    FaultCase{.name = "BadComplement",
                              .faults = R"({"bad_complement": true})",
                              .check = ExpectOnlyComplementWrong},
                    FaultCase{.name = "DropLastByte",
                              .faults = R"({"drop_last_byte": true})",
                              .lengthChange = -1,
                              .check = ExpectLastByteMissing}),
    [](const auto& info) { return std::string(info.param.name); });

struct SelectorCase {
    const char* name;
    const char* faults;
    // One letter per request in turn: G good reply, C wrong checksum, D last byte missing, S silence.
    const char* pattern;
};
void PrintTo(const SelectorCase& c, std::ostream* os) {
    *os << c.name;
}

class MeterSimFaultSelectors : public testing::TestWithParam<SelectorCase> {};

TEST_P(MeterSimFaultSelectors, PickTheReplies) {
    const SelectorCase& c = GetParam();
    MeterSimProcess sim(Meter3With("faults", json::parse(c.faults)));
    Port port(sim.DevicePath());
    const Bytes good = Reply(3, 0x0F, 0x01, Hex("3F800000"));
    std::string seen;
    for (std::size_t i = 0; c.pattern[i]; ++i) {
        port.Write(Request(3, 0x0F, 0x01, {0x07, 0x48, 0x04}));
        // Wait long for the bytes expected, briefly for any beyond them.
        const char expected = c.pattern[i];
        const std::size_t count = expected == 'D' ? good.size() - 1 : good.size();
        Bytes got = port.Read(count, expected == 'S' ? kNoReplyWait : kReplyWait);
        if (expected == 'D') {
            const Bytes more = port.Read(1, kNoReplyWait);
            got.insert(got.end(), more.begin(), more.end());
        }
        if (got == good)
            seen += 'G';
        else if (got.empty())
            seen += 'S';
        else if (got == Bytes(good.begin(), good.end() - 1))
            seen += 'D';
        else if (got.size() == good.size() && std::equal(good.begin(), good.end() - 1, got.begin()))
            seen += 'C';
        else
            seen += '?';
    }
    EXPECT_EQ(seen, c.pattern);
}

INSTANTIATE_TEST_SUITE_P(
    Selectors, MeterSimFaultSelectors,
    testing::Values(
        SelectorCase{"FirstTwoRepliesWithWrongChecksum", R"({"bad_checksum": {"first": 2}})", "CCGGG"},
        SelectorCase{"EveryThirdRequestUnanswered", R"({"silent": {"every": 3}})", "GGSGGS"},
        SelectorCase{"FaultsCombineEachWithItsOwnSelector",
                     R"({"bad_checksum": {"first": 1}, "drop_last_byte": {"every": 2}})", "CDGDG"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// The line

TEST(MeterSimLine, PacingSpreadsAReplyOverItsTimeOnTheWire) {
    json meter = Meter3();
    meter["memory"] = json::array({{{"area", "rtc2k"}, {"addr", 0x100}, {"hex", std::string(186, 'C')}}});
    MeterSimOptions options;
    options.pacing = true;
    options.baud = 9600;
    MeterSimProcess sim(WithMeters({meter}), options);
    Port port(sim.DevicePath());
    // 93 data bytes make a 100-byte reply: 100 x 10 bits at 9600 baud is about 104 ms on the wire.
    const Bytes expected = Reply(3, 0x0F, 0x01, Bytes(93, 0xCC));
    ASSERT_EQ(expected.size(), 100u);
    const auto start = Clock::now();
    const Bytes got = port.Transact(Request(3, 0x0F, 0x01, {0x01, 0x00, 93}), expected.size());
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(ToHex(got), ToHex(expected));
    EXPECT_GE(elapsed, 90ms);
}

TEST(MeterSimLine, ClientThatReopensThePortIsStillServed) {
    MeterSimProcess sim(WithMeters({Meter3()}));
    const Bytes expected = Reply(3, 0x0F, 0x01, Hex("3F800000"));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Port port(sim.DevicePath());
        EXPECT_EQ(ToHex(port.Transact(Request(3, 0x0F, 0x01, {0x07, 0x48, 0x04}), expected.size())),
                  ToHex(expected));
    }
}

TEST(MeterSimLine, UnplugHangsUpTheClientAndReplugServesAgain) {
    MeterSimProcess sim(WithMeters({Meter3()}));
    const Bytes ack = Reply(3, 0x0F, 0x81);
    {
        Port port(sim.DevicePath());
        ASSERT_EQ(ToHex(port.Transact(Request(3, 0x0F, 0x81, {0x00, 0x30, 0xDE, 0xAD}), ack.size())),
                  ToHex(ack));
        sim.Unplug();
        pollfd pfd{port.Fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&pfd, 1, 1000), 1);
        std::uint8_t b = 0;
        const ssize_t n = ::read(port.Fd(), &b, 1);
        EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << "read gave " << n << ", " << std::strerror(errno);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sim.DevicePath())));
    EXPECT_THROW(Port{sim.DevicePath()}, std::runtime_error);

    sim.Replug();
    Port port(sim.DevicePath());
    // The meters keep their memory across the unplugging.
    const Bytes expected = Reply(3, 0x0F, 0x01, Hex("DEAD"));
    EXPECT_EQ(ToHex(port.Transact(Request(3, 0x0F, 0x01, {0x00, 0x30, 0x02}), expected.size())),
              ToHex(expected));
    EXPECT_TRUE(HasLogLine(sim, " UNPLUG -"));
    EXPECT_TRUE(HasLogLine(sim, " REPLUG -"));
}

TEST(MeterSimLine, StopRemovesTheLinkAndWritesTheFinalDump) {
    MeterSimProcess sim(WithMeters({Meter3()}));
    {
        Port port(sim.DevicePath());
        const Bytes ack = Reply(3, 0x0F, 0x81);
        ASSERT_EQ(ToHex(port.Transact(Request(3, 0x0F, 0x81, {0x01, 0x00, 0x42}), ack.size())), ToHex(ack));
        port.Write(Request(3, 0x0F, 0x7E)); // counted as a request, not as a reply
        ASSERT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    }
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sim.DevicePath())));
    const json dump = sim.FinalDump();
    EXPECT_EQ(ToHex(DumpBytes(dump, 3, "rtc2k", 0x100, 1)), "42");
    EXPECT_EQ(dump["meters"][0]["requests"], 2);
    EXPECT_EQ(dump["meters"][0]["replies"], 1);
    EXPECT_EQ(dump["meters"][0]["texts"]["id"], "Счётчик-Ё 7");
}

TEST(MeterSimHarness, StartedSimulatorHoldsNoneOfTheTestsDescriptors) {
    MeterSimProcess first(WithMeters({Meter3()}));
    std::optional<Port> port(std::in_place, first.DevicePath());
    ASSERT_EQ(flock(port->Fd(), LOCK_EX | LOCK_NB), 0);
    // Started while the port is open and locked; had it inherited the descriptor, the lock would
    // outlive the port.
    MeterSimProcess second(WithMeters({Meter3()}));
    port.reset();
    Port again(first.DevicePath());
    EXPECT_EQ(flock(again.Fd(), LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
}

// ---------------------------------------------------------------------------------------------
// Scenarios

struct BadScenarioCase {
    const char* name;
    std::string scenario;
    const char* message; // a part of what the simulator says
};
void PrintTo(const BadScenarioCase& c, std::ostream* os) {
    *os << c.name;
}

class MeterSimScenarios : public testing::TestWithParam<BadScenarioCase> {};

TEST_P(MeterSimScenarios, WithFaultsAreRefusedAtStart) {
    const BadScenarioCase& c = GetParam();
    try {
        MeterSimProcess sim(c.scenario);
        FAIL() << "the simulator started";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("status 2"), std::string::npos) << what;
        EXPECT_NE(what.find(c.message), std::string::npos) << what;
    }
}

std::string Meter3Text(const std::string& key, const std::string& valueJson) {
    return Meter3With(key, json::parse(valueJson)).dump();
}

INSTANTIATE_TEST_SUITE_P(
    Refused, MeterSimScenarios,
    testing::Values(
        BadScenarioCase{"NotJson", "{\"meters\": [", "not valid JSON"},
        BadScenarioCase{"UnknownArea",
                        Meter3Text("memory", R"([{"area": "eeprom", "addr": 0, "hex": "00"}])"),
                        "meters[0].memory[0]: no area \"eeprom\""},
        BadScenarioCase{"PatchPastTheAreaEnd",
                        Meter3Text("memory", R"([{"area": "rtc128", "addr": 255, "hex": "0102"}])"),
                        "past the end of rtc128"},
        BadScenarioCase{"OddHexDigits",
                        Meter3Text("memory", R"([{"area": "rtc2k", "addr": 0, "hex": "ABC"}])"),
                        "odd number of hex digits"},
        BadScenarioCase{"MisspeltFault", Meter3Text("faults", R"({"bad_cheksum": true})"), "bad_cheksum"},
        BadScenarioCase{"TwoSelectors", Meter3Text("faults", R"({"silent": {"first": 1, "every": 2}})"),
                        "give one of \"first\", \"every\" and \"from\""},
        BadScenarioCase{"TextOutsideTheCodePage", Meter3Text("texts", R"({"id": "Grüße"})"), "U+00FC"},
        BadScenarioCase{"AddressAbove255", Meter3Text("address", "256"), "meters[0].address"},
        BadScenarioCase{"UnknownProtocol", Meter3Text("protocol", R"("m5")"), "unknown protocol \"m5\""},
        BadScenarioCase{"TwoMetersAtOneAddress", WithMeters({Meter3(), Meter3()}).dump(),
                        "two 6x meters at address 3"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
