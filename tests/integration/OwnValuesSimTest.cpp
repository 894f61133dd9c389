// A file saved from a meter, loaded back into that meter: whatever the type,
// the values the meter holds itself raise no doubt with the write question,
// in any of the three formats. Each row is one type code, its meter as the
// simulator keeps it from the factory; the КВТ-64 with the tables of the
// workflow fixture, which keep K0 and Ku in converter units as that meter does.
#include "CoefficientActions.h"
#include "Settings.h"
#include "TestFiles.h"
#include "WorkflowFixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using namespace workflow_test;

namespace {

struct TypeRow {
    const char* name;
    int code;
    json meter;
    int address;
    std::uint32_t relay = 0; // the relay's serial number for the relay-addressed types
};

void PrintTo(const TypeRow& r, std::ostream* os)
{
    *os << r.name;
}

json Meter(const char* protocol, const char* model, int address)
{
    return {{"address", address}, {"protocol", protocol}, {"model", model}};
}

json Relay(const char* model, std::uint32_t serial)
{
    return {{"serial", serial}, {"protocol", "relay"}, {"model", model}};
}

class OwnValues : public Workflow, public ::testing::WithParamInterface<TypeRow> {
protected:
    // Open to every user, as a folder made by hand would be.
    TempFolder temp{"clb-own-values-", {}, true};
    fs::path dir = temp.Path();
    Settings settings;
};

TEST_P(OwnValues, RaiseNoDoubtInAnyFormat)
{
    const TypeRow& r = GetParam();
    DeviceSlot slot = Slot(r.code, r.address, 1);
    if (r.relay) slot.SetRelayAddress(r.relay);
    Start(Line({r.meter}), {slot});
    ASSERT_TRUE(connection->BConnectClick(choice)) << host.Transcript();
    ASSERT_TRUE(dev.Coefficients(1).ReadDone);
    CoefficientActions actions(dev, *poller, host, &settings, dir.string());
    host.DefaultAnswer = MsgAnswer::No;
    for (const char* ext : {".kvt", ".txt", ".tpr"}) {
        const std::string file = (dir / (std::string("own") + ext)).string();
        host.Files = {file};
        ASSERT_TRUE(actions.BSave01Click(1)) << file << "\n" << host.Transcript();
        host.ClearMessages();
        host.Files = {file};
        EXPECT_EQ(actions.BLoad01Click(1), CoefficientActions::LoadResult::Declined) << file << "\n" << host.Transcript();
        EXPECT_EQ(actions.Warnings(), std::vector<std::string>{}) << file;
        ASSERT_FALSE(host.Messages().empty());
        EXPECT_EQ(host.Messages().back(), ext == std::string(".tpr") ? std::string(TprRoundingNotice) + "\n\n" +
                                                                             WriteQuestion
                                                                       : std::string(WriteQuestion))
            << file;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryType, OwnValues,
    ::testing::Values(TypeRow{"Kvt64", 1, Kvt64(1), 1}, TypeRow{"Kvt641", 2, Meter("6x", "kvt641", 2), 2},
                      TypeRow{"Kvt61", 3, Meter("6x", "kvt61", 3), 3}, TypeRow{"Kvt66", 4, Meter("6x", "kvt66", 4), 4},
                      TypeRow{"Kvt76", 5, Meter("6x", "kvt76", 5), 5}, TypeRow{"Kvt78", 6, Meter("6x", "kvt78", 6), 6},
                      TypeRow{"Kvt64M1", 7, Meter("6x", "kvt64m1", 7), 7},
                      TypeRow{"Dln0803s", 8, Meter("6x", "dln0803s", 8), 8},
                      TypeRow{"Dln0805", 9, Meter("m4", "dln0805", 9), 9},
                      TypeRow{"Dln0805s", 10, Meter("6x", "dln0805s", 10), 10},
                      TypeRow{"Dln0807", 11, Meter("m4", "dln0807", 11), 11},
                      TypeRow{"Dln0807s", 12, Meter("6x", "dln0807s", 12), 12},
                      TypeRow{"Dln0809", 13, Meter("6x", "dln0809", 13), 13},
                      TypeRow{"Kvt64KU", 14, Relay("kvt64ku", 44412345), 0, 44412345},
                      TypeRow{"Gzu08", 15, Relay("gzu08", 44454321), 0, 44454321},
                      TypeRow{"Kvt09M4", 16, Meter("m4", "kvt09m4", 16), 16}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
