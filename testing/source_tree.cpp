#include "testing/source_tree.h"

#include <cstdlib>

#include "testing/temp_folder.h"

namespace tolvane::testing {

std::string SourceTreeFile(const std::string& relative) {
    const char* root = std::getenv("TOLVANE_SOURCE_DIR");
    return ReadHostFile(std::string(root ? root : TOLVANE_SOURCE_ROOT) + "/" + relative);
}

}  // namespace tolvane::testing
