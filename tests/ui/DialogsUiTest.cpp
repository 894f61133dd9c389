// The device dialogs and the timeouts dialog as windows (offscreen): controls
// found by their names, driven as a user would, against a simulated meter and
// a real settings file. Message boxes are answered by the test host.
//
// With CLB_DIALOG_SHOTS set to a folder, the look test also saves a picture of
// each dialog there.
#include "DelaysForm.h"
#include "DevAdd.h"
#include "DevSel.h"
#include "DialogTestHost.h"
#include "MeterSimProcess.h"
#include "TestFiles.h"
#include "UlvComPort.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

template <class T> T* Find(QWidget& form, const char* name)
{
    T* w = form.findChild<T*>(QString::fromLatin1(name));
    if (!w) throw std::runtime_error(std::string("no control ") + name);
    return w;
}

std::string Text(const QString& s)
{
    return s.toStdString();
}

void Click(QWidget& form, const char* name)
{
    QTest::mouseClick(Find<QPushButton>(form, name), Qt::LeftButton);
}

// --- Add-device dialog -------------------------------------------------------------

class AddDeviceForm : public ::testing::Test {
protected:
    void Start(json meters)
    {
        sim = std::make_unique<MeterSimProcess>(json{{"meters", meters}});
        choice = {0, sim->DevicePath(), 9600, {}};
    }
    std::unique_ptr<MeterSimProcess> sim;
    DevManager dev;
    TulvComPort port;
    DialogTestHost host;
    PortChoice choice;
    TDevAddForm form{nullptr, dev, port, host, [this] { return choice; }};
};

TEST_F(AddDeviceForm, AddsBothChannelsOfAMeterOnTheLine)
{
    Start({{{"address", 3}, {"protocol", "6x"}, {"model", "kvt64"}, {"factory_number", 12064003}}});
    // The user's part runs inside the modal loop; a guard ends the loop should OK fail to.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &form, &QDialog::reject);
    guard.start(20000);
    QTimer::singleShot(0, &form, [this] {
        auto* type = Find<QComboBox>(form, "CBDevType");
        EXPECT_EQ(type->currentIndex(), 0);
        EXPECT_FALSE(Find<QCheckBox>(form, "CBG1")->isEnabled());
        type->setCurrentIndex(1);
        EXPECT_EQ(Text(type->currentText()), "КВТ-64");
        EXPECT_TRUE(Find<QCheckBox>(form, "CBG1")->isEnabled());
        EXPECT_TRUE(Find<QCheckBox>(form, "CBG2")->isChecked());
        EXPECT_EQ(Text(Find<QLabel>(form, "lbl_adr_caption")->text()), "Сетевой адрес");
        auto* address = Find<QSpinBox>(form, "SENetAddr");
        EXPECT_TRUE(address->isVisibleTo(&form));
        address->setFocus();
        address->selectAll();
        QTest::keyClicks(address, "3");
        Click(form, "BOk");
    });
    EXPECT_EQ(form.exec(), QDialog::Accepted);
    EXPECT_TRUE(host.Boxes.empty()) << host.Boxes[0].Text;
    EXPECT_EQ(dev.Slot(1).TypeCode(), 1);
    EXPECT_EQ(dev.Slot(1).NetAddress(), 3);
    EXPECT_EQ(dev.Slot(1).Channel(), 1);
    EXPECT_EQ(dev.Slot(2).Channel(), 2);
    EXPECT_EQ(dev.Slot(2).SerialText(), "12064003");
    EXPECT_FALSE(port.Opened());
}

TEST_F(AddDeviceForm, ShowsTheRelayFieldsAndStaysOpenOnARefusal)
{
    Start(json::array());
    form.show();
    auto* type = Find<QComboBox>(form, "CBDevType");
    type->setCurrentIndex(15);
    EXPECT_FALSE(Find<QSpinBox>(form, "SENetAddr")->isVisible());
    EXPECT_TRUE(Find<QSpinBox>(form, "ESerialNumber")->isVisible());
    EXPECT_EQ(Text(Find<QLabel>(form, "lbl_adr_caption")->text()), "Серийный номер");
    EXPECT_EQ(Text(Find<QCheckBox>(form, "CBG1")->text()), "Прямой");
    EXPECT_EQ(Text(Find<QCheckBox>(form, "CBG2")->text()), "Реверсивный");
    QTest::mouseClick(Find<QCheckBox>(form, "CBG2"), Qt::LeftButton);
    EXPECT_FALSE(form.Logic().State().G2.Checked) << "the click reached the dialog's state";

    type->setCurrentIndex(0);
    Click(form, "BOk");
    EXPECT_TRUE(form.isVisible()) << "no type chosen: the dialog stays";
    EXPECT_EQ(host.Texts(), std::vector<std::string>{"Выберите прибор из списка."});
    EXPECT_EQ(host.Boxes[0].Icon, MsgIcon::Warning);

    // Escape closes without a change; showing it again starts from "Нет" with the marks kept.
    type->setCurrentIndex(14);
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), QDialog::Rejected);
    EXPECT_EQ(dev.Slot(1).TypeCode(), 0);
    form.show();
    EXPECT_EQ(type->currentIndex(), 0);
    EXPECT_TRUE(Find<QCheckBox>(form, "CBG1")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>(form, "CBG2")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>(form, "CBG2")->isEnabled());
    EXPECT_EQ(Text(Find<QCheckBox>(form, "CBG1")->text()), "Канал G1");
    form.hide();
}

