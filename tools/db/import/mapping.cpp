#include "tools/db/import/mapping.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

#include "base/codepage.h"
#include "base/text.h"

namespace tolvane::import {
namespace {

std::nullopt_t Refuse(Refusal* why, std::string reason) {
    if (why) why->reason = std::move(reason);
    return std::nullopt;
}

std::vector<std::string> SplitPath(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t cut = path.find('\\', start);
        parts.emplace_back(path.substr(start, cut - start));
        if (cut == std::string_view::npos) break;
        start = cut + 1;
    }
    return parts;
}

std::string JoinPath(const std::vector<std::string>& parts, size_t from) {
    std::string out;
    for (size_t i = from; i < parts.size(); ++i) {
        if (i > from) out += '\\';
        out += parts[i];
    }
    return out;
}

// --- Registry roots ---

// The roots sources write, longest first where one begins another.
constexpr std::string_view kMachineRoots[] = {"HKEY_LOCAL_MACHINE\\", "HKLM\\",
                                              "\\REGISTRY\\MACHINE\\", "REGISTRY\\MACHINE\\"};
constexpr std::string_view kCurrentUserRoots[] = {"HKEY_CURRENT_USER\\", "HKCU\\"};
constexpr std::string_view kClassesRoots[] = {"HKEY_CLASSES_ROOT\\", "HKCR\\"};
constexpr std::string_view kUsersRoots[] = {"HKEY_USERS\\", "HKU\\", "\\REGISTRY\\USER\\",
                                            "REGISTRY\\USER\\"};

// The keys directly below a hive that a path may start with when the source
// writes no root: HKLM's, a user's, and the class keys HKCR merges.
constexpr std::string_view kTopKeys[] = {"SOFTWARE", "SYSTEM",    "Control Panel",   "Environment",
                                         "Console",  "AppEvents", "Keyboard Layout", "Network",
                                         "Printers", "CLSID",     "Interface",       "TypeLib",
                                         "AppID"};

bool IsClassKey(std::string_view top) {
    return EqualsNoCase(top, "CLSID") || EqualsNoCase(top, "Interface") ||
           EqualsNoCase(top, "TypeLib") || EqualsNoCase(top, "AppID");
}

std::optional<std::string_view> AfterRootList(std::string_view path, const auto& roots) {
    for (std::string_view root : roots)
        if (StartsWithNoCase(path, root)) return path.substr(root.size());
    return std::nullopt;
}

// HKU\<SID>\... is that user's HKCU; HKU\<SID>_Classes\... its classes.
std::optional<std::string> BelowUsersRoot(std::string_view rest, bool forValue, Refusal* why) {
    size_t cut = rest.find('\\');
    if (cut == std::string_view::npos || cut == 0)
        return Refuse(why, "registry path names only a user's hive");
    std::string_view user = rest.substr(0, cut);
    std::string_view below = rest.substr(cut + 1);
    if (EndsWithNoCase(user, "_Classes"))
        return forValue ? "Software\\Classes\\" + std::string(below) : std::string(below);
    return std::string(below);
}

bool HasWildcard(std::string_view text) {
    return text.find_first_of("*?") != std::string_view::npos;
}

}  // namespace

bool StartsWithOmittedDrive(std::string_view path) {
    return path.size() >= 2 && path[0] == ':' && path[1] == '\\';
}

bool HasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

