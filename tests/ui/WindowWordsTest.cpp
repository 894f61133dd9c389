// What the window tells the technician, on Qt's offscreen platform against the
// simulator: the outcome of a write and of a save, status words that end with
// their operation, the load dialog's filters, Qt's own texts in Russian, the
// tray menu and the accessible names of what is seen.
#include "WindowFixture.h"

#include "DevAdd.h"
#include "QtTranslations.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using workflow_test::Kvt64;

// Where the pictures of the dialogs go for a look: the folder CLB_SHOTS names;
// without it no picture is kept (an empty name saves nothing).
std::string Shot(const char* name)
{
    const char* dir = std::getenv("CLB_SHOTS");
    return dir && *dir ? std::string(dir) + "/" + name : std::string();
}

class WindowWords : public window_test::WindowTest {
protected:
    // A КВТ-64 at address 1 in slot 1, the window open on its line.
    void Open(json extra = json::object())
    {
        StartLine({Kvt64(1, extra)});
        WriteSettings();
        ShowWindow();
        Configure({window_test::Slot(1, 1, 1)});
    }
    bool Idle()
    {
        return QTest::qWaitFor([&] { return !window->OperationRunning(); }, 20000);
    }
    bool Connect()
    {
        QTest::mouseClick(W("BConnect"), Qt::LeftButton);
        return QTest::qWaitFor(
            [&] { return W<QPushButton>("BDisconnect")->isEnabled() && !window->OperationRunning(); }, 20000);
    }
    QString StatusText() { return W<QStatusBar>("StatusBar1")->currentMessage(); }
};

// Runs f on the first modal widget of type T that opens, then closes it.
template <class T> void OnNextModal(std::function<void(T&)> f, std::function<void(T&)> close)
{
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, f, close] {
        auto* w = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!w || !w->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        QTest::qWait(100); // painted
        f(*w);
        close(*w);
    });
    timer->start(50);
}

TEST_F(WindowWords, ASaveIsToldInTheStatusBarAndAWriteInAMessageBox)
{
    Open();
    ASSERT_TRUE(Connect());
    QtHost& host = window->HostOfWindow();
    const std::string kvt = (folder / "meter.kvt").string();
    host.SetNextFileName(kvt);
    QTest::mouseClick(W("BSave01"), Qt::LeftButton);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(StatusText(),
              QString::fromStdString("Коэффициенты прибора 1 (КВТ-64 № 12064001, канал 1) сохранены в " + kvt));

    // The write: the question answered Yes, the outcome shown in a real box.
    host.SetNextFileName(kvt);
    host.SetNextAnswer(MsgAnswer::Yes);
    QString shownText, shownTitle;
    OnNextModal<QMessageBox>(
        [&](QMessageBox& box) {
            shownText = box.text();
            shownTitle = box.windowTitle();
            box.grab().save(QString::fromStdString(Shot("clb-write-result.png")));
        },
        [](QMessageBox& box) { box.accept(); });
    QTest::mouseClick(W("BLoad01"), Qt::LeftButton);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(shownTitle, QString("Запись коэффициентов"));
    EXPECT_TRUE(shownText.startsWith("Прибор 1 (КВТ-64 № 12064001, канал 1): записано и проверено")) << shownText.toStdString();
    EXPECT_TRUE(shownText.contains("Прежние коэффициенты прибора сохранены в ")) << shownText.toStdString();

    // A declined write: a word, no box.
    const auto before = host.Messages().size();
    host.SetNextFileName(kvt);
    host.SetNextAnswer(MsgAnswer::No);
    QTest::mouseClick(W("BLoad01"), Qt::LeftButton);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(host.Messages().size(), before + 1) << "only the question";
    EXPECT_EQ(StatusText(), QString("Прибор 1 (КВТ-64 № 12064001, канал 1): не записано: запись не подтверждена"));
}

