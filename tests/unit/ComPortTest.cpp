// The real serial port over a pseudo-terminal: opening, exclusive access,
// non-waiting reads, writes, waiting for a byte, hang-up detection and the
// receive thread.
#include "UlvComPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <csignal>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// A pseudo-terminal pair: the test holds the master, the port opens the slave.
struct Pty {
    Pty()
    {
        termios tio{};
        cfmakeraw(&tio);
        char name[256];
        int slave = -1;
        if (openpty(&master, &slave, name, &tio, nullptr) != 0) throw std::runtime_error("openpty failed");
        path = name;
        ::close(slave);
        int fl = fcntl(master, F_GETFL);
        fcntl(master, F_SETFL, fl | O_NONBLOCK);
    }
    ~Pty()
    {
        if (master >= 0) ::close(master);
    }
    void Send(const std::string& bytes) { ASSERT_EQ(::write(master, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
    std::string Receive(size_t n, int timeoutMs = 2000)
    {
        std::string out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n && std::chrono::steady_clock::now() < end) {
            pollfd pfd{master, POLLIN, 0};
            ::poll(&pfd, 1, 20);
            char buf[256];
            ssize_t r = ::read(master, buf, sizeof buf);
            if (r > 0) out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }
    void HangUp()
    {
        ::close(master);
        master = -1;
    }
    int master = -1;
    std::string path;
};

TEST(ComPortProperties, DefaultsAndClamps)
{
    TulvComPort port;
    EXPECT_EQ(port.Version(), "v1.00");
    EXPECT_EQ(port.ComPort(), 1);
    EXPECT_EQ(port.BaudRate(), 9600u);
    EXPECT_EQ(port.Parity(), 0);
    EXPECT_EQ(port.ThreadInterval(), 100u);
    EXPECT_EQ(port.ThreadByteTimeout(), 10u);
    EXPECT_FALSE(port.ReceiveInThread());
    EXPECT_FALSE(port.Opened());
    port.SetThreadInterval(5);
    EXPECT_EQ(port.ThreadInterval(), 10u);
    port.SetThreadInterval(20000);
    EXPECT_EQ(port.ThreadInterval(), 10000u);
    port.SetThreadByteTimeout(0);
    EXPECT_EQ(port.ThreadByteTimeout(), 10u);
    port.SetThreadByteTimeout(5000);
    EXPECT_EQ(port.ThreadByteTimeout(), 1000u);
}

TEST(ComPortProperties, ComNumbersResolveToDevicePaths)
{
    EXPECT_EQ(DefaultComPath(1), "/dev/ttyS0");
    EXPECT_EQ(DefaultComPath(16), "/dev/ttyS15");
    TulvComPort port;
    port.SetComPort(3);
    EXPECT_EQ(port.ResolvedPath(), "/dev/ttyS2");
    port.SetDevicePath("/dev/ttyUSB0");
    EXPECT_EQ(port.ResolvedPath(), "/dev/ttyUSB0");
}

TEST(ComPortOpen, AMissingDeviceFailsAndNamesThePath)
{
    TulvComPort port;
    port.SetDevicePath("/dev/does-not-exist-ttyX9");
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(port.Opened());
    EXPECT_EQ(port.OpenError(), TulvOpenError::Missing);
    EXPECT_NE(port.OpenErrorText().find("/dev/does-not-exist-ttyX9"), std::string::npos);
    port.Close(); // does nothing
    port.Purge();
    std::uint8_t b;
    EXPECT_FALSE(port.ReadByte(b));
    EXPECT_FALSE(port.WriteByte(1));
}

TEST(ComPortOpen, ASecondOpenOfTheSameDeviceIsRefusedAsBusy)
{
    Pty pty;
    TulvComPort first, second;
    first.SetDevicePath(pty.path);
    second.SetDevicePath(pty.path);
    ASSERT_TRUE(first.Open());
    EXPECT_FALSE(second.Open());
    EXPECT_EQ(second.OpenError(), TulvOpenError::Busy);
    EXPECT_NE(second.OpenErrorText().find(pty.path), std::string::npos);
    first.Close();
    EXPECT_TRUE(second.Open()) << "the lock goes with Close";
}

TEST(ComPortOpen, AsksForTheParityAndBaudRate)
{
    Pty pty;
    TulvComPort port;
    port.SetDevicePath(pty.path);
    port.SetParity(2);
    port.SetBaudRate(19200);
    ASSERT_TRUE(port.Open()) << "a pseudo-terminal refusing parity does not fail Open";
    const termios& t = port.RequestedSettings();
    EXPECT_TRUE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & PARODD);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cc[VMIN], 1);
    // Changing the rate while open takes effect only at the next Open.
    port.SetBaudRate(9600);
    EXPECT_EQ(cfgetospeed(&port.RequestedSettings()), static_cast<speed_t>(B19200));
    port.Close();
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(cfgetospeed(&port.RequestedSettings()), static_cast<speed_t>(B9600));
}

TEST(ComPortIo, ReadsWithoutWaitingAndWritesEverything)
{
    Pty pty;
    TulvComPort port;
    port.SetDevicePath(pty.path);
    ASSERT_TRUE(port.Open());
    std::uint8_t b = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.ReadByte(b));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));

    std::string frame(255, '\0');
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<char>(i);
    EXPECT_TRUE(port.WriteBuffer(frame.data(), static_cast<int>(frame.size())));
    EXPECT_TRUE(port.WriteByte(0xAA));
    EXPECT_EQ(pty.Receive(256), frame + "\xAA");

    pty.Send("\x01\x02");
    port.WaitForByte(1000);
    ASSERT_TRUE(port.ReadByte(b));
    EXPECT_EQ(b, 1);
    ASSERT_TRUE(port.ReadByte(b));
    EXPECT_EQ(b, 2);
    EXPECT_FALSE(port.ReadByte(b));
    EXPECT_FALSE(port.Lost());
}