std::optional<std::string> RegistryPathWithoutRoot(std::string_view written, bool forValue,
                                                   Refusal* why) {
    if (written.empty()) return Refuse(why, "empty registry path");
    if (HasControlCharacter(written)) return Refuse(why, std::string(kControlCharacterReason));
    if (HasWildcard(written)) return Refuse(why, "wildcard in a registry path");
    std::string path;
    if (auto rest = AfterRootList(written, kMachineRoots)) {
        path = *rest;
    } else if (auto rest = AfterRootList(written, kCurrentUserRoots)) {
        path = *rest;
    } else if (auto rest = AfterRootList(written, kClassesRoots)) {
        path = forValue ? "Software\\Classes\\" + std::string(*rest) : std::string(*rest);
    } else if (auto rest = AfterRootList(written, kUsersRoots)) {
        auto below = BelowUsersRoot(*rest, forValue, why);
        if (!below) return std::nullopt;
        path = *below;
    } else {
        std::string_view below = written;
        if (below.front() == '\\') below.remove_prefix(1);
        std::string_view top = below.substr(0, below.find('\\'));
        bool known = std::any_of(std::begin(kTopKeys), std::end(kTopKeys),
                                 [&](std::string_view k) { return EqualsNoCase(k, top); });
        // Nor as an expression: the registry phases open keys by a literal
        // path and walk no hive, and a path that may start at any depth
        // gives no literal key to look in.
        if (!known) return Refuse(why, std::string(kNoRootReason));
        path = (forValue && IsClassKey(top)) ? "Software\\Classes\\" + std::string(below)
                                             : std::string(below);
    }
    while (!path.empty() && path.back() == '\\') path.pop_back();
    if (path.empty()) return Refuse(why, "registry path names only a hive");
    if (path.find("\\\\") != std::string::npos || path.front() == '\\')
        return Refuse(why, "registry path with an empty key name");
    return path;
}

