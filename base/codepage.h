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
// Host file names (UTF-8 bytes) as names of the machine's files (1252), and
// back. A host name that Windows can hold (every character in the code page,
// none of \ / " * ? | < > : and no control character) reads as it is. Any
// other name, and any name holding the currency sign "\xa4", reads with each
// byte that cannot stand (the bytes of such a character, of a character
// outside the code page or of invalid UTF-8, and of the sign itself) written
// as the sign and two upper-case hexadecimal digits of the host byte:
// "a\b" reads "a\xa45Cb". The mapping is one to one, so a name read back
// names that very entry and never another (nor a path: it holds no
// separator). Names Tolvane makes use the sign only in this way.
std::string HostNameToWindows(std::string_view hostName);
std::string WindowsNameToHost(std::string_view windowsName);
// Windows-style case folding of one 1252 byte (ASCII and the Latin-1 letters).
char FoldCase(char c);
// Case-insensitive equality and ordering as the registry and file system use.
bool EqualsNoCase(std::string_view a, std::string_view b);
int CompareNoCase(std::string_view a, std::string_view b);
std::string ToUpperCp1252(std::string_view text);
// Lower case of the ASCII and Latin-1 capital letters (not the division sign
// 0xD7), the other bytes as they are: how names and value data are compared
// where the lower-case form is kept.
char LowerCp1252(char c);
std::string ToLowerCp1252(std::string_view text);

}  // namespace tolvane
