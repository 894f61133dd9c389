// The main window on Qt's offscreen platform against metersim: controls found
// by their names, clicked as a user would, read back from their texts, colours
// and states.
#include "WindowFixture.h"

#include "InfoFrm.h"
#include "SheetPrint.h"
#include "UlvUtils.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QLineSeries>
#include <QProgressBar>
#include <QSpinBox>
#include <QTimer>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using workflow_test::Kvt64;

using window_test::Slot;
using window_test::WaitFor;

class MainWindow : public window_test::WindowTest {
protected:
    void Open(const std::vector<json>& meters, std::vector<DeviceSlot> cfg)
    {
        if (!meters.empty()) StartLine(meters);
        WriteSettings();
        ShowWindow();
        if (!cfg.empty()) Configure(cfg);
    }
    QString Text(const char* box) { return W<QLineEdit>(box)->text(); }
    QColor Colour(const char* box) { return W<QLineEdit>(box)->palette().color(QPalette::Base); }
    bool Connect()
    {
        Click("BConnect");
        return WaitFor([&] { return W<QPushButton>("BDisconnect")->isEnabled() && !window->OperationRunning(); });
    }
};

const QColor LightGreen(0xC0, 0xDC, 0xC0);
const QColor Grey(0x80, 0x80, 0x80);
const QColor MediumGrey(0xA0, 0xA0, 0xA4);

TEST_F(MainWindow, StartsWithTwoEmptySlotsAndTheStoredSettings)
{
    {
        std::ofstream ini(folders.SettingsFile, std::ios::binary);
        ini << "[Settings]\r\nPort=3\r\nBaud=1\r\n[Ports]\r\nCOM3=/dev/ttyUSB7\r\n";
    }
    window = std::make_unique<TMainFrm>(folders);
    window->show();
    EXPECT_EQ(window->windowTitle(), QString("Просмотр коэф-тов калибровки 1.32"));
    EXPECT_EQ(window->size(), QSize(305, 542));
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "fixed size";
    EXPECT_EQ(W<QComboBox>("CBPort")->currentText(), QString("COM3"));
    // COM1..COM16 first; the serial devices of this computer may follow.
    ASSERT_GE(W<QComboBox>("CBPort")->count(), 16);
    EXPECT_EQ(W<QComboBox>("CBPort")->itemText(15), QString("COM16"));
    EXPECT_EQ(W<QComboBox>("CBPort")->toolTip(), QString("/dev/ttyUSB7")) << "the device COM3 stands for";
    EXPECT_TRUE(W<QStatusBar>("StatusBar1")->currentMessage().contains("/dev/ttyUSB7"));
    EXPECT_EQ(W<QComboBox>("CBBaud")->currentText(), QString("19200"));
    EXPECT_TRUE(W<QPushButton>("BConnect")->isEnabled());
    EXPECT_FALSE(W<QPushButton>("BDisconnect")->isEnabled());
    for (const char* l : {"L1", "L2"}) EXPECT_EQ(W<QLabel>(l)->text(), QString("-\n-"));
    for (const char* b : {"EG01", "EZero01", "EKU01", "EG011", "EG018", "EG02", "EKU02", "EG028"}) {
        EXPECT_FALSE(W<QLineEdit>(b)->isEnabled()) << b;
        EXPECT_EQ(Colour(b), Grey) << b;
        EXPECT_TRUE(Text(b).isEmpty()) << b;
    }
    for (const char* c : {"CBDev01", "CBDev02"}) {
        EXPECT_FALSE(W<QCheckBox>(c)->isEnabled());
        EXPECT_FALSE(W<QCheckBox>(c)->isChecked());
    }
    for (const char* b : {"BLoad01", "BSave01", "BGraph01", "BLoad02", "BSave02", "BGraph02"})
        EXPECT_FALSE(W(b)->isEnabled()) << b;
    // The folders of the program are made at start.
    EXPECT_TRUE(fs::is_directory(folders.Config));
    EXPECT_TRUE(fs::is_directory(fs::path(folders.Saved) / "KVT-64"));
}

