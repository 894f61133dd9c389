#include "Child.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

ChildResult RunInChild(const std::function<std::string()>& body, std::chrono::seconds timeout)
{
    ChildResult r;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return {{}, "pipe failed"};
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(p[0]);
        ::close(p[1]);
        return {{}, "fork failed"};
    }
    if (pid == 0) {
        ::close(p[0]);
        const std::string report = body();
        const char* q = report.data();
        std::size_t left = report.size();
        while (left > 0) {
            const ssize_t n = ::write(p[1], q, left);
            if (n <= 0) break;
            q += n;
            left -= static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(p[1]);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            r.Fault = "the child did not finish within " + std::to_string(timeout.count()) + " s";
            break;
        }
        pollfd pfd{p[0], POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(p[0], buf, sizeof buf);
        if (n <= 0) break;
        r.Report.append(buf, static_cast<std::size_t>(n));
    }
    ::close(p[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (r.Fault.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) r.Fault = "the child failed";
    return r;
}

std::string DropToNobody()
{
    if (::geteuid() != 0) return {};
    if (::setgroups(0, nullptr) != 0 || ::setgid(NobodyUid) != 0 || ::setuid(NobodyUid) != 0)
        return std::strerror(errno);
    // Changing user makes a process's /proc entries root's.
    ::prctl(PR_SET_DUMPABLE, 1);
    return {};
}
