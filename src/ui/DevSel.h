// The device selection dialog ("Выбор прибора"): changes the type, address
// and channel of one slot, or empties it. Shows DevSelLogic and passes the
// user's actions on to it. Created once and kept.
#pragma once

#include "DeviceDialogs.h"

#include <QDialog>

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;

class TDevSelForm : public QDialog {
    Q_OBJECT
public:
    TDevSelForm(QWidget* parent, DevManager& dev);

    // Takes slot 1 or 2 into the dialog; then show it with exec().
    void OpenForSlot(int slot);

    DevSelLogic& Logic() { return FLogic; }

private:
    void ShowState();
    void BOkClick();

    DevSelLogic FLogic;
    QLabel* Label1;
    QComboBox* CBDevType;
    QLabel* Label2;
    QSpinBox* SENetAddr;
    QGroupBox* GBChannel;
    QRadioButton* RBG1;
    QRadioButton* RBG2;
    QButtonGroup* FChannels;
    QPushButton* BOk;
    QPushButton* BCancel;
};
