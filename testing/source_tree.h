// Test support: files of the source tree the tests read as they are shipped
// (data/definitions.xml, data/scripts.xml).
#pragma once

#include <string>

namespace tolvane::testing {

// The bytes of a file of the source tree ("data/definitions.xml"): below
// TOLVANE_SOURCE_DIR, which CTest sets, else below the tree this build was
// configured from; "" when it cannot be read.
std::string SourceTreeFile(const std::string& relative);

}  // namespace tolvane::testing
