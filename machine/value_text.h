// The value types of the registry's text files, written between a value's
// "=" and its data: a quote (a string), "dword:", "hex:" and "hex(N):" (N the
// type in 1 to 8 hex digits), and in Wine's hive files also "str:\"",
// "str(2):\"" and "str(7):\"". Read here once for the hive reader and the
// .reg importer; where their acceptance differs on purpose it is a rule
// given by the caller. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

enum class ValueDataForm {
    String,    // escaped text up to a closing quote
    Dword,     // hex digits of a 32-bit number
    HexBytes,  // a list of hex bytes
};

struct ValueTypeText {
    uint32_t type = 0;  // REG_SZ, REG_DWORD, REG_BINARY, or N of "hex(N):"
    ValueDataForm form = ValueDataForm::HexBytes;
    size_t length = 0;  // characters of the type text, a string's opening quote included
};

struct ValueTypeRules {
    bool anyCase = false;      // "DWORD:", "Hex(2):" as well (.reg files)
    bool wineStrings = false;  // "str:\"", "str(2):\"", "str(7):\"" (hive files)
};

// The type text that `text` begins with; nullopt when it begins with none
// (also "hex(" without 1 to 8 hex digits and "):").
std::optional<ValueTypeText> ReadValueTypeText(std::string_view text, ValueTypeRules rules);

// dword data: exactly 1 to 8 hex digits, as the number's 4 bytes in
// little-endian order; nullopt for anything else.
std::optional<std::string> DwordDataFromDigits(std::string_view digits);

// How reading a list of hex bytes ended.
enum class HexListStatus {
    Ok,
    BadData,    // anything but the grammar below
    Truncated,  // a continuation past the last line
};

// The data of "hex:" and "hex(N):": bytes of one or two hex digits separated
// by commas, blanks (space, tab, CR) around them, a comma after the last byte
// allowed; an empty list is no bytes. Where a byte may stand (at the start or
// after a comma) a backslash that ends the line continues the list on the
// next line, which nextLine gives (nothing past the last line). Appends the
// bytes to *bytes; on failure *bytes holds those read so far.
HexListStatus ReadHexByteList(std::string_view text,
                              const std::function<std::optional<std::string_view>()>& nextLine,
                              std::string* bytes);

}  // namespace tolvane
