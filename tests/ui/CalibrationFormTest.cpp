// The calibration window on Qt's offscreen platform against metersim's flow
// stand: a meter with an error curve of several per cent and a reference on
// the same line, the true flow stepping through the meter's points. A whole
// session through the window's buttons ends "годен" and its certificate goes
// where the print dialog says (a print queue of a CUPS server of the test's
// own, a PDF file, nowhere); closing the window in the middle of a pass stops
// it and leaves the meter as it was. The reference may also be on a second
// simulated line of the same stand (a simulator of its own on the same
// schedule and epoch) or typed in by hand.
//
// CLB_SCREENSHOT_DIR, when set, receives pictures of the window mid-run and
// at the end.
#include "WindowFixture.h"

#include "CalibrationForm.h"
#include "CertificateLayout.h"
#include "InfoFrm.h"
#include "ManualReferenceDialog.h"
#include "PdfWords.h"
#include "PrintQueue.h"
#include "SheetPrint.h"
#include "TestFiles.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QLineSeries>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

using window_test::Slot;
using window_test::WaitFor;

constexpr double Gmax = 10.0;
const std::vector<double> Points = {0.05, 0.1, 0.2, 0.3, 0.5, 0.7, 0.85, 1.0};

// The stand's clock starts at the same moment on every line of a test.
double Epoch()
{
    using namespace std::chrono;
    static const double epoch = std::floor(duration<double>(system_clock::now().time_since_epoch()).count());
    return epoch;
}

json Stand()
{
    json table = {0.0, 1.0};
    json schedule = json::array();
    for (double p : Points) {
        table.push_back(p);
        schedule.push_back({{"flow", p * Gmax}, {"hold_s", 2.0}, {"noise_pct", 0.1}});
    }
    json meter = {{"address", 3}, {"protocol", "6x"}, {"model", "kvt78"}, {"gmax", {Gmax, Gmax}}};
    meter["tables"] = {{"1", {{"K", table}, {"Obr", table}}}};
    meter["stand"] = {{"error", {{0.05, 4.0}, {0.5, 2.5}, {1.0, -1.5}}}, {"noise_pct", 0.05}};
    json reference = {{"address", 4}, {"protocol", "6x"}, {"model", "kvt78"}, {"gmax", {Gmax, Gmax}}};
    reference["stand"] = {{"reference", true}, {"error_pct", 0.0}, {"noise_pct", 0.02}};
    return {{"line",
             {{"seed", 7},
              {"stand", {{"schedule", schedule}, {"cycle", true}, {"ramp_s", 0.3}, {"epoch", Epoch()}}}}},
            {"meters", {meter, reference}}};
}

// A second line of the same stand: a reference alone, at the address the
// meter under test has on its own line.
json SecondLine()
{
    json line = Stand();
    json reference = line["meters"][1];
    reference["address"] = 3;
    line["meters"] = json::array({reference});
    return line;
}

class CalibrationWindow : public window_test::WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        sim = std::make_unique<MeterSimProcess>(Stand());
        WriteSettings();
        // COM2: the second line of the stand, when the test has one.
        if (second) std::ofstream(folders.SettingsFile, std::ios::app) << "COM2=" << second->DevicePath() << "\r\n";
        ShowWindow();
        Configure({Slot(6, 3, 1)});
        Click("BConnect");
        ASSERT_TRUE(WaitFor([&] { return W<QPushButton>("BDisconnect")->isEnabled() && !window->OperationRunning(); }))
            << testing::PrintToString(Messages());
    }

    TCalibrationForm* Open()
    {
        // The entry of the calibration button's menu.
        auto* action = window->findChild<QAction*>("Calibrate1");
        EXPECT_NE(action, nullptr);
        if (action) action->trigger();
        form = window->CalibrationWindow(1);
        EXPECT_NE(form, nullptr);
        return form;
    }
    template <class T = QWidget> T* F(const char* name)
    {
        T* w = form->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void Set(const char* name, const char* text) { F<QLineEdit>(name)->setText(text); }
    // The reference's port by the text of its entry.
    void ChoosePort(const char* text)
    {
        auto* list = F<QComboBox>("CBReferencePort");
        const int i = list->findText(text);
        ASSERT_GE(i, 0) << text;
        list->setCurrentIndex(i);
    }
    // A pass short enough for a test.
    void ShortGate()
    {
        Set("ESettle", "0.2");
        Set("EWindow", "1");
        Set("ECv", "2");
        Set("ETimeout", "60");
    }
    void Press(const char* name)
    {
        ASSERT_TRUE(F<QPushButton>(name)->isEnabled()) << name;
        QTest::mouseClick(F<QPushButton>(name), Qt::LeftButton);
    }
    QString Cell(int row, int col)
    {
        QTableWidgetItem* item = F<QTableWidget>("TPoints")->item(row, col);
        return item ? item->text() : QString();
    }
    void Shot(const char* name) { Shot(form, name); }
    static void Shot(QWidget* w, const char* name)
    {
        const QByteArray dir = qgetenv("CLB_SCREENSHOT_DIR");
        if (!dir.isEmpty()) w->grab().save(QString::fromUtf8(dir) + "/" + name + ".png");
    }
    bool StageIs(CalibrationStage s, int ms)
    {
        return WaitFor([&] { return form->Session().Stage() == s && !window->OperationRunning(); }, ms);
    }

    QPointer<TCalibrationForm> form;
    std::unique_ptr<MeterSimProcess> second;
};

