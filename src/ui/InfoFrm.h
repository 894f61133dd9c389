// The calibration-curve window: the deviation in per cent of the measured from
// the reference flow at the eight calibration points of a slot, as a line
// chart; a click on the chart saves it as a Windows metafile (or, by the
// extension chosen, as SVG, PNG or PDF).
#pragma once

#include "Curve.h"
#include "DevManager.h"
#include "Host.h"

#include <QDialog>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

class QChart;
class QChartView;
class QCategoryAxis;
class QLineSeries;
class CurveMarks;

class TInfoForm : public QDialog {
    Q_OBJECT
public:
    // dev: the slot table and coefficients; host: messages and the save
    // dialog; infoFolder: where pictures are saved (created on the first save).
    TInfoForm(const DevManager& dev, Host& host, std::string infoFolder, QWidget* parent = nullptr);
    ~TInfoForm() override;

    // The curve button of slot 1 or 2: Prepare, then the modal showing.
    void OpenForSlot(int slot);
    // Everything of the curve button but the showing: the state below, the
    // chart title, the caption "Кривая калибровки ", the chart filled
    // (FormShow) and the window centred on its parent.
    void Prepare(int slot);

    // The deviation of a calibration run of a slot (1 or 2): from then on the
    // slot's chart shows it beside the table's curve, as found and as left,
    // with a legend; ClearCalibrationRun takes it away.
    void SetCalibrationRun(int slot, const CalibrationResult& result);
    void ClearCalibrationRun(int slot);

    // Fills the chart from the slot CurveSlot; runs at every showing.
    void FormShow();
    // The click on the chart: the save dialog and the picture. True when a
    // file was written; false on cancel or failure (told through the host).
    bool DecisionGraph1Click();

    // Writes the whole chart to a file in the format of its extension: .svg,
    // .png, .pdf, anything else a placeable Windows metafile. Atomic; false
    // with the file-error message.
    bool SaveChart(const std::string& path, std::string& error);
    // The chart as a placeable Windows metafile.
    std::string ChartMetafile();

    // Set by the curve buttons only; kept after the window is closed.
    std::uint8_t CurveSlot = 1;
    bool CurveIsKU = false;
    bool CurveIsGZU = false;

    // The chart (objectName "DecisionGraph1") and its series ("Series1").
    QChartView* DecisionGraph1 = nullptr;
    QLineSeries* Series1 = nullptr;
    // The run's passes ("AsFoundSeries", "AsLeftSeries"), empty and hidden
    // when the slot has no run.
    QLineSeries* AsFoundSeries = nullptr;
    QLineSeries* AsLeftSeries = nullptr;
    // The save dialog's filter and default extension.
    static constexpr const char* SaveFilter =
        "WMF File|*.wmf|SVG File|*.svg|PNG File|*.png|PDF File|*.pdf";

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ApplyScales();

    const DevManager& FDev;
    Host& FHost;
    std::string FInfoFolder;
    QChart* FChart = nullptr;
    QCategoryAxis* FAxisLeft = nullptr;
    QCategoryAxis* FAxisBottom = nullptr;
    QCategoryAxis* FAxisTop = nullptr;
    CurveMarks* FMarks = nullptr;
    CurveScales FScales;
    std::array<std::optional<RunDeviation>, 2> FRuns;
};
