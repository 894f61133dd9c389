#include "PseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace metersim {

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0) Fail("tcgetattr");
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) Fail("tcsetattr");
}

} // namespace

unsigned PseudoTerminal::SlaveBaud() const
{
    termios t{};
    if (slaveHold_ < 0 || tcgetattr(slaveHold_, &t) != 0) return 0;
    switch (cfgetospeed(&t)) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

void PseudoTerminal::Open()
{
    if (IsOpen()) return;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) Fail("posix_openpt");
    try {
        if (fcntl(master, F_SETFD, FD_CLOEXEC) != 0) Fail("fcntl");
        if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) Fail("fcntl");
        if (grantpt(master) != 0) Fail("grantpt");
        if (unlockpt(master) != 0) Fail("unlockpt");
        char name[256];
        if (ptsname_r(master, name, sizeof name) != 0) Fail("ptsname_r");
        const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (slave < 0) Fail(std::string("open ") + name);
        master_ = master;
        slaveHold_ = slave;
        slave_ = name;
        // Raw on the slave: no echo of what we write back to us, no line editing, all 8 bits.
        MakeRaw(slaveHold_);
        Link();
    } catch (...) {
        if (master_ < 0) ::close(master);
        Close();
        throw;
    }
}

void PseudoTerminal::Link()
{
    struct stat st {};
    if (lstat(link_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        throw std::runtime_error(link_ + " exists and is not a symbolic link; not replacing it");
    // Made under a temporary name and renamed, so the link path never points at a missing device.
    const std::string temp = link_ + ".new." + std::to_string(getpid());
    ::unlink(temp.c_str());
    if (symlink(slave_.c_str(), temp.c_str()) != 0) Fail("symlink " + temp);
    if (rename(temp.c_str(), link_.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        Fail("rename to " + link_);
    }
}

void PseudoTerminal::Close()
{
    // The master goes first: once the link is gone, the client is already hung up.
    if (master_ >= 0) ::close(master_);
    if (slaveHold_ >= 0) ::close(slaveHold_);
    master_ = slaveHold_ = -1;
    if (!slave_.empty()) {
        char target[256];
        const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == slave_) ::unlink(link_.c_str());
        slave_.clear();
    }
}

} // namespace metersim
