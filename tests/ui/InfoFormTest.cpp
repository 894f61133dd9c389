// The curve window on the offscreen platform: the chart's series for each
// variant, its look, and the picture saved by a click: a metafile that libwmf
// reads, with its header checked independently of the writer.
#include "CalibrationRun.h"
#include "Child.h"
#include "Cp1251.h"
#include "InfoFrm.h"
#include "TestFiles.h"
#include "UiTestHost.h"

#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QLegend>
#include <QLineSeries>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::uint16_t W(const std::string& b, size_t at)
{
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8);
}
std::uint32_t D(const std::string& b, size_t at)
{
    return W(b, at) | static_cast<std::uint32_t>(W(b, at + 2)) << 16;
}

class InfoForm : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int n = 1; n <= 2; ++n) {
            CoefficientSet& c = dev.Coefficients(n);
            for (int i = 2; i <= 9; ++i) c.K[i] = c.Obr[i] = 0.1f * static_cast<float>(i - 1);
        }
        Configure(1, 1, "12345678", 1);
        Configure(2, 15, "44412345", 2);
        form = std::make_unique<TInfoForm>(dev, host, (dir / "Info").string(), &parent);
    }
    void TearDown() override { form.reset(); }
    void Configure(int n, std::uint8_t type, const char* serial, std::uint8_t channel)
    {
        dev.Slot(n).SetTypeCode(type);
        dev.Slot(n).SetSerialText(serial);
        dev.Slot(n).SetChannel(channel);
    }
    std::vector<QPointF> Points() const
    {
        const auto p = form->Series1->points();
        return {p.begin(), p.end()};
    }

    // Open to every user, as a folder made by hand would be.
    TempFolder temp{"clb-info-", {}, true};
    fs::path dir = temp.Path();
    DevManager dev;
    UiTestHost host;
    QWidget parent;
    std::unique_ptr<TInfoForm> form;
};

TEST_F(InfoForm, ShowsTheDeviationOfEachVariantInItsSeries)
{
    dev.Coefficients(1).Obr[5] = 0.05f;
    dev.Coefficients(1).K[5] = 0.051f;
    form->Prepare(1);
    EXPECT_EQ(form->CurveSlot, 1);
    EXPECT_FALSE(form->CurveIsKU);
    EXPECT_FALSE(form->CurveIsGZU);
    auto p = Points();
    ASSERT_EQ(p.size(), 8u);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(p[k].x(), k + 1);
        if (k != 3) {
            EXPECT_EQ(p[k].y(), 0.0);
        }
    }
    EXPECT_NEAR(p[3].y(), 2.0, 1e-5);

    // Slot 2, ГЗУ-08: six points from X = 3, the last on the line.
    dev.Coefficients(2).K[5] = 0.4f * 1.0123456f;
    form->Prepare(2);
    EXPECT_TRUE(form->CurveIsGZU);
    p = Points();
    ASSERT_EQ(p.size(), 6u);
    EXPECT_EQ(p.front().x(), 3);
    EXPECT_DOUBLE_EQ(p[1].y(), 1.2345);
    EXPECT_NEAR(p.back().y(), 0.0, 1e-4);
    EXPECT_EQ(form->DecisionGraph1->chart()->title(), "Кривая калибровки ГЗУ-08 №44412345");

    // КВТ-64КУ with the first and last measured values equal: every point at 0, no crash.
    Configure(1, 14, "44400001", 1);
    dev.Coefficients(1).K[2] = dev.Coefficients(1).K[9];
    form->Prepare(1);
    EXPECT_TRUE(form->CurveIsKU);
    for (const QPointF& q : Points()) EXPECT_EQ(q.y(), 0.0);
}

