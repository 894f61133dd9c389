// The main window while it works with the line: the progress bar of a
// read-out, the poll boxes, the port lists and the add-device probe, on Qt's
// offscreen platform with the window's own host, against metersim.
#include "WindowFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using workflow_test::Kvt64;

using window_test::Slot;
using window_test::WaitFor;

class Window : public window_test::WindowTest {
protected:
    void Open(const std::vector<json>& meters, std::vector<DeviceSlot> cfg)
    {
        if (!meters.empty()) StartLine(meters);
        WriteSettings();
        ShowWindow();
        if (!cfg.empty()) Configure(cfg);
    }
    bool Connected()
    {
        return WaitFor([&] { return W<QPushButton>("BDisconnect")->isEnabled() && !window->OperationRunning(); });
    }
    bool Disconnected()
    {
        return WaitFor([&] { return W<QPushButton>("BConnect")->isEnabled() && !window->OperationRunning(); });
    }
    int Requests(int meter) { return sim->Dump()["meters"][meter]["requests"].get<int>(); }
};

// --- The progress bar -----------------------------------------------------------------

TEST_F(Window, AReadOutMovesTheBarStepByStep)
{
    Open({Kvt64(1), Kvt64(2)}, {Slot(1, 1, 1), Slot(1, 2, 1)});
    auto* bar = W<QProgressBar>("ProgressBar");
    // Every position the bar shows while its range is the read-out's.
    std::vector<int> shown;
    QObject::connect(bar, &QProgressBar::valueChanged, bar, [&](int v) {
        if (bar->maximum() > 2) shown.push_back(v);
    });
    Click("BConnect");
    ASSERT_TRUE(Connected()) << testing::PrintToString(Messages());
    // A КВТ-64: version, serial number, Gmax and the twenty table values.
    ASSERT_FALSE(shown.empty()) << "the bar never showed the read-out";
    EXPECT_EQ(*std::max_element(shown.begin(), shown.end()), 46);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end())) << testing::PrintToString(shown);
    EXPECT_EQ(std::set<int>(shown.begin(), shown.end()).size(), 46u) << "one step a transaction";
}

TEST_F(Window, APausedPollerLeavesTheBarAlone)
{
    Open({}, {});
    auto* bar = W<QProgressBar>("ProgressBar");
    // What a read-out on the operation thread would show.
    window->HostOfWindow().SetProgress(0, 23, 7);
    int changes = 0;
    QObject::connect(bar, &QProgressBar::valueChanged, bar, [&] { ++changes; });
    QTest::qWait(400);
    EXPECT_EQ(bar->maximum(), 23);
    EXPECT_EQ(bar->value(), 7);
    EXPECT_EQ(changes, 0);
}

// --- The poll boxes ---------------------------------------------------------------------

TEST_F(Window, APollBoxClearedBeforeConnectStaysClearedAndItsMeterUnpolled)
{
    Open({Kvt64(1), Kvt64(2)}, {Slot(1, 1, 1), Slot(1, 2, 1)});
    QTest::mouseClick(W("CBDev02"), Qt::LeftButton);
    ASSERT_FALSE(W<QCheckBox>("CBDev02")->isChecked());
    Click("BConnect");
    ASSERT_TRUE(Connected()) << testing::PrintToString(Messages());
    EXPECT_EQ(W<QLabel>("L2")->text(), QString("12064002\n1")) << "slot 2 was read out";
    EXPECT_FALSE(W<QCheckBox>("CBDev02")->isChecked()) << "the read-out keeps the user's choice";
    EXPECT_TRUE(W<QCheckBox>("CBDev02")->isEnabled());
    EXPECT_TRUE(W<QCheckBox>("CBDev01")->isChecked());
    // Polling runs on slot 1 only.
    const int one = Requests(0), two = Requests(1);
    ASSERT_TRUE(WaitFor([&] { return Requests(0) >= one + 3; }));
    EXPECT_EQ(Requests(1), two) << "slot 2 is not polled";
    // Ticked again, it is polled.
    QTest::mouseClick(W("CBDev02"), Qt::LeftButton);
    EXPECT_TRUE(WaitFor([&] { return Requests(1) > two; }));
}

// --- The port lists -------------------------------------------------------------------

TEST_F(Window, ThePortListsRestWhileAnOperationRunsAndWhileConnected)
{
    // Late replies make the read-out last long enough to look at.
    Open({Kvt64(1, {{"faults", {{"delay_ms", 40}}}})}, {Slot(1, 1, 1)});
    auto* port = W<QComboBox>("CBPort");
    auto* baud = W<QComboBox>("CBBaud");
    auto* status = W<QStatusBar>("StatusBar1");
    const QString path = QString::fromStdString(sim->DevicePath());
    EXPECT_TRUE(port->isEnabled());
    EXPECT_TRUE(baud->isEnabled());
    Click("BConnect");
    ASSERT_TRUE(WaitFor([&] { return window->OperationRunning(); }, 2000));
    EXPECT_FALSE(port->isEnabled()) << "during the read-out";
    EXPECT_FALSE(baud->isEnabled());
    ASSERT_TRUE(Connected()) << testing::PrintToString(Messages());
    EXPECT_FALSE(port->isEnabled()) << "while connected";
    EXPECT_FALSE(baud->isEnabled());
    // A change that reaches a list all the same (keyboard, accessibility) is refused.
    port->setCurrentIndex(3);
    baud->setCurrentIndex(1);
    EXPECT_EQ(port->currentIndex(), 0);
    EXPECT_EQ(baud->currentIndex(), 0);
    EXPECT_EQ(window->Controller().PortIndex(), 0);
    EXPECT_EQ(window->Controller().BaudIndex(), 0);
    EXPECT_EQ(port->toolTip(), path) << "the port in use is still named";
    EXPECT_FALSE(status->currentMessage().contains("COM4")) << status->currentMessage().toStdString();
    EXPECT_TRUE(W<QPushButton>("BDisconnect")->isEnabled()) << "polling goes on";

    Click("BDisconnect");
    ASSERT_TRUE(Disconnected());
    EXPECT_TRUE(port->isEnabled());
    EXPECT_TRUE(baud->isEnabled());
    baud->setCurrentIndex(1);
    EXPECT_EQ(window->Controller().BaudIndex(), 1);
    EXPECT_TRUE(Messages().empty()) << testing::PrintToString(Messages());
}