TEST_F(MainWindow, ControlsSitWhereTheLayoutPutsThem)
{
    Open({}, {});
    struct Place {
        const char* name;
        QRect rect; // in the window's client coordinates
    };
    // Group origins: top group at (1,0), device group at (1,92).
    const Place places[] = {
        {"CBPort", {65, 12, 75, 21}},      {"CBBaud", {65, 42, 75, 21}},      {"SBLog", {160, 12, 23, 22}},
        {"BDisconnect", {210, 12, 79, 21}}, {"BConnect", {210, 41, 79, 21}},  {"ProgressBar", {11, 70, 278, 12}},
        {"EG01", {161, 206, 56, 19}},      {"EZero02", {236, 230, 56, 19}},   {"EKU01", {161, 254, 56, 19}},
        {"EG011", {161, 278, 56, 19}},     {"EG028", {236, 446, 56, 19}},     {"BLoad01", {164, 472, 23, 22}},
        {"BSave02", {267, 472, 23, 22}}, {"BGraph02", {240, 496, 50, 22}}, {"BLoadConf", {4, 116, 23, 22}},
        {"BSaveConf", {31, 116, 23, 22}},  {"BPrint", {59, 116, 23, 22}},     {"GDev1", {161, 108, 56, 72}},
    };
    for (const auto& p : places) {
        QWidget* w = W(p.name);
        ASSERT_NE(w, nullptr);
        const QRect r(w->mapTo(window.get(), QPoint(0, 0)), w->size());
        EXPECT_EQ(r, p.rect) << p.name;
    }
    // Every caption fits its box at the window's font.
    for (QLabel* l : window->findChildren<QLabel*>()) {
        if (l->text().isEmpty() || l->pixmap().isNull() == false) continue;
        const QFontMetrics fm(l->font());
        for (const QString& line : l->text().split('\n'))
            EXPECT_LE(fm.horizontalAdvance(line), l->width()) << l->objectName().toStdString();
    }
    for (QPushButton* b : window->findChildren<QPushButton*>())
        EXPECT_LE(QFontMetrics(b->font()).horizontalAdvance(b->text()) + 4, b->width()) << b->objectName().toStdString();
}

TEST_F(MainWindow, ConnectReadsOutPollsAndDisconnects)
{
    Open({Kvt64(1), Kvt64(2)}, {Slot(1, 1, 1), Slot(1, 2, 1)});
    EXPECT_EQ(W<QLabel>("L1")->text(), QString("-\n1"));
    EXPECT_TRUE(W<QCheckBox>("CBDev01")->isChecked());
    ASSERT_TRUE(Connect()) << testing::PrintToString(Messages());
    EXPECT_FALSE(W<QPushButton>("BConnect")->isEnabled());
    EXPECT_EQ(W<QLabel>("L1")->text(), QString("12064001\n1"));
    EXPECT_EQ(W<QLabel>("L2")->text(), QString("12064002\n1"));
    // K0 13107 with Gmax 2.5 is shown as K0 · Gmax / 26214.
    EXPECT_EQ(Text("EZero01"), QString("1.25000"));
    EXPECT_EQ(Text("EKU01"), QString("26214.0"));
    EXPECT_EQ(Text("EG011"), QString::fromStdString(FormatValue(6, 0.001f * 2.5f)));
    EXPECT_EQ(Text("EG028"), QString::fromStdString(FormatValue(6, 0.5f * 2.5f)));
    EXPECT_EQ(Colour("EZero01"), LightGreen);
    EXPECT_EQ(Colour("EG028"), LightGreen);

    // Live values arrive in the flow boxes, on the tooltip colour.
    ASSERT_TRUE(WaitFor([&] { return !Text("EG01").isEmpty() && !Text("EG02").isEmpty(); }));
    EXPECT_EQ(Colour("EG01"), TMainFrm::ColourOf(TooltipBackground));

    // A cleared check box stops the slot's polling and greys its box.
    QTest::mouseClick(W("CBDev02"), Qt::LeftButton);
    EXPECT_FALSE(W<QCheckBox>("CBDev02")->isChecked());
    ASSERT_TRUE(WaitFor([&] { return Colour("EG02") == MediumGrey; }));
    const QString kept = Text("EG02");
    const int before = sim->Dump()["meters"][1]["requests"].get<int>();
    QTest::qWait(400);
    EXPECT_EQ(sim->Dump()["meters"][1]["requests"].get<int>(), before) << "slot 2 is not polled";
    EXPECT_EQ(Text("EG02"), kept) << "the text stays";

    Click("BDisconnect");
    ASSERT_TRUE(WaitFor([&] { return W<QPushButton>("BConnect")->isEnabled() && !window->OperationRunning(); }));
    EXPECT_FALSE(W<QPushButton>("BDisconnect")->isEnabled());
    EXPECT_FALSE(window->Controller().Port().Opened());
    EXPECT_EQ(Text("EZero01"), QString("1.25000")) << "the boxes keep their values";
    EXPECT_TRUE(Messages().empty()) << testing::PrintToString(Messages());
}

