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
    // Runs the probe as an operation of the port, off the main thread: calls
    // probe there and done on the main thread afterwards; false when it cannot
    // start now (another operation runs).
    using ProbeRunner = std::function<bool(std::function<void()> probe, std::function<void()> done)>;

    // portChoice gives the main window's port and baud rate when OK is pressed.
    // Without a runner the probe runs at once, on the calling thread.
    TDevAddForm(QWidget* parent, DevManager& dev, TulvComPort& port, Host& host, std::function<PortChoice()> portChoice,
                ProbeRunner runner = {});

    DevAddLogic& Logic() { return FLogic; }
    // True while the meter is being looked for on the line.
    bool Probing() const { return FProbing; }

    // Cancel, Escape or the close button while probing: the probe is given up
    // and the dialog closes once it has ended.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ShowState();
    void BOkClick();
    void ProbeDone(DevAddLogic::OkResult r);
    void SetProbing(bool probing);

    DevAddLogic FLogic;
    ProbeRunner FRunner;
    bool FProbing = false;
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
    QLabel* LProbe;
};
