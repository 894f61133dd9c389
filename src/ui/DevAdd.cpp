#include "DevAdd.h"

#include "DeviceCatalogue.h"
#include "DialogLook.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSpinBox>

#include <memory>

namespace {

QString U(const std::string& s)
{
    return QString::fromStdString(s);
}

} // namespace

TDevAddForm::TDevAddForm(QWidget* parent, DevManager& dev, TulvComPort& port, Host& host,
                         std::function<PortChoice()> portChoice, ProbeRunner runner)
    : QDialog(parent), FLogic(dev, port, host, std::move(portChoice)), FRunner(std::move(runner))
{
    setObjectName("TDevAddForm");
    dialog_look::Fix(*this, "Добавить прибор", 222, 187);

    Label1 = new QLabel(QStringLiteral("Тип"), this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(8, 9, 100, 22);

    CBDevType = new QComboBox(this);
    CBDevType->setObjectName("CBDevType");
    CBDevType->setGeometry(112, 9, 102, 22);
    CBDevType->setMaxVisibleItems(9);
    for (int code = 0; code <= DevAddLogic::LastListedType; ++code) {
        const std::string_view name = DeviceCatalogue[code].ListName.value_or("");
        CBDevType->addItem(QString::fromUtf8(name.data(), static_cast<int>(name.size())));
    }
    CBDevType->setAccessibleName(QStringLiteral("Тип прибора"));
    Label1->setBuddy(CBDevType);

    lbl_adr_caption = new QLabel(this);
    lbl_adr_caption->setObjectName("lbl_adr_caption");
    lbl_adr_caption->setGeometry(8, 40, 100, 24);

    SENetAddr = new QSpinBox(this);
    SENetAddr->setObjectName("SENetAddr");
    SENetAddr->setGeometry(112, 41, 56, 23);
    SENetAddr->setRange(DevAddLogic::NetAddrMin, DevAddLogic::NetAddrMax);
    SENetAddr->setAccessibleName(QStringLiteral("Сетевой адрес"));

    ESerialNumber = new QSpinBox(this);
    ESerialNumber->setObjectName("ESerialNumber");
    ESerialNumber->setGeometry(112, 39, 102, 26);
    ESerialNumber->setRange(static_cast<int>(DevAddLogic::SerialMin), static_cast<int>(DevAddLogic::SerialMax));
    ESerialNumber->setButtonSymbols(QAbstractSpinBox::NoButtons);
    ESerialNumber->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ESerialNumber->setFont(dialog_look::Font(10));
    ESerialNumber->setAccessibleName(QStringLiteral("Серийный номер"));

    GBChannels = new QGroupBox(QStringLiteral(" Каналы расхода"), this);
    GBChannels->setObjectName("GBChannels");
    GBChannels->setGeometry(8, 72, 206, 68);
    CBG1 = new QCheckBox(GBChannels);
    CBG1->setObjectName("CBG1");
    CBG1->setGeometry(12, 20, 186, 20);
    CBG2 = new QCheckBox(GBChannels);
    CBG2->setObjectName("CBG2");
    CBG2->setGeometry(12, 42, 186, 20);

    BOk = new QPushButton(QStringLiteral("O&K"), this);
    BOk->setObjectName("BOk");
    BOk->setGeometry(30, 152, 75, 25);
    BOk->setDefault(true);
    // Announced as it reads ("OK"); what it does is its description.
    BOk->setAccessibleDescription(QStringLiteral("Добавить прибор"));
    BCancel = new QPushButton(QStringLiteral("Отмена"), this);
    BCancel->setObjectName("BCancel");
    BCancel->setGeometry(117, 152, 75, 25);
    BCancel->setAutoDefault(false);
    BCancel->setAccessibleName(QStringLiteral("Отмена"));

    // The word shown while the meter is looked for, in the channels' place.
    LProbe = new QLabel(this);
    LProbe->setObjectName("LProbe");
    LProbe->setGeometry(8, 72, 206, 68);
    LProbe->setAlignment(Qt::AlignCenter);
    LProbe->setWordWrap(true);
    LProbe->hide();

    setTabOrder(CBDevType, SENetAddr);
    setTabOrder(SENetAddr, ESerialNumber);
    setTabOrder(ESerialNumber, CBG1);
    setTabOrder(CBG1, CBG2);
    setTabOrder(CBG2, BOk);
    setTabOrder(BOk, BCancel);

    connect(CBDevType, &QComboBox::currentIndexChanged, this, [this](int i) {
        FLogic.TypeChange(i);
        ShowState();
    });
    connect(SENetAddr, &QSpinBox::valueChanged, this, [this](int v) { FLogic.NetAddrChange(v); });
    connect(ESerialNumber, &QSpinBox::valueChanged, this,
            [this](int v) { FLogic.SerialChange(static_cast<std::uint32_t>(v)); });
    connect(CBG1, &QCheckBox::toggled, this, [this](bool on) { FLogic.G1Click(on); });
    connect(CBG2, &QCheckBox::toggled, this, [this](bool on) { FLogic.G2Click(on); });
    connect(BOk, &QPushButton::clicked, this, &TDevAddForm::BOkClick);
    connect(BCancel, &QPushButton::clicked, this, &QDialog::reject);

    ShowState();
}

void TDevAddForm::ShowState()
{
    const DevAddState& s = FLogic.State();
    const QSignalBlocker b1(CBDevType), b2(SENetAddr), b3(ESerialNumber), b4(CBG1), b5(CBG2);
    CBDevType->setCurrentIndex(s.TypeCode);
    SENetAddr->setValue(s.NetAddress);
    ESerialNumber->setValue(static_cast<int>(s.SerialNumber));
    SENetAddr->setVisible(!s.SerialEditVisible);
    ESerialNumber->setVisible(s.SerialEditVisible);
    lbl_adr_caption->setText(U(s.AddressCaption));
    lbl_adr_caption->setBuddy(s.SerialEditVisible ? static_cast<QWidget*>(ESerialNumber) : SENetAddr);
    const std::pair<QCheckBox*, const DialogCheckBox*> boxes[] = {{CBG1, &s.G1}, {CBG2, &s.G2}};
    for (auto [box, state] : boxes) {
        box->setText(U(state->Caption));
        box->setAccessibleName(U(state->Caption));
        box->setChecked(state->Checked);
        box->setEnabled(state->Enabled);
    }
}

void TDevAddForm::showEvent(QShowEvent* event)
{
    // A window the desktop shows again (after minimising) is not a new use.
    if (!event->spontaneous()) {
        FLogic.FormShow();
        ShowState();
        CBDevType->setFocus();
    }
    QDialog::showEvent(event);
}

void TDevAddForm::SetProbing(bool probing)
{
    FProbing = probing;
    for (QWidget* w : {static_cast<QWidget*>(CBDevType), static_cast<QWidget*>(SENetAddr),
                       static_cast<QWidget*>(ESerialNumber), static_cast<QWidget*>(BOk)})
        w->setEnabled(!probing);
    GBChannels->setVisible(!probing);
    LProbe->setText(probing ? QStringLiteral("Поиск прибора на линии…") : QString());
    LProbe->setVisible(probing);
}

void TDevAddForm::BOkClick()
{
    if (FProbing) return;
    if (!FRunner) {
        ProbeDone(FLogic.BOkClick());
        return;
    }
    // The probe takes seconds on a silent line: it runs as an operation of the
    // port while the dialog shows what it does and takes no second OK.
    auto result = std::make_shared<DevAddLogic::OkResult>();
    FLogic.PrepareProbe();
    SetProbing(true);
    const bool started =
        FRunner([this, result] { *result = FLogic.BOkClick(); }, [this, result] { ProbeDone(*result); });
    if (!started) SetProbing(false);
}

void TDevAddForm::ProbeDone(DevAddLogic::OkResult r)
{
    SetProbing(false);
    ShowState();
    if (FLogic.Cancelled())
        QDialog::reject();
    else if (r.Close)
        accept();
    else if (r.FocusTypeList)
        CBDevType->setFocus();
}

void TDevAddForm::reject()
{
    if (FProbing) {
        LProbe->setText(QStringLiteral("Поиск прерван…"));
        FLogic.Cancel();
        return;
    }
    QDialog::reject();
}
