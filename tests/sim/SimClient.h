// The client's side of the simulated line for the simulator's own tests: plain POSIX calls on the
// pseudo-terminal and hex helpers, written independently of the simulator.
#pragma once

#include "MeterSimProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace simclient {

using namespace std::chrono_literals;
using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// How long the tests wait before calling a request unanswered.
inline constexpr auto kNoReplyWait = 300ms;
inline constexpr auto kReplyWait = 3000ms;

inline Bytes Hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits.push_back(c);
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string ToHex(const Bytes& b) {
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i) s.push_back(' ');
        s.push_back(d[b[i] >> 4]);
        s.push_back(d[b[i] & 15]);
    }
    return s;
}

// The client's end of the simulated line, opened as a serial port is: raw, non-blocking.
class Port {
  public:
    explicit Port(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
        tcflush(fd_, TCIOFLUSH);
    }
    ~Port() { ::close(fd_); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    int Fd() const { return fd_; }

    // Discards stale input, as a client does before each request, then writes.
    void Write(const Bytes& b) {
        tcflush(fd_, TCIFLUSH);
        WriteRaw(b);
    }
    void WriteRaw(const Bytes& b) {
        ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())) << std::strerror(errno);
    }

    // Reads until count bytes have arrived or timeout has passed; returns what arrived.
    Bytes Read(std::size_t count, std::chrono::milliseconds timeout) {
        Bytes got;
        const auto deadline = Clock::now() + timeout;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left < 0ms) break;
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
            std::uint8_t buf[512];
            const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - got.size()));
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
            else if (n == 0 || errno != EAGAIN)
                break; // hung up
        }
        return got;
    }

    Bytes Transact(const Bytes& request, std::size_t replyLength) {
        Write(request);
        return Read(replyLength, kReplyWait);
    }

  private:
    int fd_ = -1;
};

// --- Frames of every family, built with the test's own arithmetic ---------------------------------

inline std::uint8_t ByteSum(const Bytes& b, std::size_t count)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += b[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

inline Bytes RelayFrame(std::uint8_t start, std::uint32_t serial, std::uint8_t group, std::uint8_t command,
                        const Bytes& data = {})
{
    Bytes f{start,
            static_cast<std::uint8_t>(serial),
            static_cast<std::uint8_t>(serial >> 8),
            static_cast<std::uint8_t>(serial >> 16),
            static_cast<std::uint8_t>(serial >> 24),
            group,
            command,
            static_cast<std::uint8_t>(data.size())};
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(static_cast<std::uint8_t>(~ByteSum(f, f.size())));
    return f;
}

inline Bytes M4Frame(std::uint8_t address, std::uint8_t code, std::uint8_t p1, std::uint8_t p2,
                     const Bytes& data = Bytes(8))
{
    Bytes f{0x00, address, code, p1, p2};
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(ByteSum(f, f.size()));
    return f;
}

// CRC-16/MODBUS from its table-free definition (SimFamiliesTest checks it against the catalogue's
// check value).
inline std::uint16_t ModBusCrc(const Bytes& b)
{
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : b) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = ((crc ^ (byte >> bit)) & 1) != 0;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (mix) crc ^= 0xA001;
        }
    }
    return crc;
}

inline Bytes WithCrc(Bytes f)
{
    const std::uint16_t crc = ModBusCrc(f);
    f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    return f;
}

inline Bytes SixXFrame(std::uint8_t start, std::uint8_t address, std::uint8_t group, std::uint8_t command,
                       const Bytes& data)
{
    Bytes f{start, address, static_cast<std::uint8_t>(address ^ 0xFF),
            group, command, static_cast<std::uint8_t>(data.size())};
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(static_cast<std::uint8_t>(~ByteSum(f, f.size())));
    return f;
}

// Starting the simulator on the scenario fails with exit status 2 and a message that holds message.
inline void ExpectRefusedAtStart(const json& scenario, const std::string& message)
{
    try {
        MeterSimProcess sim(scenario);
        ADD_FAILURE() << "the simulator started";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("status 2"), std::string::npos) << what;
        EXPECT_NE(what.find(message), std::string::npos) << what;
    }
}

inline bool HasLogLine(const MeterSimProcess& sim, const std::string& fragment) {
    for (const auto& line : sim.LogLines())
        if (line.find(fragment) != std::string::npos) return true;
    return false;
}

} // namespace simclient