// --- The add-device probe ------------------------------------------------------------

template <class F> void OnModal(F f)
{
    QTimer::singleShot(0, [f] {
        (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
        f(QApplication::activeModalWidget());
    });
}

// The add-device dialog with КВТ-64 at an address chosen, one channel.
void ChooseKvt64(QWidget* dialog, int address)
{
    dialog->findChild<QComboBox*>("CBDevType")->setCurrentIndex(1);
    dialog->findChild<QSpinBox*>("SENetAddr")->setValue(address);
    dialog->findChild<QCheckBox*>("CBG2")->setChecked(false);
}

TEST_F(Window, TheProbeOfASilentAddressLeavesTheWindowResponsive)
{
    Open({Kvt64(1)}, {});
    QtHost& host = window->HostOfWindow();
    // The probe's message answered without a box; a second one, should a
    // second probe run, as well.
    host.SetNextAnswer(MsgAnswer::Ok);
    host.SetNextAnswer(MsgAnswer::Ok);
    int ticks = 0;
    bool toldInStatus = false, toldInDialog = false, okWhileProbing = true;
    size_t messagesAfterProbe = 0;
    OnModal([&](QWidget* dialog) {
        ASSERT_EQ(dialog->objectName(), QString("TDevAddForm"));
        ChooseKvt64(dialog, 9); // nobody answers there
        auto* ok = dialog->findChild<QPushButton*>("BOk");
        // The main thread's clock while the probe runs.
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            ++ticks;
            toldInStatus = toldInStatus || W<QStatusBar>("StatusBar1")->currentMessage().contains("Поиск прибора");
            if (auto* word = dialog->findChild<QLabel*>("LProbe"))
                toldInDialog = toldInDialog || (word->isVisible() && word->text().contains("Поиск прибора"));
        });
        tick.start(10);
        QTest::mouseClick(ok, Qt::LeftButton);
        okWhileProbing = ok->isEnabled();
        QTest::mouseClick(ok, Qt::LeftButton); // a second OK is no second probe
        ASSERT_TRUE(WaitFor([&] { return !host.Messages().empty() && !window->OperationRunning(); }, 30000));
        tick.stop();
        messagesAfterProbe = host.Messages().size();
        EXPECT_TRUE(ok->isEnabled()) << "the dialog takes a new choice";
        QTest::mouseClick(dialog->findChild<QPushButton*>("BCancel"), Qt::LeftButton);
    });
    QTest::mouseClick(W("Img1"), Qt::LeftButton);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_GT(ticks, 5) << "the main thread ran while the probe waited for replies";
    EXPECT_TRUE(toldInStatus);
    EXPECT_TRUE(toldInDialog);
    EXPECT_FALSE(okWhileProbing);
    EXPECT_EQ(messagesAfterProbe, 1u) << testing::PrintToString(Messages());
    EXPECT_FALSE(W<QStatusBar>("StatusBar1")->currentMessage().contains("Поиск")) << "no stale word";
    EXPECT_EQ(W<QLabel>("L1")->text(), QString("-\n-")) << "nothing was added";
    EXPECT_FALSE(window->Controller().Port().Opened());
}

TEST_F(Window, CancelDuringTheProbeGivesItUpAndAddsNothing)
{
    Open({Kvt64(1)}, {});
    window->HostOfWindow().SetNextAnswer(MsgAnswer::Ok); // a message would be answered, not wait
    bool closedItself = false;
    OnModal([&](QWidget* dialog) {
        ChooseKvt64(dialog, 9);
        QTest::mouseClick(dialog->findChild<QPushButton*>("BOk"), Qt::LeftButton);
        QTest::keyClick(dialog, Qt::Key_Escape);
        closedItself = WaitFor([&] { return !dialog->isVisible(); }, 10000);
    });
    QTest::mouseClick(W("Img1"), Qt::LeftButton);
    EXPECT_TRUE(closedItself);
    EXPECT_TRUE(WaitFor([&] { return !window->OperationRunning(); }, 10000));
    EXPECT_TRUE(Messages().empty()) << "a probe given up says nothing: " << testing::PrintToString(Messages());
    EXPECT_EQ(W<QLabel>("L1")->text(), QString("-\n-"));
    EXPECT_FALSE(window->Controller().Port().Opened());
    // The line is usable again at once: the meter that is there is found.
    OnModal([&](QWidget* dialog) {
        ChooseKvt64(dialog, 1);
        QTest::mouseClick(dialog->findChild<QPushButton*>("BOk"), Qt::LeftButton);
    });
    QTest::mouseClick(W("Img1"), Qt::LeftButton);
    EXPECT_EQ(W<QLabel>("L1")->text(), QString("12064001\n1")) << testing::PrintToString(Messages());
}

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
