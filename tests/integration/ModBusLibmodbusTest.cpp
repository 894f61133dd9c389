// TulvModBusProtocol on the real serial port against a libmodbus RTU server,
// an independent ModBus implementation: both sides must agree on every frame
// byte, the CRC included (libmodbus drops a request with a bad CRC, and we
// refuse a reply with one).
//
// The two ends are joined by a null-modem cable made of two pseudo-terminals:
// libmodbus opens the slave side of one, our port the slave side of the other,
// and a thread copies bytes between the two master sides.
#include "UlvComPort.h"
#include "UlvModBusProtocol.h"

#include <modbus.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Two pseudo-terminals whose master sides are joined by a copying thread.
class NullModem {
public:
    NullModem()
    {
        for (int i = 0; i < 2; ++i) {
            termios tio{};
            cfmakeraw(&tio);
            char name[256];
            if (openpty(&FMaster[i], &FSlaveHold[i], name, &tio, nullptr) != 0) throw std::runtime_error("openpty");
            FPath[i] = name;
            fcntl(FMaster[i], F_SETFL, fcntl(FMaster[i], F_GETFL) | O_NONBLOCK);
        }
        if (pipe(FWake) != 0) throw std::runtime_error("pipe");
        FThread = std::thread([this] { Run(); });
    }
    ~NullModem()
    {
        const char stop = 'x';
        (void)!write(FWake[1], &stop, 1);
        FThread.join();
        for (int fd : {FMaster[0], FMaster[1], FSlaveHold[0], FSlaveHold[1], FWake[0], FWake[1]}) ::close(fd);
    }
    NullModem(const NullModem&) = delete;
    NullModem& operator=(const NullModem&) = delete;

    const std::string& Path(int side) const { return FPath[side]; }

private:
    void Run()
    {
        for (;;) {
            pollfd pfd[3] = {{FMaster[0], POLLIN, 0}, {FMaster[1], POLLIN, 0}, {FWake[0], POLLIN, 0}};
            if (::poll(pfd, 3, -1) < 0 && errno != EINTR) return;
            if (pfd[2].revents) return;
            for (int i = 0; i < 2; ++i) {
                if (!(pfd[i].revents & POLLIN)) continue;
                std::uint8_t buf[512];
                const ssize_t n = ::read(FMaster[i], buf, sizeof buf);
                for (ssize_t done = 0; n > 0 && done < n;) {
                    const ssize_t w = ::write(FMaster[1 - i], buf + done, static_cast<size_t>(n - done));
                    if (w > 0) done += w;
                    else if (errno != EAGAIN && errno != EINTR) break;
                }
            }
        }
    }

    int FMaster[2] = {-1, -1};
    int FSlaveHold[2] = {-1, -1}; // keeps each slave side open, so the masters see no hang-up
    std::string FPath[2];
    int FWake[2] = {-1, -1};
    std::thread FThread;
};

// A libmodbus RTU server at slave address 1 with 400 holding registers.
class LibmodbusServer {
public:
    static constexpr int Registers = 400;

    explicit LibmodbusServer(const std::string& path)
    {
        FCtx = modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1);
        if (FCtx == nullptr) throw std::runtime_error("modbus_new_rtu");
        modbus_set_slave(FCtx, 1);
        if (modbus_connect(FCtx) != 0) throw std::runtime_error(std::string("modbus_connect: ") + modbus_strerror(errno));
        // Wait for a request at most 50 ms at a time, so that the thread sees the stop flag.
        modbus_set_indication_timeout(FCtx, 0, 50000);
        FMap = modbus_mapping_new(0, 0, Registers, 0);
        for (int i = 0; i < Registers; ++i) FMap->tab_registers[i] = static_cast<std::uint16_t>(0x1000 + i * 0x0101);
        FThread = std::thread([this] { Run(); });
    }
    ~LibmodbusServer()
    {
        FStop = true;
        FThread.join();
        modbus_mapping_free(FMap);
        modbus_close(FCtx);
        modbus_free(FCtx);
    }
    LibmodbusServer(const LibmodbusServer&) = delete;
    LibmodbusServer& operator=(const LibmodbusServer&) = delete;

    // When set, report-slave-ID requests are answered in the meters' layout
    // (address, 11, L + 1, L, L text bytes) with libmodbus computing the CRC;
    // otherwise with libmodbus' own reply.
    void AnswerIdAsMeter(std::vector<std::uint8_t> text)
    {
        std::lock_guard lock(FMutex);
        FMeterText = std::move(text);
        FMeterId = true;
    }
    std::uint16_t Register(int i)
    {
        std::lock_guard lock(FMutex);
        return FMap->tab_registers[i];
    }
    int Requests() const { return FRequests.load(); }

private:
    void Run()
    {
        std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!FStop) {
            const int rc = modbus_receive(FCtx, query);
            if (rc <= 0) continue; // timeout, or a request libmodbus refused
            ++FRequests;
            std::lock_guard lock(FMutex);
            if (query[1] == 0x11 && FMeterId) {
                std::vector<std::uint8_t> raw = {query[0], 0x11, static_cast<std::uint8_t>(FMeterText.size() + 1),
                                                 static_cast<std::uint8_t>(FMeterText.size())};
                raw.insert(raw.end(), FMeterText.begin(), FMeterText.end());
                modbus_send_raw_request(FCtx, raw.data(), static_cast<int>(raw.size()));
            } else {
                modbus_reply(FCtx, query, rc, FMap);
            }
        }
    }

    modbus_t* FCtx = nullptr;
    modbus_mapping_t* FMap = nullptr;
    std::mutex FMutex;
    bool FMeterId = false;
    std::vector<std::uint8_t> FMeterText;
    std::atomic<bool> FStop{false};
    std::atomic<int> FRequests{0};
    std::thread FThread;
};

