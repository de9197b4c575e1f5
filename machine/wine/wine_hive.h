// One Wine registry file (system.reg, user.reg, userdef.reg) as a tree of
// keys and values (hive_tree.h), read from and written back to Wine's text
// format.
//
// Saving an unchanged tree gives back the file's own bytes: every key block
// keeps its original text until the key changes; a changed key is written as
// Wine writes it. Symbolic-link keys (#link) are kept as plain keys with
// their "SymbolicLinkValue"; paths are not redirected through them.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "machine/hive_tree.h"

namespace tolvane {

struct HiveSource;

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

// What the reader keeps of one key: its value lines and the key lines below
// it, read when first asked for (HiveKey::Values(), HiveKey::Subkeys()), and
// what writes the key back as it was read.
class WinePendingKey final : public HivePendingParts {
  public:
    explicit WinePendingKey(HiveSource* source) : source_(source) {}

    // '#' and ';' lines of the block Wine does not interpret, kept verbatim.
    std::vector<std::string> extraLines;
    // Whether a block of the file was read for this key (a key made only as
    // the parent of others has none): a second block is merged into the
    // first and the key written anew.
    bool hasBlock = false;
    // The block as read ("[...]" line to its last non-blank line) and the
    // blank lines before it, as views into the source text; written back
    // while the key is not changed.
    std::string_view originalGap;
    std::string_view originalBlock;

    bool ValuesPending() const override { return valuesPending_; }
    bool SubkeysPending() const override { return subkeysPending_; }
    void ReadValues(HiveKey& key) override;
    void ReadSubkeys(HiveKey& key) override;

    void SetValues(std::string_view lines);
    void AddBlock(HivePendingBlock block);

  private:
    HiveSource* source_;
    bool valuesPending_ = false;
    bool subkeysPending_ = false;
    std::string_view lines_;
    std::vector<HivePendingBlock> blocks_;
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
    // What is left of each key (HiveKey::Pending() points here).
    std::deque<WinePendingKey> pendingParts;
};

// What the reader keeps of a key: made on first use (KeptFor), or
// nullptr where it kept nothing (KeptOf).
WinePendingKey& KeptFor(HiveSource* source, HiveKey* key);
const WinePendingKey* KeptOf(const HiveKey& key);

// The reader leaves a block's value lines (a view of source->text) on key,
// to be decoded on first use.
void SetPendingValues(HiveSource* source, HiveKey* key, std::string_view lines);
// The reader leaves a key line below key to be read when its subkeys are
// first asked for; each is added in the order of the file.
void AddPendingBlock(HiveSource* source, HiveKey* key, HivePendingBlock block);

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

}  // namespace tolvane