TEST(ComPortIo, PurgeDiscardsWhatHasArrived)
{
    Pty pty;
    TulvComPort port;
    port.SetDevicePath(pty.path);
    ASSERT_TRUE(port.Open());
    pty.Send("noise");
    port.WaitForByte(1000);
    SleepMs(20);
    port.Purge();
    std::uint8_t b;
    EXPECT_FALSE(port.ReadByte(b));
}

TEST(ComPortIo, WaitForByteEndsWhenAByteArrives)
{
    Pty pty;
    TulvComPort port;
    port.SetDevicePath(pty.path);
    ASSERT_TRUE(port.Open());
    std::thread sender([&] {
        SleepMs(30);
        pty.Send("x");
    });
    auto t0 = std::chrono::steady_clock::now();
    port.WaitForByte(9000);
    auto waited = std::chrono::steady_clock::now() - t0;
    sender.join();
    EXPECT_LT(waited, std::chrono::milliseconds(8000));
    std::uint8_t b;
    EXPECT_TRUE(port.ReadByte(b));
}

TEST(ComPortIo, AHangUpIsToldApartFromSilence)
{
    Pty pty;
    TulvComPort port;
    port.SetDevicePath(pty.path);
    ASSERT_TRUE(port.Open());
    std::uint8_t b;
    EXPECT_FALSE(port.PollByte(30, b));
    EXPECT_FALSE(port.Lost()) << "a silent line is not a lost device";
    pty.HangUp();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.PollByte(9990, b));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(8000)) << "no waiting on a lost device";
    EXPECT_TRUE(port.Lost());
    EXPECT_FALSE(port.WriteByte(1));
    port.Close();
    EXPECT_FALSE(port.Opened());
}

TEST(ComPortIo, ASignalDuringAWaitForRoomIsNoFailedWrite)
{
    // A write larger than the pseudo-terminal holds waits for room; signals
    // that interrupt that wait must not end the write.
    Pty pty;
    TulvComPort port;
    port.SetDevicePath(pty.path);
    ASSERT_TRUE(port.Open());
    struct sigaction sa{};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    struct sigaction old{};
    ASSERT_EQ(::sigaction(SIGUSR2, &sa, &old), 0);

    std::string frame(256 * 1024, '\0');
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<char>(i * 7);
    const pthread_t writer = ::pthread_self();
    std::string received;
    std::thread other([&] {
        // The writer is waiting for room by now: interrupt it a few times,
        // then take what it wrote.
        for (int i = 0; i < 5; ++i) {
            SleepMs(20);
            ::pthread_kill(writer, SIGUSR2);
        }
        received = pty.Receive(frame.size(), 10000);
    });
    const bool written = port.WriteBuffer(frame.data(), static_cast<int>(frame.size()));
    other.join();
    ::sigaction(SIGUSR2, &old, nullptr);
    EXPECT_TRUE(written);
    EXPECT_FALSE(port.Lost());
    EXPECT_TRUE(received == frame) << received.size() << " of " << frame.size() << " bytes arrived";
}

TEST(ComPortIo, BytesWrittenRightBeforeCloseStillLeave)
{
    Pty pty;
    TulvComPort port;
    port.SetDevicePath(pty.path);
    port.SetParity(2);
    ASSERT_TRUE(port.Open());
    const std::string frame = "\x55\x00\xFF\x31\x7A\x00\x00";
    ASSERT_TRUE(port.WriteBuffer(frame.data(), static_cast<int>(frame.size())));
    port.Close();
    EXPECT_FALSE(port.Opened());
    EXPECT_EQ(pty.Receive(frame.size()), frame);
}