// --- Device selection dialog ---------------------------------------------------------

TEST(DeviceSelectionForm, NoneEmptiesSlotOneAndTheRebuildMovesSlotTwoUp)
{
    DevManager dev;
    dev.Slot(1).SetTypeCode(1);
    dev.Slot(1).SetNetAddress(3);
    dev.Slot(1).SetChannel(2);
    dev.Slot(2).SetTypeCode(12);
    dev.Slot(2).SetNetAddress(5);
    dev.Slot(2).SetChannel(1);
    const DeviceSlot second = dev.Slot(2);
    TDevSelForm form(nullptr, dev);

    form.OpenForSlot(1);
    form.show();
    auto* type = Find<QComboBox>(form, "CBDevType");
    EXPECT_EQ(Text(type->currentText()), "КВТ-64");
    EXPECT_EQ(Find<QSpinBox>(form, "SENetAddr")->value(), 3);
    EXPECT_TRUE(Find<QRadioButton>(form, "RBG2")->isChecked());
    EXPECT_TRUE(Find<QRadioButton>(form, "RBG1")->isEnabled());

    type->setCurrentIndex(0);
    EXPECT_EQ(Text(type->currentText()), "Нет");
    EXPECT_TRUE(Find<QRadioButton>(form, "RBG1")->isChecked());
    EXPECT_FALSE(Find<QRadioButton>(form, "RBG1")->isEnabled());
    Click(form, "BOk");
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(dev.Slot(1).TypeCode(), 0);
    dev.CompactSlots();
    EXPECT_EQ(dev.Slot(1).Bytes(), second.Bytes());
    EXPECT_EQ(dev.Slot(2).TypeCode(), 0);

    // Cancel changes nothing.
    form.OpenForSlot(1);
    form.show();
    type->setCurrentIndex(3);
    Click(form, "BCancel");
    EXPECT_EQ(dev.Slot(1).TypeCode(), 12);
}

// --- Timeouts dialog ------------------------------------------------------------------

TEST(DelaysForm, SavesTheTimeoutsAndCancelStoresNothing)
{
    TempFolder dir("clbui");
    Settings settings;
    std::string error;
    ASSERT_TRUE(settings.Open(dir / "clbview.ini", error)) << error;
    TimeoutProfile profile = settings.Timeouts();
    DialogTestHost host;
    QWidget main;
    main.setGeometry(200, 100, 305, 542);
    main.show();
    TFormDelays form(&main, settings, profile, host);

    form.show();
    auto* byte = Find<QSpinBox>(form, "Edit3");
    EXPECT_EQ(byte->value(), 100);
    EXPECT_EQ(Find<QSpinBox>(form, "Edit1")->value(), 300);
    EXPECT_EQ(Find<QSpinBox>(form, "Edit2")->value(), 3);
    EXPECT_EQ(Find<QListWidget>(form, "LBDev")->currentRow(), 0);
    const QPoint centre = form.frameGeometry().center() - main.frameGeometry().center();
    EXPECT_LE(centre.manhattanLength(), 2) << "centred on the main window";

    QTest::keyClick(byte, Qt::Key_Up);
    QTest::keyClick(byte, Qt::Key_Up);
    EXPECT_EQ(byte->value(), 120);
    Click(form, "BOk");
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(profile.ByteTimeout, 120);
    const std::string saved = ReadFile(dir / "clbview.ini");
    EXPECT_NE(saved.find("[Device1]\r\nNB=120\r\nNP=300\r\nNR=3\r\n"), std::string::npos) << saved;

    form.show();
    EXPECT_EQ(byte->value(), 120);
    auto* repeats = Find<QSpinBox>(form, "Edit2");
    repeats->selectAll();
    QTest::keyClicks(repeats, "7");
    EXPECT_EQ(repeats->value(), 7);
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(profile.RepeatCount, 3);
    EXPECT_EQ(ReadFile(dir / "clbview.ini"), saved);
    form.show();
    EXPECT_EQ(repeats->value(), 3) << "the edits of a cancelled dialog are gone";
    form.hide();
}

// --- Look ------------------------------------------------------------------------------

