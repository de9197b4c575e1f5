// ThreatDatabase: the threat definitions of database.db in document order,
// each with the traces its threat leaves (folders, files, registry keys and
// values, hosts entries) and the texts shown to the user, and the two
// lookups the file-system scan uses, MatchFile and MatchFolder.
//
// The document: a top element NA (attributes VERSION, DATE) whose SW
// children are the definitions:
//   <SW NAME="...">
//     <CATEGORY NAME="..."/>
//     <DIRECTORIES><DIR NAME="%programfiles%\Bad"/></DIRECTORIES>
//     <FILES><FILE NAME="bad.exe"/><FILE PATH="%system%\bad.dll" SIZE="1234"/></FILES>
//     <REGKEYS><REGKEY NAME="SOFTWARE\Bad"/></REGKEYS>
//     <REGVALUES><REGVALUE NAME="Software\Key\Value:@:data pattern"/>
//                <REGVALUE NAME="Software\Key\ntkd*" MATCH="wildcard"/></REGVALUES>
//     <HOSTS><HOST NAME="bad.example"/></HOSTS>
//     <DANGER NAME="High"/>
//     <DESCRIPTION NAME="..." url="..."/>
//     <HASHES><HASH VALUE="44d88612fea8a8f36de82e1278abb02f"/></HASHES>
//     <RULES><RULE NAME="Stealer_Config_Strings"/></RULES>
//     <EXPRESSIONS><EXPRESSION FOR="file" MATCH="\\dl_[0-9]{2}\.exe$" EXCEPT="..."/>
//     </EXPRESSIONS>
//   </SW>
// The children are read in that order only: one standing before a child
// already read is not seen. Placeholders (placeholders.h) are resolved in
// folder and file paths and in registry data patterns.
//
// MATCH="wildcard" makes the value name a ValueNameMatch pattern
// (pattern_match.h). Older readers ignore the attribute and look for a value
// of that very name, which is narrower, never broader.
// Entries with conditions and exclusions stand in CONDITIONAL, the last
// child (entry_conditions.h); they follow the plain entries of their kind.
// DANGER's CHECKED="no" lists the definition's rows unchecked.
// Content indicators: HASHES and RULES come after DESCRIPTION, so readers
// built before them, which look no further, read the same definitions.
// A HASH is a hex MD5, SHA-1 or SHA-256 (told apart by length; any other
// value is ignored); the first definition to name a digest owns it. A RULE
// names a YARA rule identifier of the compiled rules that the database
// container carries after its markup (container.h); those rules are
// attached by the loader (load_definitions.h) only for a database this
// computer vouches for, since libyara trusts what it loads.
// EXPRESSIONS holds path expressions (path_expressions.h): MATCH a regular
// expression over a file's Windows path, EXCEPT its exclusion (optional).
// FOR="regvalue" makes it an expression over a value's path without root
// ("^Software\\Run\\ntkd[0-9]+$"), searched in the key its literal start
// names (RegistryExpressionKey) like a value named by wildcard; one that
// names no key is skipped. It is looked for among all children wherever it
// stands, and readers built before it never look for it. An EXPRESSION of
// another FOR is skipped (a later kind), as is one RE2 refuses: the rest of
// the definition still loads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "definitions/content_indicators.h"
#include "definitions/entry_conditions.h"
#include "definitions/path_expressions.h"
#include "definitions/pattern_index.h"
#include "definitions/placeholders.h"
#include "definitions/text_store.h"

