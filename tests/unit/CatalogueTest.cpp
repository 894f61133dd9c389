// The device catalogue row by row. Non-ASCII letters are spelled as \u escapes,
// so that a Latin M and a Cyrillic М (U+041C), or a Latin C and a Cyrillic С
// (U+0421), can be told apart in this file; the comparison is of UTF-8 bytes.
#include "DeviceCatalogue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

namespace {

constexpr const char* None = nullptr;

struct Row {
    const char* name;
    DeviceTypeCode code;
    const char* display;
    const char* list;
    const char* latin;
    const char* picture;
    std::optional<bool> twoChannels;
    const char* driver;
    ProtocolFamily protocol;
};

// The bytes of a text as hex, to make a failing comparison readable.
std::string Bytes(std::optional<std::string_view> s)
{
    if (!s) return "(none)";
    std::string out;
    char buf[4];
    for (unsigned char c : *s) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

std::optional<std::string_view> Opt(const char* s)
{
    return s ? std::optional<std::string_view>(s) : std::nullopt;
}

class CatalogueRow : public ::testing::TestWithParam<Row> {};

TEST_P(CatalogueRow, HoldsEveryColumnExactly)
{
    const Row& r = GetParam();
    const DeviceTypeInfo* info = FindDeviceType(r.code);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info, &DeviceCatalogue[r.code]);
    EXPECT_EQ(info->Code, r.code);
    EXPECT_EQ(Bytes(info->DisplayName), Bytes(Opt(r.display))) << "DisplayName";
    EXPECT_EQ(Bytes(info->ListName), Bytes(Opt(r.list))) << "ListName";
    EXPECT_EQ(Bytes(info->LatinName), Bytes(Opt(r.latin))) << "LatinName";
    EXPECT_EQ(Bytes(info->PictureName), Bytes(Opt(r.picture))) << "PictureName";
    EXPECT_EQ(info->TwoChannels, r.twoChannels);
    EXPECT_EQ(info->DriverClass, Opt(r.driver));
    EXPECT_EQ(info->Protocol, r.protocol);
    EXPECT_EQ(HasDriver(r.code), r.driver != nullptr);
    EXPECT_EQ(NormalizeDeviceType(r.code), r.code);
}

constexpr auto P6x = ProtocolFamily::Proto6x;
constexpr auto Relay = ProtocolFamily::Proto6xRelay;
constexpr auto M4 = ProtocolFamily::M4;

INSTANTIATE_TEST_SUITE_P(
    Codes, CatalogueRow,
    ::testing::Values(
        Row{"Code00None", 0, "\u041D\u0435\u0442", "\u041D\u0435\u0442", None, "NC", false, None, ProtocolFamily::None},
        Row{"Code01", 1, "\u041A\u0412\u0422-64", "\u041A\u0412\u0422-64", "KVT-64", "K64", true, "TulvKvt64", P6x},
        Row{"Code02", 2, "\u041A\u0412\u0422-64-1", "\u041A\u0412\u0422-64/1", "KVT-64-1", "K641", false, "TulvKvt641",
            P6x},
        Row{"Code03", 3, "\u041A\u0412\u0422-64\u041A", "\u041A\u0412\u0422-64\u041A", "KVT-61", "K61", false,
            "TulvKvt61", P6x},
        Row{"Code04", 4, "\u041A\u0412\u0422-66", "\u041A\u0412\u0422-66", "KVT-66", "K66", true, "TulvKvt66", P6x},
        Row{"Code05", 5, "\u041A\u0412\u0422-76", "\u041A\u0412\u0422-76", "KVT-76", "K76", true, "TulvKvt76", P6x},
        // Latin M in the DisplayName, Cyrillic М in ListName and LatinName.
        Row{"Code06LatinAndCyrillicM", 6, "\u041A\u0412\u0422-64M", "\u041A\u0412\u0422-64\u041C", "KVT-64\u041C",
            "K64M", true, "TulvKvt78", P6x},
        Row{"Code07LatinAndCyrillicM", 7, "\u041A\u0412\u0422-64M1", "\u041A\u0412\u0422-64\u041C/1", "KVT-64\u041C-1",
            "K64M1", false, "TulvKvt64M1", P6x},
        // Cyrillic С in the Russian names, Latin C in the folder name.
        Row{"Code08", 8, "\u0414\u041B\u041D-08.03\u0421", "\u0414\u041B\u041D-08.03\u0421", "DLN-0803C", "D0803S",
            false, "TulvDln0803s", P6x},
        Row{"Code09", 9, "\u0414\u041B\u041D-08.05", "\u0414\u041B\u041D-08.05", "DLN-0805", "D0805", false,
            "TulvDln0805", M4},
        Row{"Code10", 10, "\u0414\u041B\u041D-08.05\u0421", "\u0414\u041B\u041D-08.05\u0421", "DLN-0805S", "D0805S",
            false, "TulvDln0805s", P6x},
        Row{"Code11", 11, "\u0414\u041B\u041D-08.07", "\u0414\u041B\u041D-08.07", "DLN-0807", "D0807", true,
            "TulvDln0807", M4},
        Row{"Code12", 12, "\u0414\u041B\u041D-08.07\u0421", "\u0414\u041B\u041D-08.07\u0421", "DLN-0807S", "D0807S",
            true, "TulvDln0807s", P6x},
        Row{"Code13", 13, "\u0414\u041B\u041D-08.09", "\u0414\u041B\u041D-08.09", "DLN-0809", "D0809", false,
            "TulvDln0809", P6x},
        // The folder name ends in Cyrillic КУ.
        Row{"Code14CyrillicKU", 14, "\u041A\u0412\u0422-64\u041A\u0423", "\u041A\u0412\u0422-64\u041A\u0423",
            "KVT-64\u041A\u0423", "K64KU", false, "TulvKvt64KU", Relay},
        // The folder name is Cyrillic.
        Row{"Code15CyrillicFolder", 15, "\u0413\u0417\u0423-08", "\u0413\u0417\u0423-08", "\u0413\u0417\u0423-08",
            "GZU-08", true, "TulvGZU08", Relay},
        // Not offered by the dialogs: no list entry, folder, picture or channel choice.
        Row{"Code16NotListed", 16, "\u041A\u0412\u0422-09M4", None, None, None, std::nullopt, "TulvKvt09M4", M4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Catalogue, CodesAbove16HaveNoRowAndNoDriverLikeCode0)
{
    EXPECT_FALSE(HasDriver(0));
    for (int code : {17, 18, 100, 255}) {
        const auto c = static_cast<DeviceTypeCode>(code);
        EXPECT_EQ(FindDeviceType(c), nullptr) << code;
        EXPECT_FALSE(HasDriver(c)) << code;
        EXPECT_EQ(NormalizeDeviceType(c), 0) << code;
    }
}

} // namespace
