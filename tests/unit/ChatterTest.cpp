// A line that never falls silent (a floating RS-485 bus), on the virtual clock:
// every receiver ends its attempts, and the read-out, a poll cycle and the
// hand-over of the port to the main thread each end within their bound. A
// poller that is still inside a transaction when the hand-over runs out keeps
// the port, and the main thread says so instead of using it.
#include "ClbThread.h"
#include "CoefficientActions.h"
#include "CoefficientFiles.h"
#include "DevManager.h"
#include "Connection.h"
#include "ReadOut.h"
#include "RecordingHost.h"
#include "ScriptedPort.h"
#include "Slots.h"
#include "TestFiles.h"
#include "Ulv6xProtocol.h"
#include "UlvComPort.h"
#include "UlvM4Protocol.h"
#include "UlvModBusProtocol.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <pty.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

// --- Each receiver on a chattering line ------------------------------------------------

struct ReceiverCase {
    const char* name;
    // Runs one operation on the port; returns its LastError.
    std::function<ProtocolErrorCode(ScriptedPort&)> run;
    ProtocolErrorCode error;
    size_t requests;            // attempts made
    std::uint64_t perAttemptMs; // the most line time an attempt may take
};

void PrintTo(const ReceiverCase& c, std::ostream* os)
{
    *os << c.name;
}

class ChatteringLine : public ::testing::TestWithParam<ReceiverCase> {};

TEST_P(ChatteringLine, EveryAttemptEndsAndTheOperationFails)
{
    ScriptedPort port;
    port.opened = true;
    port.Chatter(0xFF, 1); // a byte every millisecond, never the start byte of a reply
    const ProtocolErrorCode error = GetParam().run(port);
    EXPECT_EQ(error, GetParam().error);
    EXPECT_EQ(port.requests.size(), GetParam().requests);
    EXPECT_LE(port.clock.now, GetParam().requests * GetParam().perAttemptMs) << "ms of line time";
}

INSTANTIATE_TEST_SUITE_P(
    Families, ChatteringLine,
    ::testing::Values(
        ReceiverCase{"SixX",
                     [](ScriptedPort& port) {
                         Tulv6xProtocol p;
                         p.SetComPort(&port);
                         p.SetNetAddr(1);
                         std::uint8_t d[4];
                         p.ReadRtc2k(0x0700, d, 4);
                         return p.LastError();
                     },
                     // the start delay, the start-byte deadline and one more first-byte wait
                     ErrPortRead, 5, 10 + 3 * 500 + 266},
        ReceiverCase{"Relay",
                     [](ScriptedPort& port) {
                         Tulv6xProtocol p;
                         p.SetComPort(&port);
                         p.SetGZU_NetAddr(44412345);
                         std::uint8_t d[4];
                         p.GZU_ReadRtc2k(0x0023, d, 4);
                         return p.LastError();
                     },
                     ErrPortRead, 5, 10 + 3 * 500 + 266},
        // The next 14 bytes are the reply: noise, with the wrong reply code.
        ReceiverCase{"M4",
                     [](ScriptedPort& port) {
                         TulvM4Protocol p;
                         p.SetComPort(&port);
                         p.SetNetAddr(1);
                         std::array<std::uint8_t, 8> d{};
                         p.ReadRamInt(d, 0x0150);
                         return p.LastError();
                     },
                     ErrIntegrity, 1, 100 + 14 + 100},
        // Address FF, function FF: a five-byte frame whose CRC is wrong.
        ReceiverCase{"ModBus",
                     [](ScriptedPort& port) {
                         TulvModBusProtocol p;
                         p.SetComPort(&port);
                         p.SetNetAddr(1);
                         std::uint8_t d[4];
                         p.ReadHoldingRegisters(0x0172, 2, d);
                         return p.LastError();
                     },
                     ErrChecksum, 3, 10 + 300 + 5}),
    [](const auto& info) { return std::string(info.param.name); });