// Another program left the line at 4800 baud, canonical, with echo. Whether our
// use ends normally or is given up (Abandon, as closing the window in the middle
// of an exchange does), the line is handed back as we found it and open to
// others again.
class ComPortRestore : public ::testing::TestWithParam<bool> {};

TEST_P(ComPortRestore, TheLineIsHandedBackAsItWasFound)
{
    const bool abandoned = GetParam();
    Pty pty;
    // Held open throughout, so that the pseudo-terminal keeps its settings.
    const int other = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(other, &before), 0);
    before.c_lflag |= ICANON | ECHO;
    ::cfsetispeed(&before, B4800);
    ::cfsetospeed(&before, B4800);
    ASSERT_EQ(::tcsetattr(other, TCSANOW, &before), 0);

    TulvComPort port;
    port.SetDevicePath(pty.path);
    port.SetBaudRate(9600);
    ASSERT_TRUE(port.Open());
    termios during{};
    ASSERT_EQ(::tcgetattr(other, &during), 0);
    ASSERT_EQ(::cfgetospeed(&during), speed_t(B9600));
    ASSERT_FALSE(during.c_lflag & ICANON);
    int exclusive = 0;
    ASSERT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
    ASSERT_NE(exclusive, 0);

    if (abandoned) {
        port.Abandon();
        std::uint8_t b;
        EXPECT_FALSE(port.ReadByte(b));
        EXPECT_FALSE(port.WriteByte(1)) << "an abandoned port takes no more traffic";
        EXPECT_TRUE(port.Lost());
        EXPECT_FALSE(port.Gone());
    }
    port.Close();

    termios after{};
    ASSERT_EQ(::tcgetattr(other, &after), 0);
    EXPECT_EQ(::cfgetospeed(&after), speed_t(B4800));
    EXPECT_EQ(::cfgetispeed(&after), speed_t(B4800));
    EXPECT_TRUE(after.c_lflag & ICANON);
    EXPECT_TRUE(after.c_lflag & ECHO);
    ASSERT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "exclusive access is released";
    ::close(other);

    // And the port itself opens again as new.
    ASSERT_TRUE(port.Open());
    EXPECT_FALSE(port.Lost());
    EXPECT_FALSE(port.Abandoned());
    EXPECT_TRUE(port.WriteByte(0x55));
    port.Close();
}

INSTANTIATE_TEST_SUITE_P(ClosedOrAbandoned, ComPortRestore, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Abandoned" : "Closed"; });

TEST(ComPortThread, ReportsBurstsWithTheirTick)
{
    Pty pty;
    TulvComPort port;
    port.SetDevicePath(pty.path);
    port.SetReceiveInThread(true);
    std::mutex m;
    std::vector<std::string> events;
    port.OnReceiveByte = [&](TulvCustomComPort* sender, std::uint8_t v, std::uint32_t tick) {
        EXPECT_EQ(sender, &port);
        std::lock_guard<std::mutex> l(m);
        events.push_back("b" + std::to_string(v) + "@" + std::to_string(tick));
    };
    port.OnReceiveTimeout = [&](TulvCustomComPort*, std::uint32_t tick) {
        std::lock_guard<std::mutex> l(m);
        events.push_back("t@" + std::to_string(tick));
    };
    port.SetThreadInterval(10);
    port.SetThreadByteTimeout(50);
    ASSERT_TRUE(port.Open());
    SleepMs(150); // let the empty first bursts pass
    std::uint32_t tick0;
    {
        std::lock_guard<std::mutex> l(m);
        events.clear();
    }
    pty.Send(std::string("\x01\x02\x03", 3));
    std::uint8_t b;
    EXPECT_FALSE(port.ReadByte(b)) << "in thread mode ReadByte never reads";
    SleepMs(400);
    port.Close();
    std::lock_guard<std::mutex> l(m);
    // Find the burst that carries the bytes: three bytes, then its timeout, same tick.
    size_t at = 0;
    while (at < events.size() && events[at][0] != 'b') ++at;
    ASSERT_LE(at + 4, events.size());
    tick0 = static_cast<std::uint32_t>(std::stoul(events[at].substr(events[at].find('@') + 1)));
    const std::string t = std::to_string(tick0);
    EXPECT_EQ(events[at], "b1@" + t);
    EXPECT_EQ(events[at + 1], "b2@" + t);
    EXPECT_EQ(events[at + 2], "b3@" + t);
    EXPECT_EQ(events[at + 3], "t@" + t);
    if (at + 4 < events.size()) {
        EXPECT_EQ(events[at + 4], "t@" + std::to_string(tick0 + 1));
    }
}

} // namespace
