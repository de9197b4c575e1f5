// One Wine registry file (system.reg, user.reg, userdef.reg) as a tree of
// keys and values, read from and written back to Wine's text format.
//
// Text is kept as Wine keeps it: names are UTF-16, string data is UTF-16LE
// bytes with its terminating zero. Keys and values stay sorted the way Wine
// sorts them (by name, UTF-16 units folded to lower case, then by length), so
// enumeration by index matches Wine's.
//
// Saving an unchanged tree gives back the file's own bytes: every key block
// keeps its original text until the key changes; a changed key is written as
// Wine writes it. Symbolic-link keys (#link) are kept as plain keys with
// their "SymbolicLinkValue"; paths are not redirected through them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

namespace tolvane {

struct HiveValue {
    std::u16string name;  // empty: the default value
    uint32_t type = 0;
    std::string data;  // raw bytes as Wine stores them
};

struct HiveKey {
    std::u16string name;
    HiveKey* parent = nullptr;
    FileTime modified = 0;
    bool hasClass = false;
    std::u16string className;
    bool isLink = false;
    // '#' and ';' lines of the block Wine does not interpret, kept verbatim.
    std::vector<std::string> extraLines;
    std::vector<std::unique_ptr<HiveKey>> subkeys;  // sorted by HiveNameLess
    std::vector<HiveValue> values;                  // sorted by HiveNameLess

    // The block as read ("[...]" line to its last non-blank line) and the
    // blank lines before it; dropped when the key changes.
    bool hasOriginal = false;
    std::string originalGap;
    std::string originalBlock;

    // Lookup by name without regard to case: binary search of the sorted lists.
    HiveKey* FindSubkey(std::u16string_view name) const;
    const HiveValue* FindValue(std::u16string_view name) const;
    HiveValue* FindValue(std::u16string_view name);
    // Adds a subkey (must not exist) at its sorted place.
    HiveKey* AddSubkey(std::u16string_view name, FileTime modified);
    // Sets (adds or replaces) a value; the stored name keeps the case it was
    // created with.
    void SetValue(std::u16string_view name, uint32_t type, std::string data);
    bool DeleteValue(std::u16string_view name);
    bool DeleteSubkey(std::u16string_view name);
    // Marks the key changed now: its block will be written anew.
    void Touch(FileTime now);
};

// Wine's order of names: lower-cased UTF-16 units, then the shorter first.
int HiveNameCompare(std::u16string_view a, std::u16string_view b);
inline bool HiveNameEquals(std::u16string_view a, std::u16string_view b) {
    return HiveNameCompare(a, b) == 0;
}
char16_t HiveFoldUnit(char16_t c);

// The current time as a FILETIME.
FileTime FileTimeNow();

class WineHive {
  public:
    WineHive();

    // Parses the text of a registry file. What cannot be read is skipped and
    // reported as "LABEL:LINE: what" in problems (label is usually the file
    // name). An empty text is an empty hive.
    void Parse(std::string_view text, std::string_view label, std::vector<std::string>* problems);
    // The file's text. With keepOriginal false every block is written anew,
    // as Wine would write it (used to check the writer against Wine's files).
    std::string Serialize(bool keepOriginal = true) const;

    HiveKey& root() { return *root_; }
    const HiveKey& root() const { return *root_; }

    // The path of ";; All keys relative to", unescaped (e.g.
    // "REGISTRY\User\S-1-5-21-0-0-0-1000"); empty when missing.
    const std::string& relativeTo() const { return relativeTo_; }
    // Header for a hive made from nothing (no file yet): relativeTo is e.g.
    // "REGISTRY\\Machine" with single backslashes.
    void SetNewFileHeader(std::string_view relativeTo);

    // Key at a backslash-separated path ("" is the root), or nullptr.
    HiveKey* Find(std::u16string_view path) const;

  private:
    std::unique_ptr<HiveKey> root_;
    std::string preamble_;  // the lines before the first key block
    std::string trailer_;   // blank lines after the last block
    std::string relativeTo_;
};

// Wine's escaping of a name or string for the file (escape gives the two
// extra characters to escape: "\"\"" for names and data, "[]" for key names).
std::string HiveEscape(std::u16string_view text, const char escape[2]);
// One value line (with continuation lines for long hex data) ending in '\n'.
std::string HiveFormatValue(const HiveValue& value);

// UTF-16LE bytes of text, and back (an odd last byte is ignored).
std::string Utf16ToBytes(std::u16string_view text);
std::u16string BytesToUtf16(std::string_view bytes);

}  // namespace tolvane