void ExpectTextsFit(QWidget& form)
{
    for (QLabel* l : form.findChildren<QLabel*>())
        EXPECT_LE(l->sizeHint().width(), l->width()) << Text(l->objectName()) << " \"" << Text(l->text()) << "\"";
    // Check boxes and radio buttons need their whole size hint; a push button
    // its text and a margin on either side (its hint also asks for a minimum width).
    for (QAbstractButton* b : form.findChildren<QAbstractButton*>()) {
        const int need = qobject_cast<QPushButton*>(b)
                             ? b->fontMetrics().horizontalAdvance(QString(b->text()).remove('&')) + 12
                             : b->sizeHint().width();
        EXPECT_LE(need, b->width()) << Text(b->objectName()) << " \"" << Text(b->text()) << "\"";
        EXPECT_LE(b->sizeHint().height(), b->height()) << Text(b->objectName());
    }
    for (QGroupBox* g : form.findChildren<QGroupBox*>())
        EXPECT_LE(g->fontMetrics().horizontalAdvance(g->title()) + 16, g->width()) << Text(g->objectName());
    for (QComboBox* c : form.findChildren<QComboBox*>())
        EXPECT_LE(c->sizeHint().width(), c->width()) << Text(c->objectName());
    for (QSpinBox* s : form.findChildren<QSpinBox*>()) {
        EXPECT_LE(s->sizeHint().width(), s->width()) << Text(s->objectName());
        EXPECT_LE(s->sizeHint().height(), s->height()) << Text(s->objectName());
    }
    // A list whose entries fit needs no horizontal scrolling.
    for (QListWidget* l : form.findChildren<QListWidget*>()) {
        l->doItemsLayout();
        QApplication::processEvents();
        EXPECT_EQ(l->horizontalScrollBar()->maximum(), 0) << Text(l->objectName());
    }
    // Every control a keyboard can reach has a name a screen reader can say.
    for (QWidget* w : form.findChildren<QWidget*>()) {
        if (w->focusPolicy() != Qt::NoFocus && !w->objectName().isEmpty() && !w->objectName().startsWith("qt_")) {
            EXPECT_FALSE(w->accessibleName().isEmpty() && !qobject_cast<QAbstractButton*>(w)) << Text(w->objectName());
        }
    }
    // Every control lies inside its parent.
    for (QWidget* w : form.findChildren<QWidget*>()) {
        if (w->isVisibleTo(&form) && w->parentWidget() && !w->objectName().isEmpty() &&
            !w->objectName().startsWith("qt_")) {
            EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry())) << Text(w->objectName());
        }
    }
}

void Shot(QWidget& form, const char* name)
{
    const char* folder = std::getenv("CLB_DIALOG_SHOTS");
    if (!folder) return;
    QApplication::processEvents();
    EXPECT_TRUE(form.grab().save(QString::fromUtf8(folder) + "/" + name + ".png"));
}

TEST(DialogsLook, FixedClientAreasCaptionsAndTextsThatFit)
{
    DevManager dev;
    dev.Slot(1).SetTypeCode(15);
    dev.Slot(1).SetChannel(2);
    TulvComPort port;
    DialogTestHost host;
    Settings settings;
    TimeoutProfile profile;

    TDevAddForm add(nullptr, dev, port, host, {});
    add.show();
    EXPECT_EQ(add.size(), QSize(222, 187));
    EXPECT_EQ(add.minimumSize(), add.maximumSize());
    EXPECT_EQ(Text(add.windowTitle()), "Добавить прибор");
    EXPECT_EQ(add.font().pointSize(), 8);
    EXPECT_EQ(Text(Find<QPushButton>(add, "BOk")->text()), "O&K");
    EXPECT_EQ(Text(Find<QPushButton>(add, "BCancel")->text()), "Отмена");
    EXPECT_EQ(Find<QComboBox>(add, "CBDevType")->count(), 16);
    Find<QComboBox>(add, "CBDevType")->setCurrentIndex(1);
    ExpectTextsFit(add);
    Shot(add, "add-device");
    Find<QComboBox>(add, "CBDevType")->setCurrentIndex(15);
    ExpectTextsFit(add);
    Shot(add, "add-device-relay");
    add.hide();

    TDevSelForm sel(nullptr, dev);
    sel.OpenForSlot(1);
    sel.show();
    EXPECT_EQ(sel.size(), QSize(219, 185));
    EXPECT_EQ(Text(sel.windowTitle()), "Выбор прибора");
    EXPECT_EQ(Text(Find<QComboBox>(sel, "CBDevType")->currentText()), "ГЗУ-08");
    ExpectTextsFit(sel);
    Shot(sel, "device-selection");
    sel.hide();

    TFormDelays delays(nullptr, settings, profile, host);
    delays.show();
    EXPECT_EQ(delays.size(), QSize(233, 202));
    EXPECT_EQ(Text(delays.windowTitle()), "Задержки");
    EXPECT_EQ(Text(Find<QPushButton>(delays, "BOk")->text()), "Сохранить");
    EXPECT_EQ(Find<QListWidget>(delays, "LBDev")->count(), 12);
    ExpectTextsFit(delays);
    Shot(delays, "timeouts");
    delays.hide();
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
