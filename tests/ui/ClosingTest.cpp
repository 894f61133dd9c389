// Closing the main window at awkward moments, and giving up a read-out: the
// real window and its host on the offscreen platform, the simulator on a
// pseudo-terminal. A close that hangs ends the test binary through the
// watchdog, with the name of the case.
#include "WindowFixture.h"

#include "Watchdog.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;
using workflow_test::Kvt64;

namespace {

using window_test::Slot;


class Closing : public window_test::WindowTest {
protected:
    void TearDown() override
    {
        if (sim) ::kill(sim->Pid(), SIGCONT);
        WindowTest::TearDown();
    }
    // packetTimeout: how long the tool waits for a reply, in ms.
    void Open(const std::vector<json>& meters, std::vector<DeviceSlot> cfg, int packetTimeout = 150)
    {
        StartLine(meters);
        WriteSettings(packetTimeout);
        ShowWindow();
        Configure(cfg);
    }
    bool Connect()
    {
        Click("BConnect");
        return QTest::qWaitFor(
            [&] { return W<QPushButton>("BDisconnect")->isEnabled() && !window->OperationRunning() &&
                         !W<QLineEdit>("EG01")->text().isEmpty(); },
            15000);
    }
    bool Closed() { return !window->isVisible() && window->Controller().Poller() == nullptr; }
    std::string SettingsText()
    {
        std::ifstream ini(folders.SettingsFile, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(ini)), {});
    }
    void ExpectSettingsIntact()
    {
        const std::string text = SettingsText();
        EXPECT_NE(text.find("NB=50"), std::string::npos) << text;
        EXPECT_NE(text.find("COM1=" + sim->DevicePath()), std::string::npos) << text;
        for (const auto& e : fs::directory_iterator(folder))
            EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    }
};

// Connected, polling a meter that has fallen silent: the window is closed as a
// window manager does, and "Отключить" is clicked 150 ms later, while the
// poller is being stopped. The click does nothing and the window closes.
TEST_F(Closing, AClickOnDisconnectDuringClosingDoesNotHoldTheProgram)
{
    // A long reply timeout keeps the poller inside its read well past the click.
    Open({Kvt64(1)}, {Slot(1, 1, 1)}, 1500);
    ASSERT_TRUE(Connect());
    ::kill(sim->Pid(), SIGSTOP); // the meter falls silent
    TClbThread* poller = window->Controller().Poller();
    ASSERT_TRUE(QTest::qWaitFor([&] { return poller->IsBusy(); }, 5000));
    QTimer::singleShot(150, window.get(), [&] { Click("BDisconnect"); });
    {
        Watchdog watchdog(std::chrono::seconds(20));
        window->close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return Closed(); }, 10000));
        QTest::qWait(300); // the click has come by now
    }
    EXPECT_FALSE(window->OperationRunning()) << "the click started nothing";
    EXPECT_FALSE(window->Controller().Port().Opened());
    ExpectSettingsIntact();
}

// A file dialog of the workflow ("Сохранить конфигурацию") is open while
// connected; the line is lost and the poller's message comes up above it; then
// the window is closed. Both dialogs close, and so does the window.
TEST_F(Closing, NestedWorkflowDialogsAreAllClosed)
{
    Open({Kvt64(1)}, {Slot(1, 1, 1)});
    ASSERT_TRUE(Connect());
    int stage = 0;
    bool stuck = false;
    QString statusWhileWaiting;
    std::chrono::steady_clock::time_point closedAt;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (stage == 0 && qobject_cast<QFileDialog*>(modal)) {
            stage = 1;
            sim->Unplug();
        } else if (stage == 1 && qobject_cast<QMessageBox*>(modal)) {
            stage = 2;
            closedAt = std::chrono::steady_clock::now();
            window->close();
        } else if (stage == 2 && modal && std::chrono::steady_clock::now() - closedAt > std::chrono::seconds(5)) {
            // Still open: what a user would have to close by hand. Closed here
            // so that the test can report it.
            stuck = true;
            statusWhileWaiting = W<QStatusBar>("StatusBar1")->currentMessage();
            if (auto* d = qobject_cast<QDialog*>(modal)) d->reject();
        }
    });
    watch.start(20);
    Click("BSaveConf"); // returns when the file dialog has closed
    ASSERT_TRUE(QTest::qWaitFor([&] { return Closed() || stuck; }, 15000));
    watch.stop();
    EXPECT_EQ(stage, 2);
    EXPECT_FALSE(stuck) << "a dialog stayed open after the close; the status bar said: "
                        << statusWhileWaiting.toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Closed(); }, 5000));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_NE(W<QStatusBar>("StatusBar1")->currentMessage(), QString("Программа закроется после окончания обмена"))
        << "no exchange was running";
}

