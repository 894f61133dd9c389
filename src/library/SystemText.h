// The error texts a person reads, in the language of the tool: the system's
// (an errno value) and the serial port's. They are made here and only here;
// the port and its callers take them as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The text of an errno value in Russian; the system's own text for a value
// without a translation.
std::string SystemErrorText(int err);

// text with every system error text it holds (as the C library words it)
// replaced by its Russian text. For texts that come from elsewhere in the
// C library's words (file errors); the port's texts need none of it.
std::string RussianSystemTexts(std::string text);

// Why opening a port failed.
enum class TulvOpenError { None, Missing, NoPermission, Busy, Other };

// The call of opening a port that failed: open(), the exclusive lock
// (flock), or reading the line settings (tcgetattr).
enum class TulvOpenStep { Open, Lock, Settings };

// What the errno of a failed step means: open() tells a missing device
// (ENOENT, ENODEV, ENXIO, ENOTDIR), no permission (EACCES, EPERM) and a busy
// one (EBUSY); the lock tells that another process holds it (EWOULDBLOCK);
// anything else is Other.
TulvOpenError OpenErrorKind(TulvOpenStep step, int err);

// The message for a port that could not be opened; it names the device path,
// and for Other the system's text of err.
std::string PortOpenErrorText(TulvOpenError kind, const std::string& path, int err);

// The notice for RS-485 direction control that the driver refused (err from
// TIOCSRS485): the port is open without it.
std::string PortRs485NoticeText(const std::string& path, int err);

// The echo of a request on a two-wire line went wrong: byte at (counted from
// 1) of total came back as got instead of sent, or only taken of total bytes
// came back in time.
std::string PortEchoMismatchText(const std::string& path, std::size_t at, std::size_t total, std::uint8_t sent,
                                 std::uint8_t got);
std::string PortEchoLateText(const std::string& path, std::size_t taken, std::size_t total);
