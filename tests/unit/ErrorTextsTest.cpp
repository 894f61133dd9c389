// The error texts a person reads when a port cannot be used: what each errno
// the port meets becomes, and the port carrying the errno with its text.
#include "SystemText.h"
#include "UlvComPort.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

const std::string Path = "/dev/ttyUSB0";
const std::string Missing = "Порт /dev/ttyUSB0 не найден";
const std::string NoPermission = "Нет доступа к порту /dev/ttyUSB0 (пользователь должен входить в группу dialout)";
const std::string Busy = "Порт /dev/ttyUSB0 занят другой программой";

struct OpenTextCase {
    const char* Name;
    TulvOpenStep Step;
    int Err;
    TulvOpenError Kind;
    std::string Text;
};

class OpenFailure : public ::testing::TestWithParam<OpenTextCase> {};

TEST_P(OpenFailure, SaysWhatWentWrongInRussianAndNamesThePath)
{
    const OpenTextCase& c = GetParam();
    const TulvOpenError kind = OpenErrorKind(c.Step, c.Err);
    EXPECT_EQ(kind, c.Kind);
    EXPECT_EQ(PortOpenErrorText(kind, Path, c.Err), c.Text);
}

INSTANTIATE_TEST_SUITE_P(
    PortErrors, OpenFailure,
    ::testing::Values(
        OpenTextCase{"NoSuchFile", TulvOpenStep::Open, ENOENT, TulvOpenError::Missing, Missing},
        OpenTextCase{"NoSuchDevice", TulvOpenStep::Open, ENODEV, TulvOpenError::Missing, Missing},
        OpenTextCase{"NoSuchDeviceOrAddress", TulvOpenStep::Open, ENXIO, TulvOpenError::Missing, Missing},
        OpenTextCase{"AccessDenied", TulvOpenStep::Open, EACCES, TulvOpenError::NoPermission, NoPermission},
        OpenTextCase{"NotPermitted", TulvOpenStep::Open, EPERM, TulvOpenError::NoPermission, NoPermission},
        OpenTextCase{"DeviceBusy", TulvOpenStep::Open, EBUSY, TulvOpenError::Busy, Busy},
        OpenTextCase{"LockHeldByAnother", TulvOpenStep::Lock, EWOULDBLOCK, TulvOpenError::Busy, Busy},
        OpenTextCase{"InputOutputError", TulvOpenStep::Open, EIO, TulvOpenError::Other,
                     "Не удаётся открыть порт /dev/ttyUSB0: ошибка ввода-вывода"},
        // Its English text begins with that of EMFILE: translated whole, not in part.
        OpenTextCase{"TooManyFilesInSystem", TulvOpenStep::Open, ENFILE, TulvOpenError::Other,
                     "Не удаётся открыть порт /dev/ttyUSB0: открыто слишком много файлов в системе"},
        // A path that is no terminal opens and locks; its line settings cannot be read.
        OpenTextCase{"NotATerminal", TulvOpenStep::Settings, ENOTTY, TulvOpenError::Other,
                     "Не удаётся открыть порт /dev/ttyUSB0: устройство не является последовательным портом"},
        // Only open() tells a missing device: the same errno later is a failure of its own.
        OpenTextCase{"DeviceGoneWhileReadingSettings", TulvOpenStep::Settings, ENXIO, TulvOpenError::Other,
                     "Не удаётся открыть порт /dev/ttyUSB0: нет такого устройства или адреса"},
        // An errno without a translation keeps the system's own words.
        OpenTextCase{"LockFailsOtherwise", TulvOpenStep::Lock, ENOLCK, TulvOpenError::Other,
                     "Не удаётся открыть порт /dev/ttyUSB0: " + std::string(std::strerror(ENOLCK))}),
    [](const ::testing::TestParamInfo<OpenTextCase>& i) { return std::string(i.param.Name); });

TEST(Rs485Notice, TellsARefusingAdapterFromAFailure)
{
    const std::string unsupported =
        "Управление направлением RS-485 не поддерживается этим адаптером (/dev/ttyUSB0); порт открыт без него";
    for (int err : {ENOTTY, EINVAL, EOPNOTSUPP})
        EXPECT_EQ(PortRs485NoticeText(Path, err), unsupported) << err;
    EXPECT_EQ(PortRs485NoticeText(Path, EIO),
              "Не удалось включить управление направлением RS-485 на порту /dev/ttyUSB0: ошибка ввода-вывода; "
              "порт открыт без него");
}

// The port itself: a failed Open keeps the errno of the call that failed, and
// its text is the one made above.
TEST(PortOpenErrno, MissingPathNotATerminalAndAHeldLock)
{
    TulvComPort missing;
    missing.SetDevicePath("/dev/does-not-exist-ttyX9");
    EXPECT_FALSE(missing.Open());
    EXPECT_EQ(missing.OpenErrno(), ENOENT);
    EXPECT_EQ(missing.OpenErrorText(), "Порт /dev/does-not-exist-ttyX9 не найден");

    char file[] = "/tmp/clb_not_a_tty_XXXXXX";
    const int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    TulvComPort plain;
    plain.SetDevicePath(file);
    EXPECT_FALSE(plain.Open());
    EXPECT_EQ(plain.OpenError(), TulvOpenError::Other);
    EXPECT_EQ(plain.OpenErrno(), ENOTTY);
    EXPECT_EQ(plain.OpenErrorText(),
              std::string("Не удаётся открыть порт ") + file + ": устройство не является последовательным портом");
    std::filesystem::remove(file);

    termios tio{};
    ::cfmakeraw(&tio);
    char name[256];
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, name, &tio, nullptr), 0);
    ::close(slave);
    TulvComPort first, second;
    first.SetDevicePath(name);
    second.SetDevicePath(name);
    ASSERT_TRUE(first.Open()) << first.OpenErrorText();
    EXPECT_EQ(first.OpenErrno(), 0);
    EXPECT_FALSE(second.Open());
    EXPECT_EQ(second.OpenError(), TulvOpenError::Busy);
    EXPECT_EQ(second.OpenErrno(), EWOULDBLOCK);
    EXPECT_EQ(second.OpenErrorText(), std::string("Порт ") + name + " занят другой программой");
    first.Close();
    EXPECT_TRUE(second.Open());
    EXPECT_EQ(second.OpenErrno(), 0) << "a successful Open clears it";
    second.Close();
    ::close(master);
}

} // namespace
