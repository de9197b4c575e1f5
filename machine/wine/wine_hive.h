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

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/win_types.h"

namespace tolvane {

struct HiveValue {
    std::u16string name;  // empty: the default value
    uint32_t type = 0;
    std::string data;  // raw bytes as Wine stores them
};

// The text of a registry file as read, kept with the tree made of it: the
// blocks of unchanged keys are written back from it, and a key's subkeys and
// values are read from it when first asked for (most keys of a scan never
// are).
struct HiveSource {
    std::string text;
    std::string label;  // the file's name in problems
    // Where in the text (the start of the line) and what each problem is, as
    // found so far; the line numbers are counted when the problems are asked
    // for.
    std::vector<std::pair<size_t, std::string>> problems;
    // Where each key line ("[...]") starts, in the order of the file.
    std::vector<size_t> blocks;
    size_t pendingKeys = 0;      // keys whose values are still text
    size_t pendingSubtrees = 0;  // keys whose subkeys are still text
};

// A key line below a key whose subkeys are still text: the block (an index
// into HiveSource::blocks), where the rest of its path starts in the text,
// once the whole line was read as one keys may be made along, where its path
// ends (past the ']'), and once found, where the line ends (0: not yet).
struct HivePendingBlock {
    size_t block;
    size_t pathPos;
    size_t pathEnd = 0;
    size_t lineEnd = 0;
};

// Keys nest at most this deep below a hive's root, as on Windows: a file
// with deeper paths is damaged there, and no deeper key is made.
inline constexpr size_t kMaxHiveKeyDepth = 512;

struct HiveKey {
    std::u16string name;
    HiveKey* parent = nullptr;
    FileTime modified = 0;
    bool hasClass = false;
    std::u16string className;
    bool isLink = false;
    // '#' and ';' lines of the block Wine does not interpret, kept verbatim.
    std::vector<std::string> extraLines;
    // Whether a block of the file was read for this key (a key made only as
    // the parent of others has none): a second block is merged into the
    // first and the key written anew.
    bool hasBlock = false;

    // The block as read ("[...]" line to its last non-blank line) and the
    // blank lines before it, as views into the hive's source text; dropped
    // when the key changes.
    bool hasOriginal = false;
    std::string_view originalGap;
    std::string_view originalBlock;

    HiveKey() = default;
    HiveKey(const HiveKey&) = delete;
    HiveKey& operator=(const HiveKey&) = delete;

    // The values, sorted by HiveNameCompare. Values still held as the file's
    // text are decoded first: like every other access to the tree, this
    // needs the caller's exclusive hold of the hive.
    const std::vector<HiveValue>& Values() const;
    std::vector<HiveValue>& Values();
    // The subkeys, sorted by HiveNameCompare; those still held as the file's
    // text are read first (with the same hold as Values()).
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
    // Marks the key changed now: its block will be written anew.
    void Touch(FileTime now);

    // The reader leaves a block's value lines (a view of source->text) to be
    // decoded on first use.
    void SetPendingValues(HiveSource* source, std::string_view lines);
    bool ValuesPending() const { return pendingSource_ != nullptr; }
    // Decodes the pending values now (problems go to the source).
    void DecodePendingValues() const;

    // The reader leaves the key lines below this key to be read when its
    // subkeys are first asked for; each is added in the order of the file.
    void AddPendingBlock(HiveSource* source, HivePendingBlock block);
    bool SubkeysPending() const { return subtreeSource_ != nullptr; }
    // Reads the pending key lines now: the subkeys they name are made (with
    // their own blocks read, the lines below them left pending on them).
    void ReadPendingSubkeys() const;

  private:
    mutable std::vector<std::unique_ptr<HiveKey>> subkeys_;
    mutable std::vector<HiveValue> values_;
    mutable HiveSource* pendingSource_ = nullptr;
    mutable std::string_view pendingLines_;
    mutable HiveSource* subtreeSource_ = nullptr;
    mutable std::vector<HivePendingBlock> pendingBlocks_;
};

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

// The current time as a FILETIME.
FileTime FileTimeNow();

class WineHive {
  public:
    WineHive();

    // Parses the text of a registry file, which the hive keeps. Only the
    // header is read now and the key lines found; each key's subkeys are read
    // when first asked for, and each key's values too. What cannot be read is
    // skipped and reported as "LABEL:LINE: what" by Problems() (label is
    // usually the file name). An empty text is an empty hive.
    void Parse(std::string text, std::string_view label);
    // The same, but every key line is read now, line by line, as a text that
    // cannot be read key by key is (a value continued onto a key line).
    void ParseLineByLine(std::string text, std::string_view label);
    // Parses and decodes everything at once, appending every problem.
    void Parse(std::string_view text, std::string_view label, std::vector<std::string>* problems);
    // Every problem of the text: decodes whatever values are still pending.
    const std::vector<std::string>& Problems();
    // The file's text. With keepOriginal false every block is written anew,
    // as Wine would write it (used to check the writer against Wine's files).
    // Pending values are decoded first, so the text is what a fully read
    // tree gives.
    std::string Serialize(bool keepOriginal = true);

    // The root, its own block (a "[]" line) read.
    HiveKey& root();
    const HiveKey& root() const;

    // The path of ";; All keys relative to", unescaped (e.g.
    // "REGISTRY\User\S-1-5-21-0-0-0-1000"); empty when missing.
    const std::string& relativeTo() const { return relativeTo_; }
    // Header for a hive made from nothing (no file yet): relativeTo is e.g.
    // "REGISTRY\\Machine" with single backslashes.
    void SetNewFileHeader(std::string_view relativeTo);

    // Key at a backslash-separated path ("" is the root), or nullptr.
    HiveKey* Find(std::u16string_view path) const;

  private:
    void Reset(std::string text, std::string_view label);
    void DecodeAll();

    std::unique_ptr<HiveSource> source_;  // outlives root_: keys hold views of its text
    std::unique_ptr<HiveKey> root_;
    std::vector<std::string> problems_;  // Problems(), in line order
    std::string preamble_;               // the lines before the first key block
    std::string trailer_;                // blank lines after the last block
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
