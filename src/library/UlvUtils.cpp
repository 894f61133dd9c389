#include "UlvUtils.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>

const std::string& ProtocolErrorText(ProtocolErrorCode code)
{
    static const std::array<std::string, 11> texts = {
        "Операция выполнена успешно",
        "Ошибка записи в последовательный порт",
        "Ошибка чтения из последовательного порта",
        "Неверный размер пакета",
        "Неверный сетевой адрес прибора в ответе",
        "Неверная контрольная сумма пакета",
        "Последовательный порт недоступен или не существует",
        "Ошибка целостности пакета данных",
        "",
        "",
        "",
    };
    static const std::string empty;
    return code < texts.size() ? texts[code] : empty;
}

void SwapBytes4(void* v)
{
    auto* b = static_cast<std::uint8_t*>(v);
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
}

void SwapBytes8(void* v)
{
    auto* b = static_cast<std::uint8_t*>(v);
    for (int i = 0; i < 4; ++i) std::swap(b[i], b[7 - i]);
}

void EncodeM4Float(std::uint8_t (&bytes)[4], float xIn)
{
    double x = xIn;
    std::uint8_t sign = 0;
    if (x < 0) {
        x = -x;
        sign = 0x80;
    }
    int e = 64;
    std::uint16_t m = 0;
    if (x != 0) {
        while (x < 0.5) {
            x *= 2;
            --e;
        }
        while (x >= 1.0) {
            x /= 2;
            ++e;
        }
        // Round half to even, kept to 16 bits (a mantissa that rounds up to
        // 65536 wraps; the exponent is not adjusted).
        m = static_cast<std::uint16_t>(static_cast<std::uint32_t>(std::nearbyint(x * 65536.0)) & 0xFFFF);
    }
    bytes[0] = static_cast<std::uint8_t>((e & 0x7F) | sign);
    bytes[1] = static_cast<std::uint8_t>(m >> 8);
    bytes[2] = static_cast<std::uint8_t>(m & 0xFF);
    bytes[3] = static_cast<std::uint8_t>(bytes[0] + bytes[1] + bytes[2]);
}

void DecodeM4Float(const std::uint8_t (&bytes)[4], float& x)
{
    int e = (bytes[0] & 0x7F) - 64;
    double m = bytes[1] * 256.0 + bytes[2];
    double v = std::ldexp(m, e) / 65536.0;
    x = static_cast<float>((bytes[0] & 0x80) ? -v : v);
}

std::uint8_t ByteToBcd(std::uint8_t b)
{
    int tens = b / 10;
    if (tens > 9) return 0xFF;
    return static_cast<std::uint8_t>(tens * 16 + b % 10);
}

namespace {
std::array<std::uint16_t, 256> MakeCrcTable()
{
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t c = static_cast<std::uint16_t>(i);
        for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001) : static_cast<std::uint16_t>(c >> 1);
        t[i] = c;
    }
    return t;
}
} // namespace

std::uint16_t Crc16Update(std::uint16_t crc, const void* data, int len)
{
    static const std::array<std::uint16_t, 256> table = MakeCrcTable();
    if (data == nullptr || len <= 0) return crc;
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (int i = 0; i < len; ++i) {
        std::uint8_t index = static_cast<std::uint8_t>(p[i] ^ (crc & 0xFF));
        crc = static_cast<std::uint16_t>((crc >> 8) ^ table[index]);
    }
    return crc;
}

void FormatValue(std::uint8_t width, std::string& s, float xf)
{
    const double x = xf;
    // Integer parts outside the signed 64-bit range, infinities and NaNs have no text.
    if (!std::isfinite(x) || x >= 9223372036854775808.0 || x < -9223372036854775808.0) {
        s = "error";
        return;
    }
    const auto intPart = static_cast<std::int64_t>(x); // truncation toward zero
    char ibuf[32];
    auto ir = std::to_chars(ibuf, ibuf + sizeof ibuf, intPart);
    const int len = static_cast<int>(ir.ptr - ibuf);
    int decimals = static_cast<int>(width) - len;
    if (decimals < 0 || decimals > 18) decimals = 2;
    char buf[512];
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, decimals);
    if (r.ec != std::errc()) {
        s = "error";
        return;
    }
    s.assign(buf, r.ptr);
}

std::string FormatValue(std::uint8_t width, float x)
{
    std::string s;
    FormatValue(width, s, x);
    return s;
}

std::uint64_t ScrambleValue8(std::uint32_t v)
{
    // Re-seeded from the clock on every call; the counter keeps two calls within
    // one clock tick from drawing the same filler.
    static std::mutex mutex;
    static std::uint64_t counter = 0;
    std::uint8_t b[8];
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
        std::seed_seq seed{static_cast<std::uint32_t>(now), static_cast<std::uint32_t>(now >> 32),
                           static_cast<std::uint32_t>(++counter)};
        std::mt19937 gen(seed);
        std::uniform_int_distribution<int> dist(0, 254);
        for (auto& x : b) x = static_cast<std::uint8_t>(dist(gen));
    }
    auto nib = [&](int shift) { return static_cast<std::uint8_t>((v >> shift) & 0x0F); };
    auto setLow = [&](int i, std::uint8_t n) { b[i] = static_cast<std::uint8_t>((b[i] & 0xF0) | n); };
    auto setHigh = [&](int i, std::uint8_t n) { b[i] = static_cast<std::uint8_t>((b[i] & 0x0F) | (n << 4)); };
    setLow(0, nib(24));
    setHigh(1, nib(4));
    setHigh(2, nib(20));
    setLow(3, nib(12));
    setHigh(4, nib(8));
    setLow(5, nib(16));
    setLow(6, nib(28));
    setLow(7, nib(0));
    auto xorWord = [&](int at, std::uint32_t key) {
        std::uint32_t w = b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
        w ^= key;
        for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(w >> (8 * k));
    };
    xorWord(0, 0x5C3E91A7u);
    xorWord(4, 0x2B7D04F6u);
    std::uint64_t r = 0;
    for (int i = 7; i >= 0; --i) r = (r << 8) | b[i];
    return r;
}

void SleepMs(std::uint32_t ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace {
class SystemClock final : public TulvClock {
public:
    void SleepMs(std::uint32_t ms) override { ::SleepMs(ms); }
    std::uint64_t NowMs() override
    {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }
    std::tm LocalTime() override
    {
        std::time_t t = std::time(nullptr);
        std::tm lt{};
        localtime_r(&t, &lt);
        return lt;
    }
};
} // namespace

TulvClock& RealClock()
{
    static SystemClock clock;
    return clock;
}