class CalibrationWindowTwoLines : public CalibrationWindow {
protected:
    void SetUp() override
    {
        second = std::make_unique<MeterSimProcess>(SecondLine());
        CalibrationWindow::SetUp();
    }
    void TearDown() override
    {
        CalibrationWindow::TearDown();
        second.reset();
    }
};

TEST_F(CalibrationWindow, SessionThroughTheButtonsEndsGodenAndTheMeterReadsTheTrueFlow)
{
    // A print queue for the certificate, when this machine can have one.
    std::string skipQueue, brokenQueue;
    CupsServer::Check(skipQueue, brokenQueue);
    std::unique_ptr<CupsServer> cups;
    if (skipQueue.empty() && brokenQueue.empty()) try {
            cups = std::make_unique<CupsServer>();
        } catch (const std::exception& e) {
            brokenQueue = e.what();
        }
    EXPECT_TRUE(brokenQueue.empty()) << brokenQueue;
    // The certificate as the window makes it, with its number and date fixed,
    // so that the page printed into a file and the page out of the queue are
    // the same page.
    const std::string number = "20261211-TEST-101500";
    window->SetCertificateWriter([number](const CalibrationResult& r, const DeviceSlot& meter) {
        CertificateDetails d = CertificateDetailsNow(meter, SheetFooter{});
        d.Number = number;
        d.Date = "11.12.2026";
        return LayoutCertificate(r, meter, d);
    });
    ASSERT_TRUE(Open());
    EXPECT_TRUE(F<QPushButton>("BStart")->isEnabled());
    EXPECT_FALSE(F<QPushButton>("BWrite")->isEnabled());
    Set("EReference", "6:4:1");
    Set("ESettle", "0.2");
    Set("EWindow", "1");
    Set("ECv", "2");
    Set("ETimeout", "60");
    Press("BStart");
    // The window shows the pass once its queued progress has come.
    ASSERT_TRUE(WaitFor([&] { return F<QPushButton>("BStop")->isEnabled(); }, 5000));
    EXPECT_EQ(form->Session().Stage(), CalibrationStage::Measuring);
    // The main window's own operations wait while the run has the port.
    EXPECT_TRUE(window->OperationRunning());
    EXPECT_FALSE(F<QPushButton>("BStart")->isEnabled());
    EXPECT_TRUE(F<QPushButton>("BStop")->isEnabled());
    EXPECT_TRUE(F<QPushButton>("BSkip")->isEnabled());
    // Mid-run: the window paints the trend and the mark while the pass goes on.
    ASSERT_TRUE(WaitFor([&] { return !Cell(2, 3).isEmpty(); }, 60000)) << form->Session().Message();
    const QString mark = F<QLabel>("LMark")->text();
    EXPECT_TRUE(mark == "нет точки" || mark == "установление" || mark == "стабильно") << mark.toStdString();
    EXPECT_FALSE(form->Session().Trend().Meter.empty());
    Shot("calibration-mid-run");

    ASSERT_TRUE(StageIs(CalibrationStage::TableMade, 90000)) << form->Session().Message();
    // The as-found error of the curve: +4 % at the low end.
    EXPECT_NEAR(Cell(0, 3).replace(',', '.').toDouble(), 4.0, 0.3);
    EXPECT_FALSE(Cell(0, 4).isEmpty()) << "the new K";
    EXPECT_TRUE(F<QPushButton>("BWrite")->isEnabled());
    EXPECT_FALSE(F<QPushButton>("BVerify")->isEnabled());

    // The guarded write asks first.
    window->HostOfWindow().SetNextAnswer(MsgAnswer::Yes);
    Press("BWrite");
    ASSERT_TRUE(StageIs(CalibrationStage::Written, 30000)) << form->Session().Message();
    EXPECT_FALSE(form->Session().Snapshot().BackupPath.empty());
    Press("BVerify");
    ASSERT_TRUE(StageIs(CalibrationStage::Done, 90000)) << form->Session().Message();
    Shot("calibration-done");

    const CalibrationResult r = form->Session().Snapshot();
    EXPECT_TRUE(r.MeterPassed);
    ASSERT_EQ(F<QTableWidget>("TPoints")->rowCount(), static_cast<int>(Points.size()));
    for (int i = 0; i < static_cast<int>(Points.size()); ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(Cell(i, 9), "годен");
        EXPECT_LT(std::fabs(Cell(i, 6).replace(',', '.').toDouble()), 0.3) << "error as left";
        // The meter's corrected flow at the point is the reference's.
        ASSERT_TRUE(r.Points[static_cast<std::size_t>(i)].AsLeft);
        const PassPoint& left = *r.Points[static_cast<std::size_t>(i)].AsLeft;
        EXPECT_NEAR(left.Meter.Stats.Mean, left.Reference.Stats.Mean, left.Reference.Stats.Mean * 0.003);
    }
    // The certificate of the run: the print dialog cancelled changes nothing
    // and says nothing.
    EXPECT_TRUE(F<QPushButton>("BPrint")->isEnabled());
    TempFolder out("clb-certificate-");
    const std::size_t told = Messages().size();
    SetNextPrintDialogAnswer(PrintDialogAnswer{false, out / "cancelled.pdf", {}});
    Press("BPrint");
    EXPECT_FALSE(PrintDialogAnswerPending());
    EXPECT_EQ(Messages().size(), told) << Messages().back();
    EXPECT_TRUE(out.Names().empty());
    // Into the file of the dialog's print-to-file: the certificate of this meter.
    SetNextPrintDialogAnswer(PrintDialogAnswer{true, out / "certificate.pdf", {}});
    Press("BPrint");
    EXPECT_EQ(Messages().size(), told) << (Messages().empty() ? std::string() : Messages().back());
    const std::vector<PaperWord> words = ReadPaperWords(out.Path() / "certificate.pdf");
    std::string text;
    for (const PaperWord& w : words) text += w.text + " ";
    const std::string serial = window->Controller().Dev().Slot(1).SerialText();
    for (const std::string& field : {std::string("СВИДЕТЕЛЬСТВО О КАЛИБРОВКЕ"), "№ " + number, "зав. № " + serial,
                                     std::string("Заключение: прибор годен")})
        EXPECT_NE(text.find(field), std::string::npos) << field << " not in: " << text;
    // A printer that is not there is told, naming it.
    window->HostOfWindow().SetNextAnswer(MsgAnswer::Ok);
    SetNextPrintDialogAnswer(PrintDialogAnswer{true, {}, "clbnosuchqueue"});
    Press("BPrint");
    ASSERT_EQ(Messages().size(), told + 1);
    EXPECT_EQ(Messages().back(), "Ошибка печати: принтер clbnosuchqueue не найден");
    // On the queue: the same page comes out, the ink of every word above the
    // chart at its place (the chart's thin rules are drawn otherwise by the
    // queue's renderer, and their ink shifts the boxes of the words beside them).
    if (cups) {
        const auto chart = std::find_if(words.begin(), words.end(), [](const PaperWord& w) { return w.text == "Погрешность"; });
        ASSERT_NE(chart, words.end());
        std::vector<PaperWord> above;
        for (const PaperWord& w : words)
            if (w.box.bottom < chart->box.top) above.push_back(w);
        ASSERT_GT(above.size(), 100u);
        SetNextPrintDialogAnswer(PrintDialogAnswer{true, {}, cups->Queue()});
        Press("BPrint");
        EXPECT_EQ(Messages().size(), told + 1) << Messages().back();
        const fs::path queued = cups->WaitForOutput();
        ASSERT_FALSE(queued.empty());
        EXPECT_EQ(PdfPageCount(queued), 1);
        ExpectSameInk(out.Path() / "certificate.pdf", queued, above, 1);
    }
    // The curve window of the slot (modal) shows the run's errors as found and as left.
    auto* curve = window->findChild<QToolButton*>("BGraph01");
    ASSERT_NE(curve, nullptr);
    TInfoForm* info = nullptr;
    for (QWidget* w : window->findChildren<QWidget*>())
        if (!info) info = dynamic_cast<TInfoForm*>(w);
    ASSERT_NE(info, nullptr);
    int found = -1, left = -1;
    double firstFound = 0;
    QTimer::singleShot(300, info, [&] {
        found = info->AsFoundSeries->count();
        left = info->AsLeftSeries->count();
        if (found > 0) firstFound = info->AsFoundSeries->at(0).y();
        info->reject();
    });
    curve->click();
    EXPECT_EQ(found, static_cast<int>(Points.size()));
    EXPECT_EQ(left, static_cast<int>(Points.size()));
    EXPECT_NEAR(firstFound, 4.0, 0.3);
}

