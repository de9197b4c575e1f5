// Small helpers over the program's 8-bit text (code page 1252): hex digits,
// trimming, and prefix and suffix tests without regard to case. Case follows
// one rule everywhere, the code page's (FoldCase in codepage.h).
#pragma once

#include <string_view>

namespace tolvane {

// The digits of lower-case hexadecimal text.
inline constexpr char kHexDigits[] = "0123456789abcdef";

// The value of a hex digit of either case; -1 for any other character.
// A table, inline: the registry readers ask it for every digit of hex data,
// where digits and letters alternate too freely for branches to guess.
inline constexpr struct HexDigitTable {
    signed char values[256];
    constexpr HexDigitTable() : values() {
        for (int c = 0; c < 256; ++c)
            values[c] = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
    }
} kHexDigitTable;
inline int HexDigitValue(char c) {
    return kHexDigitTable.values[static_cast<unsigned char>(c)];
}
inline bool IsHexDigit(char c) {
    return HexDigitValue(c) >= 0;
}

// The text without the leading and trailing characters of `blanks`.
std::string_view Trim(std::string_view text, std::string_view blanks = " \t");
std::string_view TrimStart(std::string_view text, std::string_view blanks = " \t");
std::string_view TrimEnd(std::string_view text, std::string_view blanks = " \t");

bool StartsWithNoCase(std::string_view text, std::string_view head);
bool EndsWithNoCase(std::string_view text, std::string_view tail);

}  // namespace tolvane