// The start-byte deadline (twice the 500 ms packet timeout and 266 ms, the
// longest frame at 9600 baud, from the start of the receive at 10 ms): a reply
// behind noise that stops before it is taken; noise that goes on past it ends
// the attempt, the reply behind it unread.
TEST(NoiseBeforeAReply, IsPassedOverUntilTheStartByteDeadline)
{
    const Bytes reply6x = Hex("AA 01 FE 0F 01 04 11 22 33 44 98");
    const Bytes relayReply = [] {
        Bytes r = Hex("AA B9 AD A5 02 0F 01 04 11 22 33 44");
        std::uint8_t sum = 0;
        for (auto b : r) sum = static_cast<std::uint8_t>(sum + b);
        r.push_back(static_cast<std::uint8_t>(~sum));
        return r;
    }();
    const std::uint64_t deadline = 10 + 2 * 500 + 266;
    for (const bool relay : {false, true}) {
        for (const std::uint64_t lastNoise : {deadline, deadline + 1}) {
            ScriptedPort port;
            port.opened = true;
            for (std::uint64_t t = 11; t <= lastNoise; ++t) port.InjectAt(t, {0x13});
            port.InjectAt(lastNoise + 1, relay ? relayReply : reply6x);
            Tulv6xProtocol p;
            p.SetComPort(&port);
            p.SetRepeatCount(1);
            p.SetNetAddr(1);
            p.SetGZU_NetAddr(0x02A5ADB9);
            std::uint8_t d[4] = {};
            if (relay)
                p.GZU_ReadRtc2k(0x0700, d, 4);
            else
                p.ReadRtc2k(0x0700, d, 4);
            EXPECT_EQ(p.LastError(), lastNoise == deadline ? ErrOk : ErrPortRead)
                << (relay ? "relay, " : "6x, ") << "noise until " << lastNoise << " ms";
        }
    }
}

// Noise that trickles just inside the first-byte wait: every byte restarts the
// wait, as designed, and the deadline still ends the attempt.
TEST(NoiseBeforeAReply, SlowNoiseEndsTheAttemptAtTheDeadline)
{
    ScriptedPort port;
    port.opened = true;
    port.Chatter(0x00, 400);
    Tulv6xProtocol p;
    p.SetComPort(&port);
    p.SetRepeatCount(1);
    p.SetPacketTimeout(500);
    std::uint8_t d[4];
    p.ReadRtc2k(0x0700, d, 4);
    EXPECT_EQ(p.LastError(), ErrPortRead);
    // Bytes at 400, 800 and 1200 ms restart the wait; the one at 1600 comes
    // after the deadline (1276 ms) and ends the attempt.
    EXPECT_EQ(port.chatterTaken, 4u);
    EXPECT_EQ(port.clock.now, 1600u);
}

// --- The workflow on a chattering line --------------------------------------------------

DeviceSlot Kvt64Slot()
{
    return MakeSlot(1, 1, 1);
}

TEST(ChatteringWorkflow, TheReadOutEndsAndFails)
{
    ScriptedPort port;
    port.opened = true;
    port.Chatter(0xFF, 1);
    DevManager dev;
    dev.Slot(1) = Kvt64Slot();
    dev.CreateDrivers(port, TimeoutProfile{150, 500, 5});
    RecordingHost host;
    ReadOut readOut(dev, host);
    EXPECT_FALSE(readOut.ReadAllDevices());
    EXPECT_FALSE(dev.Coefficients(1).ReadDone) << "Gmax could not be read: the tables were not reached";
    // Version, serial number and Gmax, three tries each, five attempts a try:
    // each attempt ends at its start-byte deadline, each exchange after a failed one
    // first waits out a late reply (1.5 packet timeouts, then at most a
    // second while bytes keep coming).
    const std::uint64_t perTransaction = 5 * (10 + 3 * 500 + 266) + 750 + 1000 + 50;
    EXPECT_LE(port.clock.now, port.requests.size() / 5 * perTransaction) << "ms of line time";
    EXPECT_LE(port.requests.size(), 5u * 3u * 4u);
}

