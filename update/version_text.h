// Version numbers as the update flows read and show them.
#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// A version text read as a number the way the C library's atof reads it
// (leading blanks, sign, digits, point, digits, exponent; the rest ignored),
// independent of the process locale. Text that is no number, and numbers
// that are not finite, give 0.
double VersionNumberFromText(std::string_view text);

// The version as shown to the user: as many decimals as the number has
// leading non-zero digits after the point, at most 6. 3.45 -> "3.45",
// 15.0 -> "15", 2.5 -> "2.5", 3.05 -> "3" (counting stops at the first zero
// digit), 16.05 -> "16". Always with a point, whatever the process locale.
std::string FormatVersion(double version);

}  // namespace tolvane
