// Opening the serial port as an ordinary user, the way the tool runs on a
// workstation: a device that is not there, a device the user may not open and
// a device that another process holds are three different messages, and each
// names the device path.
//
// The port is opened in a child process. When the test runs as root (as CI
// does) the child first becomes the user nobody (no groups, uid and gid 65534),
// because root passes every permission check and TIOCEXCL.
#include "Child.h"
#include "TestFiles.h"
#include "UlvComPort.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uid_t Nobody = 65534;

bool IsRoot()
{
    return ::geteuid() == 0;
}

struct Outcome {
    bool Opened = false;
    TulvOpenError Kind = TulvOpenError::None;
    std::string Text;
    uid_t Uid = 0;    // who the child was when it opened
    std::string Fault; // the child could not do its part
};

// Opens path with the port class in a child process that runs as nobody when
// this process is root (as the user it is otherwise), and reports the result.
// The child reads nothing from the terminal; a child that does not end within
// ten seconds is killed and reported.
Outcome OpenAsOrdinaryUser(const std::string& path)
{
    Outcome o;
    const ChildResult child = RunInChild(
        [&] {
            try {
                if (const std::string why = IsRoot() ? DropToNobody() : ""; !why.empty())
                    return "F cannot become nobody: " + why;
                TulvComPort port;
                port.SetDevicePath(path);
                const bool opened = port.Open();
                std::string report = "R " + std::to_string(opened ? 1 : 0) + " " +
                                     std::to_string(static_cast<int>(port.OpenError())) + " " +
                                     std::to_string(::geteuid()) + "\n" + port.OpenErrorText();
                port.Close();
                return report;
            } catch (const std::exception& e) {
                return std::string("F ") + e.what();
            }
        },
        std::chrono::seconds(10));
    o.Fault = child.Fault;
    if (!o.Fault.empty()) return o;
    const std::string& report = child.Report;
    if (report.rfind("R ", 0) != 0) {
        o.Fault = report.empty() ? "the child reported nothing" : report;
        return o;
    }
    const std::size_t eol = report.find('\n');
    int opened = 0, kind = 0;
    unsigned uid = 0;
    if (eol == std::string::npos || std::sscanf(report.c_str(), "R %d %d %u", &opened, &kind, &uid) != 3) {
        o.Fault = "unreadable report: " + report;
        return o;
    }
    o.Opened = opened != 0;
    o.Kind = static_cast<TulvOpenError>(kind);
    o.Uid = uid;
    o.Text = report.substr(eol + 1);
    return o;
}

// A pseudo-terminal whose slave is the device under test. openpty gives the
// slave to the creating user with mode 0620 and group tty.
struct Pty {
    Pty()
    {
        termios tio{};
        ::cfmakeraw(&tio);
        char name[256];
        int slave = -1;
        if (::openpty(&master, &slave, name, &tio, nullptr) != 0) throw std::runtime_error("openpty failed");
        ::close(slave);
        path = name;
    }
    ~Pty()
    {
        if (master >= 0) ::close(master);
    }
    int master = -1;
    std::string path;
};


// How the device is held while the ordinary user tries to open it.
enum class Holder {
    None,
    PortClass, // another instance of the tool: flock and TIOCEXCL
    FlockOnly, // another program that only takes the advisory lock
};

struct OpenCase {
    const char* Name;
    bool Missing;        // a path where nothing is
    bool UserMayOpen;    // the device is handed to the ordinary user
    Holder Held;
    TulvOpenError Kind;
    const char* Phrase;  // what the message says besides the path
};

class OpenAsUser : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenAsUser, TellsWhatWentWrongAndNamesThePath)
{
    const OpenCase& c = GetParam();
    if (c.Kind == TulvOpenError::NoPermission && !IsRoot())
        GTEST_SKIP() << "not running as root: the child cannot drop to another user, and the device made by this "
                        "test belongs to the user running it, who may open it";

    // A folder that every user may look into, for the path that does not exist; under /tmp
    // rather than TMPDIR: a child that became nobody must reach it.
    TempFolder folder("clb_open_", "/tmp", true);
    Pty pty;
    const std::string path = c.Missing ? folder / "ttyNotThere0" : pty.path;
    if (c.UserMayOpen && IsRoot()) {
        ASSERT_EQ(::chown(pty.path.c_str(), Nobody, static_cast<gid_t>(-1)), 0) << std::strerror(errno);
    }

    TulvComPort tool;
    int lockFd = -1;
    if (c.Held == Holder::PortClass) {
        tool.SetDevicePath(path);
        ASSERT_TRUE(tool.Open()) << tool.OpenErrorText();
    } else if (c.Held == Holder::FlockOnly) {
        lockFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(lockFd, 0) << std::strerror(errno);
        ASSERT_EQ(::flock(lockFd, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
    }

    const Outcome o = OpenAsOrdinaryUser(path);
    ASSERT_TRUE(o.Fault.empty()) << o.Fault;
    if (IsRoot()) {
        EXPECT_EQ(o.Uid, Nobody) << "the port was opened as root";
    }
    EXPECT_FALSE(o.Opened);
    EXPECT_EQ(o.Kind, c.Kind) << o.Text;
    EXPECT_NE(o.Text.find(path), std::string::npos) << o.Text;
    EXPECT_NE(o.Text.find(c.Phrase), std::string::npos) << o.Text;

    if (c.Held != Holder::None) {
        // Refused because of the holder alone: once it lets go, the same user opens the port.
        tool.Close();
        if (lockFd >= 0) ::close(lockFd);
        const Outcome after = OpenAsOrdinaryUser(path);
        ASSERT_TRUE(after.Fault.empty()) << after.Fault;
        EXPECT_TRUE(after.Opened) << after.Text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, OpenAsUser,
    ::testing::Values(
        OpenCase{"MissingDevice", true, false, Holder::None, TulvOpenError::Missing, "не найден"},
        OpenCase{"DeviceOfAnotherUser", false, false, Holder::None, TulvOpenError::NoPermission, "dialout"},
        OpenCase{"DeviceHeldByAnotherInstance", false, true, Holder::PortClass, TulvOpenError::Busy,
                 "занят другой программой"},
        OpenCase{"DeviceLockedByAnotherProcess", false, true, Holder::FlockOnly, TulvOpenError::Busy,
                 "занят другой программой"}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
