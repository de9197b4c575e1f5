#include "definitions/placeholders.h"

namespace tolvane {
namespace {

constexpr std::string_view kTexts[kPlaceholderCount] = {
    "%appdata%",         "%autostart%", "%commonprogramfiles%", "%desktop%",     "%favorites%",
    "%programfiles%",    "%startmenu%", "%startupprograms%",    "%system%",      "%temp%",
    "%userprofile%",     "%windir%",    "%localappdata%",       "%programdata%", "%public%",
    "%programfilesx86%", "%systemx86%"};

}  // namespace

std::string_view PlaceholderText(Placeholder placeholder) {
    return kTexts[static_cast<int>(placeholder)];
}

std::string ResolvePlaceholders(std::string text, const PlaceholderFolders& folders) {
    std::string out = std::move(text);
    // Every placeholder holds two '%'.
    size_t first = out.find('%');
    if (first == std::string::npos || out.find('%', first + 1) == std::string::npos) return out;
    for (int i = 0; i < kPlaceholderCount; ++i) {
        std::string_view name = kTexts[i];
        const std::string& folder = folders.folders[i];
        size_t at = out.find(name);
        while (at != std::string::npos) {
            out.replace(at, name.size(), folder);
            at = out.find(name, at + folder.size());
        }
    }
    return out;
}

}  // namespace tolvane
