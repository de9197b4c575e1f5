#include "tools/db/import/expressions.h"

#include <string>

#include "definitions/path_expressions.h"

namespace tolvane::import {

bool RefusalStandsForExpressions(std::string_view reason) {
    for (std::string_view kept : {"Linux or macOS path", "':' in a name", "unknown variable",
                                  "control character", "relative path"})
        if (reason.substr(0, kept.size()) == kept) return true;
    return false;
}

std::optional<Entry> FileExpressionEntry(std::string_view expression, std::string_view exclusion,
                                         Refusal* why) {
    for (std::string_view text : {expression, exclusion}) {
        if (std::optional<std::string> error = ExpressionError(text)) {
            why->reason = *error;
            return std::nullopt;
        }
    }
    Entry entry{EntryKind::FileExpression, std::string(expression)};
    entry.exclusion = std::string(exclusion);
    return entry;
}

std::optional<Entry> FragmentExpressionEntry(const PathFragment& fragment, Refusal* why) {
    if (HasControlCharacter(fragment.text)) {
        why->reason = std::string(kControlCharacterReason);
        return std::nullopt;
    }
    // A fragment with no separator is a bit of one name: too little to know
    // a threat's file by.
    if (fragment.text.find('\\') == std::string::npos) {
        why->reason = "partial name without a folder";
        return std::nullopt;
    }
    std::string expression = fragment.anchoredStart ? "^" : "";
    for (char c : fragment.text) {
        if (c == '*')
            expression += "[^\\\\]*";
        else if (c == '?')
            expression += "[^\\\\]";
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 static_cast<unsigned char>(c) >= 0x80)
            expression += c;
        else
            expression += std::string("\\") + c;
    }
    if (fragment.anchoredEnd) expression += '$';
    return FileExpressionEntry(expression, "", why);
}

}  // namespace tolvane::import
