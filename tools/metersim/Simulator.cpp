#include "Simulator.h"

#include "MeterRelay.h"

#include "Dump.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace metersim {

namespace {

int g_signalPipe[2] = {-1, -1};

extern "C" void OnSignal(int signo)
{
    const int saved = errno;
    const auto b = static_cast<unsigned char>(signo);
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &b, 1);
    errno = saved;
}

constexpr int kHandled[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2};

void InstallSignals()
{
    if (pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : kHandled)
        sigaction(s, &sa, nullptr);
    // A client that stops reading our standard output must not end the simulator.
    std::signal(SIGPIPE, SIG_IGN);
}

void RestoreSignals()
{
    for (int s : kHandled)
        std::signal(s, SIG_DFL);
    for (int& fd : g_signalPipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

LineSettings Effective(LineSettings line, const Options& options)
{
    if (options.baud) line.baud = *options.baud;
    if (options.pacing) line.pacing = true;
    if (options.echo) line.echo = true;
    return line;
}

} // namespace

Simulator::Simulator(const Options& options, Scenario scenario, FrameLog& log)
    : options_(options), scenario_(std::move(scenario)), log_(log), line_(Effective(scenario_.line, options), log),
      pty_(options.link)
{
    // Meters with a speed of their own hear only requests sent at it (the client's setting on the line).
    line_.SetBaudSource([this] { return pty_.SlaveBaud(); });
    // One engine per protocol family that has meters on the line, in the order of first appearance.
    std::vector<std::string> families;
    for (const auto& m : scenario_.meters)
        if (std::find(families.begin(), families.end(), m->Protocol()) == families.end())
            families.push_back(m->Protocol());
    // A relay meter with a network address of its own also takes plain 6x frames.
    auto alsoOn6x = [](const Meter& m) {
        const auto* relay = dynamic_cast<const MeterRelay*>(&m);
        return relay && relay->NetAddress().has_value();
    };
    for (const auto& m : scenario_.meters)
        if (alsoOn6x(*m) && std::find(families.begin(), families.end(), "6x") == families.end())
            families.push_back("6x");
    for (const auto& family : families) {
        std::vector<Meter*> members;
        for (const auto& m : scenario_.meters)
            if (m->Protocol() == family || (family == "6x" && alsoOn6x(*m))) members.push_back(m.get());
        line_.AddProtocol(BuiltinRegistry().Protocol(family)(members, line_.Context()));
    }
}

Simulator::~Simulator()
{
    RestoreSignals();
}

bool Simulator::Plug()
{
    try {
        pty_.Open();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "metersim: cannot create the line at %s: %s\n", options_.link.c_str(), e.what());
        return false;
    }
    line_.Attach(pty_.Master());
    std::printf("READY %s\n", options_.link.c_str());
    std::fflush(stdout);
    return true;
}

void Simulator::Unplug()
{
    pty_.Close();
    line_.Attach(-1);
}

bool Simulator::WriteDump()
{
    if (options_.dump.empty()) {
        std::fprintf(stderr, "metersim: a dump was asked for, but no --dump file was given\n");
        return false;
    }
    try {
        WriteFileAtomically(options_.dump, BuildDump(scenario_.meters, ++dumps_).dump(1) + "\n");
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "metersim: %s\n", e.what());
        return false;
    }
}

void Simulator::HandleSignal(int signo)
{
    switch (signo) {
    case SIGTERM:
    case SIGINT:
    case SIGHUP: running_ = false; break;
    case SIGUSR1: WriteDump(); break;
    case SIGUSR2:
        if (pty_.IsOpen()) {
            Unplug();
            log_.Write("UNPLUG", std::nullopt, {});
        } else if (Plug()) {
            log_.Write("REPLUG", std::nullopt, {});
        }
        break;
    default: break;
    }
}

void Simulator::ReadLine()
{
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pty_.Master(), buffer, sizeof buffer);
        if (n > 0) {
            line_.Receive(buffer, static_cast<std::size_t>(n), MonoNow());
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return; // EAGAIN: all taken
    }
}

int Simulator::Run()
{
    InstallSignals();
    if (!Plug()) return 1;
    while (running_) {
        pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {pty_.IsOpen() ? pty_.Master() : -1, POLLIN, 0}};
        timespec timeout{};
        timespec* wait = nullptr;
        if (auto deadline = line_.Deadline()) {
            timeout = ToTimespec(std::max(MonoTime::zero(), *deadline - MonoNow()));
            wait = &timeout;
        }
        const int r = ppoll(fds, 2, wait, nullptr);
        if (r < 0 && errno != EINTR) {
            std::fprintf(stderr, "metersim: ppoll: %s\n", std::strerror(errno));
            break;
        }
        if (r > 0 && (fds[0].revents & POLLIN)) {
            unsigned char signals[64];
            const ssize_t n = ::read(g_signalPipe[0], signals, sizeof signals);
            for (ssize_t i = 0; i < n; ++i)
                HandleSignal(signals[i]);
        }
        if (r > 0 && pty_.IsOpen() && fds[1].fd == pty_.Master()) {
            if (fds[1].revents & POLLIN) {
                ReadLine();
                if (line_.TakeUnplugRequest()) {
                    Unplug();
                    log_.Write("UNPLUG", std::nullopt, {}, "fault: unplug");
                }
            } else if (fds[1].revents & (POLLHUP | POLLERR)) {
                // Not expected while we hold the slave open; keeps a hang-up from spinning the loop.
                const timespec pause{0, 10'000'000};
                nanosleep(&pause, nullptr);
            }
        }
        line_.RunDue(MonoNow());
    }
    const bool dumped = options_.dump.empty() || WriteDump();
    Unplug();
    return dumped ? 0 : 1;
}

} // namespace metersim