TEST_F(CalibrationWindow, ClosingMidPassStopsTheRunAndChangesNothing)
{
    ASSERT_TRUE(Open());
    Set("EReference", "6:4:1");
    Set("ESettle", "0.2");
    Set("EWindow", "1");
    Set("ECv", "2");
    const json before = sim->Dump()["meters"][0];
    Press("BStart");
    ASSERT_TRUE(WaitFor([&] { return !form->Session().Trend().Meter.empty(); }, 10000));
    form->close();
    // The operation ends within a few samples, the main window polls again.
    EXPECT_TRUE(WaitFor([&] { return !window->OperationRunning(); }, 5000));
    EXPECT_TRUE(WaitFor([&] { return form.isNull(); }, 2000)) << "the window is gone";
    EXPECT_EQ(sim->Dump()["meters"][0]["tables"], before["tables"]);
    EXPECT_EQ(window->findChild<QWidget*>("BConnect")->isEnabled(), false) << "still connected";
}

// The window names its own controls in its refusals, never the command line's options.
TEST_F(CalibrationWindow, ReferenceRefusalsNameTheWindowsControlsBeforeAnythingRuns)
{
    ASSERT_TRUE(Open());
    Shot("calibration-open");
    const struct {
        const char* reference;
        const char* port;
        std::vector<std::string> words;
    } cases[] = {
        {"6:3", "(та же линия)", {"по тому же адресу (3)", "другой порт (список «Порт образцового»)"}},
        {"6:4", "COM1", {"Порт образцового прибора COM1 — это порт поверяемого прибора", "(та же линия)"}},
        {"manual", "COM2", {"вводится вручную, порт ему не нужен"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.reference) + " " + c.port);
        Set("EReference", c.reference);
        ChoosePort(c.port);
        const std::size_t told = Messages().size();
        window->HostOfWindow().SetNextAnswer(MsgAnswer::Ok);
        Press("BStart");
        EXPECT_FALSE(window->OperationRunning());
        ASSERT_EQ(Messages().size(), told + 1);
        for (const std::string& w : c.words) EXPECT_NE(Messages().back().find(w), std::string::npos) << Messages().back();
        EXPECT_EQ(Messages().back().find("--reference-port"), std::string::npos);
        EXPECT_EQ(form->Session().Stage(), CalibrationStage::Idle);
    }
}

