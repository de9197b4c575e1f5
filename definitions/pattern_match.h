// PatternMatch: the wildcard rule of the definitions' file and folder
// lookups. Letters compare without regard to case (code page 1252).
//   *  (or 0x1A)  a run of zero or more characters without '.', '/' or '\'
//   ?             one character other than '/' and '\'
//   / and \       either separator
//   `x            x taken literally
// A pattern whose last character is '!' or '`', or with a '[' not closed by
// a later ']', matches nothing; brackets are otherwise literal. An empty
// text matches only an empty pattern.
#pragma once

#include <string_view>

namespace tolvane {

bool PatternMatch(std::string_view pattern, std::string_view text);

// The form check PatternMatch applies first.
bool IsWellFormedPattern(std::string_view pattern);

// The rule of a registry value entry that names its value by wildcard: '*'
// any run of characters (a value name may hold '.' and '\'), '?' any one
// character, the rest literal; letters compare without regard to case.
// Linear in the name's length times the pattern's, whatever the pattern.
bool ValueNameMatch(std::string_view pattern, std::string_view name);

}  // namespace tolvane