TEST_F(WindowWords, TheWaitWordGoesWhenTheOperationEnds)
{
    // Slow answers keep the read-out under way long enough to click into it.
    Open({{"faults", {{"delay_ms", 60}}}});
    QTest::mouseClick(W("BConnect"), Qt::LeftButton);
    ASSERT_TRUE(window->OperationRunning());
    QTest::mouseClick(W("BSaveConf"), Qt::LeftButton);
    EXPECT_EQ(StatusText(), QString("Подождите: идёт обмен с прибором"));
    ASSERT_TRUE(Idle());
    EXPECT_NE(StatusText(), QString("Подождите: идёт обмен с прибором"));

    // Connected: a click on a picture says why nothing opens.
    ASSERT_TRUE(W<QPushButton>("BDisconnect")->isEnabled());
    QTest::mouseClick(W("Img1"), Qt::LeftButton);
    EXPECT_EQ(StatusText(), QString("Приборы настраиваются без связи: сначала нажмите «Отключить»"));
}

TEST_F(WindowWords, TheLoadDialogListsEveryFormatFirstInRussian)
{
    ASSERT_TRUE(InstallQtTranslations(*qApp)) << "Qt's Russian translation is not installed";
    Open();
    ASSERT_TRUE(Connect());
    // The file saved last is offered, in whatever format.
    const fs::path kvt = fs::path(folders.Saved) / "KVT-64" / "12064001#1.kvt";
    window->HostOfWindow().SetNextFileName(kvt.string());
    QTest::mouseClick(W("BSave01"), Qt::LeftButton);
    ASSERT_TRUE(Idle());
    ASSERT_TRUE(fs::exists(kvt));

    QStringList filters;
    QString lookIn, selected;
    OnNextModal<QFileDialog>(
        [&](QFileDialog& d) {
            filters = d.nameFilters();
            selected = d.selectedFiles().value(0);
            if (auto* l = d.findChild<QLabel*>("lookInLabel")) lookIn = l->text();
            d.grab().save(QString::fromStdString(Shot("clb-load-dialog.png")));
            if (auto* types = d.findChild<QComboBox*>("fileTypeCombo")) {
                types->showPopup();
                QTest::qWait(100);
                if (QWidget* popup = QApplication::activePopupWidget())
                    popup->grab().save(QString::fromStdString(Shot("clb-load-dialog-filters.png")));
                types->hidePopup();
            }
        },
        [](QFileDialog& d) { d.reject(); });
    QTest::mouseClick(W("BLoad01"), Qt::LeftButton);
    ASSERT_TRUE(Idle());
    ASSERT_GE(filters.size(), 4);
    EXPECT_EQ(filters[0], QString("Все файлы коэффициентов (*.txt *.kvt *.tpr)"));
    EXPECT_EQ(filters[1], QString("Файлы коэффициентов (старый формат) (*.txt)"));
    EXPECT_EQ(selected, QString::fromStdString(kvt.string()));
    EXPECT_EQ(lookIn, QString("Перейти к:")) << lookIn.toStdString();
}

TEST_F(WindowWords, TheTrayMenuSpeaksRussianAndRestores)
{
    Open();
    // The menu is there with or without a tray on the desktop; shown here on
    // its own, as the tray shows it.
    auto* menu = window->findChild<QMenu*>("TrayMenu");
    ASSERT_NE(menu, nullptr);
    QStringList texts;
    for (QAction* a : menu->actions())
        if (!a->isSeparator()) texts << a->text();
    EXPECT_EQ(texts, (QStringList{"Развернуть", "Выход"}));
    menu->popup(QPoint(10, 10));
    QTest::qWait(100);
    menu->grab().save(QString::fromStdString(Shot("clb-tray-menu.png")));
    menu->hide();

    window->hide();
    for (QAction* a : menu->actions())
        if (a->objectName() == "Restore1") a->trigger();
    EXPECT_TRUE(window->isVisible());
}

TEST_F(WindowWords, AccessibleNamesAreWhatIsSeen)
{
    Open();
    ASSERT_TRUE(Connect());
    auto name = [](QObject* o) { return QAccessible::queryAccessibleInterface(o)->text(QAccessible::Name); };
    auto* label = W<QLabel>("L1");
    EXPECT_EQ(name(label), label->text());
    EXPECT_TRUE(name(label).contains("12064001"));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(label)->text(QAccessible::Description), QString("Прибор 1"));

    auto* add = window->findChild<TDevAddForm*>();
    ASSERT_NE(add, nullptr);
    auto* ok = add->findChild<QPushButton*>("BOk");
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(name(ok), QString("OK"));
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QFont font = QApplication::font();
    font.setFamily("Sans Serif");
    font.setPointSize(8);
    QApplication::setFont(font);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
