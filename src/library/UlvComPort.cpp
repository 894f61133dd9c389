#include "UlvComPort.h"

#include "UlvTraceRecorder.h"

#include <algorithm>
#include <chrono>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

bool TulvPort::PollByte(std::uint32_t timeoutMs, std::uint8_t& b)
{
    const std::uint32_t maxMisses = timeoutMs / 10;
    std::uint32_t misses = 0;
    for (;;) {
        if (ReadByte(b)) return true;
        if (Lost() || EchoFailed()) return false;
        WaitForByte(10);
        ++misses;
        if (misses > maxMisses) return false;
    }
}

std::uint32_t TulvPort::WireTimeMs(std::size_t bytes) const
{
    return static_cast<std::uint32_t>((bytes * 10u * 1000u + 9599u) / 9600u);
}

std::uint64_t TulvPort::StartByteDeadline(std::uint32_t packetTimeoutMs)
{
    return Clock().NowMs() + 2ull * packetTimeoutMs + WireTimeMs(LongestFrame);
}

void TulvPort::EndExchange(bool clean, std::uint32_t packetTimeoutMs)
{
    if (clean) return;
    const std::uint64_t until = FLastRequestMs.load() + packetTimeoutMs + packetTimeoutMs / 2;
    if (until > FLateUntilMs.load()) FLateUntilMs.store(until);
}

void TulvPort::SetTrace(TulvTraceRecorder* trace)
{
    FTrace = trace;
    if (trace != nullptr) trace->StartAt(Clock().NowMs());
}

void TulvPort::BeginRequest()
{
    const std::uint64_t until = FLateUntilMs.exchange(0);
    TulvClock& clock = Clock();
    const bool keep = FTrace != nullptr;
    std::uint8_t b;
    auto drop = [&] {
        if (!ReadByte(b)) return false;
        if (keep) FDropped.push_back(b);
        return true;
    };
    if (until != 0 && Opened() && clock.NowMs() < until) {
        // Until the moment, dropping what arrives; then on while a frame is
        // still coming in (bytes at most 20 ms apart), at most a second more.
        std::uint64_t now;
        while (!Lost() && (now = clock.NowMs()) < until) {
            while (drop()) {
            }
            WaitForByte(static_cast<std::uint32_t>(std::min<std::uint64_t>(until - now, 20)));
        }
        while (!Lost() && clock.NowMs() < until + 1000) {
            bool got = false;
            while (drop()) got = true;
            if (!got) {
                WaitForByte(20);
                if (!drop()) break;
            }
        }
    }
    // A trace shows what the purge throws away.
    if (keep && Opened())
        while (drop()) {
        }
    Purge();
    FLastRequestMs.store(clock.NowMs());
}

std::string DefaultComPath(unsigned n)
{
    if (n == 0) return {};
    return "/dev/ttyS" + std::to_string(n - 1);
}

TulvCustomComPort::TulvCustomComPort() = default;

TulvCustomComPort::~TulvCustomComPort()
{
    Close();
}

std::string TulvCustomComPort::ResolvedPath() const
{
    return FDevicePath.empty() ? DefaultComPath(FComPort) : FDevicePath;
}

void TulvCustomComPort::SetThreadInterval(std::uint32_t v)
{
    FThreadInterval = v < 10 ? 10 : (v > 10000 ? 10000 : v);
}

void TulvCustomComPort::SetThreadByteTimeout(std::uint32_t v)
{
    FThreadByteTimeout = v < 10 ? 10 : (v > 1000 ? 1000 : v);
}

namespace {

speed_t BaudToSpeed(std::uint32_t baud, bool& known)
{
    known = true;
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: known = false; return B9600;
    }
}

} // namespace

