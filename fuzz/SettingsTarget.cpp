// The settings file loader. Input: the bytes of the settings file.
//
// Every file is either read or refused. A refused file gives the defaults and
// is never overwritten. A read one gives values within their ranges, and
// survives an update in place: after a change is written, a fresh read gives
// the changed value and every other value as before.
#include "FuzzSupport.h"

#include "Settings.h"

namespace {

struct Values {
    int Port = 0, Baud = 0;
    TimeoutProfile Timeouts;
    std::string Shapka, Colontitle, Com1, Com16;

    static Values Of(const Settings& s)
    {
        Values v;
        v.Port = s.Port();
        v.Baud = s.Baud();
        v.Timeouts = s.Timeouts();
        v.Shapka = s.Shapka(1);
        v.Colontitle = s.Colontitle(11);
        v.Com1 = s.PortPath(1);
        v.Com16 = s.PortPath(16);
        return v;
    }
    bool operator==(const Values& o) const
    {
        return Port == o.Port && Baud == o.Baud && Timeouts.ByteTimeout == o.Timeouts.ByteTimeout &&
               Timeouts.PacketTimeout == o.Timeouts.PacketTimeout && Timeouts.RepeatCount == o.Timeouts.RepeatCount &&
               Shapka == o.Shapka && Colontitle == o.Colontitle && Com1 == o.Com1 && Com16 == o.Com16;
    }
};

} // namespace

int FuzzSettings(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = FuzzScratchFile("settings.ini", bytes);

    Settings s;
    std::string error;
    const bool opened = s.Open(path, error);
    const Values v = Values::Of(s);
    FUZZ_CHECK(v.Port >= 1 && v.Port <= 16, "port " + std::to_string(v.Port));
    FUZZ_CHECK(v.Baud == 0 || v.Baud == 1, "baud " + std::to_string(v.Baud));
    FUZZ_CHECK(!v.Com1.empty() && !v.Com16.empty(), "an empty device path");

    if (!opened) {
        FUZZ_CHECK(error.find(path) != std::string::npos, "the message does not name the file");
        FUZZ_CHECK(v == Values::Of(Settings()), "a refused file did not give the defaults");
        std::string writeError;
        FUZZ_CHECK(!s.SetPort(2, writeError), "a refused file was overwritten");
        FUZZ_CHECK(FuzzReadFile(path) == bytes, "a refused file changed");
        return 0;
    }

    // An update in place keeps every other value.
    const int port = v.Port % 16 + 1;
    std::string writeError;
    FUZZ_CHECK(s.SetPort(port, writeError), "the update failed: " + writeError);
    Settings again;
    std::string againError;
    FUZZ_CHECK(again.Open(path, againError), "the updated file cannot be read: " + againError);
    Values expected = v;
    expected.Port = port;
    FUZZ_CHECK(Values::Of(again) == expected, "the update changed other values");
    FUZZ_CHECK(Values::Of(s) == expected, "the update changed the values in memory");
    return 0;
}
