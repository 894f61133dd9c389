// The traffic log on the real port against the meter simulator: a read-out and a
// write through a meter with a bad checksum, a silent attempt, noise and a late
// reply. Every frame the simulator logged is in the trace, in the same order and
// with the same bytes, and every fault shows as its outcome.
#include "MeterSimProcess.h"
#include "Ulv6xProtocol.h"
#include "UlvM4Protocol.h"
#include "UlvTrace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

using nlohmann::json;

namespace {

struct SimLog {
    std::vector<std::string> requests; // RX frames, hex
    std::string replies;               // every TX byte, hex, in the order written
};

// The simulator's frame log: "<time> RX|TX <meter> <hex bytes> [# note]".
SimLog ReadSimLog(const MeterSimProcess& sim)
{
    SimLog log;
    for (const auto& line : sim.LogLines()) {
        std::istringstream in(line.substr(0, line.find(" #")));
        std::string time, kind, meter, byte, hex;
        in >> time >> kind >> meter;
        while (in >> byte) hex += (hex.empty() ? "" : " ") + byte;
        if (kind == "RX") log.requests.push_back(hex);
        if (kind == "TX") log.replies += (log.replies.empty() || hex.empty() ? "" : " ") + hex;
    }
    return log;
}

class TraceSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = (std::filesystem::temp_directory_path() /
                ("clb-trace-sim-" + std::to_string(::getpid()) + ".jsonl"))
                   .string();
        trace = std::make_unique<TulvTrace>(path, TulvTrace::Format::JsonLines);
        ASSERT_TRUE(trace->IsOpen());
    }
    void TearDown() override
    {
        port.Close();
        std::filesystem::remove(path);
    }
    void Start(const json& scenario)
    {
        sim = std::make_unique<MeterSimProcess>(scenario);
        port.SetDevicePath(sim->DevicePath());
        ASSERT_TRUE(port.Open()) << port.OpenErrorText();
        port.SetTrace(trace.get());
    }
    // The trace's events, each line parsed on its own.
    std::vector<json> Events()
    {
        trace->Flush();
        std::vector<json> out;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            json e = json::parse(line, nullptr, false);
            EXPECT_FALSE(e.is_discarded()) << "not a JSON line: " << line;
            out.push_back(e);
        }
        return out;
    }
    // What the trace saw going out (frames) and coming in (every byte in order).
    static SimLog Wire(const std::vector<json>& ev)
    {
        SimLog w;
        for (const auto& e : ev) {
            const std::string kind = e["event"];
            if (kind == "sent") w.requests.push_back(e["hex"]);
            if (kind == "received" || kind == "noise" || kind == "dropped")
                w.replies += (w.replies.empty() ? "" : " ") + e["hex"].get<std::string>();
        }
        return w;
    }
    static int Count(const std::vector<json>& ev, const std::string& kind, int code = -1)
    {
        int n = 0;
        for (const auto& e : ev)
            if (e["event"] == kind && (code < 0 || e["code"] == code)) ++n;
        return n;
    }

    std::string path;
    std::unique_ptr<TulvTrace> trace;
    std::unique_ptr<MeterSimProcess> sim;
    TulvComPort port;
};

TEST_F(TraceSim, ReadOutAndWriteWithFaultsMatchTheSimulatorsLog)
{
    // The meter's replies: 1 bad checksum, 3 silent, 5 after noise, 7 (the
    // write's first) late: it comes after the repeat's reply 8, and the read
    // that follows throws it away.
    const json faults = {{"bad_checksum", {{"first", 1}}},
                         {"silent", {{"from", 3}, {"to", 3}}},
                         {"noise", {{"count", 4}, {"from", 5}, {"to", 5}}},
                         {"delay_ms", {{"ms", 320}, {"from", 7}, {"to", 7}}}};
    Start({{"meters",
            {{{"address", 1},
              {"protocol", "6x"},
              {"memory", {{{"area", "rtc2k"}, {"addr", "0x0700"}, {"hex", "3F800000 40000000"}}}},
              {"faults", faults}}}}});
    Tulv6xProtocol p;
    p.SetComPort(&port);
    p.SetNetAddr(1);
    p.SetEWrite(true);
    p.SetRepeatCount(3);
    p.SetPacketTimeout(200);
    p.SetByteTimeout(50);
    std::uint8_t buf[8];
    for (int i = 0; i < 4; ++i) {
        p.ReadRtc2k(0x0700, buf, 8);
        ASSERT_EQ(p.LastError(), ErrOk) << "read " << i;
    }
    const std::uint8_t value[4] = {0x40, 0x40, 0x00, 0x00};
    p.WriteRtc2k(0x0700, value, 4);
    ASSERT_EQ(p.LastError(), ErrOk);
    p.ReadRtc2k(0x0700, buf, 8);
    ASSERT_EQ(p.LastError(), ErrOk);
    EXPECT_EQ(buf[1], 0x40) << "the write took";
    sim->Stop();

    const auto ev = Events();
    const SimLog simLog = ReadSimLog(*sim);
    const SimLog wire = Wire(ev);
    ASSERT_FALSE(simLog.requests.empty());
    EXPECT_EQ(wire.requests, simLog.requests);
    EXPECT_EQ(wire.replies, simLog.replies);
    EXPECT_EQ(Count(ev, "error", ErrChecksum), 1) << "the bad checksum";
    EXPECT_EQ(Count(ev, "timeout"), 2) << "the silent attempt and the late reply";
    EXPECT_EQ(Count(ev, "noise"), 1);
    EXPECT_EQ(Count(ev, "dropped"), 1) << "the late reply, thrown away before the last read";
    EXPECT_EQ(Count(ev, "repeat"), 3);
    EXPECT_EQ(Count(ev, "answer"), 6);
    // Times are the port clock's, from the moment the trace was set, in order.
    std::uint64_t last = 0;
    for (const auto& e : ev) {
        EXPECT_GE(e["t_ms"].get<std::uint64_t>(), last);
        last = e["t_ms"];
    }
    for (const auto& e : ev)
        if (e["event"] == "timeout") {
            EXPECT_GE(e["after_ms"].get<int>(), 200);
        }
}

TEST_F(TraceSim, M4ExchangesAreTracedWithTheirFaults)
{
    Start({{"meters",
            {{{"address", 2}, {"protocol", "m4"}, {"faults", {{"bad_checksum", {{"first", 1}}}, {"silent", {{"from", 2}, {"to", 2}}}}}}}}});
    TulvM4Protocol p;
    p.SetComPort(&port);
    p.SetNetAddr(2);
    p.SetRepeatCount(2);
    p.SetPacketTimeout(200);
    p.SetByteTimeout(50);
    std::uint8_t d[8];
    p.ReadMem(d, 0x0150); // reply 1: bad checksum
    EXPECT_EQ(p.LastError(), ErrChecksum);
    p.ReadMem(d, 0x0150); // reply 2 silent, then reply 3
    EXPECT_EQ(p.LastError(), ErrOk);
    sim->Stop();
    const auto ev = Events();
    const SimLog simLog = ReadSimLog(*sim);
    const SimLog wire = Wire(ev);
    EXPECT_EQ(wire.requests, simLog.requests);
    EXPECT_EQ(wire.replies, simLog.replies);
    EXPECT_EQ(Count(ev, "error", ErrChecksum), 1);
    EXPECT_EQ(Count(ev, "timeout"), 1);
    EXPECT_EQ(ev.front()["fields"]["address"], "2");
    EXPECT_EQ(ev.front()["fields"]["command"], "R");
}

} // namespace
