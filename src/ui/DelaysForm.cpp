#include "DelaysForm.h"

#include "DialogLook.h"

#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSpinBox>

namespace {

QSpinBox* NumberEdit(QWidget* parent, const char* name, int min, int max, int step, const char* accessible)
{
    auto* e = new QSpinBox(parent);
    e->setObjectName(name);
    e->setRange(min, max);
    e->setSingleStep(step);
    e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    e->setAccessibleName(QString::fromUtf8(accessible));
    return e;
}

} // namespace

TFormDelays::TFormDelays(QWidget* parent, Settings& settings, TimeoutProfile& profile, Host& host)
    : QDialog(parent), FLogic(settings, profile, host)
{
    setObjectName("TFormDelays");
    dialog_look::Fix(*this, "Задержки", 233, 202);

    GBDev = new QGroupBox(QStringLiteral(" Прибор "), this);
    GBDev->setObjectName("GBDev");
    GBDev->setGeometry(6, 4, 106, 158);
    LBDev = new QListWidget(GBDev);
    LBDev->setObjectName("LBDev");
    LBDev->setGeometry(6, 20, 94, 130);
    for (const char* name : DelaysLogic::DeviceNames)
        LBDev->addItem(QString::fromUtf8(name));
    LBDev->setAccessibleName(QStringLiteral("Тип прибора"));

    GBTimeouts = new QGroupBox(QStringLiteral(" Тайм-ауты "), this);
    GBTimeouts->setObjectName("GBTimeouts");
    GBTimeouts->setGeometry(116, 4, 111, 158);
    Label3 = new QLabel(QStringLiteral("Байт (мс)"), GBTimeouts);
    Label3->setObjectName("Label3");
    Label3->setGeometry(6, 18, 102, 16);
    Edit3 = NumberEdit(GBTimeouts, "Edit3", DelaysLogic::ByteMin, DelaysLogic::ByteMax, DelaysLogic::ByteStep,
                       "Тайм-аут байта, мс");
    Edit3->setGeometry(6, 35, 99, 23);
    Label3->setBuddy(Edit3);
    Label1 = new QLabel(QStringLiteral("Пакет (мс)"), GBTimeouts);
    Label1->setObjectName("Label1");
    Label1->setGeometry(6, 62, 102, 16);
    Edit1 = NumberEdit(GBTimeouts, "Edit1", DelaysLogic::PacketMin, DelaysLogic::PacketMax, DelaysLogic::PacketStep,
                       "Тайм-аут пакета, мс");
    Edit1->setGeometry(6, 79, 99, 23);
    Label1->setBuddy(Edit1);
    Label2 = new QLabel(QStringLiteral("Попыток повтора"), GBTimeouts);
    Label2->setObjectName("Label2");
    Label2->setGeometry(6, 106, 102, 16);
    Edit2 = NumberEdit(GBTimeouts, "Edit2", DelaysLogic::RepeatMin, DelaysLogic::RepeatMax, DelaysLogic::RepeatStep,
                       "Попыток повтора");
    Edit2->setGeometry(6, 123, 99, 23);
    Label2->setBuddy(Edit2);

    BOk = new QPushButton(QStringLiteral("Сохранить"), this);
    BOk->setObjectName("BOk");
    BOk->setGeometry(34, 170, 80, 25);
    BOk->setDefault(true);
    BCancel = new QPushButton(QStringLiteral("Отмена"), this);
    BCancel->setObjectName("BCancel");
    BCancel->setGeometry(122, 170, 80, 25);
    BCancel->setAutoDefault(false);

    setTabOrder(LBDev, Edit3);
    setTabOrder(Edit3, Edit1);
    setTabOrder(Edit1, Edit2);
    setTabOrder(Edit2, BOk);
    setTabOrder(BOk, BCancel);

    connect(LBDev, &QListWidget::currentRowChanged, this, [this](int row) {
        FLogic.LBDevClick(row);
        ShowState();
    });
    connect(LBDev, &QListWidget::itemClicked, this, [this] {
        FLogic.LBDevClick(LBDev->currentRow());
        ShowState();
    });
    connect(Edit3, &QSpinBox::valueChanged, this, [this](int v) { FLogic.Edit3Change(v); });
    connect(Edit1, &QSpinBox::valueChanged, this, [this](int v) { FLogic.Edit1Change(v); });
    connect(Edit2, &QSpinBox::valueChanged, this, [this](int v) { FLogic.Edit2Change(v); });
    connect(BOk, &QPushButton::clicked, this, &TFormDelays::BOkClick);
    connect(BCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TFormDelays::ShowState()
{
    const DelaysState& s = FLogic.State();
    const QSignalBlocker b1(LBDev), b2(Edit3), b3(Edit1), b4(Edit2);
    LBDev->setCurrentRow(s.Selected);
    Edit3->setValue(s.ByteTimeout);
    Edit1->setValue(s.PacketTimeout);
    Edit2->setValue(s.RepeatCount);
}

void TFormDelays::showEvent(QShowEvent* event)
{
    // A window the desktop shows again (after minimising) keeps its edits.
    if (!event->spontaneous()) {
        FLogic.FormShow();
        ShowState();
        if (QWidget* p = parentWidget()) {
            const QRect outer = p->window()->frameGeometry();
            const QSize frame = frameGeometry().size();
            move(outer.center() - QPoint(frame.width() / 2, frame.height() / 2));
        }
        LBDev->setFocus();
    }
    QDialog::showEvent(event);
}

void TFormDelays::BOkClick()
{
    FLogic.BOkClick();
    accept();
}