TEST_F(MainWindow, ALiveBoxTurnsRedWhenItsMeterFallsSilent)
{
    // The read-out and a few cycles first, to count the replies they take.
    Open({Kvt64(1)}, {Slot(1, 1, 1)});
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(WaitFor([&] { return !Text("EG01").isEmpty(); }));
    Click("BDisconnect");
    ASSERT_TRUE(WaitFor([&] { return W<QPushButton>("BConnect")->isEnabled() && !window->OperationRunning(); }));
    int replies = 0;
    for (const auto& line : sim->LogLines()) replies += line.find(" TX ") != std::string::npos;
    window.reset();
    sim.reset();

    Open({Kvt64(1, {{"faults", {{"silent", {{"from", replies + 1}}}}}})}, {Slot(1, 1, 1)});
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(WaitFor([&] { return Colour("EG01") == QColor(0xFF, 0, 0); }));
    EXPECT_TRUE(W<QPushButton>("BDisconnect")->isEnabled()) << "polling goes on";
    EXPECT_TRUE(Messages().empty()) << "a silent meter is no message";
}

TEST_F(MainWindow, ConfigurationFilesAreSavedAndLoadedThroughTheirButtons)
{
    Open({}, {Slot(12, 5, 1), Slot(12, 6, 2)});
    QtHost& host = window->HostOfWindow();
    const std::string saved = (folder / "saved.clb").string();
    host.SetNextFileName(saved);
    Click("BSaveConf");
    EXPECT_EQ(fs::file_size(saved), 116u);
    ASSERT_EQ(host.Dialogs().size(), 1u);
    EXPECT_EQ(host.Dialogs()[0].InitialFolder, folders.Config);
    EXPECT_EQ(host.Dialogs()[0].Filter, "Конфигурация приборов (*.clb)|*.clb|Все файлы (*.*)|*.*");

    // A file with the wrong magic is refused; the slots stay.
    const std::string bad = (folder / "bad.clb").string();
    {
        std::string bytes(116, '\0');
        bytes[0] = '\xCA';
        bytes[3] = '\xCE';
        std::ofstream(bad, std::ios::binary) << bytes;
    }
    host.SetNextFileName(bad);
    host.SetNextAnswer(MsgAnswer::Ok);
    Click("BLoadConf");
    EXPECT_EQ(Messages(), std::vector<std::string>{"Ошибка загрузки файла конфигурации"});
    EXPECT_EQ(W<QLabel>("L2")->text(), QString("-\n2"));

    // Cleared, then loaded again from the saved file.
    host.SetNextAnswer(MsgAnswer::Yes);
    QTest::mouseClick(W("Img1"), Qt::RightButton);
    EXPECT_EQ(W<QLabel>("L1")->text(), QString("-\n-"));
    EXPECT_FALSE(W("BLoad01")->isEnabled());
    host.SetNextFileName(saved);
    Click("BLoadConf");
    EXPECT_EQ(W<QLabel>("L1")->text(), QString("-\n1"));
    EXPECT_EQ(W<QLabel>("L2")->text(), QString("-\n2"));
    EXPECT_EQ(window->Controller().Dev().Slot(2).NetAddress(), 6);
}

