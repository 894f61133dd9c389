#include "RussianPlural.h"

PluralForm RussianPluralForm(long long n)
{
    const unsigned long long m = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
    const unsigned long long lastTwo = m % 100, last = m % 10;
    if (lastTwo >= 11 && lastTwo <= 14) return PluralForm::Many;
    if (last == 1) return PluralForm::One;
    if (last >= 2 && last <= 4) return PluralForm::Few;
    return PluralForm::Many;
}

std::string CountText(long long n, const char* one, const char* few, const char* many)
{
    const PluralForm f = RussianPluralForm(n);
    return std::to_string(n) + " " + (f == PluralForm::One ? one : f == PluralForm::Few ? few : many);
}
