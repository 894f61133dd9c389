#include "DevSel.h"

#include "DeviceCatalogue.h"
#include "DialogLook.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>

TDevSelForm::TDevSelForm(QWidget* parent, DevManager& dev) : QDialog(parent), FLogic(dev)
{
    setObjectName("TDevSelForm");
    dialog_look::Fix(*this, "Выбор прибора", 219, 185);

    Label1 = new QLabel(QStringLiteral("Тип"), this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(8, 9, 100, 22);
    CBDevType = new QComboBox(this);
    CBDevType->setObjectName("CBDevType");
    CBDevType->setGeometry(112, 9, 99, 22);
    CBDevType->setMaxVisibleItems(9);
    for (int code = 0; code <= DevAddLogic::LastListedType; ++code) {
        const std::string_view name = DeviceCatalogue[code].ListName.value_or("");
        CBDevType->addItem(QString::fromUtf8(name.data(), static_cast<int>(name.size())));
    }
    CBDevType->setAccessibleName(QStringLiteral("Тип прибора"));
    Label1->setBuddy(CBDevType);

    Label2 = new QLabel(QStringLiteral("Сетевой адрес"), this);
    Label2->setObjectName("Label2");
    Label2->setGeometry(8, 40, 100, 24);
    SENetAddr = new QSpinBox(this);
    SENetAddr->setObjectName("SENetAddr");
    SENetAddr->setGeometry(112, 41, 56, 23);
    SENetAddr->setRange(DevSelLogic::NetAddrMin, DevSelLogic::NetAddrMax);
    SENetAddr->setAccessibleName(QStringLiteral("Сетевой адрес"));
    Label2->setBuddy(SENetAddr);

    GBChannel = new QGroupBox(QStringLiteral(" Канал расхода"), this);
    GBChannel->setObjectName("GBChannel");
    GBChannel->setGeometry(8, 72, 203, 68);
    RBG1 = new QRadioButton(QStringLiteral("Канал G1"), GBChannel);
    RBG1->setObjectName("RBG1");
    RBG1->setGeometry(12, 20, 183, 20);
    RBG1->setAccessibleName(QStringLiteral("Канал G1"));
    RBG2 = new QRadioButton(QStringLiteral("Канал G2"), GBChannel);
    RBG2->setObjectName("RBG2");
    RBG2->setGeometry(12, 42, 183, 20);
    RBG2->setAccessibleName(QStringLiteral("Канал G2"));
    // The buttons' ids are their tags: the channel they stand for.
    FChannels = new QButtonGroup(this);
    FChannels->addButton(RBG1, 1);
    FChannels->addButton(RBG2, 2);
    RBG1->setChecked(true);

    BOk = new QPushButton(QStringLiteral("O&K"), this);
    BOk->setObjectName("BOk");
    BOk->setGeometry(28, 150, 75, 25);
    BOk->setDefault(true);
    BOk->setAccessibleName(QStringLiteral("Применить"));
    BCancel = new QPushButton(QStringLiteral("Отмена"), this);
    BCancel->setObjectName("BCancel");
    BCancel->setGeometry(116, 150, 75, 25);
    BCancel->setAutoDefault(false);
    BCancel->setAccessibleName(QStringLiteral("Отмена"));

    setTabOrder(CBDevType, SENetAddr);
    setTabOrder(SENetAddr, RBG1);
    setTabOrder(RBG1, RBG2);
    setTabOrder(RBG2, BOk);
    setTabOrder(BOk, BCancel);

    connect(CBDevType, &QComboBox::currentIndexChanged, this, [this](int i) {
        FLogic.TypeChange(i);
        ShowState();
    });
    connect(SENetAddr, &QSpinBox::valueChanged, this, [this](int v) { FLogic.NetAddrChange(v); });
    connect(FChannels, &QButtonGroup::idClicked, this, [this](int id) { FLogic.ChannelClick(id); });
    connect(BOk, &QPushButton::clicked, this, &TDevSelForm::BOkClick);
    connect(BCancel, &QPushButton::clicked, this, &QDialog::reject);

    ShowState();
}

void TDevSelForm::OpenForSlot(int slot)
{
    FLogic.OpenForSlot(slot);
    ShowState();
    CBDevType->setFocus();
}

void TDevSelForm::ShowState()
{
    const DevSelState& s = FLogic.State();
    const QSignalBlocker b1(CBDevType), b2(SENetAddr), b3(FChannels);
    CBDevType->setCurrentIndex(s.TypeIndex);
    SENetAddr->setValue(s.NetAddress);
    (s.Channel == 2 ? RBG2 : RBG1)->setChecked(true);
    RBG1->setEnabled(s.ChannelsEnabled);
    RBG2->setEnabled(s.ChannelsEnabled);
}

void TDevSelForm::BOkClick()
{
    FLogic.BOkClick();
    accept();
}
