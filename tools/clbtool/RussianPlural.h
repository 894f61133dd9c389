// Counts in Russian text: the noun takes one of three forms after a number
// (1 запрос, 2 запроса, 5 запросов, 11 запросов, 21 запрос).
#pragma once

#include <string>

enum class PluralForm { One, Few, Many };

// The form a noun takes after n: One for 1, 21, 101, ...; Few for 2-4, 22-24, ...;
// Many for 0, 5-20, 25-30, 111-114, ... Negative counts take the form of their magnitude.
PluralForm RussianPluralForm(long long n);

// The count and the noun in its form: CountText(4, "запрос", "запроса", "запросов") is "4 запроса".
std::string CountText(long long n, const char* one, const char* few, const char* many);
