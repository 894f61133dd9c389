// The main window: the serial settings and Connect/Disconnect at the top, the
// two slot columns below, and the tray icon.
//
// The window shows what the workflow's MainController decides and passes its
// events on. Operations that use the serial port (connect, disconnect, saving
// and writing coefficients) run on a thread of their own, so that the window
// keeps painting; while one runs, every other handler refuses with a word in
// the status bar, and closing waits until it has ended.
#pragma once

#include "CertificateLayout.h"
#include "Host.h"
#include "MainController.h"
#include "PlantLink.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QStatusBar;
class QSystemTrayIcon;
class QFileSystemWatcher;
class QToolButton;
class QPushButton;
class QtHost;
class TCalibrationForm;
class TDevAddForm;
class TDevSelForm;
class TFormDelays;
class TInfoForm;

class TMainFrm : public QWidget {
    Q_OBJECT
public:
    // folders: where the settings file and the program's folders are.
    explicit TMainFrm(const ProgramFolders& folders, QWidget* parent = nullptr);
    ~TMainFrm() override;

    QtHost& HostOfWindow() { return *FHost; }
    MainController& Controller() { return *FController; }

    // What the workflow's host calls (main thread only).
    void SetProgress(int minimum, int maximum, int position);
    void ShowProgressBar(bool visible);
    void SetBox(const std::string& name, const std::optional<std::string>& text, std::optional<BoxColour> colour);
    // The workflow's word in the status bar (empty: cleared).
    void SetStatusText(const std::string& text);
    void SetConnectButtons(bool connectEnabled, bool disconnectEnabled);
    bool PollBoxChecked(int slot) const;
    // Draws both slot columns as the controller has them (step 3 of the rebuild).
    void DrawSlots();

    // True while an operation of the port runs.
    bool OperationRunning() const { return FOperation.joinable(); }

    // The handlers.
    void CBPortChange(int index);
    void CBBaudChange(int index);
    void SBLogClick();
    void BConnectClick();
    void BDisconnectClick();
    void Img1Click(int slot);
    void Img1MouseDown(int slot);
    void BLoadConfClick();
    void BSaveConfClick();
    void BLoad01Click(int slot);
    void BSave01Click(int slot);
    void BGraph01Click(int slot);
    void PrintClick();
    // The calibration window of a slot (only while connected): opened, or
    // brought up when it is open already.
    void CalibrateClick(int slot);
    TCalibrationForm* CalibrationWindow(int slot) const;
    // What the calibration window's print button writes the certificate with.
    void SetCertificateWriter(CertificateWriter writer) { FCertificate = std::move(writer); }
    void CBDev01Click(int slot);
    void OpenHelp();
    void Exit1Click();

    // The colour a box shows now (its base colour), for tests and pictures.
    static QColor ColourOf(BoxColour colour);

signals:
    void OperationFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void BuildTray();
    // The plant record's word in the status bar (only when the settings turn it on).
    void ShowPlantRecord();
    // Runs an operation of the port outside the main thread; false (with a
    // word in the status bar) when another one is still running.
    bool RunOperation(const std::function<void()>& op);
    bool Refuse();
    // Gives up a read-out under way (Disconnect, Escape); false when none runs.
    bool CancelReadOut();
    void OnOperationFinished();
    // transient: a word that holds only while an operation runs; it goes
    // when the operation ends.
    void Status(const QString& text, bool transient = false);
    void ClearTransientStatus();
    void UpdatePortHint();
    // The port and baud lists are usable only while the controller allows it.
    void UpdatePortLists();
    // Draws the port list the controller makes of the serial devices present.
    void FillPorts();
    // The calibration button and the open calibration windows follow the connection.
    void UpdateCalibration();

    std::unique_ptr<QtHost> FHost;
    std::unique_ptr<MainController> FController;
    std::unique_ptr<PlantLink> FPlant;

    QComboBox* CBPort = nullptr;
    QComboBox* CBBaud = nullptr;
    QToolButton* SBLog = nullptr;
    QPushButton* BConnect = nullptr;
    QPushButton* BDisconnect = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QStatusBar* StatusBar = nullptr;
    std::map<std::string, QLineEdit*> FBoxes;
    std::array<QGroupBox*, 2> GDev{};
    std::array<QLabel*, 2> Img{};
    std::array<QLabel*, 2> L{};
    std::array<QCheckBox*, 2> CBDev{};
    std::array<QToolButton*, 2> BLoad{};
    std::array<QToolButton*, 2> BSave{};
    std::array<QToolButton*, 2> BGraph{};
    QToolButton* BLoadConf = nullptr;
    QToolButton* BSaveConf = nullptr;
    QToolButton* BPrint = nullptr;
    QToolButton* BCalib = nullptr;
    QSystemTrayIcon* FTray = nullptr;
    QString FTransientStatus;
    QFileSystemWatcher* FPortWatch = nullptr;

    TDevAddForm* FDevAdd = nullptr;
    TDevSelForm* FDevSel = nullptr;
    TFormDelays* FDelays = nullptr;
    TInfoForm* FInfo = nullptr;
    std::array<QPointer<TCalibrationForm>, 2> FCalibration{};
    CertificateWriter FCertificate;

    std::thread FOperation;
    bool FCloseRequested = false;
    bool FClosed = false;
    bool FShiftAtClick = false;
};