bool TulvCustomComPort::Open()
{
    if (FOpened) return true;
    const std::string path = ResolvedPath();
    FOpenError = TulvOpenError::None;
    FOpenErrno = 0;
    FOpenErrorText.clear();

    auto fail = [&](TulvOpenStep step, int err) {
        FOpenError = OpenErrorKind(step, err);
        FOpenErrno = err;
        FOpenErrorText = PortOpenErrorText(FOpenError, path, err);
        FOpened = false;
        return false;
    };

    if (path.empty()) return fail(TulvOpenStep::Open, ENOENT);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(TulvOpenStep::Open, errno);
    // Exclusive access: the advisory lock holds even against root; TIOCEXCL keeps
    // other ordinary users from opening the device at all.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        return fail(TulvOpenStep::Lock, err);
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        int err = errno;
        ::close(fd);
        return fail(TulvOpenStep::Settings, err);
    }
    ::ioctl(fd, TIOCEXCL);
    FSaved = tio;
    FHaveSaved = true;

    // Every flag explicitly: raw bytes, 8N1 or the asked parity, no flow control,
    // no echo or line processing; VMIN 1 / VTIME 0 with O_NONBLOCK makes "no byte
    // yet" an EAGAIN and a read of 0 a hang-up.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                          IXANY | INPCK | IGNPAR);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    switch (FParity) {
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    case 3: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    bool known = false;
    speed_t sp = BaudToSpeed(FBaudRate, known);
    if (known) {
        ::cfsetispeed(&tio, sp);
        ::cfsetospeed(&tio, sp);
    }
    FRequested = tio;
    // A rejected setting (pseudo-terminals refuse or drop parity) does not make
    // Open fail.
    (void)::tcsetattr(fd, TCSANOW, &tio);
    FOpenNotice.clear();
    FRequestedRs485 = serial_rs485{};
    FRs485Active = false;
    FHaveSavedRs485 = false;
    if (FLine.Rs485) ApplyRs485(fd, path);
    ::tcflush(fd, TCIOFLUSH);
    FEchoOwed.clear();
    FEchoTaken = 0;
    FEchoFailed = false;
    FEchoErrorText.clear();

    FHandle = fd;
    FOpened = true;
    FGone = false;
    FAbandoned = false;
    FLost = false;

    if (FReceiveInThread) {
        std::lock_guard<std::mutex> lock(FThreadMutex);
        FThreadStop = false;
        FThreadTick = 0;
        FThread = std::thread(&TulvCustomComPort::ReceiveThreadBody, this, fd, FThreadByteTimeout, FThreadInterval,
                              OnReceiveByte, OnReceiveTimeout, Synchronize);
    }
    return true;
}

