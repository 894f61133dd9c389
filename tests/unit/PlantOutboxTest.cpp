// The outbox's lines and its cursor, without a server.
#include "PlantOutbox.h"
#include "PlantSender.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

// A bench's folder: its journal and the outbox beside it.
struct Folder : TempFolder {
    Folder() : TempFolder("clb-plant-") {}
    std::string Journal() const { return *this / "journal.csv"; }
    std::string Outbox() const { return OutboxPath(Journal()); }
};

PlantEvent Sample()
{
    PlantEvent e;
    e.Id = NewEventId();
    e.Kind = "calibration";
    e.Bench = "стенд;1=%";
    e.Host = "host";
    e.Operator = "O'Brien \"x\"\r\nИванов\\";
    e.Time = "2026-12-10T14:50:58+03:00";
    e.Fields = {{"serial", "12;3=4%5\n"}, {"file", ""}, {"outcome", "записано"}};
    PlantPoint p;
    p.Number = 2;
    p.Nominal = 0.5;
    p.FoundError = -1.25;
    p.Verdict = "годен";
    e.Points.push_back(p);
    return e;
}

} // namespace

TEST(PlantOutboxLine, EveryTextSurvivesTheLineExactly)
{
    const PlantEvent e = Sample();
    const std::string line = OutboxLine(e);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto back = ParseOutboxLine(line);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Id, e.Id);
    EXPECT_EQ(back->Bench, e.Bench);
    EXPECT_EQ(back->Operator, e.Operator);
    EXPECT_EQ(back->Fields, e.Fields);
    ASSERT_EQ(back->Points.size(), 1u);
    EXPECT_EQ(back->Points[0].Number, 2);
    EXPECT_EQ(back->Points[0].Nominal, 0.5);
    EXPECT_EQ(back->Points[0].FoundError, -1.25);
    EXPECT_TRUE(std::isnan(back->Points[0].Reference));
    EXPECT_EQ(back->Points[0].Verdict, "годен");
}

TEST(PlantOutboxLine, ALineCutShortOrAlteredIsRefused)
{
    const std::string line = OutboxLine(Sample());
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, line.size() / 2, line.size() - 1})
        EXPECT_FALSE(ParseOutboxLine(line.substr(0, cut))) << cut;
    std::string altered = line;
    altered[10] = altered[10] == 'x' ? 'y' : 'x';
    EXPECT_FALSE(ParseOutboxLine(altered));
}

TEST(PlantOutboxLine, IdsAreUuidsThatGrowInTheOrderTheyAreMade)
{
    std::string previous = NewEventId();
    for (int i = 0; i < 10000; ++i) {
        const std::string id = NewEventId();
        ASSERT_EQ(id.size(), 36u);
        EXPECT_EQ(id[14], '7');
        ASSERT_LT(previous, id);
        previous = id;
    }
}

TEST(PlantOutbox, TheCursorCountsWhatWaitsAndAFullyDeliveredOutboxEmpties)
{
    Folder f;
    const std::string path = OutboxPath(f.Journal());
    std::string error;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(AppendOutbox(path, Sample(), error)) << error;
    PlantOutbox outbox(path);
    EXPECT_EQ(outbox.Pending(), 3u);
    OutboxBatch first = outbox.Read(2, error);
    ASSERT_EQ(first.Events.size(), 2u);
    ASSERT_TRUE(outbox.MarkSent(first, error));
    EXPECT_EQ(outbox.Pending(), 1u);
    OutboxBatch rest = outbox.Read(10, error);
    ASSERT_EQ(rest.Events.size(), 1u);
    ASSERT_TRUE(outbox.MarkSent(rest, error));
    EXPECT_EQ(outbox.Pending(), 0u);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    // Appends after emptying are read from the start.
    ASSERT_TRUE(AppendOutbox(path, Sample(), error));
    EXPECT_EQ(outbox.Read(10, error).Events.size(), 1u);
}

TEST(PlantOutbox, OneSenderAtATime)
{
    Folder f;
    const std::string path = OutboxPath(f.Journal());
    PlantOutbox a(path), b(path);
    std::string error;
    EXPECT_TRUE(a.TakeSending(error));
    EXPECT_FALSE(b.TakeSending(error));
    EXPECT_NE(error.find("другая программа"), std::string::npos);
}

TEST(PlantStatusText, SaysWhatWaitsWhyAndTheMetersLatestEvent)
{
    PlantStatus s;
    s.Waiting = 3;
    EXPECT_EQ(PlantStatusWord(s), "Учёт: ждут 3");
    s.Problem = "Сервер учёта недоступен: Connection refused";
    EXPECT_EQ(PlantStatusWord(s), "Учёт: нет связи, ждут 3");
    s = {};
    s.Connected = true;
    EXPECT_EQ(PlantStatusWord(s), "Учёт: всё отправлено");
    PlantRecordRow r;
    r.Kind = "calibration";
    r.Time = "2026-12-10T14:50:58+03:00";
    r.Bench = "стенд-2";
    r.Operator = "ivanov";
    r.Outcome = "годен";
    s.Last["111"] = r;
    s.Last["222"] = std::nullopt;
    const std::string tip = PlantStatusTooltip(s, {"111", "222", "333"});
    EXPECT_NE(tip.find("111: последняя калибровка 2026-12-10T14:50:58+03:00, стенд стенд-2, оператор ivanov: годен"),
              std::string::npos)
        << tip;
    EXPECT_NE(tip.find("222: в учёте ещё нет событий"), std::string::npos);
    EXPECT_EQ(tip.find("333"), std::string::npos);
}
