// Percent-decoding of registry value data, shared by the registry values
// phase of the scan and the scripts' GetRegValue, so both read a value alike.
#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// The text is read up to its first zero byte. "%" and two hexadecimal digits
// become the byte of that value; any other "%" is dropped and the character
// after it is copied as it stands ("%%41" gives "%41"); a "%" at the end is
// dropped; "+" has no special meaning. The result ends at its first zero
// byte, so a decoded "%00" ends it ("x%00y" gives "x").
std::string PercentDecode(std::string_view text);

}  // namespace tolvane