TEST_F(MainWindow, RightClickAsksBeforeClearingAndOnlyWhileDisconnected)
{
    Open({Kvt64(1)}, {Slot(1, 1, 1)});
    QtHost& host = window->HostOfWindow();
    host.SetNextAnswer(MsgAnswer::No);
    QTest::mouseClick(W("Img1"), Qt::RightButton);
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0].Text, "Из конфигурации будут убраны оба прибора:\n1: КВТ-64, канал 1, адрес 1\n"
                                       "2: пусто\n\nВы действительно хотите очистить конфигурацию?");
    EXPECT_EQ(host.Messages()[0].Caption, "Внимание");
    EXPECT_EQ(W<QLabel>("L1")->text(), QString("-\n1")) << "No keeps the slots";

    ASSERT_TRUE(Connect());
    QTest::mouseClick(W("Img1"), Qt::RightButton);
    QTest::mouseClick(W("Img1"), Qt::LeftButton);
    EXPECT_EQ(host.Messages().size(), 1u) << "nothing is asked while connected";
    EXPECT_EQ(W<QLabel>("L1")->text(), QString("12064001\n1"));
}

TEST_F(MainWindow, NothingElseRunsWhileAReadOutIsUnderWay)
{
    // Every reply comes late, so the read-out takes seconds; the window paints on.
    Open({Kvt64(1, {{"faults", {{"delay_ms", 60}}}})}, {Slot(1, 1, 1)});
    QtHost& host = window->HostOfWindow();
    Click("BConnect");
    ASSERT_TRUE(WaitFor([&] { return window->OperationRunning(); }, 2000));
    QTest::qWait(100);
    Click("BLoadConf");
    QTest::mouseClick(W("Img1"), Qt::RightButton);
    Click("BSaveConf");
    EXPECT_TRUE(host.Dialogs().empty()) << "no dialog while the port is in use";
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(W<QStatusBar>("StatusBar1")->currentMessage(), QString("Подождите: идёт обмен с прибором"));
    ASSERT_TRUE(Connect());
    EXPECT_EQ(Text("EZero01"), QString("1.25000"));
}

// Closing must end polling, a read-out and an open message of the poller
// without a deadlock; the test's own timeout is the watchdog.
TEST_F(MainWindow, ClosingWhilePollingEndsEverything)
{
    Open({Kvt64(1), Kvt64(2)}, {Slot(1, 1, 1), Slot(1, 2, 1)});
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(WaitFor([&] { return !Text("EG02").isEmpty(); }));
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->Controller().Port().Opened());
    EXPECT_EQ(window->Controller().Poller(), nullptr);
    std::ifstream ini(folders.SettingsFile);
    std::string text((std::istreambuf_iterator<char>(ini)), {});
    EXPECT_NE(text.find("NB=50"), std::string::npos) << "the settings file is intact";
}

TEST_F(MainWindow, ClosingInTheMiddleOfAReadOutGivesItUp)
{
    Open({Kvt64(1, {{"faults", {{"delay_ms", 100}}}})}, {Slot(1, 1, 1)});
    Click("BConnect");
    ASSERT_TRUE(WaitFor([&] { return window->OperationRunning(); }, 2000));
    QTest::qWait(300);
    window->close();
    ASSERT_TRUE(WaitFor([&] { return !window->isVisible(); }, 5000));
    EXPECT_FALSE(window->OperationRunning());
    EXPECT_FALSE(window->Controller().Port().Opened());
}

TEST_F(MainWindow, ClosingWhileThePortLostMessageIsUp)
{
    Open({Kvt64(1)}, {Slot(1, 1, 1)});
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(WaitFor([&] { return !Text("EG01").isEmpty(); }));
    // The message box runs its own loop; a timer reaches into it, as the
    // tray's Exit would while the message is up.
    QString shown;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            watch.stop();
            window->Exit1Click();
        }
    });
    watch.start(20);
    sim->Unplug();
    ASSERT_TRUE(WaitFor([&] { return !window->isVisible(); }, 10000));
    EXPECT_TRUE(shown.contains("потеряна")) << shown.toStdString();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(window->Controller().Poller(), nullptr);
}

