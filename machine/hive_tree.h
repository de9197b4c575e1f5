// A registry hive as a tree of keys and values, whichever file format it was
// read from (a Wine registry text file, a regf hive).
//
// Text is kept as Wine keeps it: names are UTF-16, string data is UTF-16LE
// bytes with its terminating zero. Keys and values stay sorted the way Wine
// sorts them (by name, UTF-16 units folded to lower case, then by length), so
// enumeration by index matches Wine's and Windows'.
//
// A reader may leave a key's values or subkeys unread until first asked for
// (HivePendingParts); every access to them reads them first. Like every
// other access to the tree, that needs the caller's exclusive hold of the
// hive: the tree is not thread-safe.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/win_types.h"

namespace tolvane {

struct HiveValue {
    std::u16string name;  // empty: the default value
    uint32_t type = 0;
    std::string data;  // raw bytes as Wine stores them
};

// Keys nest at most this deep below a hive's root, as on Windows: a file
// with deeper paths is damaged there, and no deeper key is made.
inline constexpr size_t kMaxHiveKeyDepth = 512;

struct HiveKey;

// What a reader left of a key to be read on first use, kept by the reader
// (which outlives the keys it made). Reading fills in only what the key
// already holds in its file.
class HivePendingParts {
  public:
    virtual bool ValuesPending() const = 0;
    virtual bool SubkeysPending() const = 0;
    // Reads the key's pending values (subkeys) into it; afterwards they are
    // no longer pending.
    virtual void ReadValues(HiveKey& key) = 0;
    virtual void ReadSubkeys(HiveKey& key) = 0;

  protected:
    ~HivePendingParts() = default;
};

struct HiveKey {
    std::u16string name;
    HiveKey* parent = nullptr;
    FileTime modified = 0;
    bool hasClass = false;
    std::u16string className;
    bool isLink = false;
    // Whether the key differs from what its file holds: made or changed in
    // memory since the file was read or last saved. A reader clears it for
    // each key it reads; Touch sets it. A writer rewrites only changed keys.
    bool changed = true;

    HiveKey() = default;
    HiveKey(const HiveKey&) = delete;
    HiveKey& operator=(const HiveKey&) = delete;

    // The values, sorted by HiveNameCompare; pending ones are read first.
    const std::vector<HiveValue>& Values() const;
    std::vector<HiveValue>& Values();
    // The subkeys, sorted by HiveNameCompare; pending ones are read first.
    const std::vector<std::unique_ptr<HiveKey>>& Subkeys() const;
    std::vector<std::unique_ptr<HiveKey>>& Subkeys();

    // Lookup by name without regard to case: binary search of the sorted
    // lists, but one comparison for a name at or after the last subkey.
    HiveKey* FindSubkey(std::u16string_view name) const;
    const HiveValue* FindValue(std::u16string_view name) const;
    HiveValue* FindValue(std::u16string_view name);
    // Adds a subkey (must not exist) at its sorted place.
    HiveKey* AddSubkey(std::u16string_view name, FileTime modified);
    // The subkey of that name, added when missing (*added says which). A
    // name after every subkey, as in a file read in Wine's order, is found
    // missing and added without a search.
    HiveKey* OpenSubkey(std::u16string_view name, FileTime modified, bool* added);
    // Sets (adds or replaces) a value; the stored name keeps the case it was
    // created with.
    void SetValue(std::u16string_view name, uint32_t type, std::string data);
    bool DeleteValue(std::u16string_view name);
    bool DeleteSubkey(std::u16string_view name);
    // Marks the key changed now: its file gets it anew on the next save.
    void Touch(FileTime now);

    // The reader's record of what it left of this key (nullptr: nothing);
    // a reader may keep more of the key there for its writer.
    void SetPending(HivePendingParts* pending) { pending_ = pending; }
    HivePendingParts* Pending() const { return pending_; }
    bool ValuesPending() const { return pending_ && pending_->ValuesPending(); }
    bool SubkeysPending() const { return pending_ && pending_->SubkeysPending(); }
    // Reads the pending values (subkeys) now.
    void DecodePendingValues() const;
    void ReadPendingSubkeys() const;

  private:
    mutable std::vector<std::unique_ptr<HiveKey>> subkeys_;
    mutable std::vector<HiveValue> values_;
    HivePendingParts* pending_ = nullptr;
};

// A tree of keys with its root.
class HiveTree {
  public:
    HiveTree();
    HiveKey& root() { return *root_; }
    const HiveKey& root() const { return *root_; }
    // Key at a backslash-separated path ("" is the root), or nullptr.
    HiveKey* Find(std::u16string_view path) const;

  private:
    std::unique_ptr<HiveKey> root_;
};

// The key at a backslash-separated path below root ("" is root), or nullptr.
HiveKey* FindHiveKey(HiveKey* root, std::u16string_view path);

// "a\b" from the key paths a and b, either of which may be empty.
std::u16string JoinHivePath(std::u16string_view a, std::u16string_view b);

// Wine's order of names: lower-cased UTF-16 units, then the shorter first.
int HiveNameCompare(std::u16string_view a, std::u16string_view b);
inline bool HiveNameEquals(std::u16string_view a, std::u16string_view b) {
    return HiveNameCompare(a, b) == 0;
}
char16_t HiveFoldUnit(char16_t c);

// Calls f(name) for each name of a backslash-separated key path, skipping
// empty ones (as in "a\\b" or "\a"), while f returns true.
template <typename F>
void ForEachKeyName(std::u16string_view path, F f) {
    for (size_t pos = 0; pos <= path.size();) {
        size_t end = std::min(path.find(u'\\', pos), path.size());
        if (end > pos && !f(path.substr(pos, end - pos))) return;
        pos = end + 1;
    }
}

inline constexpr FileTime kTicksPerSecond = 10000000;
inline constexpr FileTime kTicks1601To1970 = 116444736000000000ULL;

// The current time as a FILETIME.
FileTime FileTimeNow();

// UTF-16LE bytes of text, and back (an odd last byte is ignored).
std::string Utf16ToBytes(std::u16string_view text);
std::u16string BytesToUtf16(std::string_view bytes);

}  // namespace tolvane
