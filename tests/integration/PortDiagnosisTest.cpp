// The diagnosis of a port that will not open, as an ordinary user meets it:
// a device that is missing, one of a group the user is not in, one another
// program holds, and a service that grabs adapters running meanwhile. The port
// is opened by the port class in a child process; when the test runs as root
// (as CI does) the child first becomes the user nobody, because root passes
// every permission check.
#include "Child.h"
#include "SerialPorts.h"
#include "TestFiles.h"
#include "UlvComPort.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
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

void WriteAll(int fd, const std::string& s)
{
    const char* q = s.data();
    std::size_t left = s.size();
    while (left > 0) {
        ssize_t n = ::write(fd, q, left);
        if (n <= 0) break;
        q += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Runs body in a child process as nobody (when root) and returns what it
// returned; a message starting with "FAULT" when the child could not do its part.
std::string AsOrdinaryUser(const std::function<std::string()>& body)
{
    const ChildResult child = RunInChild(
        [&] {
            if (const std::string why = IsRoot() ? DropToNobody() : ""; !why.empty())
                return "FAULT cannot become nobody: " + why;
            try {
                return body();
            } catch (const std::exception& e) {
                return std::string("FAULT ") + e.what();
            }
        },
        std::chrono::seconds(20));
    return child.Fault.empty() ? child.Report : "FAULT " + child.Fault;
}

// Starts a process named name that runs hold() and then waits to be killed;
// returns its pid once hold() has returned (-1 when it failed).
pid_t StartNamedProcess(const char* name, const std::function<bool()>& hold)
{
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        ::prctl(PR_SET_NAME, name);
        const char ok = hold() ? '1' : '0';
        WriteAll(p[1], std::string(1, ok));
        for (;;) ::pause();
    }
    ::close(p[1]);
    char ok = '0';
    const bool started = pid > 0 && ::read(p[0], &ok, 1) == 1 && ok == '1';
    ::close(p[0]);
    if (!started && pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

void Stop(pid_t pid)
{
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// The port class's message and the diagnosis, or why the port opened.
std::string OpenAndDiagnose(const std::string& path, TulvOpenError expected, const SerialPortSystem& sys = {})
{
    TulvComPort port;
    port.SetDevicePath(path);
    if (port.Open()) return "OPENED";
    if (port.OpenError() != expected) return "KIND " + std::to_string(static_cast<int>(port.OpenError()));
    return port.OpenErrorText() + "\n" + DiagnoseOpenFailure(path, port.OpenError(), sys);
}

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
    ~Pty() { ::close(master); }
    int master = -1;
    std::string path;
};

// A fake /dev and /sys with one adapter, readable by every user.
struct OtherAdapterTree {
    OtherAdapterTree()
    {
        fs::create_directories(root / "dev/serial/by-id");
        fs::create_directories(root / "sys/class/tty/ttyUSB3/device");
        std::ofstream(root / "dev/ttyUSB3") << "";
        fs::create_symlink("../../ttyUSB3", root / "dev/serial/by-id/usb-Other_Adapter_77-if00-port0");
    }
    TempFolder folder{"clb_diag_", "/tmp", true};
    fs::path root = folder.Path();
};

TEST(PortDiagnosisAsUser, MissingDeviceNamesTheAdaptersPresent)
{
    OtherAdapterTree tree;
    const std::string gone = "/dev/serial/by-id/usb-Gone_Adapter_12-if00-port0";
    const std::string text = AsOrdinaryUser(
        [&] { return OpenAndDiagnose(gone, TulvOpenError::Missing, {tree.root.string(), "/proc"}); });
    EXPECT_NE(text.find("Устройство " + gone + " не найдено"), std::string::npos) << text;
    EXPECT_NE(text.find("Подключены:\n  /dev/serial/by-id/usb-Other_Adapter_77-if00-port0 (/dev/ttyUSB3) - ttyUSB3"),
              std::string::npos)
        << text;
}

TEST(PortDiagnosisAsUser, NoPermissionNamesTheGroupAndTheCommand)
{
    if (!IsRoot()) GTEST_SKIP() << "needs root to hand the device to a group the child is not in";
    Pty pty;
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr) << "no group dialout on this system";
    ASSERT_EQ(::chown(pty.path.c_str(), 0, dialout->gr_gid), 0) << std::strerror(errno);
    ASSERT_EQ(::chmod(pty.path.c_str(), 0660), 0) << std::strerror(errno);
    const std::string text = AsOrdinaryUser([&] { return OpenAndDiagnose(pty.path, TulvOpenError::NoPermission); });
    EXPECT_NE(text.find("Нет прав на открытие " + pty.path + ": устройство доступно группе dialout."), std::string::npos)
        << text;
    EXPECT_NE(text.find("Пользователя nobody нужно добавить в группу dialout и войти в систему заново:\n"
                        "  sudo usermod -aG dialout $USER"),
              std::string::npos)
        << text;
}

TEST(PortDiagnosisAsUser, BusyDeviceNamesTheProcessHoldingIt)
{
    Pty pty;
    if (IsRoot()) {
        ASSERT_EQ(::chown(pty.path.c_str(), Nobody, static_cast<gid_t>(-1)), 0) << std::strerror(errno);
    }
    const std::string text = AsOrdinaryUser([&] {
        TulvComPort held;
        held.SetDevicePath(pty.path);
        const pid_t holder = StartNamedProcess("bench-logger", [&] { return held.Open(); });
        if (holder < 0) return std::string("FAULT the holder could not open the port");
        const std::string result =
            OpenAndDiagnose(pty.path, TulvOpenError::Busy) + "\nHOLDER " + std::to_string(holder);
        Stop(holder);
        return result;
    });
    const std::size_t at = text.find("\nHOLDER ");
    ASSERT_NE(at, std::string::npos) << text;
    const std::string pid = text.substr(at + 8);
    EXPECT_NE(text.find("Порт " + pty.path + " занят: bench-logger (PID " + pid + ")."), std::string::npos) << text;
}

TEST(PortDiagnosisAsUser, AServiceThatGrabsAdaptersIsNamed)
{
    const std::string gone = "/dev/serial/by-id/usb-Gone_Adapter_12-if00-port0";
    const std::string text = AsOrdinaryUser([&] {
        const pid_t service = StartNamedProcess("ModemManager", [] { return true; });
        if (service < 0) return std::string("FAULT no stand-in service");
        const std::string result = OpenAndDiagnose(gone, TulvOpenError::Missing);
        Stop(service);
        return result;
    });
    EXPECT_NE(text.find("Запущена служба ModemManager, которая занимает USB-адаптеры последовательных портов. "
                        "Остановите её (sudo systemctl stop ModemManager) или удалите (sudo apt remove modemmanager)."),
              std::string::npos)
        << text;
}

} // namespace