// The reference's port list follows the main window's as adapters come and
// go; a chosen adapter that went stays chosen, marked as absent.
TEST_F(CalibrationWindow, ReferencePortListFollowsTheAdapters)
{
    ASSERT_TRUE(Open());
    SerialPortEntry adapter;
    adapter.Path = "/dev/serial/by-id/usb-Stand_Reference-if00";
    adapter.Device = "/dev/ttyUSB9";
    adapter.Display = "ttyUSB9: Stand Reference";
    window->Controller().FillPorts({adapter});
    form->FillReferencePorts();
    auto* list = F<QComboBox>("CBReferencePort");
    ChoosePort("ttyUSB9: Stand Reference");
    window->Controller().FillPorts({});
    form->FillReferencePorts();
    EXPECT_EQ(list->currentText(), QString::fromStdString(adapter.Path + " (нет)"));
    EXPECT_EQ(list->currentData().toString(), QString::fromStdString(adapter.Path));
    window->Controller().FillPorts({adapter});
    form->FillReferencePorts();
    EXPECT_EQ(list->currentText(), "ttyUSB9: Stand Reference");
    EXPECT_EQ(list->findText(QString::fromStdString(adapter.Path + " (нет)")), -1);
}

// The reference on a second adapter: the meter's own address there is another
// meter, read on its own line, and the as-found pass takes every point
// against the stand's true flow.
TEST_F(CalibrationWindowTwoLines, ReferenceOnASecondLineGivesTheAsFoundPass)
{
    ASSERT_TRUE(Open());
    auto* list = F<QComboBox>("CBReferencePort");
    EXPECT_EQ(list->itemText(0), "(та же линия)");
    Set("EReference", "6:3:1");
    ChoosePort("COM2");
    ShortGate();
    Press("BStart");
    ASSERT_TRUE(WaitFor([&] { return !Cell(2, 3).isEmpty(); }, 60000)) << form->Session().Message();
    Shot("calibration-second-line");
    ASSERT_TRUE(StageIs(CalibrationStage::TableMade, 90000)) << form->Session().Message();
    const CalibrationResult r = form->Session().Snapshot();
    EXPECT_NE(r.ReferenceDescription.find("адрес 3"), std::string::npos) << r.ReferenceDescription;
    ASSERT_EQ(r.Points.size(), Points.size());
    for (const CalibrationPoint& p : r.Points) {
        SCOPED_TRACE(p.Target);
        ASSERT_TRUE(p.AsFound);
        EXPECT_NEAR(p.AsFound->Reference.Stats.Mean, p.Target, p.Target * 0.05);
    }
    // The error curve the meter's line holds, against the other line's flow.
    EXPECT_NEAR(Cell(0, 3).replace(',', '.').toDouble(), 4.0, 0.3);
    EXPECT_GT(second->Dump()["meters"][0]["stand"]["reads"].get<int>(), 0);
    EXPECT_EQ(sim->Dump()["meters"][1]["stand"]["reads"].get<int>(), 0) << "nothing read the same line's reference";
}