// Runs f on the next modal dialog once it is up (the dialog's exec() blocks the test).
template <class F> void OnModal(F f)
{
    QTimer::singleShot(0, [f] {
        (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
        f(QApplication::activeModalWidget());
    });
}

TEST_F(MainWindow, AMeterIsAddedThroughThePictureOfAnEmptySlot)
{
    Open({Kvt64(1), Kvt64(2)}, {});
    OnModal([](QWidget* dialog) {
        ASSERT_EQ(dialog->objectName(), QString("TDevAddForm"));
        dialog->findChild<QComboBox*>("CBDevType")->setCurrentIndex(1); // КВТ-64
        dialog->findChild<QSpinBox*>("SENetAddr")->setValue(2);
        dialog->findChild<QCheckBox*>("CBG2")->setChecked(false);
        QTest::mouseClick(dialog->findChild<QPushButton*>("BOk"), Qt::LeftButton);
    });
    QTest::mouseClick(W("Img2"), Qt::LeftButton);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    // The meter lands in the first free slot, with the serial number the probe read.
    EXPECT_EQ(W<QLabel>("L1")->text(), QString("12064002\n1"));
    EXPECT_EQ(W<QLabel>("L2")->text(), QString("-\n-"));
    EXPECT_TRUE(W<QCheckBox>("CBDev01")->isChecked());
    EXPECT_EQ(Colour("EZero01"), LightGreen);
    EXPECT_FALSE(window->Controller().Port().Opened()) << "the probe closes the port again";
    // The dialog closes as the probe reports; the operation ends a moment after.
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window->OperationRunning(); }, 5000));

    // Its picture now opens the selection dialog; "Нет" empties the slot.
    OnModal([](QWidget* dialog) {
        ASSERT_EQ(dialog->objectName(), QString("TDevSelForm"));
        dialog->findChild<QComboBox*>("CBDevType")->setCurrentIndex(0);
        QTest::mouseClick(dialog->findChild<QPushButton*>("BOk"), Qt::LeftButton);
    });
    QTest::mouseClick(W("Img1"), Qt::LeftButton);
    EXPECT_EQ(W<QLabel>("L1")->text(), QString("-\n-"));
    EXPECT_EQ(Colour("EZero01"), Grey);
}

TEST_F(MainWindow, AnOperationsEndStillOnItsWayAsTheWindowGoesIsDropped)
{
    // An operation's end is posted from its thread; the window may be gone
    // before it is delivered (closed just as a probe reported).
    Open({Kvt64(1)}, {});
    emit window->OperationFinished();
    window.reset();
    SUCCEED() << "the window went without handling it against a controller already gone";
}

TEST_F(MainWindow, TheTimeoutsButtonOpensItsDialogUnlessShiftIsHeld)
{
    Open({}, {});
    QTest::mouseClick(W("SBLog"), Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "Shift-click opens nothing";

    OnModal([](QWidget* dialog) {
        ASSERT_EQ(dialog->windowTitle(), QString("Задержки"));
        dialog->findChild<QSpinBox*>("Edit3")->setValue(120);
        QTest::mouseClick(dialog->findChild<QPushButton*>("BOk"), Qt::LeftButton);
    });
    QTest::mouseClick(W("SBLog"), Qt::LeftButton);
    EXPECT_EQ(window->Controller().Timeouts().ByteTimeout, 120);
    std::ifstream ini(folders.SettingsFile);
    std::string text((std::istreambuf_iterator<char>(ini)), {});
    EXPECT_NE(text.find("NB=120"), std::string::npos);
}

TEST_F(MainWindow, CurveAndSheetButtonsWorkOnTheReadOutSlots)
{
    Open({Kvt64(1)}, {Slot(1, 1, 1)});
    ASSERT_TRUE(Connect());
    OnModal([](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), QString("Кривая калибровки "));
        auto* info = qobject_cast<TInfoForm*>(dialog);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->CurveSlot, 1);
        EXPECT_EQ(info->Series1->count(), 8);
        info->reject();
    });
    Click("BGraph01");

    const std::string pdf = (folder / "sheet.pdf").string();
    SetNextPrintDialogAnswer(PrintDialogAnswer{true, pdf});
    Click("BPrint");
    EXPECT_FALSE(PrintDialogAnswerPending());
    EXPECT_TRUE(fs::exists(pdf));
}

TEST_F(MainWindow, HelpNamesAMissingFile)
{
    Open({}, {});
    window->HostOfWindow().SetNextAnswer(MsgAnswer::Ok);
    QTest::keyClick(window.get(), Qt::Key_F1);
    const auto m = Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_NE(m[0].find(".html"), std::string::npos) << m[0];
}

} // namespace

int main(int argc, char** argv)
{
    // Offscreen unless a display is asked for (also when the tests are only listed).
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setStyle("Fusion");
    QFont font = QApplication::font();
    font.setPointSize(8);
    QApplication::setFont(font);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