// A calibration run of a slot adds its passes to that slot's chart, with a
// legend and a scale that holds them; the other slot's chart stays as it was.
TEST_F(InfoForm, ShowsTheRunsPassesBesideTheTable)
{
    CalibrationResult run;
    for (int k = 1; k <= 8; ++k) {
        CalibrationPoint p;
        p.AsFound.emplace();
        p.AsFound->ErrorPct = k == 8 ? -5.0 : 0.5 * k;
        p.AsLeft.emplace();
        p.AsLeft->ErrorPct = 0.01 * k;
        run.Points.push_back(p);
    }
    form->SetCalibrationRun(1, run);
    form->Prepare(1);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    ASSERT_TRUE(form->AsFoundSeries->isVisible());
    ASSERT_TRUE(form->AsLeftSeries->isVisible());
    ASSERT_EQ(form->AsFoundSeries->count(), 8);
    EXPECT_EQ(form->AsFoundSeries->at(7), QPointF(8, -5.0));
    EXPECT_EQ(form->AsLeftSeries->at(2), QPointF(3, 0.03));
    EXPECT_TRUE(form->DecisionGraph1->chart()->legend()->isVisible());
    auto* left = qobject_cast<QCategoryAxis*>(form->DecisionGraph1->chart()->axes(Qt::Vertical).front());
    ASSERT_NE(left, nullptr);
    EXPECT_LE(left->min(), -5.0);
    EXPECT_GE(left->max(), 5.0);
    EXPECT_EQ(Points().size(), 8u); // the table's curve is still there

    form->hide();
    form->Prepare(2);
    EXPECT_FALSE(form->AsFoundSeries->isVisible());
    EXPECT_EQ(form->AsFoundSeries->count(), 0);
    EXPECT_FALSE(form->DecisionGraph1->chart()->legend()->isVisible());
    form->ClearCalibrationRun(1);
    form->Prepare(1);
    EXPECT_FALSE(form->AsLeftSeries->isVisible());
}

TEST_F(InfoForm, LooksAsTheWindowIsDescribed)
{
    parent.setGeometry(100, 100, 800, 600);
    form->Prepare(1);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_EQ(form->windowTitle(), "Кривая калибровки ");
    EXPECT_EQ(form->frameGeometry().size(), QSize(563, 390));
    EXPECT_LE((form->frameGeometry().center() - parent.frameGeometry().center()).manhattanLength(), 1);
    QChart* chart = form->DecisionGraph1->chart();
    EXPECT_EQ(form->DecisionGraph1->objectName(), "DecisionGraph1");
    EXPECT_EQ(form->Series1->objectName(), "Series1");
    EXPECT_EQ(form->Series1->name(), "Кривая калибровки");
    EXPECT_EQ(form->Series1->color(), QColor(Qt::red));
    EXPECT_FALSE(chart->legend()->isVisible());
    EXPECT_EQ(chart->title(), "Кривая калибровки КВТ-64 №12345678");
    std::map<Qt::Alignment, QString> titles;
    for (QAbstractAxis* axis : chart->axes()) titles[axis->alignment()] = axis->titleText();
    EXPECT_EQ(titles[Qt::AlignBottom], "Точка");
    EXPECT_EQ(titles[Qt::AlignTop], "Точка");
    EXPECT_EQ(titles[Qt::AlignLeft], "delta %");
    // All points at 0: the left axis of a 1 % curve, labels in "#,##0.###" from zero.
    auto* left = qobject_cast<QCategoryAxis*>(chart->axes(Qt::Vertical).first());
    ASSERT_NE(left, nullptr);
    EXPECT_DOUBLE_EQ(left->min(), -1.2);
    EXPECT_DOUBLE_EQ(left->max(), 1.2);
    EXPECT_TRUE(left->categoriesLabels().contains("0"));
    EXPECT_TRUE(left->categoriesLabels().contains("1.2"));
    EXPECT_TRUE(left->categoriesLabels().contains("-1.2"));
    // Margins in per cent of the chart: left 2, top 1, right 3, bottom 1.
    const QSize size = form->DecisionGraph1->size();
    EXPECT_EQ(chart->margins(), QMargins(std::lround(size.width() * 0.02), std::lround(size.height() * 0.01),
                                         std::lround(size.width() * 0.03), std::lround(size.height() * 0.01)));
    if (const char* shot = std::getenv("CLB_SCREENSHOT")) form->grab().save(shot);
}

