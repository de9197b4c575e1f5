// Test support: a value of a Windows hive file as hivexget prints it.
// hivexget reads regf files without any code of ours, so what it prints is
// what another program finds in the file a test wrote.
#pragma once

#include <string>

namespace tolvane::testing {

// The data of the value `name` of `key` (a path below the hive's root, such
// as "\Software\Vendor") with hivexget's line end; "" when the key or the
// value is missing or the file is no hive.
std::string HivexgetValue(const std::string& hive, const std::string& key, const std::string& name);

}  // namespace tolvane::testing
