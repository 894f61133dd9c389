#include "Connection.h"

#include "ClbThread.h"
#include "MeterTypes.h"
#include "ReadOut.h"
#include "SerialPorts.h"
#include "Settings.h"

#include <filesystem>
#include <regex>

namespace {
const char* const ErrorCaption = "Ошибка";
}

PortChoice PortFromSettings(const Settings& settings)
{
    PortChoice c;
    c.Number = settings.Port();
    c.Path = settings.PortPath(c.Number);
    c.Baud = settings.Baud() == 0 ? 9600 : 19200;
    c.Line = settings.Line();
    // A device chosen by its stable name goes before the COM number.
    if (const std::string device = settings.Device(); !device.empty()) {
        c.Number = 0;
        c.Path = device;
    }
    return c;
}

bool NamePort(PortChoice& c, const std::string& port, const Settings& settings)
{
    static const std::regex com(R"(COM(\d{1,2}))", std::regex::icase);
    std::smatch m;
    if (std::regex_match(port, m, com)) {
        const int n = std::stoi(m[1]);
        if (n < 1 || n > 16) return false;
        c.Number = n;
        c.Path = settings.PortPath(n);
    } else {
        c.Number = 0;
        c.Path = port;
    }
    return true;
}

bool SameDevice(const std::string& a, const std::string& b)
{
    if (a == b) return true;
    // Not std::filesystem::equivalent: it does not compare character devices.
    std::error_code ea, eb;
    const auto ra = std::filesystem::canonical(a, ea), rb = std::filesystem::canonical(b, eb);
    return !ea && !eb && ra == rb;
}

void SetUpPort(TulvComPort& port, const PortChoice& choice, bool relayLine)
{
    port.SetComPort(static_cast<std::uint8_t>(choice.Number));
    port.SetDevicePath(choice.Path);
    port.SetBaudRate(choice.Baud);
    port.SetLine(choice.Line);
    port.SetParity(relayLine ? 2 : 0);
}

const char* const Connection::CancelledText = "Чтение данных прервано. Порт закрыт.";

bool Connection::CancelReadOut()
{
    std::lock_guard<std::mutex> lock(FCancelMutex);
    if (!FInConnect) return false;
    FCancel = true;
    FPort.Abandon();
    return true;
}

void Connection::CancelForGood()
{
    std::lock_guard<std::mutex> lock(FCancelMutex);
    FClosing = true;
    if (!FInConnect) return;
    FCancel = true;
    FPort.Abandon();
}

bool Connection::AbandonIfCancelled()
{
    std::lock_guard<std::mutex> lock(FCancelMutex);
    // Open clears the port's abandon: one that came while it opened is renewed.
    if (FCancel) FPort.Abandon();
    return FCancel;
}

bool Connection::Cancelled()
{
    if (FPort.Opened()) FPort.Close();
    if (!FClosing) FHost.MessageBox(CancelledText, "Предупреждение", MsgIcon::Warning, MsgButtons::Ok);
    FHost.SetConnectButtons(true, false);
    return false;
}

bool Connection::Refuse(const std::string& text)
{
    FHost.MessageBox(text, ErrorCaption, MsgIcon::Error, MsgButtons::Ok);
    FHost.SetConnectButtons(true, false);
    return false;
}

bool Connection::BConnectClick(const PortChoice& choice)
{
    {
        std::lock_guard<std::mutex> lock(FCancelMutex);
        FInConnect = true;
        FCancel = FClosing.load();
    }
    // However it ends, a cancel no longer applies once it has.
    struct EndOfConnect {
        Connection& c;
        ~EndOfConnect()
        {
            std::lock_guard<std::mutex> lock(c.FCancelMutex);
            c.FInConnect = false;
            c.FCancel = false;
        }
    } endOfConnect{*this};

    FHost.SetConnectButtons(false, false);
    // The poller must be idle before the port opens: a slot whose poll box is
    // ticked would otherwise be polled while the read-out runs.
    FPoller.SetState(TClbThread::Pause);
    if (!FPoller.WaitNotBusy(26)) {
        FHost.SetConnectButtons(true, false);
        return false;
    }
    if (FCancel) return Cancelled();
    switch (OpenPort(choice)) {
    case Opening::Cancelled: return Cancelled();
    case Opening::Failed: return false;
    case Opening::Open: break;
    }
    if (!FPort.OpenNotice().empty())
        FHost.MessageBox(FPort.OpenNotice(), "Предупреждение", MsgIcon::Warning, MsgButtons::Ok);
    bool any = false;
    for (int n = 1; n <= 2; ++n) {
        FDev.Coefficients(n).PollEnabled = FHost.PollBoxChecked(n);
        any = any || FDev.Slot(n).TypeCode() != 0;
    }
    if (!any) {
        FPort.Close();
        return Refuse("Не найдено ни одного прибора");
    }
    return ReadOutAndPoll();
}

Connection::Opening Connection::OpenPort(const PortChoice& choice)
{
    bool relay = false;
    for (int n = 1; n <= 2; ++n)
        relay = relay || RelayAddressed(FDev.Slot(n).TypeCode());
    SetUpPort(FPort, choice, relay);
    if (FPort.Open()) return AbandonIfCancelled() ? Opening::Cancelled : Opening::Open;
    if (FCancel) return Opening::Cancelled;
    const std::string name = choice.Number > 0 ? "COM" + std::to_string(choice.Number) : choice.Path;
    std::string text = "Невозможно открыть порт " + name + "\n" + FPort.OpenErrorText();
    const std::string advice = DiagnoseOpenFailure(FPort.ResolvedPath(), FPort.OpenError());
    if (!advice.empty()) text += "\n" + advice;
    Refuse(text);
    return Opening::Failed;
}

bool Connection::ReadOutAndPoll()
{
    ReadOut readOut(FDev, FHost);
    bool ok = false;
    try {
        ok = readOut.ReadAllDevices();
    } catch (const std::exception&) {
        if (FCancel) return Cancelled();
        FPort.Close();
        return Refuse("EXCEPTION");
    }
    {
        // From here on the read-out is done: a cancel that came during it
        // still counts, one that comes later finds no Connect to cancel.
        std::lock_guard<std::mutex> lock(FCancelMutex);
        if (!FCancel) FInConnect = false;
    }
    if (FCancel) return Cancelled();
    if (!ok) {
        FPort.Close();
        std::string text = FPort.Lost() ? "Ошибка чтения данных: связь с портом " + FPort.ResolvedPath() + " потеряна"
                                        : std::string("Ошибка чтения данных");
        // Which meter failed, and at which step.
        if (!readOut.FailureText().empty()) text += "\n" + readOut.FailureText();
        if (!FPort.EchoErrorText().empty()) text += "\n" + FPort.EchoErrorText();
        return Refuse(text);
    }
    for (int row = 0; row <= 9; ++row)
        readOut.ShowCoefficient(row);
    FHost.SetConnectButtons(false, true);
    FPoller.SetState(TClbThread::Run);
    return true;
}

bool Connection::BDisconnectClick()
{
    FPoller.SetState(TClbThread::Pause);
    // At most 26 sleeps of 50 ms; if the poller is still inside a transaction
    // then, wait on for it (bounded) rather than close the port under it.
    if (!FPoller.WaitNotBusy(26)) {
        // Told by the wait; the port stays the poller's, which stops once its
        // transaction ends. Disconnect can be pressed again.
        FHost.SetConnectButtons(false, true);
        return false;
    }
    if (FPort.Opened()) FPort.Close();
    FHost.SetConnectButtons(true, false);
    FHost.SetProgress(0, 0, 0);
    return true;
}
