// Test support: the bytes of a minimal Windows program (a PE file): DOS and
// PE headers, one .rsrc section holding a version resource with one US
// English string table, and, when asked, a certificate table at the end that
// the security directory names. Enough for a reader of those facts; the file
// would not run.
#pragma once

#include <string>

namespace tolvane::testing {

struct PeParts {
    std::string company, product, description;  // ASCII; "" leaves the string out
    bool signature = false;
    bool pe32Plus = false;  // a 64-bit optional header
};

std::string BuildPe(const PeParts& parts);

}  // namespace tolvane::testing