TEST(ChatteringWorkflow, APollCycleEndsWithTheSlotFailed)
{
    ScriptedPort port;
    port.opened = true;
    port.Chatter(0xFF, 1);
    DevManager dev;
    dev.Slot(1) = Kvt64Slot();
    dev.CreateDrivers(port, TimeoutProfile{150, 500, 5});
    dev.Coefficients(1).ReadDone = true;
    dev.Coefficients(1).PollEnabled = true;
    RecordingHost host;
    TClbThread poller(dev, host);
    poller.SetState(TClbThread::Run);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (poller.Cycles() < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    poller.SetState(TClbThread::Pause);
    ASSERT_TRUE(poller.WaitNotBusy(26));
    ASSERT_GE(poller.Cycles(), 2u) << "a poll cycle on the chattering line never ended";
    EXPECT_FALSE(poller.FlowOk(1));
    EXPECT_EQ(host.BoxState("EG01").Colour, 0xFF0000u);
    // The КВТ-64 is polled with one read: per cycle at most one transaction.
    const std::uint64_t perTransaction = 5 * (10 + 3 * 500 + 266) + 750 + 1000 + 50;
    EXPECT_LE(port.clock.now, (poller.Cycles() + 1) * perTransaction) << "ms of line time";
    EXPECT_TRUE(host.Messages().empty()) << "a failed poll turns the box red, it tells nothing";
}

// --- A poller stuck inside a transaction --------------------------------------------------

// A line on which the poller's transaction does not end until the test lets it:
// every wait for a byte blocks on a gate. Used by the poller's thread alone.
class GatedPort final : public TulvPort {
public:
    bool Open() override { return true; }
    void Close() override {}
    void Purge() override {}
    bool Opened() const override { return true; }
    bool ReadByte(std::uint8_t&) override { return false; }
    bool WriteByte(std::uint8_t) override { return true; }
    bool WriteBuffer(const void*, int) override { return true; }
    void WaitForByte(std::uint32_t ms) override
    {
        {
            std::unique_lock<std::mutex> lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return open; });
        }
        clock.SleepMs(ms);
    }
    bool Lost() const override { return false; }
    TulvClock& Clock() override { return clock; }

    void WaitEntered()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return entered; });
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }

private:
    VirtualClock clock;
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
};

// A pseudo-terminal whose slave the connection's port opens.
struct Pty {
    Pty()
    {
        char name[256];
        int slave = -1;
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        path = name;
        ::close(slave);
    }
    ~Pty() { ::close(master); }
    int master = -1;
    std::string path;
};

TEST(HandOver, APollerStillInsideItsTransactionKeepsThePortAndTheUserIsTold)
{
    GatedPort line;
    DevManager dev;
    dev.Slot(1) = Kvt64Slot();
    dev.CreateDrivers(line, TimeoutProfile{150, 500, 5});
    dev.Coefficients(1).PollEnabled = true;
    RecordingHost host;
    VirtualClock handOver; // the main thread's waits
    TClbThread poller(dev, host, handOver);
    Pty pty;
    TulvComPort port;
    port.SetDevicePath(pty.path);
    ASSERT_TRUE(port.Open());
    Connection connection(dev, port, poller, host);
    host.ConnectEnabled = false;
    host.DisconnectEnabled = true;

    poller.SetState(TClbThread::Run);
    line.WaitEntered();
    ASSERT_TRUE(poller.IsBusy());

    // Disconnect: the wait runs out on its clock; the port stays open.
    EXPECT_FALSE(connection.BDisconnectClick());
    EXPECT_TRUE(port.Opened()) << "the port is not closed under the poller";
    EXPECT_FALSE(host.ConnectEnabled);
    EXPECT_TRUE(host.DisconnectEnabled);
    EXPECT_GE(handOver.now, TClbThread::HandOverLimitMs);
    EXPECT_LT(handOver.now, TClbThread::HandOverLimitMs + 100u);
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0], TClbThread::HandOverTimeoutText);

    // Any other user of the port backs off the same way, and gives the poller
    // back its state.
    poller.SetState(TClbThread::Run);
    {
        PausePolling pause(poller);
        EXPECT_FALSE(pause.Ready());
    }
    EXPECT_EQ(poller.GetState(), TClbThread::Run);
    EXPECT_EQ(host.Messages().size(), 2u);

    // The transaction ends: the next disconnect closes the port.
    poller.SetState(TClbThread::Pause);
    line.Release();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (poller.IsBusy() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(connection.BDisconnectClick());
    EXPECT_FALSE(port.Opened());
    EXPECT_FALSE(poller.IsBusy());
    EXPECT_TRUE(host.ConnectEnabled);
    EXPECT_EQ(host.Messages().size(), 2u);
}

