// The add-device dialog ("Добавить прибор"): shows DevAddLogic and passes the
// user's actions on to it. Created once and kept: its controls keep their
// states between uses; showing it resets the type list.
#pragma once

#include "DeviceDialogs.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSpinBox;

class TDevAddForm : public QDialog {
    Q_OBJECT
public:
    // portChoice gives the main window's port and baud rate when OK is pressed.
    TDevAddForm(QWidget* parent, DevManager& dev, TulvComPort& port, Host& host,
                std::function<PortChoice()> portChoice);

    DevAddLogic& Logic() { return FLogic; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ShowState();
    void BOkClick();

    DevAddLogic FLogic;
    QLabel* Label1;
    QComboBox* CBDevType;
    QLabel* lbl_adr_caption;
    QSpinBox* SENetAddr;
    QSpinBox* ESerialNumber;
    QGroupBox* GBChannels;
    QCheckBox* CBG1;
    QCheckBox* CBG2;
    QPushButton* BOk;
    QPushButton* BCancel;
};
