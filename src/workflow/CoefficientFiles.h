// The coefficient files of a slot: its calibration data saved to a file and
// loaded back from one. Three formats, chosen by the file name's extension:
//
//   TXT  plain lines of numbers (the old format); flows as values, K0 of some
//        types converted
//   KVT  an ini file with the sections [Device], [Koeff] and [Kobr]; values as
//        they are in memory; an existing file is updated in place
//   TPR  a fixed-width page for printing, with a header and a footer line from
//        the settings file
//
// All three are code page 1251 text with CR LF line ends, and every write goes
// through WriteFileAtomic, so a failed save never damages the previous file.
// Loading parses the whole file into a copy first: the slot's values change
// only when the whole file was read without a fault.
#pragma once

#include "CoefficientSet.h"
#include "DeviceSlot.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Settings;

enum class CoefficientFormat { None, Txt, Kvt, Tpr };

// The format of a file name: its extension (from the last dot of the last path
// component), in lower case, tested for "txt", then "kvt", then "tpr".
CoefficientFormat CoefficientFormatOf(std::string_view fileName);

// The preset of the save and open dialogs:
//   <savedFolder>/<LatinName>/<SerialText>#<Channel>.txt
// Type code 16 has no LatinName; its folder is "KVT-09M4". A "/" in the serial
// text becomes "_" so that the name stays one file in the type's folder.
// For saving, type code 8 ends in ".txt" with Modification 1 and "_SM.txt" with
// Modification 2; with any other Modification the result is std::nullopt (the
// dialog keeps the name of the previous save). Also std::nullopt for code 0 and
// codes above 16.
std::optional<std::string> DefaultCoefficientFileName(const std::string& savedFolder, const DeviceSlot& slot,
                                                      bool forSave);

// The bytes of each format (code page 1251, CR LF).
std::string CoefficientTxtBytes(const DeviceSlot& slot, const CoefficientSet& set);
// existing: the bytes of the file being replaced (empty for a new file). Its
// other sections, keys and comments are kept; the known keys are replaced where
// they are and added at the end of their section when missing.
std::string CoefficientKvtBytes(const DeviceSlot& slot, const CoefficientSet& set, std::string_view existing);
// shapka, colontitle: UTF-8 (characters the code page lacks become '?').
// The deviation column of a point whose reference value is 0 shows "---".
std::string CoefficientTprBytes(const DeviceSlot& slot, const CoefficientSet& set, std::string_view shapka,
                                std::string_view colontitle);

// The lines of a text; a line ends at CR LF, LF or CR.
std::vector<std::string> SplitLines(std::string_view bytes);

// The general 15-digit number text of the KVT file (0.001f -> "0.00100000004749745").
std::string KvtNumberText(double value);

// Saves the slot's values in the format of path's extension. settings gives
// Shapka and Colontitle of the TPR file (nullptr: both empty). False with a
// message: "Ошибка создания файла <path>" when the file cannot be written (the
// previous file is then intact); a message for an extension of no format, an
// empty slot or an existing KVT file that cannot be read.
bool SaveCoefficientFile(const std::string& path, const DeviceSlot& slot, const CoefficientSet& set,
                         const Settings* settings, std::string& error);

// Loads a file of path's extension into set (Gmax, and the K and Obr values the
// format carries). Nothing is ever taken from a file that was not read whole:
// on any fault set is unchanged and the result is false with a message that
// names the reason (the key or the line):
//   "Ошибка открытия файла <path>: <reason>"  missing, a folder, not readable
//   "Неверный файл <path>: <reason>" the device line lacks the slot's display
//                                    name (the reason: what the file names
//                                    instead), an extension of no format,
//                                    an empty file, not 1251 text, a token that
//                                    is not a number, a truncated file, a KVT
//                                    key the tool writes that is missing or
//                                    empty, Gmax 0 where the format divides by it
// warning (when given) is set for a file that is taken with a doubt: a KVT
// file without Id, whose type cannot be checked; empty otherwise.
bool LoadCoefficientFile(const std::string& path, const DeviceSlot& slot, CoefficientSet& set, std::string& error,
                         std::string* warning = nullptr);

// The same readers over bytes in memory (name only labels the messages).
bool ParseCoefficientTxt(std::string_view bytes, const std::string& name, const DeviceSlot& slot, CoefficientSet& set,
                         std::string& error);
bool ParseCoefficientKvt(std::string_view bytes, const std::string& name, const DeviceSlot& slot, CoefficientSet& set,
                         std::string& error);
// warning: as LoadCoefficientFile's.
bool ParseCoefficientKvt(std::string_view bytes, const std::string& name, const DeviceSlot& slot, CoefficientSet& set,
                         std::string& error, std::string* warning);
bool ParseCoefficientTpr(std::string_view bytes, const std::string& name, const DeviceSlot& slot, CoefficientSet& set,
                         std::string& error);