// A read-out on a slow line takes many seconds; a close at any moment of it,
// the very first one included, gives it up at once.
class ClosingDuringReadOut : public Closing, public ::testing::WithParamInterface<int> {};

TEST_P(ClosingDuringReadOut, EndsWithoutWaitingForTheReadOut)
{
    // Two meters whose every reply comes 150 ms late: the read-out needs
    // several seconds, the close far less.
    Open({Kvt64(1, {{"faults", {{"delay_ms", 150}}}}), Kvt64(2, {{"faults", {{"delay_ms", 150}}}})},
         {Slot(1, 1, 1), Slot(1, 2, 1)}, 400);
    Click("BConnect");
    ASSERT_TRUE(window->OperationRunning());
    if (GetParam() > 0) QTest::qWait(GetParam());
    Watchdog watchdog(std::chrono::seconds(30));
    const auto start = std::chrono::steady_clock::now();
    window->close();
    // Generous against the 1.5 s the close may take, far below the read-out.
    ASSERT_TRUE(QTest::qWaitFor([&] { return Closed(); }, 4000))
        << "still open " << std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start).count() << " ms after the close";
    EXPECT_FALSE(window->OperationRunning());
    EXPECT_FALSE(window->Controller().Port().Opened());
    for (const auto& m : window->HostOfWindow().Messages())
        EXPECT_EQ(m.Text.find("Ошибка чтения"), std::string::npos) << "a close is no failed read-out: " << m.Text;
    ExpectSettingsIntact();
}

INSTANTIATE_TEST_SUITE_P(Moments, ClosingDuringReadOut, ::testing::Values(0, 400, 1500),
                         [](const auto& info) { return "After" + std::to_string(info.param) + "ms"; });

// "Отключить" (enabled during a read-out) or Escape gives the read-out up:
// the user is told, the port is closed, and Connect works again afterwards.
class CancellingAReadOut : public Closing, public ::testing::WithParamInterface<bool> {};

TEST_P(CancellingAReadOut, DisconnectOrEscapeGivesItUp)
{
    Open({Kvt64(1, {{"faults", {{"delay_ms", 150}}}})}, {Slot(1, 1, 1)}, 400);
    QtHost& host = window->HostOfWindow();
    host.SetNextAnswer(MsgAnswer::Ok);
    Click("BConnect");
    ASSERT_TRUE(QTest::qWaitFor([&] { return W<QPushButton>("BDisconnect")->isEnabled(); }, 3000))
        << "Disconnect is usable during the read-out";
    EXPECT_FALSE(W<QPushButton>("BConnect")->isEnabled());
    QTest::qWait(300); // well inside the read-out
    ASSERT_TRUE(window->OperationRunning());
    if (GetParam())
        QTest::keyClick(window.get(), Qt::Key_Escape);
    else
        Click("BDisconnect");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->OperationRunning(); }, 3000));
    const auto messages = host.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, Connection::CancelledText);
    EXPECT_TRUE(W<QPushButton>("BConnect")->isEnabled());
    EXPECT_FALSE(W<QPushButton>("BDisconnect")->isEnabled());
    EXPECT_FALSE(window->Controller().Port().Opened());
    EXPECT_TRUE(W<QLineEdit>("EZero01")->text().isEmpty()) << "nothing of the given-up read-out is shown";

    // The cancel does not outlive its read-out.
    ASSERT_TRUE(Connect());
    EXPECT_EQ(W<QLineEdit>("EZero01")->text(), QString("1.25000"));
    EXPECT_EQ(host.Messages().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(ByButtonOrKey, CancellingAReadOut, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Escape" : "Disconnect"; });

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