// The slot buttons back off as Disconnect does: after "действие не выполнено"
// the loaded values never reach the slot, no write question follows, and a
// save writes no file.
TEST(HandOver, TheSlotButtonsChangeNothingWhileThePollerKeepsThePort)
{
    namespace fs = std::filesystem;
    const TempFolder temp("clb-handover-");
    const fs::path folder = temp.Path();
    GatedPort line;
    DevManager dev;
    dev.Slot(1) = Kvt64Slot();
    dev.Slot(1).SetSerialText("12345678");
    dev.CreateDrivers(line, TimeoutProfile{150, 500, 5});
    CoefficientSet& c = dev.Coefficients(1);
    c.ReadDone = true;
    c.PollEnabled = true;
    c.Gmax = 6;
    for (int i = 0; i < 10; ++i)
        c.K[i] = c.Obr[i] = 0.1f * static_cast<float>(i + 1);
    // A file with other values than the slot's.
    CoefficientSet other = c;
    other.Gmax = 12;
    for (int i = 0; i < 10; ++i)
        other.K[i] = other.Obr[i] = 0.05f * static_cast<float>(i + 1);
    const std::string file = (folder / "other.kvt").string();
    std::string error;
    ASSERT_TRUE(SaveCoefficientFile(file, dev.Slot(1), other, nullptr, error)) << error;
    const CoefficientSet before = c;

    RecordingHost host;
    host.DefaultAnswer = MsgAnswer::Yes;
    VirtualClock handOver;
    TClbThread poller(dev, host, handOver);
    CoefficientActions actions(dev, poller, host, nullptr, folder.string());
    // However the test ends, the transaction ends before the poller goes.
    struct Release {
        GatedPort& line;
        ~Release() { line.Release(); }
    } release{line};
    poller.SetState(TClbThread::Run);
    line.WaitEntered();
    ASSERT_TRUE(poller.IsBusy());

    host.Files = {file};
    EXPECT_EQ(actions.BLoad01Click(1), CoefficientActions::LoadResult::NotRun);
    EXPECT_EQ(c.Gmax, before.Gmax);
    EXPECT_EQ(c.K, before.K);
    EXPECT_EQ(c.Obr, before.Obr);
    ASSERT_EQ(host.Messages().size(), 1u) << "no write question after the hand-over failed";
    EXPECT_EQ(host.Messages()[0], TClbThread::HandOverTimeoutText);
    EXPECT_EQ(poller.GetState(), TClbThread::Run);

    host.Files = {(folder / "saved.kvt").string()};
    EXPECT_FALSE(actions.BSave01Click(1));
    EXPECT_FALSE(fs::exists(folder / "saved.kvt"));
    EXPECT_EQ(host.Messages().size(), 2u);
}

TEST(HandOver, AnIdlePollerIsTakenOverWithoutWaiting)
{
    ScriptedPort line;
    DevManager dev;
    dev.Slot(1) = Kvt64Slot();
    dev.CreateDrivers(line, TimeoutProfile{150, 500, 5});
    RecordingHost host;
    VirtualClock handOver;
    TClbThread poller(dev, host, handOver);
    // Never ran: nothing to wait for.
    EXPECT_TRUE(poller.WaitNotBusy(26));
    EXPECT_EQ(handOver.now, 0u);
    EXPECT_TRUE(host.Messages().empty());
}

} // namespace
