#include "base/text.h"

#include "base/codepage.h"

namespace tolvane {

std::string_view TrimStart(std::string_view text, std::string_view blanks) {
    size_t start = text.find_first_not_of(blanks);
    return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

std::string_view TrimEnd(std::string_view text, std::string_view blanks) {
    size_t end = text.find_last_not_of(blanks);
    return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

std::string_view Trim(std::string_view text, std::string_view blanks) {
    return TrimEnd(TrimStart(text, blanks), blanks);
}

bool StartsWithNoCase(std::string_view text, std::string_view head) {
    return text.size() >= head.size() && EqualsNoCase(text.substr(0, head.size()), head);
}

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && EqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

}  // namespace tolvane
