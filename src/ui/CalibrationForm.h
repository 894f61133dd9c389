// The calibration window of one slot: the settings of a run, the live trend of
// the meter's and the reference's flow with the window's band, the stability
// mark and the points table, and the buttons of the session.
//
// Every decision is CalibrationController's; the window shows it. The steps
// run as operations of the main window (on its operation thread, the poller
// paused); their progress comes back through queued events, so the window
// keeps painting. Closing the window stops the run.
#pragma once

#include "CalibrationController.h"

#include <QWidget>

#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTimer;
class QtHost;
class MainController;

// The trend: both flows over the last minute, the band of the gate's window.
class TFlowTrend : public QWidget {
public:
    explicit TFlowTrend(QWidget* parent = nullptr);
    void Show(TrendView view);
    QSize sizeHint() const override { return {560, 200}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TrendView FView;
};

class TCalibrationForm : public QWidget {
    Q_OBJECT
public:
    // How the window reaches the main window: running a step as its operation
    // (false when it could not start), whether one runs, whether connected.
    struct MainLink {
        std::function<bool(const std::function<void()>&)> RunOperation;
        std::function<bool()> OperationRunning;
        std::function<bool()> Connected;
    };
    TCalibrationForm(MainController& main, QtHost& host, int slot, MainLink link, CertificateWriter certificate,
                     QWidget* parent = nullptr);
    ~TCalibrationForm() override;

    int Slot() const { return FSession->Slot(); }
    CalibrationController& Session() { return *FSession; }
    // Stops a step under way (the window closes, or the main window does).
    void StopRun();
    // Shows the state again (an operation of the main window ended, the line changed).
    void Refresh();
    // The reference's port list again from the main window's (adapters came or
    // went); the choice is kept.
    void FillReferencePorts();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Build();
    bool ReadSettings(CalibrationSettings& settings, ReferenceChoice& reference);
    void RunStep(const std::function<void()>& step);
    void StartClick();
    void WriteClick();
    void VerifyClick();
    void PrintClick();
    std::optional<ManualReading> AskReference(int point, double target, double meterMean);

    MainController& FMain;
    QtHost& FHost;
    MainLink FLink;
    std::shared_ptr<CalibrationController> FSession;

    QLineEdit* EReference = nullptr;
    QComboBox* CBReferencePort = nullptr;
    QComboBox* CBClass = nullptr;
    QLineEdit* EQp = nullptr;
    QLineEdit* ETolerance = nullptr;
    QLineEdit* ESettle = nullptr;
    QLineEdit* EWindow = nullptr;
    QLineEdit* ECv = nullptr;
    QLineEdit* ETimeout = nullptr;
    TFlowTrend* Trend = nullptr;
    QLabel* Mark = nullptr;
    QLabel* MarkFigures = nullptr;
    QTableWidget* Points = nullptr;
    QPushButton* BStart = nullptr;
    QPushButton* BStop = nullptr;
    QPushButton* BByHand = nullptr;
    QPushButton* BSkip = nullptr;
    QPushButton* BWrite = nullptr;
    QPushButton* BVerify = nullptr;
    QPushButton* BPrint = nullptr;
    QLabel* Message = nullptr;
};
