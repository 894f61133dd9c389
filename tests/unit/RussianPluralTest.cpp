// The noun's form after a count, over the boundaries of the rule: the teens,
// the last digit, and the hundreds that repeat both.
#include "RussianPlural.h"

#include <gtest/gtest.h>

namespace {

TEST(RussianPlural, TheNounAgreesWithTheCount)
{
    const struct {
        long long n;
        const char* text;
    } rows[] = {
        {0, "0 запросов"},       {1, "1 запрос"},         {2, "2 запроса"},        {4, "4 запроса"},
        {5, "5 запросов"},       {10, "10 запросов"},     {11, "11 запросов"},     {12, "12 запросов"},
        {14, "14 запросов"},     {15, "15 запросов"},     {20, "20 запросов"},     {21, "21 запрос"},
        {22, "22 запроса"},      {25, "25 запросов"},     {100, "100 запросов"},   {101, "101 запрос"},
        {111, "111 запросов"},   {112, "112 запросов"},   {122, "122 запроса"},    {1001, "1001 запрос"},
        {1011, "1011 запросов"}, {1000000, "1000000 запросов"}, {-1, "-1 запрос"}, {-12, "-12 запросов"},
    };
    for (const auto& r : rows) EXPECT_EQ(CountText(r.n, "запрос", "запроса", "запросов"), r.text) << r.n;
}

} // namespace
