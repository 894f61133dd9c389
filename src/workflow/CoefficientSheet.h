// The printed coefficient sheet: one sheet per meter with its name, serial
// number, a table of Gmax, K0, Ku and the eight points for one or both flow
// channels, the date, places for signature, name and stamp, and a footer.
//
// The sheet is laid out here as a document of texts and lines in millimetres
// from the top-left corner of the printable area; the printer side only draws
// it at its own resolution.
#pragma once

#include "DevManager.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class Settings;

// One sheet: up to two slots of the same serial number.
struct SheetGroup {
    std::uint32_t Serial = 0;
    std::uint8_t SlotCount = 0;  // 0 (unused), 1 or 2
    DeviceSlot SlotCopy;         // the first slot's record: its type names the sheet
    std::uint8_t FirstSlot = 0;  // slot of the left value column
    std::uint8_t SecondSlot = 0; // slot of the right value column (SlotCount 2)
};

// Groups the slots that take part (a type code, a driver and polling on; the
// read-out is not consulted), slot 1 first; a slot whose serial number matches
// an earlier group's joins it as its second column. False, with the general
// conversion-error message, when a taking-part slot's serial text (blanks
// around it removed) is not a decimal integer of 32 bits; nothing is printed then.
bool GroupSheets(const DevManager& dev, std::array<SheetGroup, 2>& groups, std::string& error);

// The three footer lines (the maker's postal address, the service phone, the
// e-mail and web address), from the settings file's section [Sheet], keys
// Address, Phone and Web; empty when not set.
struct SheetFooter {
    std::string Address, Phone, Web;
};
SheetFooter SheetFooterFrom(const Settings& settings);

// What is drawn, in millimetres; font sizes in points, pen widths in printer dots.
struct SheetText {
    double X = 0, Y = 0; // top-left corner of the text
    int Points = 12;
    std::string Text; // UTF-8
    bool Bold = false;
};
struct SheetLine {
    double X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
    int PenDots = 4;
    bool Dashed = false;
};
struct SheetPage {
    std::vector<SheetText> Texts;
    std::vector<SheetLine> Lines;
};
struct SheetDocument {
    std::string Title;
    std::vector<SheetPage> Pages; // one per sheet; none for an empty print job
};

// The sheets of the groups, one page each. date: "DD.MM.YYYY".
SheetDocument LayoutSheets(const DevManager& dev, const std::array<SheetGroup, 2>& groups,
                           const SheetFooter& footer, const std::string& date);

// Today's local date as "DD.MM.YYYY".
std::string TodayText();

// A point value by its magnitude: "%.5f " below 10, "%.4f " below 100, "%.3f " above.
std::string FormatPointValue(double value);