// Walks the records of a metafile: the largest number of objects alive at once,
// the record count, and the texts of the text records.
struct MetafileWalk {
    int maxObjects = 0, records = 0;
    std::uint32_t words = 0, largest = 0;
    bool ended = false;
};
MetafileWalk Walk(const std::string& b, size_t from)
{
    MetafileWalk w;
    std::vector<bool> table;
    size_t at = from;
    while (at + 6 <= b.size()) {
        const std::uint32_t size = D(b, at);
        const std::uint16_t function = W(b, at + 4);
        if (size < 3 || at + size * 2 > b.size()) break;
        ++w.records;
        w.words += size;
        w.largest = std::max(w.largest, size);
        if (function == 0x02FA || function == 0x02FB || function == 0x02FC) {
            auto free = std::find(table.begin(), table.end(), false);
            if (free == table.end()) table.push_back(true);
            else *free = true;
            w.maxObjects = std::max(w.maxObjects, static_cast<int>(std::count(table.begin(), table.end(), true)));
        } else if (function == 0x01F0) {
            table.at(W(b, at + 6)) = false;
        } else if (function == 0x012D) {
            EXPECT_TRUE(table.at(W(b, at + 6))) << "a selected object exists";
        }
        at += size * 2;
        if (function == 0) {
            w.ended = true;
            break;
        }
    }
    EXPECT_EQ(at, b.size()) << "nothing after the end record";
    return w;
}

