// The value types of the registry's text files, written between a value's
// "=" and its data: a quote (a string), "dword:", "hex:" and "hex(N):" (N the
// type in 1 to 8 hex digits), and in Wine's hive files also "str:\"",
// "str(2):\"" and "str(7):\"". Read here once for the hive reader and the
// .reg importer; where their acceptance differs on purpose it is a rule
// given by the caller. Pure functions; thread-safe.
#pragma once

#include <cstdint>
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

}  // namespace tolvane
