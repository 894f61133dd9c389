// What the device dialogs and the timeouts dialog do, without the windows.
//
// Each dialog is a state that its form shows control by control, and event
// functions that its form calls with what the user did; the form then shows
// the state again. Messages go through the Host (warning icon).
//
//   DevAddLogic   "Добавить прибор": type, address or serial number, channels;
//                 OK identifies the meter and fills one or two free slots.
//   DevSelLogic   "Выбор прибора": changes the type, address and channel of one
//                 slot, or empties it.
//   DelaysLogic   "Задержки": the transfer timeouts of the drivers.
//
// None of them rebuilds the slot area or the drivers: the main window runs
// RebuildSlots(true) after the add-device and selection dialogs close.
#pragma once

#include "DevManager.h"
#include "DeviceSlot.h"
#include "Host.h"
#include "Connection.h"
#include "MeterTypes.h"
#include "Settings.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class TulvComPort;

// A check box as the form shows it.
struct DialogCheckBox {
    bool Enabled = true;
    bool Checked = true;
    std::string Caption;
};

// --- Add-device dialog ---------------------------------------------------------

struct DevAddState {
    // CBDevType: the list position, which is the type code 0..15.
    int TypeCode = 0;
    // SENetAddr, 0..16.
    int NetAddress = 1;
    // The serial number edit, 44400000..44499999 (the relay address of codes 14 and 15).
    std::uint32_t SerialNumber = 44400000;
    // The serial number edit is shown in SENetAddr's place (codes 14 and 15).
    bool SerialEditVisible = false;
    // lbl_adr_caption: "Сетевой адрес" or "Серийный номер".
    std::string AddressCaption = "Сетевой адрес";
    DialogCheckBox G1{true, true, "Канал G1"}; // CBG1
    DialogCheckBox G2{true, true, "Канал G2"}; // CBG2
};

class DevAddLogic {
public:
    static constexpr int NetAddrMin = 0;
    static constexpr int NetAddrMax = 16;
    static constexpr std::uint32_t SerialMin = 44400000;
    static constexpr std::uint32_t SerialMax = 44499999;
    // The type list offers the codes 0 ("Нет") to the last one the catalogue lists.
    static inline const int LastListedType = LastListedTypeCode();

    // portChoice gives the port and baud rate chosen in the main window at the
    // moment OK is pressed.
    DevAddLogic(DevManager& dev, TulvComPort& port, Host& host, std::function<PortChoice()> portChoice);

    const DevAddState& State() const { return FState; }
    // The record the dialog fills the slots from.
    const DeviceSlot& Working() const { return FWorking; }

    // The dialog is shown: the type list goes to "Нет", both check boxes are
    // disabled (their marks stay). Everything else keeps its state.
    void FormShow();
    // A type chosen in the list (0..15; anything else is ignored).
    void TypeChange(int code);
    // Values typed into SENetAddr and the serial number edit (clamped to their ranges).
    void NetAddrChange(int value);
    void SerialChange(std::uint32_t value);
    // The user set or cleared a check box.
    void G1Click(bool checked);
    void G2Click(bool checked);

    struct OkResult {
        bool Close = false;         // the dialog closes with OK
        bool FocusTypeList = false; // the type list should get the focus
    };
    // OK: checks the choice, opens the port when it is closed (even parity for
    // the relay-addressed codes 14 and 15), identifies the meter, closes the
    // port and fills the first free slot with channel 1 and the next one with
    // channel 2 (at the next address for code 12). A port that cannot be opened
    // adds the meter without identifying it, with "-" as its serial text.
    // The window runs it outside the main thread (the probe takes seconds on a
    // silent line); its messages go through the host.
    OkResult BOkClick();
    // Before BOkClick is handed to another thread: a Cancel from now on counts
    // for that BOkClick, even one that comes before the thread has started.
    void PrepareProbe();
    // From any thread, while BOkClick runs: the user gave up. The probe ends at
    // once (the port is abandoned), nothing more is said and no slot is filled.
    void Cancel();
    // True when the last BOkClick ended by Cancel.
    bool Cancelled() const { return FCancelled.load(); }

private:
    void Message(const std::string& text, const char* caption);
    int FreeSlot() const;
    bool AlreadyListed(std::uint8_t channel, std::uint8_t netAddress) const;
    void Fill(int slot);