namespace tolvane {

class FileSystem;
class MarkupParser;

inline constexpr const char* kNoDescription = "No description available";
// Index patterns longer than this are cut.
inline constexpr size_t kIndexPatternLimit = 259;

// The texts of these records are views: into the database's TextStore for
// the records it read, which keeps them until its next Clear or read, and
// into whatever store the maker of any other record keeps as long as the
// record (a loaded database of some twenty thousand definitions would
// otherwise make some hundred thousand strings of its own).
struct DirectoryEntry {
    std::string_view path;  // placeholders resolved
};

struct FileEntry {
    std::string_view path;  // a path or a bare file name, placeholders resolved
    int64_t size = 0;       // required size in bytes; 0 for any size
    std::shared_ptr<const EntryConditions> conditions;  // null for none
    // A CONDITIONAL file whose NAME holds no backslash: a file of that name
    // (a pattern) in any folder, where its conditions hold.
    bool anywhere = false;
};

struct RegistryKeyEntry {
    std::string_view path;  // without a root key, as written
    int found = 0;          // set by the registry scan: 1 found, 0 not found
    std::shared_ptr<const EntryConditions> conditions;  // null for none
};

struct RegistryValueEntry {
    std::string_view keyPath;    // text before the last backslash of fullName
    std::string_view valueName;  // text after it
    std::string_view
        dataPattern;             // data must contain it; empty for any data; placeholders resolved
    std::string_view fullName;   // key path and value name as written (before ":@:")
    bool nameIsPattern = false;  // valueName is a ValueNameMatch pattern
    int found = 0;
    std::shared_ptr<const EntryConditions> conditions;  // null for none
    // Set for a value named by expression (valueName then holds it): the
    // expression over "keyPath\name", which nameIsPattern entries test.
    std::shared_ptr<const PathExpressions> nameExpression;
};

// Whether a value of the entry's key with this name is one the entry names:
// by its expression, or else by ValueNameMatch.
bool ValueNameMatches(const RegistryValueEntry& entry, std::string_view name);

struct ExpressionEntry {
    std::string_view expression;  // over a file's Windows path
    std::string_view exclusion;   // empty for none
};

struct HostEntry {
    std::string_view host;  // as it stands in a hosts file
    int found = 0;          // set by the hosts-file scan
};

struct ThreatDefinition {
    std::string_view name;
    std::string_view description;  // kNoDescription when the definition has none
    std::string_view category;
    std::string_view url;
    std::vector<DirectoryEntry> directories;
    std::vector<FileEntry> files;
    std::vector<RegistryKeyEntry> registryKeys;
    std::vector<RegistryValueEntry> registryValues;
    std::vector<HostEntry> hostEntries;
    std::vector<ExpressionEntry> fileExpressions;  // only those the index took
    bool found = false;  // false at load; set by any detection of one of its objects
    std::string_view danger;
    // False for an informational or low-score indicator (DANGER's
    // CHECKED="no"): its rows are listed unchecked.
    bool checkedByDefault = true;
};

// Deletes a definition unless a database's own block holds it (those go
// with their block). Made from std::default_delete, so that a definition
// from make_unique can join a database's list as well.
struct ThreatDefinitionDeleter {
    bool inBlock = false;
    ThreatDefinitionDeleter() = default;
    explicit ThreatDefinitionDeleter(bool inBlock) : inBlock(inBlock) {}
    ThreatDefinitionDeleter(std::default_delete<ThreatDefinition>) {}
    void operator()(ThreatDefinition* definition) const {
        if (!inBlock) delete definition;
    }
};
using ThreatDefinitionPtr = std::unique_ptr<ThreatDefinition, ThreatDefinitionDeleter>;

// One entry of the file index: its pattern, the definition and FileEntry it
// was made from.
struct FileIndexEntry {
    ThreatDefinition* definition = nullptr;
    const FileEntry* file = nullptr;
};

class ThreatDatabase {
  public:
    ThreatDatabase() = default;
    ThreatDatabase(const ThreatDatabase&) = delete;
    ThreatDatabase& operator=(const ThreatDatabase&) = delete;

    // Destroys every definition and empties both indexes; version, date and
    // registryEntryCount stay until the next read sets them.
    void Clear();

    // Clears the database and reads the definitions of a parsed document
    // (cursor at its start). A document whose top element is not NA gives an
    // empty database with empty version and date.
    void ReadDefinitions(MarkupParser& parser, const PlaceholderFolders& folders);

