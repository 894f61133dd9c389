// The certificate of a calibration run, printed into a PDF and read back with
// pdftotext: what it names, the verdicts of its points, the title of a
// verification alone, and the chart's values beside its axis.
#include "CertificateLayout.h"
#include "PagePrinter.h"
#include "PdfWords.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

PassPoint Point(double target, double reference, double meter, double mpe, double u, Verdict verdict)
{
    PassPoint p;
    p.Target = target;
    p.Reference.Stats = {20, reference, reference * 0.001, reference * 0.99, reference * 1.01, 0.1};
    p.Meter.Stats = {20, meter, meter * 0.001, meter * 0.99, meter * 1.01, 0.1};
    p.ErrorPct = (meter - reference) / reference * 100;
    p.MpePct = mpe;
    p.UPct = u;
    p.PointVerdict = verdict;
    return p;
}

// A calibration of three points: as found with a few per cent of error, as
// left one point fit, one not fit and one undetermined.
CalibrationResult Result(bool verifyOnly)
{
    CalibrationResult r;
    r.Outcome = RunOutcome::NotPassed;
    r.VerifyOnly = verifyOnly;
    r.AccuracyClass = 2;
    r.Qp = 10;
    r.ReferenceUncertaintyPct = 0.25;
    r.ReferenceDescription = "ДЛН-08.09 № 7777, адрес 5";
    CoefficientTables before;
    before.Gmax = 10;
    r.Before = before;
    const double targets[] = {1, 5, 10};
    const double asFound[] = {1.04, 5.15, 9.8};
    const double asLeft[] = {1.001, 5.2, 10.21};
    const Verdict verdicts[] = {Verdict::Pass, Verdict::Fail, Verdict::Undetermined};
    for (int i = 0; i < 3; ++i) {
        CalibrationPoint p;
        p.Target = targets[i];
        p.AsFound = Point(targets[i], targets[i], asFound[i], 2.2, 0.3, verifyOnly ? verdicts[i] : Verdict::Fail);
        if (!verifyOnly) {
            p.AsLeft = Point(targets[i], targets[i], asLeft[i], 2.2, 0.3, verdicts[i]);
            p.K = 0.1 * targets[i];
            p.Obr = 0.1 * targets[i];
        }
        r.Points.push_back(p);
    }
    r.Written = !verifyOnly;
    return r;
}

DeviceSlot Meter()
{
    DeviceSlot s;
    s.SetTypeCode(1);
    s.SetSerialText("0012345");
    s.SetChannel(2);
    s.SetSoftwareVersion(3.25f);
    return s;
}

CertificateDetails Details()
{
    CertificateDetails d;
    d.Number = "20261211-0012345-101500";
    d.Date = "11.12.2026";
    d.Operator = "Петров П. П.";
    d.Footer = {"г. Город, ул. Заводская, 1", "Сервис: 100-200", "mail@example.org"};
    return d;
}

class CertificatePrint : public ::testing::Test {
protected:
    // The words of the certificate's one page, joined by blanks in the order read.
    std::string Print(const CalibrationResult& result)
    {
        const fs::path pdf = dir / "certificate.pdf";
        std::string error;
        EXPECT_TRUE(PrintSheetsToPdf(LayoutCertificate(result, Meter(), Details()), pdf.string(), error)) << error;
        if (const char* keep = std::getenv("CLB_KEEP_PDF"))
            fs::copy_file(pdf, keep, fs::copy_options::overwrite_existing);
        words.clear();
        EXPECT_TRUE(ReadPdfWords(pdf, words));
        std::string text;
        for (const PdfWord& w : words) {
            EXPECT_EQ(w.Page, 1) << w.Text;
            text += w.Text + " ";
        }
        return text;
    }
    TempFolder temp{"clb-cert-"};
    fs::path dir = temp.Path();
    std::vector<PdfWord> words;
};

TEST_F(CertificatePrint, NamesEverythingAndJudgesEachPoint)
{
    const std::string text = Print(Result(false));
    for (const char* field :
         {"СВИДЕТЕЛЬСТВО О КАЛИБРОВКЕ", "№ 20261211-0012345-101500", "11.12.2026", "зав. № 0012345", "канал 2",
          "версия ПО 3.25", "ДЛН-08.09 № 7777, адрес 5", "±0.25 %", "Класс точности: 2, qp = 10.000",
          "Результаты до калибровки", "Результаты после калибровки", "МДП, ±%", "|E| + U ≤ МДП", "|E| − U",
          "Калибровку выполнил", "Петров П. П.", "подпись", "г. Город, ул. Заводская, 1", "Сервис: 100-200",
          "mail@example.org", "до калибровки", "после калибровки", "Заключение: прибор не годен"})
        EXPECT_NE(text.find(field), std::string::npos) << field << " not in: " << text;
    // The as-left errors of the three points and their verdicts, in this order.
    const std::size_t left = text.find("Результаты после калибровки");
    const std::size_t a = text.find("0.100 2.20 0.30 годен", left), b = text.find("4.000 2.20 0.30 не годен", left),
                      c = text.find("2.100 2.20 0.30 не определено", left);
    EXPECT_TRUE(a != std::string::npos && b != std::string::npos && c != std::string::npos && a < b && b < c) << text;
    // Everything within the paper, nothing under the footer's rule but the footer.
    for (const PdfWord& w : words) {
        EXPECT_GE(w.XMin, 0) << w.Text;
        EXPECT_LE(w.XMax * 25.4 / 72, 205) << w.Text;
        EXPECT_LE(w.YMax * 25.4 / 72, 290) << w.Text;
    }
}

TEST_F(CertificatePrint, AVerificationAloneSaysSoAndHasOneTable)
{
    CalibrationResult r = Result(true);
    const std::string text = Print(r);
    EXPECT_NE(text.find("СВИДЕТЕЛЬСТВО О ПОВЕРКЕ"), std::string::npos) << text;
    EXPECT_NE(text.find("Результаты поверки"), std::string::npos) << text;
    EXPECT_NE(text.find("Поверку выполнил"), std::string::npos) << text;
    EXPECT_EQ(text.find("КАЛИБРОВКЕ"), std::string::npos) << text;
    EXPECT_EQ(text.find("после калибровки"), std::string::npos) << text;
    EXPECT_NE(text.find("3.000 2.20 0.30 не годен"), std::string::npos) << text;

    // Every point fit: the meter is fit; none measured: the run is not finished.
    for (CalibrationPoint& p : r.Points) p.AsFound->PointVerdict = Verdict::Pass;
    r.Outcome = RunOutcome::Passed;
    EXPECT_NE(Print(r).find("Заключение: прибор годен"), std::string::npos);
    r.Outcome = RunOutcome::TimedOut;
    r.Message = "Точка 3 не установилась за 120 с";
    const std::string stopped = Print(r);
    EXPECT_NE(stopped.find("поверка не завершена"), std::string::npos) << stopped;
    EXPECT_NE(stopped.find("Точка 3 не установилась за 120 с"), std::string::npos) << stopped;
}

TEST(CertificateNumber, IsTheDateTheSerialAndTheTime)
{
    DeviceSlot s = Meter();
    s.SetSerialText(" 12/34 ");
    std::tm t{};
    t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 11, t.tm_hour = 7, t.tm_min = 5, t.tm_sec = 9, t.tm_isdst = -1;
    EXPECT_EQ(CertificateNumber(s, std::mktime(&t)), "20261211-1234-070509");
    s.SetSerialText("");
    EXPECT_EQ(CertificateNumber(s, std::mktime(&t)), "20261211-0-070509");
}

} // namespace