TEST_F(InfoForm, AClickSavesTheWholeChartAsAMetafileThatLibwmfReads)
{
    form->Prepare(1);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    const fs::path wmf = dir / "Info" / "curve.wmf";
    host.Files = {wmf.string()};
    QTest::mouseClick(form->DecisionGraph1->viewport(), Qt::LeftButton, {}, QPoint(200, 150));
    ASSERT_EQ(host.Dialogs().size(), 1u);
    EXPECT_EQ(host.Dialogs()[0].FileName, "КВТ-64_12345678_1.wmf");
    EXPECT_EQ(host.Dialogs()[0].InitialFolder, (dir / "Info").string());
    EXPECT_EQ(host.Dialogs()[0].DefaultExt, "wmf");
    EXPECT_EQ(host.Dialogs()[0].Filter.rfind("WMF File|*.wmf", 0), 0u);
    EXPECT_TRUE(host.Messages().empty());
    const std::string b = ReadFile(wmf);
    ASSERT_GT(b.size(), 40u);

    // The placeable header: key, bounding box of the chart, and the XOR of its ten words.
    EXPECT_EQ(D(b, 0), 0x9AC6CDD7u);
    std::uint16_t sum = 0;
    for (int i = 0; i < 10; ++i) sum ^= W(b, 2 * i);
    EXPECT_EQ(W(b, 20), sum);
    const QSize size = form->DecisionGraph1->size();
    EXPECT_EQ(W(b, 10) - W(b, 6), size.width() * W(b, 14) / 96);
    EXPECT_EQ(W(b, 12) - W(b, 8), size.height() * W(b, 14) / 96);
    // The standard header against the records themselves.
    EXPECT_EQ(W(b, 22), 1);
    EXPECT_EQ(W(b, 24), 9);
    EXPECT_EQ(W(b, 26), 0x0300);
    const MetafileWalk walk = Walk(b, 22 + 18);
    EXPECT_TRUE(walk.ended);
    EXPECT_EQ(D(b, 28), 9 + walk.words) << "size in words";
    EXPECT_EQ(W(b, 32), walk.maxObjects) << "objects";
    EXPECT_EQ(D(b, 34), walk.largest) << "largest record";
    EXPECT_GT(walk.maxObjects, 1);

    // libwmf reads it; the picture has the axis titles and eight value marks in a row.
    const fs::path svg = dir / "curve.svg";
    ASSERT_EQ(std::system(("wmf2svg -o '" + svg.string() + "' '" + wmf.string() + "' 2>'" + (dir / "err").string() + "'").c_str()), 0)
        << ReadFile(dir / "err");
    const std::string s = ReadFile(svg);
    if (const char* keep = std::getenv("CLB_KEEP_WMF")) fs::copy_file(wmf, keep, fs::copy_options::overwrite_existing);
    // libwmf passes the texts through as they are stored: in code page 1251.
    EXPECT_NE(s.find(Utf8ToCp1251Lossy(">Точка<")), std::string::npos);
    EXPECT_NE(s.find(">delta %<"), std::string::npos);
    EXPECT_NE(s.find(Utf8ToCp1251Lossy(">Кривая калибровки КВТ-64 №12345678<")), std::string::npos);
    // The marks: red squares of the points.
    const std::regex mark(R"re(<(?:rect|polygon)[^>]*>)re");
    std::vector<double> xs;
    for (auto it = std::sregex_iterator(s.begin(), s.end(), mark); it != std::sregex_iterator(); ++it) {
        const std::string e = it->str();
        if (e.find("fill:red;") == std::string::npos) continue;
        std::smatch x;
        if (std::regex_search(e, x, std::regex(R"re(\bx="([-0-9.]+)")re")) ||
            std::regex_search(e, x, std::regex(R"re(points="\s*([-0-9.]+))re")))
            xs.push_back(std::stod(x[1]));
    }
    ASSERT_EQ(xs.size(), 8u) << s.substr(0, 3000);
    for (size_t i = 1; i < xs.size(); ++i) EXPECT_GT(xs[i], xs[i - 1]);
}

TEST_F(InfoForm, ASaveIntoAFolderThatCannotBeWrittenIsToldAndLeavesNothing)
{
    form->Prepare(1);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    // Root writes into any folder, so the click runs in a child that drops to
    // an ordinary user (nobody) before it saves, into a folder that it may
    // enter and read but not write.
    const fs::path folder = dir / "Info";
    fs::create_directories(folder);
    const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(dir, readOnly | fs::perms::owner_write);
    fs::permissions(folder, readOnly);
    const fs::path wmf = folder / "curve.wmf";
    const ChildResult child = RunInChild(
        [&] {
            if (!DropToNobody().empty()) ::_exit(3);
            host.Files = {wmf.string()};
            QTest::mouseClick(form->DecisionGraph1->viewport(), Qt::LeftButton, {}, QPoint(200, 150));
            std::string report = form->isVisible() ? "open\n" : "closed\n";
            for (const std::string& m : host.Messages()) report += m + "\n";
            return report;
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(child.Fault.empty()) << child.Fault;
    const std::string& report = child.Report;
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);

    // One message, the file-error message naming the file and the reason; the window stays open.
    EXPECT_EQ(report, "open\nОшибка создания файла " + wmf.string() + ": " + std::strerror(EACCES) + "\n");
    EXPECT_TRUE(fs::is_empty(folder)) << "nothing is left in the folder";
}

// Both point axes carry "1" .. "8" and nothing else: no invisible character
// reaches an exported picture (in code page 1251 it would come out as "?").
TEST_F(InfoForm, ExportedPicturesCarryThePointNumbersWithoutInvisibleCharacters)
{
    form->Prepare(1);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    for (const char* name : {"curve.wmf", "curve.svg"}) {
        const fs::path file = dir / "Info" / name;
        host.Files = {file.string()};
        QTest::mouseClick(form->DecisionGraph1->viewport(), Qt::LeftButton, {}, QPoint(200, 150));
        ASSERT_TRUE(fs::exists(file)) << name;
    }
    ASSERT_TRUE(host.Messages().empty());

    const fs::path converted = dir / "from-wmf.svg";
    ASSERT_EQ(std::system(("wmf2svg -o '" + converted.string() + "' '" + (dir / "Info" / "curve.wmf").string() +
                           "' 2>/dev/null")
                              .c_str()),
              0);
    const std::string fromWmf = ReadFile(converted);
    const std::string svg = ReadFile(dir / "Info" / "curve.svg");
    const std::string zeroWidthSpace = "\xE2\x80\x8B";
    EXPECT_EQ(svg.find(zeroWidthSpace), std::string::npos);
    EXPECT_EQ(fromWmf.find("?<"), std::string::npos) << "a character that code page 1251 lacks";
    for (int k = 1; k <= 8; ++k) {
        const std::string label = ">" + std::to_string(k) + "<";
        auto count = [&](const std::string& text) {
            size_t n = 0;
            for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1))
                ++n;
            return n;
        };
        EXPECT_EQ(count(fromWmf), 2u) << "point " << k << " on the bottom and the top axis of the metafile";
        // Qt's SVG writes each text as an element of its own, with the label inside.
        EXPECT_GE(count(svg), 2u) << "point " << k << " in the SVG";
    }
}

} // namespace

CLB_UI_TEST_MAIN