namespace {

// Where a subtree a source names without its root lives: the path from a
// hive's top key down to it, in each place.
struct Subtree {
    std::string_view firstKey;
    std::array<std::string_view, 2> prefixes;  // the second may be empty
    std::string_view places;
};

constexpr Subtree kSubtrees[] = {
    {"Microsoft",
     {"SOFTWARE\\", "SOFTWARE\\Wow6432Node\\"},
     "HKLM\\SOFTWARE, HKLM\\SOFTWARE\\Wow6432Node and each user's Software"},
    {"Policies",
     {"SOFTWARE\\", "SOFTWARE\\Wow6432Node\\"},
     "HKLM\\SOFTWARE, HKLM\\SOFTWARE\\Wow6432Node and each user's Software"},
    {"CurrentVersion",
     {"SOFTWARE\\Microsoft\\Windows\\", "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\"},
     "Microsoft\\Windows below HKLM\\SOFTWARE, HKLM\\SOFTWARE\\Wow6432Node and each user's "
     "Software"},
    {"Control", {"SYSTEM\\CurrentControlSet\\", ""}, "HKLM\\SYSTEM\\CurrentControlSet"},
    {"Services", {"SYSTEM\\CurrentControlSet\\", ""}, "HKLM\\SYSTEM\\CurrentControlSet"},
    {"CurrentControlSet", {"SYSTEM\\", ""}, "HKLM\\SYSTEM"},
    {"SAM", {"", ""}, "HKLM\\SAM"},
};

// "ControlSet001": a numbered control set of HKLM\SYSTEM.
bool IsNumberedControlSet(std::string_view key) {
    constexpr std::string_view kHead = "ControlSet";
    return key.size() == kHead.size() + 3 && StartsWithNoCase(key, kHead) &&
           std::all_of(key.begin() + kHead.size(), key.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<std::vector<std::string>> RegistryPathsBelowSubtree(std::string_view written,
                                                                  bool forValue,
                                                                  std::string* places,
                                                                  Refusal* why) {
    std::string_view below = written;
    if (!below.empty() && below.front() == '\\') below.remove_prefix(1);
    std::string_view first = below.substr(0, below.find('\\'));
    const Subtree* subtree = nullptr;
    static constexpr Subtree kControlSet{"", {"SYSTEM\\", ""}, "HKLM\\SYSTEM"};
    if (IsNumberedControlSet(first)) subtree = &kControlSet;
    for (const Subtree& s : kSubtrees)
        if (EqualsNoCase(s.firstKey, first)) subtree = &s;
    // A subtree's first key alone, or a well-known key below it, is on
    // every machine: what is looked for must lie deeper.
    std::string_view rest = below.substr(first.size());
    while (!rest.empty() && rest.front() == '\\') rest.remove_prefix(1);
    if (!subtree || rest.find_first_not_of('\\') == std::string_view::npos)
        return Refuse(why, std::string(kNoRootReason));
    std::vector<std::string> paths;
    for (std::string_view prefix : subtree->prefixes) {
        if (prefix.empty() && !paths.empty()) break;
        auto path = RegistryPathWithoutRoot("HKLM\\" + std::string(prefix) + std::string(below),
                                            forValue, why);
        if (!path) return std::nullopt;
        paths.push_back(std::move(*path));
    }
    *places = subtree->places;
    return paths;
}

std::optional<std::string> RegistryValueText(std::string_view pathWithoutRoot, Refusal* why) {
    size_t cut = pathWithoutRoot.rfind('\\');
    if (cut == std::string_view::npos || cut == 0)
        return Refuse(why, "registry value without a key");
    if (HasControlCharacter(pathWithoutRoot))
        return Refuse(why, std::string(kControlCharacterReason));
    std::string key(pathWithoutRoot.substr(0, cut));
    std::string_view name = pathWithoutRoot.substr(cut + 1);
    if (EqualsNoCase(name, "(Default)")) name = {};
    if (std::string_view(key).find(":@:") != std::string_view::npos ||
        name.find(":@:") != std::string_view::npos)
        return Refuse(why, "registry path holds the data separator \":@:\"");
    return key + "\\" + std::string(name);
}

std::optional<uint32_t> SysmonDword(std::string_view text) {
    constexpr std::string_view kHead = "DWORD (0x";
    if (!StartsWithNoCase(text, kHead) || text.size() != kHead.size() + 9 || text.back() != ')')
        return std::nullopt;
    uint32_t value = 0;
    for (char c : text.substr(kHead.size(), 8)) {
        int digit = std::isdigit(static_cast<unsigned char>(c))    ? c - '0'
                    : std::isxdigit(static_cast<unsigned char>(c)) ? (std::tolower(c) - 'a' + 10)
                                                                   : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return value;
}

namespace {

std::optional<std::string> DwordPattern(uint32_t value, Refusal* why) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) {
        char b = static_cast<char>((value >> (8 * i)) & 0xFF);
        if (b == 0) return Refuse(why, std::string(kDwordZeroByteReason));
        const std::string one(1, b);
        // A letter has another case: FoldCase gives the other of an upper-case
        // letter, ToUpperCp1252 that of a lower-case one.
        const bool letter = FoldCase(b) != b || ToUpperCp1252(one) != one ||
                            std::isalpha(static_cast<unsigned char>(b));
        if (b == '\n' || b == '\r' || letter)
            return Refuse(why, "DWORD whose bytes read as a letter or a line end");
        bytes += b;
    }
    return bytes;
}

}  // namespace

std::optional<std::string> DataPattern(std::string_view details, DataMatch match, Refusal* why) {
    if (details.empty()) return Refuse(why, "empty data condition");
    // The scan reads data up to its first zero byte, and the markup ends at
    // one: a pattern holding one could never match and would cut the
    // database short.
    if (details.find('\0') != std::string_view::npos)
        return Refuse(why, "zero byte in a data condition");
    if (StartsWithNoCase(details, "DWORD (")) {
        if (match != DataMatch::Equals) return Refuse(why, "part of a DWORD's printed form");
        auto value = SysmonDword(details);
        if (!value) return Refuse(why, std::string(kDwordFormReason));
        return DwordPattern(*value, why);
    }
    if (StartsWithNoCase(details, "QWORD (") || StartsWithNoCase(details, "Binary Data"))
        return Refuse(why, "QWORD or binary data, which the scan does not read as text");
    if (match != DataMatch::Contains)
        return Refuse(why,
                      "data that must equal, start or end with a text: the scan tests "
                      "containment");
    if (HasWildcard(details)) return Refuse(why, "wildcard in a data condition");
    if (details.find('%') != std::string_view::npos)
        return Refuse(why, "'%' in a data condition reads as a placeholder");
    return std::string(details);
}

// --- Files and folders ---

namespace {

struct VariablePlaceholder {
    std::string_view variable;
    std::string_view placeholder;
};

constexpr VariablePlaceholder kVariables[] = {
    {"APPDATA", "%appdata%"},
    {"LOCALAPPDATA", "%localappdata%"},
    {"TEMP", "%temp%"},
    {"TMP", "%temp%"},
    {"USERPROFILE", "%userprofile%"},
    {"WINDIR", "%windir%"},
    {"SYSTEMROOT", "%windir%"},
    {"PROGRAMFILES", "%programfiles%"},
    {"PROGRAMFILES(X86)", "%programfilesx86%"},
    {"COMMONPROGRAMFILES", "%commonprogramfiles%"},
    {"PROGRAMDATA", "%programdata%"},
    {"ALLUSERSPROFILE", "%programdata%"},
    {"PUBLIC", "%public%"},
    {"STARTUP", "%autostart%"},
};

// A folder a placeholder stands for, by the names its path ends with on the
// Windows of today and on Wine (profiles under C:\Users or C:\users\NAME).
struct Anchor {
    std::string_view placeholder;
    std::array<std::string_view, 7> names;  // the folder's path, last names
};

constexpr Anchor kAnchors[] = {
    {"%autostart%",
     {"AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs", "Startup"}},
    {"%startupprograms%", {"AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs"}},
    {"%startmenu%", {"AppData", "Roaming", "Microsoft", "Windows", "Start Menu"}},
    {"%appdata%", {"AppData", "Roaming"}},
    {"%localappdata%", {"AppData", "Local"}},
    {"%system%", {"Windows", "System32"}},
    {"%systemx86%", {"Windows", "SysWOW64"}},
    {"%windir%", {"Windows"}},
    {"%commonprogramfiles%", {"Program Files", "Common Files"}},
    {"%programfilesx86%", {"Program Files (x86)"}},
    {"%programfiles%", {"Program Files"}},
    {"%programdata%", {"ProgramData"}},
    {"%public%", {"Users", "Public"}},
    {"%temp%", {"Temp"}},
    {"%desktop%", {"Desktop"}},
    {"%favorites%", {"Favorites"}},
};

size_t NameCount(const Anchor& anchor) {
    size_t n = 0;
    while (n < anchor.names.size() && !anchor.names[n].empty()) ++n;
    return n;
}

// How many leading names of `parts` a tail of the anchor's path matches (0:
// none). The first name may be the end of a longer name when the fragment
// does not start at a separator ("ystem32" ends "System32").
size_t AnchorMatch(const Anchor& anchor, const std::vector<std::string>& parts,
                   bool firstIsPartial) {
    const size_t count = NameCount(anchor);
    size_t best = 0;
    for (size_t from = 0; from < count; ++from) {
        size_t length = count - from;
        if (length >= parts.size()) continue;  // a name must follow the folder
        bool match = true;
        for (size_t i = 0; i < length && match; ++i) {
            std::string_view want = anchor.names[from + i];
            const std::string& have = parts[i];
            if (HasWildcard(have) || have.empty())
                match = false;
            else if (i == 0 && firstIsPartial)
                match = EndsWithNoCase(want, have);
            else
                match = EqualsNoCase(want, have);
        }
        if (match) best = std::max(best, length);
    }
    return best;
}

bool IsDrivePath(std::string_view text) {
    return text.size() >= 3 && std::isalpha(static_cast<unsigned char>(text[0])) &&
           text[1] == ':' && text[2] == '\\';
}

bool StartsWithPlaceholder(std::string_view text) {
    if (text.empty() || text[0] != '%') return false;
    for (const auto& v : kVariables)
        if (text.substr(0, v.placeholder.size()) == v.placeholder) return true;
    return false;
}

// Characters the wildcard rule or the markup would read otherwise, and
// characters no Windows name holds.
std::optional<Refusal> CheckNames(std::string_view path) {
    if (path.find_first_of("`[]<>\"|") != std::string_view::npos)
        return Refusal{
            "a character the pattern rule or Windows names do not allow (` [ ] < > \" |)"};
    if (!path.empty() && path.back() == '!') return Refusal{"name ending with '!'"};
    // Past a drive letter a ':' names an NTFS stream ("x::$DATA"), never a
    // file of its own: the file walk could only meet a host name that
    // Windows cannot hold. A leading ":\" is the colon of a drive whose
    // letter the source left out: a path from the root of any drive.
    size_t colon = path.find(':');
    const size_t driveColon = StartsWithOmittedDrive(path) ? 0 : 1;
    if (colon != std::string_view::npos &&
        (colon != driveColon || path.find(':', colon + 1) != std::string_view::npos))
        return Refusal{"':' in a name (an NTFS stream)"};
    if (colon == 0) return Refusal{std::string(kOmittedDriveReason)};
    if (path.find("\\\\") != std::string_view::npos) return Refusal{"empty name in a path"};
    if (path.size() > 259) return Refusal{"path longer than 259 characters"};
    return std::nullopt;
}

std::optional<std::string> Anchored(std::string_view text, bool anchoredStart, Refusal* why) {
    if (IsDrivePath(text) || StartsWithPlaceholder(text)) return std::string(text);
    if (anchoredStart) return Refuse(why, "relative path");
    bool partial = text.front() != '\\';
    std::vector<std::string> parts = SplitPath(partial ? text : text.substr(1));
    if (parts.size() == 1) return parts[0];  // a bare file name
    const Anchor* best = nullptr;
    size_t bestLength = 0;
    for (const Anchor& anchor : kAnchors) {
        size_t length = AnchorMatch(anchor, parts, partial);
        if (length > bestLength) best = &anchor, bestLength = length;
    }
    if (!best) return Refuse(why, std::string(kPartialPathReason));
    return std::string(best->placeholder) + "\\" + JoinPath(parts, bestLength);
}

}  // namespace

std::optional<std::string> EnvironmentToPlaceholders(std::string_view path, Refusal* why) {
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        size_t open = path.find('%', i);
        if (open == std::string_view::npos) {
            out.append(path.substr(i));
            break;
        }
        size_t close = path.find('%', open + 1);
        if (close == std::string_view::npos) return Refuse(why, "unpaired '%' in a path");
        std::string name = ToUpperCp1252(path.substr(open + 1, close - open - 1));
        auto known = std::find_if(std::begin(kVariables), std::end(kVariables),
                                  [&](const VariablePlaceholder& v) { return v.variable == name; });
        if (known == std::end(kVariables))
            return Refuse(why, "unknown variable %" +
                                   std::string(path.substr(open + 1, close - open - 1)) + "%");
        out.append(path.substr(i, open - i));
        out.append(known->placeholder);
        i = close + 1;
    }
    return out;
}

std::optional<Entry> PathEntry(const PathFragment& fragment, Refusal* why) {
    std::string_view text = fragment.text;
    if (text.empty()) return Refuse(why, "empty path");
    if (HasControlCharacter(text)) return Refuse(why, std::string(kControlCharacterReason));
    if (text.find('/') != std::string_view::npos || text.front() == '~')
        return Refuse(why, "Linux or macOS path");
    auto expanded = EnvironmentToPlaceholders(text, why);
    if (!expanded) return std::nullopt;
    if (auto bad = CheckNames(*expanded)) return Refuse(why, bad->reason);
    std::string path = *expanded;
    bool folder = path.size() > 1 && path.back() == '\\';
    if (folder) path.pop_back();
    if (path.empty() || path == "\\") return Refuse(why, "empty path");
    auto anchored = Anchored(path, fragment.anchoredStart, why);
    if (!anchored) return std::nullopt;
    const bool bare = anchored->find('\\') == std::string::npos;
    // "*.exe", ".tmp": any file of a kind, not a trace.
    std::string_view last = std::string_view(*anchored).substr(anchored->rfind('\\') + 1);
    if (last.substr(0, last.rfind('.')).find_first_not_of("*?") == std::string_view::npos)
        return Refuse(why, "file name of wildcards and an extension only");
    if (folder) {
        if (bare) return Refuse(why, "a folder of that name anywhere");
        if (HasWildcard(*anchored)) return Refuse(why, "wildcard in a folder path");
        if (anchored->size() <= 3 && IsDrivePath(*anchored)) return Refuse(why, "a drive's root");
        return Entry{EntryKind::Directory, *anchored};
    }
    return Entry{EntryKind::File, *anchored};
}

// --- Regular expressions ---

namespace {

// A sequence of alternatives being built: every fragment text so far.
using Texts = std::vector<std::string>;

// Every text so far followed by every choice. A single choice (a literal
// character, the common case) is appended in place, so that a long
// expression costs time in proportion to its length.
bool AppendAll(Texts* texts, const Texts& choices) {
    if (choices.size() == 1) {
        for (std::string& t : *texts) t += choices[0];
        return true;
    }
    if (texts->size() * choices.size() > kMaxAlternatives) return false;
    Texts next;
    for (const std::string& t : *texts)
        for (const std::string& c : choices) next.push_back(t + c);
    *texts = std::move(next);
    return true;
}

// Groups nested deeper than this are refused: the reader descends once per
// group, and a path expression never needs more than a few.
constexpr int kMaxGroupDepth = 32;

bool IsRegexSpecial(char c) {
    return std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos;
}

class RegexReader {
  public:
    explicit RegexReader(std::string_view text) : text_(text) {}

    // A sequence up to the end, a ')' or a '|' (not consumed).
    std::optional<Texts> Sequence(Refusal* why) {
        Texts texts{""};
        while (pos_ < text_.size() && text_[pos_] != ')' && text_[pos_] != '|') {
            auto atom = Atom(why);
            if (!atom) return std::nullopt;
            if (!Quantify(&*atom, why)) return std::nullopt;
            if (!AppendAll(&texts, *atom)) return Refuse(why, "more than 8 alternatives");
        }
        return texts;
    }

    // Alternatives separated by '|' up to the end or a ')'.
    std::optional<Texts> Alternation(Refusal* why) {
        Texts all;
        while (true) {
            auto one = Sequence(why);
            if (!one) return std::nullopt;
            all.insert(all.end(), one->begin(), one->end());
            if (all.size() > kMaxAlternatives) return Refuse(why, "more than 8 alternatives");
            if (pos_ < text_.size() && text_[pos_] == '|') {
                ++pos_;
                continue;
            }
            return all;
        }
    }

    bool AtEnd() const { return pos_ >= text_.size(); }
    size_t Position() const { return pos_; }

  private:
    std::optional<Texts> Atom(Refusal* why) {
        char c = text_[pos_++];
        switch (c) {
            case '\\':
                return Escape(why);
            case '.':
                return Dot();
            case '[':
                return Class(why);
            case '(':
                return Group(why);
            case '^':
            case '$':
                return Refuse(why, "anchor inside the expression");
            case '*':
            case '+':
            case '?':
            case '{':
                return Refuse(why, "repetition");
            default:
                if (c == '}' || c == ']') return Refuse(why, "unbalanced bracket");
                return Texts{std::string(1, c)};
        }
    }

    std::optional<Texts> Escape(Refusal* why) {
        if (pos_ >= text_.size()) return Refuse(why, "expression ends with a backslash");
        char c = text_[pos_++];
        if (IsRegexSpecial(c) || std::ispunct(static_cast<unsigned char>(c)) || c == ' ') {
            if (c == '*' || c == '?') return Refuse(why, "literal '*' or '?' in a path");
            return Texts{std::string(1, c)};
        }
        return Refuse(why, std::string("character class or escape \\") + c);
    }

    // '.' is one character: '?' (which never matches a separator); ".*" is
    // '*' and ".+" "?*" (which stop at '.', '/' and '\').
    Texts Dot() {
        if (pos_ < text_.size() && text_[pos_] == '*') {
            ++pos_;
            return {"*"};
        }
        if (pos_ < text_.size() && text_[pos_] == '+') {
            ++pos_;
            return {"?*"};
        }
        return {"?"};
    }

    // [x], [\.] or one letter in both cases ([Ss]).
    std::optional<Texts> Class(Refusal* why) {
        size_t close = text_.find(']', pos_ + 1);
        if (close == std::string_view::npos) return Refuse(why, "unclosed character class");
        std::string members;
        for (size_t i = pos_; i < close; ++i) {
            char c = text_[i];
            if (c == '\\' && i + 1 < close)
                c = text_[++i];
            else if (c == '^' || c == '-')
                return Refuse(why, "character class");
            members += c;
        }
        pos_ = close + 1;
        if (members.size() == 1) return Texts{members};
        if (members.size() == 2 && members[0] != members[1] &&
            FoldCase(members[0]) == FoldCase(members[1]))
            return Texts{std::string(1, members[0])};
        return Refuse(why, "character class of several characters");
    }

    std::optional<Texts> Group(Refusal* why) {
        if (text_.substr(pos_, 2) == "?:")
            pos_ += 2;
        else if (pos_ < text_.size() && text_[pos_] == '?')
            return Refuse(why, "group flag");
        if (depth_ >= kMaxGroupDepth) return Refuse(why, "groups nested too deep");
        ++depth_;
        auto inner = Alternation(why);
        --depth_;
        if (!inner) return std::nullopt;
        if (pos_ >= text_.size() || text_[pos_] != ')') return Refuse(why, "unclosed group");
        ++pos_;
        return inner;
    }

    // An atom followed by '?' is there or not; other repetition is refused.
    bool Quantify(Texts* atom, Refusal* why) {
        if (pos_ >= text_.size()) return true;
        char c = text_[pos_];
        if (c == '?') {
            ++pos_;
            atom->push_back("");
            if (atom->size() > kMaxAlternatives)
                return Refuse(why, "more than 8 alternatives"), false;
            return true;
        }
        if (c == '*' || c == '+' || c == '{') {
            Refuse(why, "repetition");
            return false;
        }
        return true;
    }

    std::string_view text_;
    size_t pos_ = 0;
    int depth_ = 0;
};

}  // namespace

std::optional<std::vector<PathFragment>> RegexFragments(std::string_view regex, Refusal* why) {
    if (regex.substr(0, 4) == "(?i)") regex.remove_prefix(4);
    bool anchoredStart = !regex.empty() && regex.front() == '^';
    if (anchoredStart) regex.remove_prefix(1);
    bool anchoredEnd = !regex.empty() && regex.back() == '$' &&
                       (regex.size() < 2 || regex[regex.size() - 2] != '\\');
    if (anchoredEnd) regex.remove_suffix(1);
    if (regex.empty()) return Refuse(why, "empty expression");
    RegexReader reader(regex);
    auto texts = reader.Alternation(why);
    if (!texts) return std::nullopt;
    if (!reader.AtEnd()) return Refuse(why, "unbalanced ')'");
    std::vector<PathFragment> fragments;
    for (std::string& t : *texts) {
        if (t.empty()) return Refuse(why, "an alternative that is empty");
        fragments.push_back({std::move(t), anchoredStart, anchoredEnd});
    }
    return fragments;
}

// --- Texts ---

std::string PlainName(std::string_view utf8) {
    std::string text = Utf8ToCp1252(utf8);
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case 0x91:
            case 0x92:
            case 0xB4:
                out += '\'';
                continue;
            case 0x93:
            case 0x94:
                out += '\'';
                continue;
            case 0x96:
            case 0x97:
                out += '-';
                continue;
            default:
                break;
        }
        if (c == '&')
            out += "and";
        else if (c == '"' || c == '<' || c == '>')
            out += '\'';
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else if (c == '\t' || c == '\n' || c == '\r')
            out += ' ';
    }
    // Blanks folded, at most 80 characters.
    std::string folded;
    for (char c : out)
        if (!(c == ' ' && (folded.empty() || folded.back() == ' '))) folded += c;
    while (!folded.empty() && folded.back() == ' ') folded.pop_back();
    if (folded.size() > 80) folded = folded.substr(0, 77) + "...";
    return folded;
}

}  // namespace tolvane::import
