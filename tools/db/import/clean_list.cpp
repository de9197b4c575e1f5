#include "tools/db/import/clean_list.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>

#include "base/codepage.h"
#include "definitions/pattern_match.h"

namespace tolvane::import {
namespace {

// Calls take(line) for every line that is neither blank nor a comment; a
// comment line goes to comment(text after "# ").
void ForEachListLine(std::string_view text, const std::function<void(const std::string&)>& take,
                     const std::function<void(const std::string&)>& comment) {
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (line[0] == '#') {
            size_t start = line.find_first_not_of("# \t");
            if (start != std::string::npos) comment(line.substr(start));
            continue;
        }
        take(line);
    }
}

// Leaves out the entries reasonFor names a reason for.
void LeaveOut(Result* result,
              const std::function<std::optional<std::string>(const Entry&)>& reasonFor) {
    std::vector<Definition> kept;
    for (Definition& d : result->definitions) {
        std::vector<Entry> entries;
        for (Entry& e : d.entries) {
            if (std::optional<std::string> reason = reasonFor(e)) {
                result->report.leftOut.push_back({d.name, e.text, *reason});
                ++result->report.entriesOnCleanMachines;
            } else {
                entries.push_back(std::move(e));
            }
        }
        d.entries = std::move(entries);
        // A definition known by content as well keeps its hashes and rules.
        if (d.entries.empty() && d.hashes.empty() && d.rules.empty())
            --result->report.threatsConverted;
        else
            kept.push_back(std::move(d));
    }
    result->definitions = std::move(kept);
}

std::string Normalised(std::string_view text) {
    while (text.size() > 1 && text.back() == '\\') text.remove_suffix(1);
    return ToUpperCp1252(text);
}

// The well-known folders of a system drive's root as the list names them
// (by placeholder), longest first where one begins another.
constexpr std::pair<std::string_view, std::string_view> kRootFolders[] = {
    {"C:\\WINDOWS\\SYSTEM32", "%SYSTEM%"},
    {"C:\\WINDOWS\\SYSWOW64", "%SYSTEMX86%"},
    {"C:\\WINDOWS", "%WINDIR%"},
    {"C:\\PROGRAM FILES\\COMMON FILES", "%COMMONPROGRAMFILES%"},
    {"C:\\PROGRAM FILES (X86)", "%PROGRAMFILESX86%"},
    {"C:\\PROGRAM FILES", "%PROGRAMFILES%"},
    {"C:\\PROGRAMDATA", "%PROGRAMDATA%"},
    {"C:\\USERS\\PUBLIC", "%PUBLIC%"},
};

// A normalised path below one of those folders with the folder's
// placeholder, as the list writes it; empty for any other text.
std::string WithRootPlaceholder(std::string_view text) {
    for (const auto& [folder, placeholder] : kRootFolders)
        if (text.substr(0, folder.size()) == folder &&
            (text.size() == folder.size() || text[folder.size()] == '\\'))
            return std::string(placeholder) + std::string(text.substr(folder.size()));
    return {};
}

}  // namespace

std::vector<CleanEntry> ReadCleanList(std::string_view text) {
    std::vector<CleanEntry> list;
    std::string reason = "found on a clean machine";
    ForEachListLine(
        text,
        [&](const std::string& line) {
            list.push_back({line, reason});
        },
        [&](const std::string& comment) { reason = comment; });
    return list;
}

void ApplyCleanList(const std::vector<CleanEntry>& clean, Result* result) {
    LeaveOut(result, [&](const Entry& e) -> std::optional<std::string> {
        std::string_view name(e.text);
        if (e.kind == EntryKind::RegistryValue) name = name.substr(0, name.find(":@:"));
        for (const CleanEntry& c : clean)
            if (EqualsNoCase(c.text, e.text) || EqualsNoCase(c.text, name))
                return "on a clean machine: " + c.reason;
        return std::nullopt;
    });
}

void CleanWindows::AddEntries(std::string_view listText) {
    ForEachListLine(
        listText, [&](const std::string& line) { objects_.push_back(Normalised(line)); },
        [](const std::string&) {});
    std::sort(objects_.begin(), objects_.end());
}

void CleanWindows::AddSoftwareKeys(std::string_view listText) {
    ForEachListLine(
        listText,
        [&](const std::string& line) { objects_.push_back(Normalised("Software\\" + line)); },
        [](const std::string&) {});
    std::sort(objects_.begin(), objects_.end());
}

bool CleanWindows::Holds(const Entry& entry) const {
    auto has = [&](const std::string& text) {
        return std::binary_search(objects_.begin(), objects_.end(), text);
    };
    std::string text = Normalised(entry.text);
    // What 64-bit Windows holds for its 32-bit programs mirrors its own keys.
    constexpr std::string_view kWow = "SOFTWARE\\WOW6432NODE\\";
    if (text.rfind(kWow, 0) == 0) text = "SOFTWARE\\" + text.substr(kWow.size());
    if (has(text)) return true;
    // "C:\Windows\System32\Tasks" is the stock "%system%\Tasks".
    if (std::string placeholder = WithRootPlaceholder(text);
        !placeholder.empty() && has(placeholder))
        return true;
    // A value named by wildcard is stock when it names a stock value (or a
    // subkey: the list does not tell them apart, and leaving out is safe).
    // A number compared is no such test: the list does not say which number
    // a stock value holds, and several settings hold the very one a rule
    // looks for on some Windows (Wine's EnableLUA is 0).
    const bool testsData = text.find(":@:") != std::string::npos ||
                           std::any_of(entry.conditions.begin(), entry.conditions.end(),
                                       [](const std::vector<Condition>& any) {
                                           return !any.empty() && any[0].onData && !any[0].dword;
                                       });
    if (entry.namePattern && !testsData) {
        size_t slash = text.rfind('\\');
        if (slash == std::string::npos) return false;
        std::string_view key = std::string_view(text).substr(0, slash + 1);
        std::string_view pattern = std::string_view(text).substr(slash + 1);
        for (const std::string& object : objects_) {
            std::string_view o(object);
            if (o.size() > key.size() && o.substr(0, key.size()) == key &&
                o.find('\\', key.size()) == std::string_view::npos &&
                ValueNameMatch(pattern, o.substr(key.size())))
                return true;
        }
    }
    // The scan looks for a key below HKEY_CLASSES_ROOT first, which shows
    // the machine's and the user's Software\Classes.
    constexpr std::string_view kSoftware = "SOFTWARE\\";
    return entry.kind == EntryKind::RegistryKey && text.rfind(kSoftware, 0) != 0 &&
           has("SOFTWARE\\CLASSES\\" + text);
}

void CleanWindows::AddStockNames(std::string_view listText) {
    size_t at = 0;
    while (at < listText.size()) {
        size_t end = listText.find('\n', at);
        if (end == std::string_view::npos) end = listText.size();
        std::string line(listText.substr(at, end - at));
        at = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        for (char& c : line) c = FoldCase(c);
        names_.push_back(std::move(line));
    }
    std::sort(names_.begin(), names_.end());
}

bool CleanWindows::HasStockName(std::string_view name) const {
    std::string folded(name);
    for (char& c : folded) c = FoldCase(c);
    return std::binary_search(names_.begin(), names_.end(), folded);
}

void ApplyCleanWindows(const CleanWindows& stock, Result* result) {
    LeaveOut(result, [&](const Entry& e) -> std::optional<std::string> {
        if (stock.Holds(e)) return std::string(kCleanWindowsReason);
        return std::nullopt;
    });
}

}  // namespace tolvane::import