class Libmodbus : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.SetDevicePath(cable.Path(1));
        ASSERT_TRUE(port.Open()) << port.OpenErrorText();
        proto.SetComPort(&port);
        proto.SetNetAddr(1);
        proto.SetEWrite(true);
    }
    void TearDown() override { port.Close(); }

    NullModem cable;
    LibmodbusServer server{cable.Path(0)};
    TulvComPort port;
    TulvModBusProtocol proto;
};

TEST_F(Libmodbus, ReadsHoldingRegisters)
{
    std::uint8_t d[8] = {};
    ASSERT_TRUE(proto.ReadHoldingRegisters(10, 4, d)) << proto.LastError();
    // Register i holds 0x1000 + i * 0x0101; registers travel big-endian.
    const std::uint8_t expected[8] = {0x1A, 0x0A, 0x1B, 0x0B, 0x1C, 0x0C, 0x1D, 0x0D};
    EXPECT_EQ(std::vector<std::uint8_t>(d, d + 8), std::vector<std::uint8_t>(expected, expected + 8));
    EXPECT_EQ(server.Requests(), 1);
}

TEST_F(Libmodbus, ReadsTheLongestReply)
{
    // 125 registers: a 255-byte reply.
    std::uint8_t d[250] = {};
    ASSERT_TRUE(proto.ReadHoldingRegisters(200, 125, d)) << proto.LastError();
    EXPECT_EQ(proto.ReplyLength(), 255);
    for (int i = 0; i < 125; ++i) {
        const std::uint16_t v = static_cast<std::uint16_t>(0x1000 + (200 + i) * 0x0101);
        EXPECT_EQ(d[2 * i], v >> 8) << i;
        EXPECT_EQ(d[2 * i + 1], v & 0xFF) << i;
    }
}

TEST_F(Libmodbus, WritesHoldingRegisters)
{
    // Gmax 10.0 as a big-endian single in registers 299..300, as the ModBus meter keeps it.
    const std::uint8_t gmax[4] = {0x41, 0x20, 0x00, 0x00};
    ASSERT_TRUE(proto.WriteMultipleRegisters(299, 2, gmax)) << proto.LastError();
    EXPECT_EQ(server.Register(299), 0x4120);
    EXPECT_EQ(server.Register(300), 0x0000);
    EXPECT_EQ(server.Register(301), static_cast<std::uint16_t>(0x1000 + 301 * 0x0101)) << "nothing beyond the two";

    std::uint8_t back[4] = {};
    ASSERT_TRUE(proto.ReadHoldingRegisters(299, 2, back)) << proto.LastError();
    EXPECT_EQ(std::vector<std::uint8_t>(back, back + 4), std::vector<std::uint8_t>(gmax, gmax + 4));
}

TEST_F(Libmodbus, WritesTheLongestRequest)
{
    // 123 registers: a 255-byte request.
    std::uint8_t data[246];
    for (int i = 0; i < 246; ++i) data[i] = static_cast<std::uint8_t>(255 - i);
    ASSERT_TRUE(proto.WriteMultipleRegisters(100, 123, data)) << proto.LastError();
    for (int i = 0; i < 123; ++i) EXPECT_EQ(server.Register(100 + i), (data[2 * i] << 8) | data[2 * i + 1]) << i;
}

TEST_F(Libmodbus, AnExceptionFailsWithCodeSevenAndIsNotRepeated)
{
    // Registers 398..401 run past the server's 400: "illegal data address".
    std::uint8_t d[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_FALSE(proto.ReadHoldingRegisters(398, 4, d));
    EXPECT_EQ(proto.LastError(), 7u);
    EXPECT_EQ(proto.ReplyLength(), 5);
    EXPECT_EQ(proto.ReplyBuffer()[1], 0x83);
    EXPECT_EQ(proto.ReplyBuffer()[2], MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    EXPECT_EQ(d[0], 0xEE) << "nothing copied";

    const std::uint8_t two[4] = {1, 2, 3, 4};
    EXPECT_FALSE(proto.WriteMultipleRegisters(399, 2, two));
    EXPECT_EQ(proto.LastError(), 7u);
    EXPECT_EQ(proto.ReplyBuffer()[1], 0x90);
    EXPECT_EQ(server.Requests(), 2) << "each exception answered its one request";
}

TEST_F(Libmodbus, ReadsTheIdentificationInTheMetersLayout)
{
    // libmodbus adds the CRC to a reply we did not build.
    server.AnswerIdAsMeter({'K', 'V', 'T', 0x0D, '1', '0'});
    std::string s;
    proto.GetDevID(s);
    EXPECT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(s, "KVT10") << "the carriage return is skipped";
}

TEST_F(Libmodbus, LibmodbusOwnIdentificationIsNotInTheMetersLayout)
{
    // libmodbus answers: address, 11, byte count, slave ID 0xB4, run indicator
    // 0xFF, "LMB" and its version. Our meters send the text length where the
    // slave ID stands, so 0xB4 reads as a 180-byte text that never comes.
    proto.SetRepeatCount(1);
    std::string s = "old";
    proto.GetDevID(s);
    EXPECT_EQ(proto.LastError(), 2u);
    EXPECT_EQ(s, "");
    EXPECT_EQ(proto.ReplyBuffer()[1], 0x11);
    EXPECT_EQ(proto.ReplyBuffer()[3], 0xB4);
    EXPECT_EQ(proto.ReplyBuffer()[4], 0xFF);
    EXPECT_EQ(std::string(proto.ReplyBuffer().begin() + 5, proto.ReplyBuffer().begin() + 8), "LMB");
}

} // namespace