// A reference typed in by hand as a volume and a time: a figure that gives no
// flow is refused in the dialog, the point gets volume / time as its
// reference, and a cancel stops the run with nothing written.
TEST_F(CalibrationWindow, ManualReferenceByVolumeAndTime)
{
    ASSERT_TRUE(Open());
    Set("EReference", "manual");
    ShortGate();
    const json before = sim->Dump()["meters"][0];
    int asked = 0;
    QString refused, shown, where;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<TManualReferenceDialog*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible()) return;
        auto* result = dialog->findChild<QLabel*>("LResult");
        if (++asked > 1) {
            QTest::mouseClick(dialog->findChild<QPushButton*>("BCancel"), Qt::LeftButton);
            return;
        }
        where = dialog->findChild<QLabel*>("LPoint")->text();
        dialog->findChild<QRadioButton*>("RBVolume")->click();
        dialog->findChild<QLineEdit*>("EVolume")->setText("0,1");
        dialog->findChild<QLineEdit*>("ESeconds")->setText("0");
        QTest::mouseClick(dialog->findChild<QPushButton*>("BOk"), Qt::LeftButton);
        refused = dialog->isVisible() ? result->text() : QString("closed");
        Shot(dialog, "manual-reference-refused");
        dialog->findChild<QLineEdit*>("ESeconds")->setText("720");
        shown = result->text();
        Shot(dialog, "manual-reference");
        QTest::mouseClick(dialog->findChild<QPushButton*>("BOk"), Qt::LeftButton);
    });
    answer.start(50);
    Press("BStart");
    ASSERT_TRUE(WaitFor([&] { return asked >= 2 && form->Session().Stage() == CalibrationStage::Idle &&
                                     !window->OperationRunning(); },
                        60000))
        << form->Session().Message();
    answer.stop();
    EXPECT_TRUE(where.startsWith("Точка 1: цель 0,5")) << where.toStdString();
    EXPECT_TRUE(refused.contains("Время")) << refused.toStdString();
    EXPECT_EQ(shown, "Образцовый расход: 0,5");
    const CalibrationResult r = form->Session().Snapshot();
    EXPECT_EQ(r.Outcome, RunOutcome::Stopped);
    ASSERT_TRUE(r.Points.at(0).AsFound);
    const SampleSeries& ref = r.Points[0].AsFound->Reference;
    EXPECT_EQ(ref.Stats.N, 1u);
    EXPECT_DOUBLE_EQ(ref.Stats.Mean, 0.1 / 720 * 3600);
    EXPECT_FALSE(r.Points.at(1).AsFound);
    EXPECT_EQ(sim->Dump()["meters"][0]["tables"], before["tables"]);
}

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
