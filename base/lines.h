// Splitting a text into its lines, as the hosts files, the ignore list and
// the backup's record files are read.
#pragma once

#include <string_view>

namespace tolvane {

// What is dropped from a line's end besides its '\n'.
enum class LineEnd {
    Kept,                // nothing: a '\r' before the '\n' stays in the line
    OneCarriageReturn,   // one '\r'
    AllCarriageReturns,  // every '\r'
};

// Calls onLine(std::string_view) for each line of text in order. Lines end
// at '\n'; a last line without one counts, an empty text has no line, and a
// text ending in '\n' has no empty line after it. The views point into text.
template <typename OnLine>
void ForEachLine(std::string_view text, LineEnd drop, OnLine&& onLine) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (drop == LineEnd::OneCarriageReturn && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        while (drop == LineEnd::AllCarriageReturns && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        onLine(line);
    }
}

}  // namespace tolvane
