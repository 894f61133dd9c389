// Against the simulator: a line that never falls silent ends the read-out, a
// poll cycle and a disconnect, each with what it tells; and a port lost at the
// first and at a later step of a write leaves the poller paused, says what may
// have reached the meter, and lets the next connect work. Run under
// ThreadSanitizer too: the poller polls the other meter of the line meanwhile.
#include "ClbTool.h"
#include "CoefficientWriter.h"
#include "WorkflowFixture.h"

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace workflow_test;

int CountLines(const std::vector<std::string>& log, const std::string& what)
{
    int n = 0;
    for (const auto& line : log) n += line.find(what) != std::string::npos;
    return n;
}

// Replies a meter gives to one read-out of a КВТ-64 at address 1.
int ReadOutReplies()
{
    MeterSimProcess sim(Line({Kvt64(1)}));
    std::ostringstream out, err;
    const int status = RunClbTool({"--port", sim.DevicePath(), "--slot", "1:1:1", "--timeouts", "50,150,1", "read"},
                                  out, err);
    EXPECT_EQ(status, 0) << err.str();
    return CountLines(sim.LogLines(), " TX 1 ");
}

TEST(ChatterSim, AReadOutOnAChatteringLineEndsAndIsTold)
{
    json scenario = Line({Kvt64(1)});
    scenario["line"] = {{"chatter", {{"byte", 255}, {"every_ms", 1}}}};
    MeterSimProcess sim(scenario);
    std::ostringstream out, err;
    const auto t0 = std::chrono::steady_clock::now();
    const int status = RunClbTool(
        {"--port", sim.DevicePath(), "--slot", "1:1:1", "--timeouts", "50,150,2", "--json", "read"}, out, err);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(status, 1);
    const json result = json::parse(out.str());
    ASSERT_FALSE(result["messages"].empty()) << out.str();
    EXPECT_EQ(result["messages"].back(),
              "Ошибка чтения данных\nПрибор 1 (КВТ-64, адрес 1): не прочитан Gmax, нет ответа");
    // Generous: the bound is a few seconds of line time; only a hang fails this.
    EXPECT_LT(took, std::chrono::seconds(120));
    EXPECT_EQ(CountLines(sim.LogLines(), "CHATTER"), 1);
}

class ChatterWorkflow : public Workflow {};

TEST_F(ChatterWorkflow, APollCycleAndADisconnectEndWhenTheLineStartsToChatter)
{
    const int readOut = ReadOutReplies();
    json scenario = Line({Kvt64(1)});
    scenario["line"] = {{"chatter", {{"byte", 0}, {"every_ms", 1}, {"after_replies", readOut}}}};
    Start(scenario, {Slot(1, 1, 1)}, TimeoutProfile{50, 150, 2});
    ASSERT_TRUE(connection->BConnectClick(choice)) << host.Transcript();
    // The line chatters from the first poll on: cycles still end, each with the
    // slot failed (its box red), and nothing is told.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (poller->Cycles() < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(poller->Cycles(), 2u) << "a poll cycle on the chattering line never ended";
    EXPECT_FALSE(poller->FlowOk(1));
    EXPECT_EQ(host.BoxState("EG01").Colour, 0xFF0000u);
    // Disconnect while the poller is inside a chattering transaction: it ends by
    // its own bound, and the port is closed.
    while (!poller->IsBusy() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(connection->BDisconnectClick());
    EXPECT_FALSE(port.Opened());
    EXPECT_FALSE(poller->IsBusy());
    EXPECT_TRUE(host.ConnectEnabled);
    EXPECT_TRUE(host.Messages().empty()) << host.Transcript();
    EXPECT_EQ(CountLines(sim->LogLines(), "CHATTER"), 1);
}

// --- A port lost during a write --------------------------------------------------------

// Slot 1 (address 1) is written; slot 2 (address 2) is polled meanwhile, so the
// poller holds and hands over the same port throughout.
class LostMidWrite : public Workflow {
protected:
    void Connect(json meter1)
    {
        Start(Line({meter1, Kvt64(2)}), {Slot(1, 1, 1), Slot(1, 2, 1)}, TimeoutProfile{50, 150, 1});
        host.PollSlots[0] = false;
        host.DefaultAnswer = MsgAnswer::Yes;
        ASSERT_TRUE(connection->BConnectClick(choice)) << host.Transcript();
        const auto start = poller->Cycles();
        while (poller->Cycles() < start + 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // After the write: the poller stays paused over the closed port, and the
    // next connect (once the adapter is back) works and starts it again.
    void ExpectPausedAndReconnect()
    {
        EXPECT_EQ(poller->GetState(), TClbThread::Pause) << "polling resumed over a closed port";
        EXPECT_FALSE(port.Opened());
        EXPECT_TRUE(host.ConnectEnabled);
        const auto cycles = poller->Cycles();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_EQ(poller->Cycles(), cycles) << "the poller went on polling";
        sim->Replug();
        ASSERT_TRUE(connection->BConnectClick(choice)) << host.Transcript();
        EXPECT_EQ(poller->GetState(), TClbThread::Run);
        const auto start = poller->Cycles();
        while (poller->Cycles() < start + 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(poller->FlowOk(2));
    }
    std::vector<std::string> Told()
    {
        std::vector<std::string> lost;
        for (const auto& m : host.Messages())
            if (m.find("потеряна") != std::string::npos) lost.push_back(m);
        return lost;
    }
};

TEST_F(LostMidWrite, AtTheFirstStepNothingWasSent)
{
    Connect(Kvt64(1));
    const int before = CountLines(sim->LogLines(), " RX 1 ");
    CoefficientWriter writer(dev, *poller, host);
    // The adapter goes before the write begins.
    sim->Unplug();
    // Whoever notices first (the poller, polling slot 2, or the write's first
    // look at the port), nothing goes to the meter and the write says so.
    EXPECT_EQ(writer.WriteCoefficients(1), WriteResult::NotWritable);
    EXPECT_EQ(CountLines(sim->LogLines(), " RX 1 "), before) << "a frame reached the meter";
    bool nothingSent = false;
    for (const auto& m : host.Messages()) {
        EXPECT_EQ(m.find("частично"), std::string::npos) << m;
        nothingSent = nothingSent || m.find("ничего не отправлено") != std::string::npos;
    }
    EXPECT_TRUE(nothingSent) << host.Transcript();
    ExpectPausedAndReconnect();
}

TEST_F(LostMidWrite, AtALaterStepTheMeterMayBePartlyWritten)
{
    const int readOut = ReadOutReplies();
    // The fourth reply of the write never comes: the adapter goes instead.
    Connect(Kvt64(1, {{"faults", {{"unplug", {{"from", readOut + 4}, {"to", readOut + 4}}}}}}));
    CoefficientWriter writer(dev, *poller, host);
    EXPECT_EQ(writer.WriteCoefficients(1), WriteResult::Failed);
    const auto lost = Told();
    ASSERT_EQ(lost.size(), 1u) << host.Transcript();
    EXPECT_NE(lost[0].find("частично"), std::string::npos) << lost[0];
    EXPECT_NE(lost[0].find(sim->DevicePath()), std::string::npos) << lost[0];
    ExpectPausedAndReconnect();
}

} // namespace
