// The clean lists: entries a clean machine holds, left out of the
// definitions the sources make, each with the reason in the report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/db/import/model.h"

namespace tolvane::import {

// Entries a clean machine holds, each with the reason it is known there. A
// line of the list is an entry as the markup writes it (placeholders kept);
// the last comment line ("# ...") before it gives the reason. Entries
// compare without regard to case; a registry value also by its name alone.
struct CleanEntry {
    std::string text;
    std::string reason;
};
std::vector<CleanEntry> ReadCleanList(std::string_view text);

// Leaves out every entry of the definitions that the list names, with its
// reason in the report; a definition left without entries is dropped.
void ApplyCleanList(const std::vector<CleanEntry>& clean, Result* result);

// --- Stock Windows ---

// The reason every entry naming a stock Windows object is left out with.
inline constexpr std::string_view kCleanWindowsReason = "exists on a clean Windows";

// Objects every Windows installation holds, as the markup writes them: a
// list of entries (comment lines say where they come from), or key paths
// relative to a user's or the machine's Software key, one a line. An entry
// matches one of them when its text is the same without regard to case or a
// trailing backslash; a key also in its HKEY_CLASSES_ROOT form ("CLSID\x"
// for "Software\Classes\CLSID\x"). A value matches only with its data
// condition (its ":@:" pattern or a condition on its data): a stock value
// holding a planted command is no stock object; a stock value whose DWORD
// is compared is one, whatever the number. A
// value named by wildcard without a data condition matches every stock
// object its pattern names. A path below SOFTWARE\Wow6432Node is compared
// as the same path below SOFTWARE (the 32-bit view mirrors the keys); a
// path below a well-known folder of C:'s root ("C:\Windows\System32\x")
// also as the same path below its placeholder ("%system%\x").
class CleanWindows {
  public:
    void AddEntries(std::string_view listText);
    void AddSoftwareKeys(std::string_view listText);
    bool Holds(const Entry& entry) const;
    size_t size() const { return objects_.size(); }

    // File names of a stock Windows or Wine installation, one a line ('#'
    // comments); compared without regard to case. Tell which names are too
    // common to name a trace without more conditions.
    void AddStockNames(std::string_view listText);
    bool HasStockName(std::string_view name) const;

  private:
    std::vector<std::string> objects_;  // normalised, sorted after each Add
    std::vector<std::string> names_;    // lower-cased, sorted
};

// Leaves out every entry that names a stock Windows object, with
// kCleanWindowsReason; a definition left without entries is dropped.
void ApplyCleanWindows(const CleanWindows& stock, Result* result);

}  // namespace tolvane::import
