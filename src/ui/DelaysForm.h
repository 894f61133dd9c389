// The timeouts dialog ("Задержки"): the byte timeout, packet timeout and
// repeat count of the drivers, saved to the settings file. Shows DelaysLogic
// and passes the user's actions on to it. Created once and kept; centred on
// its parent at every show.
//
// Each number edit with its up-down control is one QSpinBox carrying the
// edit's name (Edit3 = Edit3 + UDByte, Edit1 = Edit1 + UDPacket, Edit2 =
// Edit2 + UDRepeat): its arrows are the up-down, its value the position.
#pragma once

#include "DeviceDialogs.h"

#include <QDialog>

class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QSpinBox;

class TFormDelays : public QDialog {
    Q_OBJECT
public:
    TFormDelays(QWidget* parent, Settings& settings, TimeoutProfile& profile, Host& host);

    DelaysLogic& Logic() { return FLogic; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ShowState();
    void BOkClick();

    DelaysLogic FLogic;
    QGroupBox* GBDev;
    QListWidget* LBDev;
    QGroupBox* GBTimeouts;
    QLabel* Label3;
    QSpinBox* Edit3;
    QLabel* Label1;
    QSpinBox* Edit1;
    QLabel* Label2;
    QSpinBox* Edit2;
    QPushButton* BOk;
    QPushButton* BCancel;
};
