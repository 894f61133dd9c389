// The reference flow typed in by hand at a point of a calibration run: the
// flow itself, or the volume a weighing system measured and the time it took.
// The flow the figures give is shown as they are typed; OK is refused, with
// the reason, while they give none. What the boxes mean is ReadManualEntry's.
#pragma once

#include "CalibrationController.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class TManualReferenceDialog : public QDialog {
    Q_OBJECT
public:
    // point: from 1; target and meterMean in the meter's flow units.
    TManualReferenceDialog(int point, double target, double meterMean, QWidget* parent = nullptr);

    // What the boxes give now.
    ManualEntry Entry() const;
    // The reading of an accepted dialog.
    ManualReading Reading() const { return Entry().Reading; }

    void accept() override;

private:
    void Show();

    QRadioButton* RBFlow = nullptr;
    QRadioButton* RBVolume = nullptr;
    QLineEdit* EFlow = nullptr;
    QLineEdit* EVolume = nullptr;
    QLineEdit* ESeconds = nullptr;
    QLabel* LResult = nullptr;
    QPushButton* BOk = nullptr;
    bool FRefused = false; // OK was refused: the reason stays marked until the figures give a flow
};