void TulvCustomComPort::ApplyRs485(int fd, const std::string& path)
{
    serial_rs485 rs{};
    rs.flags = SER_RS485_ENABLED | (FLine.RtsOnSend ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
    rs.delay_rts_before_send = FLine.DelayBeforeMs;
    rs.delay_rts_after_send = FLine.DelayAfterMs;
    FRequestedRs485 = rs;
    serial_rs485 old{};
    FHaveSavedRs485 = ::ioctl(fd, TIOCGRS485, &old) == 0;
    if (FHaveSavedRs485) FSavedRs485 = old;
    if (::ioctl(fd, TIOCSRS485, &rs) == 0) {
        FRs485Active = true;
        return;
    }
    const int err = errno;
    // Said once for this port: a technician who keeps the setting on for an
    // adapter that switches direction by itself needs no warning at every
    // connect.
    if (FRs485Noticed) return;
    FRs485Noticed = true;
    FOpenNotice = PortRs485NoticeText(path, err);
}

void TulvCustomComPort::StopThread()
{
    if (!FThread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(FThreadMutex);
        FThreadStop = true;
    }
    FThreadWake.notify_all();
    FThread.join();
}

void TulvCustomComPort::Close()
{
    if (!FOpened) return;
    StopThread();
    FOpened = false;
    // A device that went away has nothing left to restore. One given up by
    // Abandon is still there and gets its settings back like any other: the
    // next program must not find it raw at our speed, or in RS-485 mode.
    if (!FGone) {
        // A frame still queued (a verification switch awaits no answer, so the
        // port may be closed right after it) leaves at our speed and parity,
        // not at the restored ones. An abandoned exchange is dropped instead:
        // nobody waits for it.
        if (FLost)
            ::tcflush(FHandle, TCOFLUSH);
        else
            DrainOutput();
        if (FRs485Active && FHaveSavedRs485) (void)::ioctl(FHandle, TIOCSRS485, &FSavedRs485);
        ::ioctl(FHandle, TIOCNXCL);
        if (FHaveSaved) (void)::tcsetattr(FHandle, TCSANOW, &FSaved);
    }
    ::flock(FHandle, LOCK_UN);
    ::close(FHandle);
    FHandle = -1;
    FHaveSaved = false;
    FRs485Active = false;
    FEchoOwed.clear();
    FEchoTaken = 0;
}

std::uint32_t TulvCustomComPort::WireTimeMs(std::size_t bytes) const
{
    // A start bit, 8 data bits, a parity bit when asked, a stop bit.
    const std::uint64_t bits = bytes * (FParity == 0 ? 10u : 11u);
    const std::uint64_t baud = FBaudRate ? FBaudRate : 9600;
    return static_cast<std::uint32_t>((bits * 1000 + baud - 1) / baud);
}

bool TulvCustomComPort::DrainOutput()
{
    // tcdrain alone has no limit: a stalled driver would hold Close forever.
    // The queue is watched until it is empty, for at most its wire time and a
    // margin; only then does tcdrain wait out the last bytes in the UART.
    int queued = 0;
    if (::ioctl(FHandle, TIOCOUTQ, &queued) != 0) return false;
    const std::uint64_t start = Clock().NowMs();
    const std::uint64_t limit = WireTimeMs(static_cast<std::size_t>(std::max(queued, 0))) + DrainMarginMs;
    while (queued > 0) {
        if (Clock().NowMs() - start >= limit) {
            ::tcflush(FHandle, TCOFLUSH);
            return false;
        }
        Clock().SleepMs(2);
        if (::ioctl(FHandle, TIOCOUTQ, &queued) != 0) return false;
    }
    while (::tcdrain(FHandle) != 0 && errno == EINTR) {
    }
    return true;
}

void TulvCustomComPort::Purge()
{
    if (!FOpened) return;
    // The echo of a request that awaited no answer is still owed: it is taken
    // (within its deadline) so that it cannot pass for the next request's.
    if (FEchoTaken < FEchoOwed.size() && !FEchoFailed && !FLost) TakeEcho();
    FEchoOwed.clear();
    FEchoTaken = 0;
    FEchoFailed = false;
    FEchoErrorText.clear();
    // Only what has arrived is discarded. Bytes written earlier are still on
    // their way out (a broadcast awaits no answer, so the next request follows
    // it at once); discarding them would lose a command reported as sent.
    ::tcflush(FHandle, TCIFLUSH);
}

void TulvCustomComPort::MarkLostOnError(int err)
{
    if (err == EIO || err == ENXIO || err == ENODEV || err == EBADF || err == EPIPE) MarkGone();
}

void TulvCustomComPort::FailEcho(std::string text)
{
    FEchoFailed = true;
    FEchoErrorText = std::move(text);
    FEchoOwed.clear();
    FEchoTaken = 0;
}

bool TulvCustomComPort::TakeEcho()
{
    while (FEchoTaken < FEchoOwed.size()) {
        if (FLost) return false;
        std::uint8_t b = 0;
        const ssize_t n = ::read(FHandle, &b, 1);
        if (n == 1) {
            const std::uint8_t sent = FEchoOwed[FEchoTaken];
            if (b != sent) {
                FailEcho(PortEchoMismatchText(ResolvedPath(), FEchoTaken + 1, FEchoOwed.size(), sent, b));
                // What follows belongs to the garbled exchange: none of it is
                // taken for a reply.
                ::tcflush(FHandle, TCIFLUSH);
                return false;
            }
            ++FEchoTaken;
            continue;
        }
        if (n == 0) {
            MarkGone();
            return false;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            MarkLostOnError(errno);
            return false;
        }
        const std::uint64_t now = Clock().NowMs();
        if (now >= FEchoDeadlineMs) {
            FailEcho(PortEchoLateText(ResolvedPath(), FEchoTaken, FEchoOwed.size()));
            return false;
        }
        WaitForByte(static_cast<std::uint32_t>(FEchoDeadlineMs - now));
    }
    FEchoOwed.clear();
    FEchoTaken = 0;
    return true;
}

bool TulvCustomComPort::ReadByte(std::uint8_t& b)
{
    if (!FOpened || FReceiveInThread || FEchoFailed) return false;
    // The reply comes after the request's own echo, which is read and dropped
    // first.
    if (FEchoTaken < FEchoOwed.size() && !TakeEcho()) return false;
    for (;;) {
        ssize_t n = ::read(FHandle, &b, 1);
        if (n == 1) return true;
        if (n == 0) {
            MarkGone(); // VMIN 1 with O_NONBLOCK: a read of 0 is a hang-up
            return false;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) MarkLostOnError(errno);
        return false;
    }
}

bool TulvCustomComPort::WriteByte(std::uint8_t b)
{
    return WriteBuffer(&b, 1);
}

bool TulvCustomComPort::WriteBuffer(const void* buf, int count)
{
    if (!FOpened || FLost || count < 0) return false;
    const auto* p = static_cast<const std::uint8_t*>(buf);
    int done = 0;
    // The kernel queue is far larger than any frame; a full queue is waited out
    // for at most the frame's wire time plus a second, in all.
    const std::uint64_t limitMs = 1000 + WireTimeMs(static_cast<std::size_t>(count));
    const auto start = std::chrono::steady_clock::now();
    while (done < count) {
        ssize_t n = ::write(FHandle, p + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto elapsed = static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
            if (elapsed >= limitMs) return false;
            pollfd pfd{FHandle, POLLOUT, 0};
            int r = ::poll(&pfd, 1, static_cast<int>(limitMs - elapsed));
            // A signal that interrupts the wait is no failure of the write.
            if (r < 0 && errno == EINTR) continue;
            if (r > 0 && !(pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) continue;
            if (r > 0) MarkGone();
            return false;
        }
        if (n < 0) MarkLostOnError(errno);
        return false;
    }
    if (FLine.EchoFilter && !FReceiveInThread && count > 0) {
        // Requests written byte by byte owe one echo: each write adds its
        // bytes and moves the deadline to the wire time of all still owed.
        FEchoOwed.insert(FEchoOwed.end(), p, p + count);
        FEchoDeadlineMs = Clock().NowMs() + WireTimeMs(FEchoOwed.size() - FEchoTaken) + EchoMarginMs;
    }
    return true;
}

void TulvCustomComPort::WaitForByte(std::uint32_t ms)
{
    if (!FOpened || FLost) {
        Clock().SleepMs(ms);
        return;
    }
    pollfd pfd{FHandle, POLLIN, 0};
    std::uint64_t start = Clock().NowMs();
    // At least one look at the device, so that a wait of 0 notices a hang-up.
    for (;;) {
        const std::uint64_t elapsed = Clock().NowMs() - start;
        const int left = elapsed >= ms ? 0 : static_cast<int>(ms - elapsed);
        int r = ::poll(&pfd, 1, left);
        if (r < 0 && errno == EINTR && left > 0) continue;
        if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            // A hung-up terminal may also report itself readable; it is gone
            // once no byte is left to read.
            int pending = 0;
            if (!(pfd.revents & POLLIN) || ::ioctl(FHandle, FIONREAD, &pending) != 0 || pending == 0) MarkGone();
        }
        return;
    }
}

bool TulvCustomComPort::PauseThread(std::uint32_t ms)
{
    std::unique_lock<std::mutex> lock(FThreadMutex);
    FThreadWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FThreadStop; });
    return !FThreadStop;
}

void TulvCustomComPort::ReceiveThreadBody(int fd, std::uint32_t byteTimeout, std::uint32_t interval,
                                          TOnReceiveByteEvent onByte, TOnReceiveTimeout onTimeout, TSynchronize sync)
{
    auto run = [&](const std::function<void()>& step) {
        if (sync)
            sync(step);
        else
            step();
    };
    std::uint32_t counter = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(FThreadMutex);
            if (FThreadStop) break;
        }
        FThreadTick = counter;
        const std::uint32_t tick = counter;
        int misses = 0;
        while (misses < 2) {
            std::uint8_t b = 0;
            ssize_t n = ::read(fd, &b, 1);
            if (n == 1) {
                if (onByte) run([&] { onByte(this, b, tick); });
                misses = 0;
                continue;
            }
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) MarkGone();
            PauseThread(byteTimeout);
            ++misses;
        }
        if (onTimeout) run([&] { onTimeout(this, tick); });
        ++counter;
        if (!PauseThread(interval)) break;
    }
}
