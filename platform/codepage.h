// Conversions between the program's 8-bit text (Windows code page 1252),
// the UTF-16 that Wine's registry stores, and the UTF-8 of host file names.
#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// Code page 1252 bytes to UTF-16 code units. Every byte maps to one unit.
std::u16string Cp1252ToUtf16(std::string_view text);
// UTF-16 to code page 1252; a unit with no 1252 byte becomes '?'.
std::string Utf16ToCp1252(std::u16string_view text);
// Code page 1252 to UTF-8 (host file names).
std::string Cp1252ToUtf8(std::string_view text);
// UTF-8 to code page 1252; invalid sequences and characters outside the
// code page become '?'.
std::string Utf8ToCp1252(std::string_view text);
// Windows-style case folding of one 1252 byte (ASCII and the Latin-1 letters).
char FoldCase(char c);
// Case-insensitive equality and ordering as the registry and file system use.
bool EqualsNoCase(std::string_view a, std::string_view b);
int CompareNoCase(std::string_view a, std::string_view b);
std::string ToUpperCp1252(std::string_view text);

}  // namespace tolvane