    DevManager& FDev;
    TulvComPort& FPort;
    Host& FHost;
    std::function<PortChoice()> FPortChoice;
    DevAddState FState;
    DeviceSlot FWorking;
    std::atomic<bool> FCancelled{false};
    std::atomic<bool> FPrepared{false};
};

// --- Device selection dialog -----------------------------------------------------

struct DevSelState {
    // CBDevType: the list position = type code 0..15, or -1 when the slot holds
    // a code the list does not offer (16, loaded from a file).
    int TypeIndex = 0;
    // SENetAddr, 1..16.
    int NetAddress = 1;
    // RBG1 and RBG2 enabled (a two-channel type), and which one is chosen (1 or 2).
    bool ChannelsEnabled = false;
    int Channel = 1;
};

class DevSelLogic {
public:
    static constexpr int NetAddrMin = 1;
    static constexpr int NetAddrMax = 16;

    explicit DevSelLogic(DevManager& dev) : FDev(dev) {}

    const DevSelState& State() const { return FState; }
    const DeviceSlot& Working() const { return FWorking; }
    int SlotNumber() const { return FSlot; }

    // Takes slot 1 or 2 into the working record and shows it. Throws
    // std::out_of_range for any other slot number.
    void OpenForSlot(int slot);
    // A type chosen in the list (0..15; anything else is ignored).
    void TypeChange(int code);
    void NetAddrChange(int value);
    // RBG1 (tag 1) or RBG2 (tag 2) chosen.
    void ChannelClick(int tag);
    // OK: the working record replaces the slot, whose read-out is then void.
    // "Нет" empties the slot (the rebuild moves slot 2 up into an empty slot 1).
    void BOkClick();

private:
    static bool TwoChannels(int code);

    DevManager& FDev;
    int FSlot = 1;
    DevSelState FState;
    DeviceSlot FWorking;
};

// --- Timeouts dialog -------------------------------------------------------------
//
// The tool keeps one timeout profile for every meter type (section Device1 of
// the settings file); every entry of the list shows and edits that one record.

struct DelaysState {
    // LBDev: the selected entry, -1 for none.
    int Selected = -1;
    int ByteTimeout = 50;    // Edit3 / UDByte
    int PacketTimeout = 100; // Edit1 / UDPacket
    int RepeatCount = 1;     // Edit2 / UDRepeat
};

class DelaysLogic {
public:
    static constexpr int ByteMin = 50, ByteMax = 5000, ByteStep = 10;
    static constexpr int PacketMin = 100, PacketMax = 10000, PacketStep = 10;
    static constexpr int RepeatMin = 1, RepeatMax = 100, RepeatStep = 1;
    // The entries of LBDev.
    static const std::array<const char*, 12> DeviceNames;

    DelaysLogic(Settings& settings, TimeoutProfile& profile, Host& host)
        : FSettings(settings), FProfile(profile), FHost(host)
    {
    }

    const DelaysState& State() const { return FState; }
    // The copy being edited; it reaches the profile only through BOkClick.
    const TimeoutProfile& Working() const { return FWorking; }

    // The dialog is shown: the working copy is taken from the profile, the
    // first entry selected, the three values shown (each within its control's
    // range; the working copy takes what is shown).
    void FormShow();
    // An entry selected (click or key in the list); -1 or a position past the
    // list selects nothing.
    void LBDevClick(int index);
    // A value changed in Edit3, Edit1 or Edit2 (clamped to the control's range).
    // Stored into the working copy while an entry is selected.
    void Edit3Change(int value);
    void Edit1Change(int value);
    void Edit2Change(int value);
    // "Сохранить": the working copy becomes the profile and is written to the
    // settings file as NB, NP, NR of the section Device1. When the file cannot
    // be written the user is told ("Ошибка") and false is returned; the profile
    // is taken all the same. The dialog closes either way.
    bool BOkClick();

private:
    Settings& FSettings;
    TimeoutProfile& FProfile;
    Host& FHost;
    DelaysState FState;
    TimeoutProfile FWorking;
};