    const std::string& version() const { return version_; }
    const std::string& date() const { return date_; }
    // Registry key entries plus registry value entries of all definitions.
    size_t registryEntryCount() const { return registryEntryCount_; }

    // In document order. The records are owned here; pointers to them stay
    // valid until the next Clear or read.
    const std::vector<ThreatDefinitionPtr>& definitions() const { return definitions_; }
    std::vector<ThreatDefinitionPtr>& definitions() { return definitions_; }

    // The definition whose file entry matches the path, or nullptr. Among
    // several, the later definition (and within one the later entry) wins.
    // An entry with a size matches only a file of exactly that size (a file
    // that cannot be read counts as size 0); one with conditions only a path
    // they accept. Entries that name a file in any folder are asked only
    // when no other entry matches.
    ThreatDefinition* MatchFile(std::string_view path, const FileSystem& files) const;
    // The same with the file's size supplied by the caller (asked at most
    // once, only when an entry with a size matches the path).
    ThreatDefinition* MatchFile(std::string_view path,
                                const std::function<uint64_t()>& fileSize) const;

    // The definition whose path expression matches the file's path (and
    // whose exclusion does not), or nullptr; the later entry wins.
    ThreatDefinition* MatchFileExpression(std::string_view path) const;
    const PathExpressions& fileExpressions() const { return fileExpressions_; }

    // The definition whose folder entry matches the path of an existing
    // folder, or nullptr; the later entry wins.
    ThreatDefinition* MatchFolder(std::string_view path, const FileSystem& files) const;
    ThreatDefinition* MatchFolder(std::string_view path,
                                  const std::function<bool()>& folderExists) const;

    // The indexes, oldest entry first (the lookups walk them newest first).
    const PatternIndex& fileIndex() const { return fileIndex_; }
    const std::vector<FileIndexEntry>& fileIndexEntries() const { return fileEntries_; }
    const PatternIndex& folderIndex() const { return folderIndex_; }

    // The index pattern of a file entry's path: "*\" and the path when the
    // path holds no backslash, else the path; cut to kIndexPatternLimit.
    static std::string FilePattern(std::string_view path);

    // Digests and compiled rules of the definitions; empty for a database
    // that carries none.
    const ContentIndicators& content() const { return content_; }
    ContentIndicators& content() { return content_; }
    // Gives content() the compiled rules, each rule tied to the definition
    // whose RULE element named it.
    void AttachCompiledRules(YaraRules rules);
    // The rule identifiers the RULE elements named.
    size_t RuleNameCount() const { return ruleNames_.size(); }

  private:
    // Files the definition's entries in the indexes (Finish still to come).
    void Index(ThreatDefinition* definition, std::string* pattern);

    // A place for one more definition read, in blocks of some hundred: a
    // load of twenty thousand would otherwise make as many allocations.
    ThreatDefinition* NewDefinition();

    std::vector<std::unique_ptr<ThreatDefinition[]>> definitionBlocks_;
    size_t lastBlockUsed_ = 0;
    std::vector<ThreatDefinitionPtr> definitions_;
    std::string version_;
    std::string date_;
    size_t registryEntryCount_ = 0;
    PatternIndex fileIndex_;
    std::vector<FileIndexEntry> fileEntries_;
    PatternIndex anywhereIndex_;  // of file names, matched against a path's last name
    std::vector<FileIndexEntry> anywhereEntries_;
    PatternIndex folderIndex_;
    std::vector<ThreatDefinition*> folderOwners_;
    PathExpressions fileExpressions_;
    std::vector<ThreatDefinition*> expressionOwners_;
    ContentIndicators content_;
    std::unordered_map<std::string, size_t> ruleNames_;
    TextStore texts_;  // what the definitions' views show
};

// Every definition of the database by its name, the first of a name (in
// document order) winning: for the lookups by name of many objects at once.
// Valid until the database's next Clear or read.
std::unordered_map<std::string_view, const ThreatDefinition*> DefinitionsByName(
    const ThreatDatabase& database);

}  // namespace tolvane
