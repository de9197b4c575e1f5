#include "app/views/views.h"

namespace tolvane {

std::string ReplaceQuestionText(const std::string& path) {
    return path + " already exists.\nDo you want to replace it?";
}

std::string SaveRefusedText(const std::string& path) {
    return path + "\nPath does not exist.\nCheck the path and try again.";
}

}  // namespace tolvane
