#include "ManualReferenceDialog.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <algorithm>

TManualReferenceDialog::TManualReferenceDialog(int point, double target, double meterMean, QWidget* parent)
    : QDialog(parent)
{
    setObjectName("ManualReferenceDialog");
    setWindowTitle("Образцовый расход");
    setModal(true);
    auto* root = new QVBoxLayout(this);
    auto* where = new QLabel(QString("Точка %1: цель %2, прибор показывает %3")
                                 .arg(point)
                                 .arg(QString::fromStdString(CellNumber(target)))
                                 .arg(QString::fromStdString(CellNumber(meterMean))),
                             this);
    where->setObjectName("LPoint");
    root->addWidget(where);

    auto* grid = new QGridLayout;
    auto edit = [&](const char* name, const QString& accessible) {
        auto* e = new QLineEdit(this);
        e->setObjectName(name);
        e->setAccessibleName(accessible);
        e->setMinimumWidth(fontMetrics().horizontalAdvance("0000000,000"));
        return e;
    };
    auto caption = [&](const char* name, const QString& text, QWidget* buddy) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        l->setBuddy(buddy);
        return l;
    };
    RBFlow = new QRadioButton("&Расход", this);
    RBFlow->setObjectName("RBFlow");
    RBVolume = new QRadioButton("Объём и &время (весовое устройство)", this);
    RBVolume->setObjectName("RBVolume");
    auto* group = new QButtonGroup(this);
    group->addButton(RBFlow);
    group->addButton(RBVolume);
    EFlow = edit("EFlow", "Образцовый расход");
    EFlow->setToolTip("В единицах расхода прибора");
    EFlow->setText(QString::fromStdString(CellNumber(target)));
    EVolume = edit("EVolume", "Объём");
    EVolume->setToolTip("Объём, прошедший за время, в единицах объёма расхода прибора (м³ при м³/ч)");
    ESeconds = edit("ESeconds", "Время, с");
    // The way chosen by its button; the volume's boxes indented below theirs.
    grid->addWidget(RBFlow, 0, 0, 1, 2);
    grid->addWidget(EFlow, 0, 2);
    grid->addWidget(RBVolume, 1, 0, 1, 3);
    grid->addWidget(caption("LVolume", "&Объём", EVolume), 2, 1);
    grid->addWidget(EVolume, 2, 2);
    grid->addWidget(caption("LSeconds", "Вр&емя, с", ESeconds), 3, 1);
    grid->addWidget(ESeconds, 3, 2);
    grid->setColumnMinimumWidth(0, 20);
    grid->setColumnStretch(2, 1);
    root->addLayout(grid);

    LResult = new QLabel(this);
    LResult->setObjectName("LResult");
    LResult->setWordWrap(true);
    LResult->setMinimumHeight(2 * fontMetrics().height() + 4);
    LResult->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    root->addWidget(LResult);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName("Buttons");
    BOk = buttons->button(QDialogButtonBox::Ok);
    BOk->setObjectName("BOk");
    BOk->setText("OK");
    QPushButton* cancel = buttons->button(QDialogButtonBox::Cancel);
    cancel->setObjectName("BCancel");
    cancel->setText("Отмена");
    cancel->setToolTip("Остановить калибровку");
    root->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &TManualReferenceDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TManualReferenceDialog::reject);

    for (QLineEdit* e : {EFlow, EVolume, ESeconds}) connect(e, &QLineEdit::textChanged, this, &TManualReferenceDialog::Show);
    connect(RBFlow, &QRadioButton::toggled, this, &TManualReferenceDialog::Show);
    RBFlow->setChecked(true);
    EFlow->selectAll();
    EFlow->setFocus();
    Show();
    setMinimumWidth(std::max(sizeHint().width(), fontMetrics().horizontalAdvance(where->text()) + 40));
}

ManualEntry TManualReferenceDialog::Entry() const
{
    return ReadManualEntry(RBVolume->isChecked(), EFlow->text().toStdString(), EVolume->text().toStdString(),
                           ESeconds->text().toStdString());
}

void TManualReferenceDialog::Show()
{
    const bool volume = RBVolume->isChecked();
    EFlow->setEnabled(!volume);
    EVolume->setEnabled(volume);
    ESeconds->setEnabled(volume);
    const ManualEntry e = Entry();
    if (e.Fault.empty()) FRefused = false;
    LResult->setStyleSheet(FRefused ? "color: #b00000;" : "");
    if (!e.Fault.empty()) {
        LResult->setText(QString::fromStdString(e.Fault));
        return;
    }
    LResult->setText(QString("Образцовый расход: %1").arg(QString::fromStdString(CellNumber(e.Flow, 5))));
}

void TManualReferenceDialog::accept()
{
    if (!Entry().Fault.empty()) {
        FRefused = true;
        Show();
        return;
    }
    QDialog::accept();
}
