// Small helpers over the program's 8-bit text (code page 1252): hex digits,
// trimming, and prefix and suffix tests without regard to case. Case follows
// one rule everywhere, the code page's (FoldCase in codepage.h).
#pragma once

#include <string_view>

namespace tolvane {

// The digits of lower-case hexadecimal text.
inline constexpr char kHexDigits[] = "0123456789abcdef";

bool IsHexDigit(char c);
// The value of a hex digit of either case; -1 for any other character.
int HexDigitValue(char c);

// The text without the leading and trailing characters of `blanks`.
std::string_view Trim(std::string_view text, std::string_view blanks = " \t");
std::string_view TrimStart(std::string_view text, std::string_view blanks = " \t");
std::string_view TrimEnd(std::string_view text, std::string_view blanks = " \t");

bool StartsWithNoCase(std::string_view text, std::string_view head);
bool EndsWithNoCase(std::string_view text, std::string_view tail);

}  // namespace tolvane
