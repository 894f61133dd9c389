#include "TulvDln0803s.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

constexpr std::uint16_t GmaxIndexCell = 0x0008;

// The number in a version text, "." as the decimal point whatever the locale.
// Blanks around it are allowed, and the text ends at a NUL byte. Throws
// std::invalid_argument when the text is not a number that a single can hold.
double VersionNumber(std::string_view text)
{
    text = text.substr(0, text.find('\0'));
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    std::string_view digits = text;
    if (digits.size() > 1 && digits[0] == '+' && digits[1] != '-') digits.remove_prefix(1);
    double value = 0.0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size() ||
        !(std::fabs(value) <= std::numeric_limits<float>::max()))
        throw std::invalid_argument("the software version \"" + std::string(text) + "\" is not a number");
    return value;
}

} // namespace

// --- Identification ------------------------------------------------------------

float TulvDln0803s::GetPO_Version()
{
    std::string text;
    GetSoftVer(text);
    if (LastError() != ErrOk) return 0.0f;
    // The number follows the text's first character. Characters, not bytes:
    // the text is UTF-8.
    size_t first = text.empty() ? 0 : 1;
    while (first < text.size() && (static_cast<unsigned char>(text[first]) & 0xC0) == 0x80)
        ++first;
    return static_cast<float>(VersionNumber(std::string_view(text).substr(first)) + 0.0001);
}

void TulvDln0803s::GetDevice_ID(std::string& S)
{
    // GetDevID leaves the text as it was when the port check fails.
    S.clear();
    GetDevID(S);
}

std::uint8_t TulvDln0803s::GetDevice_Modification()
{
    std::string id;
    GetDevID(id);
    if (LastError() != ErrOk) return 0;
    // The version question has to be answered; its value is not used, so a
    // version text that is not a number does not stop the identity from deciding.
    try {
        GetPO_Version();
    } catch (const std::invalid_argument&) {
    }
    if (LastError() != ErrOk) return 0;
    if (id == "DLN0803-C") return 1;
    if (id == "DLN0803-CM") return 2;
    return 0;
}

float TulvDln0803s::ClbReadGmax()
{
    const std::uint8_t modification = GetDevice_Modification();
    std::uint8_t index[1];
    if (!ReadRtc2kExactly(GmaxIndexCell, index)) return 0.0f;
    if (modification == 1) return index[0] < 7 ? GmaxModification1[index[0]] : 0.0f;
    if (modification == 2) return index[0] < 8 ? GmaxModification2[index[0]] : 0.0f;
    return 0.0f;
}
