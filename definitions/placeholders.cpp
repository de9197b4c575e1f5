#include "definitions/placeholders.h"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <iterator>

#include "base/text.h"

namespace tolvane {
namespace {

constexpr std::string_view kTexts[kPlaceholderCount] = {
    "%appdata%",         "%autostart%", "%commonprogramfiles%", "%desktop%",     "%favorites%",
    "%programfiles%",    "%startmenu%", "%startupprograms%",    "%system%",      "%temp%",
    "%userprofile%",     "%windir%",    "%localappdata%",       "%programdata%", "%public%",
    "%programfilesx86%", "%systemx86%"};

// The characters that follow a '%' in the text. A placeholder starts only at
// a '%' followed by its first letter, so the others need no search; the set
// is made again after each replacement, as a folder put in may add a '%'.
std::bitset<256> LettersAfterPercent(std::string_view text) {
    std::bitset<256> letters;
    for (size_t at = text.find('%'); at != std::string_view::npos && at + 1 < text.size();
         at = text.find('%', at + 1))
        letters.set(static_cast<unsigned char>(text[at + 1]));
    return letters;
}

// The usual text holds one placeholder and no other '%': only the text
// between its two '%' can match, and a folder without a '%' of its own
// leaves nothing for a later placeholder, so the whole replacement is one
// copy. False, setting nothing, for any other text.
// first and second are the text's first two '%'.
bool ResolveSinglePlaceholder(std::string_view text, size_t first, size_t second,
                              const PlaceholderFolders& folders, std::string* resolved) {
    if (text.find('%', second + 1) != std::string_view::npos) return false;
    std::string_view candidate = text.substr(first, second + 1 - first);
    const auto* named = std::find(std::begin(kTexts), std::end(kTexts), candidate);
    if (named == std::end(kTexts)) return false;
    const std::string& folder = folders.folders[named - std::begin(kTexts)];
    if (folder.find('%') != std::string::npos) return false;
    // Three copies into a buffer sized once; a reused buffer already has room.
    const std::string_view after = text.substr(second + 1);
    resolved->resize(first + folder.size() + after.size());
    char* out = resolved->data();
    std::memcpy(out, text.data(), first);
    std::memcpy(out + first, folder.data(), folder.size());
    std::memcpy(out + first + folder.size(), after.data(), after.size());
    return true;
}

}  // namespace

std::string_view PlaceholderText(Placeholder placeholder) {
    return kTexts[static_cast<int>(placeholder)];
}

std::string ResolvePlaceholders(std::string text, const PlaceholderFolders& folders) {
    // Every placeholder holds two '%'.
    size_t first = text.find('%');
    size_t second = first == std::string::npos ? first : text.find('%', first + 1);
    if (second == std::string::npos) return text;
    std::string single;
    if (ResolveSinglePlaceholder(text, first, second, folders, &single)) return single;
    std::string out = std::move(text);
    std::bitset<256> after = LettersAfterPercent(out);
    for (int i = 0; i < kPlaceholderCount; ++i) {
        std::string_view name = kTexts[i];
        if (!after[static_cast<unsigned char>(name[1])]) continue;
        const std::string& folder = folders.folders[i];
        size_t at = out.find(name);
        if (at == std::string::npos) continue;
        while (at != std::string::npos) {
            out.replace(at, name.size(), folder);
            at = out.find(name, at + folder.size());
        }
        after = LettersAfterPercent(out);
    }
    return out;
}

bool ResolvePlaceholders(std::string_view text, const PlaceholderFolders& folders,
                         std::string* resolved) {
    size_t first = text.find('%');
    size_t second = first == std::string_view::npos ? first : text.find('%', first + 1);
    if (second == std::string_view::npos) return false;
    resolved->clear();
    if (!ResolveSinglePlaceholder(text, first, second, folders, resolved))
        *resolved = ResolvePlaceholders(std::string(text), folders);
    return true;
}

bool IsUserPlaceholder(Placeholder placeholder) {
    switch (placeholder) {
        case Placeholder::AppData:
        case Placeholder::AutoStart:
        case Placeholder::Desktop:
        case Placeholder::Favorites:
        case Placeholder::StartMenu:
        case Placeholder::StartupPrograms:
        case Placeholder::Temp:
        case Placeholder::UserProfile:
        case Placeholder::LocalAppData:
            return true;
        default:
            return false;
    }
}

std::optional<std::string> MoveToUser(std::string_view path, const PlaceholderFolders& from,
                                      const PlaceholderFolders& to) {
    int best = -1;
    for (int i = 0; i < kPlaceholderCount; ++i) {
        const std::string& folder = from.folders[i];
        if (!IsUserPlaceholder(static_cast<Placeholder>(i)) || folder.empty() ||
            !StartsWithNoCase(path, folder) ||
            (path.size() > folder.size() && path[folder.size()] != '\\'))
            continue;
        if (best < 0 || folder.size() > from.folders[best].size()) best = i;
    }
    if (best < 0 || to.folders[best].empty()) return std::nullopt;
    return to.folders[best] + std::string(path.substr(from.folders[best].size()));
}

}  // namespace tolvane
