#include "definitions/threat_database.h"

#include <climits>

#include "definitions/markup_parser.h"
#include "definitions/pattern_match.h"

namespace tolvane {
namespace {

// Where a definition's digests and rule names go, and its index.
struct ContentTarget {
    TextStore* texts;
    ContentIndicators* content;
    std::unordered_map<std::string, size_t>* ruleNames;
    size_t index;
};

// A decimal number as the C library's atoi reads it: leading blanks, an
// optional sign, digits up to the first other character; no digits give 0.
// Values beyond 64 bits are clamped.
int64_t ReadDecimal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (value > (INT64_MAX - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

RegistryValueEntry ReadRegistryValue(const std::string& text, const PlaceholderFolders& folders,
                                     TextStore* texts) {
    RegistryValueEntry entry;
    std::string_view namePart = text;
    size_t separator = text.find(":@:");
    if (separator != std::string::npos && separator > 0) {
        namePart = std::string_view(text).substr(0, separator);
        entry.dataPattern = texts->Keep(ResolvePlaceholders(text.substr(separator + 3), folders));
    }
    entry.fullName = texts->Keep(namePart);
    size_t slash = entry.fullName.rfind('\\');
    if (slash != std::string_view::npos && slash > 0) {
        entry.keyPath = entry.fullName.substr(0, slash);
        entry.valueName = entry.fullName.substr(slash + 1);
    }
    return entry;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A hex digest of 32, 40 or 64 digits as its raw bytes; false for any other.
bool DecodeDigest(std::string_view hex, DigestKind* kind, std::string* raw) {
    std::optional<DigestKind> byLength = DigestKindOfHexLength(hex.size());
    if (!byLength) return false;
    raw->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        raw->push_back(static_cast<char>(high << 4 | low));
    }
    *kind = *byLength;
    return true;
}

// The children a definition reads by name, in their fixed order.
enum DefinitionChild {
    kCategory,
    kDirectories,
    kFiles,
    kRegistryKeys,
    kRegistryValues,
    kHosts,
    kDanger,
    kDescription,
    kHashes,
    kRules,
    kConditional,
    kExpressions,
    kDefinitionChildCount
};
constexpr std::string_view kDefinitionChildNames[kDefinitionChildCount] = {
    "CATEGORY", "DIRECTORIES", "FILES",  "REGKEYS", "REGVALUES",   "HOSTS",
    "DANGER",   "DESCRIPTION", "HASHES", "RULES",   "CONDITIONAL", "EXPRESSIONS"};

// Which of those children an SW element has, from one pass over them (the
// parser on the SW element; the pass leaves it before the first child). A
// forward search for a child the definition lacks would walk all the rest
// of its children in vain, for each definition; CONDITIONAL and EXPRESSIONS
// may stand anywhere, so the first of each is kept.
class DefinitionChildren {
  public:
    explicit DefinitionChildren(MarkupParser& parser) {
        parser.SelectChild(0);
        while (parser.NextChild("")) {
            std::string_view name = parser.ElementName(parser.CurrentChild());
            for (int i = 0; i < kDefinitionChildCount; ++i) {
                std::string_view known = kDefinitionChildNames[i];
                if (name.size() != known.size() || name[0] != known[0] || name != known) continue;
                if (!(present_ & 1u << i)) first_[i] = parser.CurrentChild();
                present_ |= 1u << i;
                break;
            }
        }
        parser.SelectChild(0);
    }
    // The next child of that name, as NextChild finds it.
    bool Next(MarkupParser& parser, DefinitionChild child) const {
        return (present_ & 1u << child) && parser.NextChild(kDefinitionChildNames[child]);
    }
    // Selects the first child of that name.
    bool SelectFirst(MarkupParser& parser, DefinitionChild child) const {
        return (present_ & 1u << child) && parser.SelectChild(first_[child]);
    }

  private:
    uint32_t present_ = 0;
    int32_t first_[kDefinitionChildCount] = {};
};

// HASHES and RULES, after DESCRIPTION where older readers never look.
void ReadContentChildren(MarkupParser& parser, const DefinitionChildren& children,
                         const ContentTarget& target) {
    if (children.Next(parser, kHashes)) {
        parser.EnterChild();
        DigestKind kind;
        std::string raw;
        while (parser.NextChild("HASH"))
            if (DecodeDigest(parser.ChildAttribute("VALUE"), &kind, &raw))
                target.content->AddDigest(kind, raw, target.index);
        parser.LeaveElement();
    }
    if (children.Next(parser, kRules)) {
        parser.EnterChild();
        while (parser.NextChild("RULE"))
            target.ruleNames->emplace(parser.ChildAttribute("NAME"), target.index);
        parser.LeaveElement();
    }
}

void AddValueExpression(const std::string& expression, const std::string& exclusion,
                        TextStore* texts, ThreatDefinition* definition) {
    std::optional<std::string> key = RegistryExpressionKey(expression);
    if (!key) return;
    auto matcher = std::make_shared<PathExpressions>();
    std::string why;
    if (!matcher->Add(expression, exclusion, &why)) return;
    matcher->Finish();
    RegistryValueEntry entry;
    entry.keyPath = texts->Keep(*key);
    entry.valueName = texts->Keep(expression);
    entry.fullName = entry.valueName;
    entry.nameIsPattern = true;
    entry.nameExpression = std::move(matcher);
    definition->registryValues.push_back(std::move(entry));
}

// EXPRESSIONS, the parser on it. The file expressions the index refuses are
// dropped when it is built.
void ReadExpressions(MarkupParser& parser, TextStore* texts, ThreatDefinition* definition) {
    parser.EnterChild();
    while (parser.NextChild("EXPRESSION")) {
        const std::string target = parser.ChildAttribute("FOR");
        if (target == "regvalue") {
            AddValueExpression(parser.ChildAttribute("MATCH"), parser.ChildAttribute("EXCEPT"),
                               texts, definition);
            continue;
        }
        if (target != "file") continue;
        ExpressionEntry entry{texts->Keep(parser.ChildAttribute("MATCH")),
                              texts->Keep(parser.ChildAttribute("EXCEPT"))};
        if (!entry.expression.empty()) definition->fileExpressions.push_back(std::move(entry));
    }
    parser.LeaveElement();
}

FileEntry ReadFileEntry(const MarkupParser& parser, const PlaceholderFolders& folders,
                        TextStore* texts) {
    FileEntry file;
    std::string path, pathAttribute, size;
    parser.ChildAttributes({{"NAME", &path}, {"PATH", &pathAttribute}, {"SIZE", &size}});
    if (path.empty()) {
        path = std::move(pathAttribute);
        file.size = ReadDecimal(size);
    }
    file.path = texts->Keep(ResolvePlaceholders(std::move(path), folders));
    return file;
}

RegistryValueEntry ReadValueEntry(const MarkupParser& parser, const PlaceholderFolders& folders,
                                  TextStore* texts) {
    std::string name, match;
    parser.ChildAttributes({{"NAME", &name}, {"MATCH", &match}});
    RegistryValueEntry entry = ReadRegistryValue(name, folders, texts);
    entry.nameIsPattern = match == "wildcard";
    return entry;
}

// One entry of CONDITIONAL (the parser on it) with its conditions; an entry
// whose conditions are not understood is dropped. A key's path is fixed, so
// its conditions are settled here once.
void ReadConditionalEntry(MarkupParser& parser, const PlaceholderFolders& folders, TextStore* texts,
                          ThreatDefinition* d) {
    const std::string kind(parser.ElementName(parser.CurrentChild()));
    if (kind != "FILE" && kind != "REGKEY" && kind != "REGVALUE") return;
    FileEntry file;
    RegistryKeyEntry key;
    RegistryValueEntry value;
    if (kind == "FILE") {
        file = ReadFileEntry(parser, folders, texts);
        file.anywhere = file.path.find('\\') == std::string_view::npos;
    }
    if (kind == "REGKEY") key.path = texts->Keep(parser.ChildAttribute("NAME"));
    if (kind == "REGVALUE") value = ReadValueEntry(parser, folders, texts);
    std::shared_ptr<const EntryConditions> conditions;
    parser.EnterChild();
    bool understood = ReadEntryConditions(parser, folders, kind == "REGVALUE", &conditions);
    parser.LeaveElement();
    if (!understood) return;
    if (kind == "FILE") {
        file.conditions = std::move(conditions);
        d->files.push_back(std::move(file));
    } else if (kind == "REGKEY") {
        if (conditions && !conditions->Accepts(RegistryConditionPath(key.path, "", false), ""))
            return;
        d->registryKeys.push_back(std::move(key));
    } else {
        value.conditions = std::move(conditions);
        d->registryValues.push_back(std::move(value));
    }
}

// CONDITIONAL and then EXPRESSIONS, the first of each wherever it stands:
// they come last, and children that later readers add before them must not
// hide them.
void ReadConditionalsAndExpressions(MarkupParser& parser, const DefinitionChildren& children,
                                    const PlaceholderFolders& folders, TextStore* texts,
                                    ThreatDefinition* d) {
    if (children.SelectFirst(parser, kConditional)) {
        parser.EnterChild();
        while (parser.NextChild("")) ReadConditionalEntry(parser, folders, texts, d);
        parser.LeaveElement();
    }
    if (children.SelectFirst(parser, kExpressions)) ReadExpressions(parser, texts, d);
}

// One SW element, the parser standing on it: its children in their fixed
// order, the paths with their placeholders resolved.
std::unique_ptr<ThreatDefinition> ReadDefinition(MarkupParser& parser,
                                                 const PlaceholderFolders& folders,
                                                 const ContentTarget& target) {
    auto definition = std::make_unique<ThreatDefinition>();
    ThreatDefinition& d = *definition;
    TextStore* texts = target.texts;
    d.name = texts->Keep(parser.ChildAttribute("NAME"));
    parser.EnterChild();
    const DefinitionChildren children(parser);

    children.Next(parser, kCategory);
    d.category = texts->Keep(parser.ChildAttribute("NAME"));

    if (children.Next(parser, kDirectories)) {
        parser.EnterChild();
        d.directories.reserve(parser.ChildCount("DIR"));
        while (parser.NextChild("DIR"))
            d.directories.push_back(
                {texts->Keep(ResolvePlaceholders(parser.ChildAttribute("NAME"), folders))});
        parser.LeaveElement();
    }
    if (children.Next(parser, kFiles)) {
        parser.EnterChild();
        d.files.reserve(parser.ChildCount("FILE"));
        while (parser.NextChild("FILE")) d.files.push_back(ReadFileEntry(parser, folders, texts));
        parser.LeaveElement();
    }
    if (children.Next(parser, kRegistryKeys)) {
        parser.EnterChild();
        d.registryKeys.reserve(parser.ChildCount("REGKEY"));
        while (parser.NextChild("REGKEY"))
            d.registryKeys.push_back({texts->Keep(parser.ChildAttribute("NAME")), 0, nullptr});
        parser.LeaveElement();
    }
    if (children.Next(parser, kRegistryValues)) {
        parser.EnterChild();
        d.registryValues.reserve(parser.ChildCount("REGVALUE"));
        while (parser.NextChild("REGVALUE"))
            d.registryValues.push_back(ReadValueEntry(parser, folders, texts));
        parser.LeaveElement();
    }
    if (children.Next(parser, kHosts)) {
        parser.EnterChild();
        while (parser.NextChild("HOST"))
            d.hostEntries.push_back({texts->Keep(parser.ChildAttribute("NAME")), 0});
        parser.LeaveElement();
    }
    children.Next(parser, kDanger);
    // url from DESCRIPTION, or else from the child the cursor still stands on.
    std::string danger, checked, url;
    parser.ChildAttributes({{"NAME", &danger}, {"CHECKED", &checked}, {"url", &url}});
    d.danger = texts->Keep(danger);
    d.checkedByDefault = checked != "no";
    if (children.Next(parser, kDescription)) {
        std::string description;
        parser.ChildAttributes({{"NAME", &description}, {"url", &url}});
        d.description = texts->Keep(description);
    } else {
        d.description = kNoDescription;
    }
    d.url = texts->Keep(url);
    ReadContentChildren(parser, children, target);
    ReadConditionalsAndExpressions(parser, children, folders, texts, &d);
    parser.LeaveElement();
    return definition;
}

// ThreatDatabase::FilePattern into a buffer the caller reuses.
void MakeFilePattern(std::string_view path, std::string* pattern) {
    pattern->clear();
    if (path.find('\\') == std::string_view::npos) *pattern = "*\\";
    pattern->append(path);
    if (pattern->size() > kIndexPatternLimit) pattern->resize(kIndexPatternLimit);
}

}  // namespace

void ThreatDatabase::Clear() {
    fileIndex_.Clear();
    fileEntries_.clear();
    anywhereIndex_.Clear();
    anywhereEntries_.clear();
    folderIndex_.Clear();
    folderOwners_.clear();
    fileExpressions_.Clear();
    expressionOwners_.clear();
    definitions_.clear();
    texts_.Clear();
    content_.Clear();
    ruleNames_.clear();
}

std::string ThreatDatabase::FilePattern(std::string_view path) {
    std::string pattern;
    MakeFilePattern(path, &pattern);
    return pattern;
}

// Each read starts from nothing: a count or version left from an earlier
// read would describe definitions that are gone.
void ThreatDatabase::ReadDefinitions(MarkupParser& parser, const PlaceholderFolders& folders) {
    Clear();
    version_.clear();
    date_.clear();
    registryEntryCount_ = 0;
    if (!parser.NextElement("NA")) return;
    version_ = parser.ElementAttribute("VERSION");
    date_ = parser.ElementAttribute("DATE");
    definitions_.reserve(parser.ChildCount("SW"));

    // Each definition is indexed as soon as it is read, while its records
    // are still in the cache, rather than by a second walk over all of them
    // that fetches each from memory again. Its lists no longer change, so
    // the index's pointers into them stay valid.
    std::string pattern;
    while (parser.NextChild("SW")) {
        definitions_.push_back(ReadDefinition(
            parser, folders, {&texts_, &content_, &ruleNames_, definitions_.size()}));
        ThreatDefinition* definition = definitions_.back().get();
        registryEntryCount_ += definition->registryKeys.size() + definition->registryValues.size();
        Index(definition, &pattern);
    }
    fileIndex_.Finish();
    anywhereIndex_.Finish();
    folderIndex_.Finish();
    fileExpressions_.Finish();
}

// A pattern is made in the caller's reused buffer; the index copies it.
// What the expression index refuses leaves the definition too.
void ThreatDatabase::Index(ThreatDefinition* definition, std::string* pattern) {
    for (const FileEntry& file : definition->files) {
        if (file.anywhere) {
            anywhereIndex_.Add(file.path);
            anywhereEntries_.push_back({definition, &file});
            continue;
        }
        MakeFilePattern(file.path, pattern);
        fileIndex_.Add(*pattern);
        fileEntries_.push_back({definition, &file});
    }
    for (const DirectoryEntry& directory : definition->directories) {
        folderIndex_.Add(std::string_view(directory.path).substr(0, kIndexPatternLimit));
        folderOwners_.push_back(definition);
    }
    if (definition->fileExpressions.empty()) return;
    std::string why;
    std::erase_if(definition->fileExpressions, [&](const ExpressionEntry& entry) {
        if (!fileExpressions_.Add(entry.expression, entry.exclusion, &why)) return true;
        expressionOwners_.push_back(definition);
        return false;
    });
}

ThreatDefinition* ThreatDatabase::MatchFileExpression(std::string_view path) const {
    int64_t hit = fileExpressions_.FindNewest(path);
    return hit < 0 ? nullptr : expressionOwners_[hit];
}

ThreatDefinition* ThreatDatabase::MatchFile(std::string_view path,
                                            const std::function<uint64_t()>& fileSize) const {
    bool sizeKnown = false;
    uint64_t size = 0;
    auto accepts = [&](const FileEntry& entry) {
        if (entry.conditions && !entry.conditions->Accepts(path, "")) return false;
        int64_t wanted = entry.size;
        if (wanted == 0) return true;
        if (!sizeKnown) {
            size = fileSize();
            sizeKnown = true;
        }
        return wanted > 0 && static_cast<uint64_t>(wanted) == size;
    };
    int64_t hit = fileIndex_.FindNewest(
        path, [&](uint32_t number) { return accepts(*fileEntries_[number].file); });
    if (hit >= 0) return fileEntries_[hit].definition;
    if (anywhereEntries_.empty()) return nullptr;
    size_t slash = path.find_last_of("\\/");
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    hit = anywhereIndex_.FindNewest(
        name, [&](uint32_t number) { return accepts(*anywhereEntries_[number].file); });
    return hit < 0 ? nullptr : anywhereEntries_[hit].definition;
}

ThreatDefinition* ThreatDatabase::MatchFolder(std::string_view path,
                                              const std::function<bool()>& folderExists) const {
    bool existsKnown = false;
    bool exists = false;
    int64_t hit = folderIndex_.FindNewest(path, [&](uint32_t) {
        if (!existsKnown) {
            exists = folderExists();
            existsKnown = true;
        }
        return exists;
    });
    return hit < 0 ? nullptr : folderOwners_[hit];
}

void ThreatDatabase::AttachCompiledRules(YaraRules rules) {
    content_.SetRules(std::move(rules), ruleNames_);
}

bool ValueNameMatches(const RegistryValueEntry& entry, std::string_view name) {
    if (!entry.nameExpression) return ValueNameMatch(entry.valueName, name);
    std::string path(entry.keyPath);
    path += '\\';
    path.append(name);
    return entry.nameExpression->FindNewest(path) == 0;
}

std::unordered_map<std::string_view, const ThreatDefinition*> DefinitionsByName(
    const ThreatDatabase& database) {
    std::unordered_map<std::string_view, const ThreatDefinition*> byName;
    for (const auto& definition : database.definitions())
        byName.emplace(definition->name, definition.get());
    return byName;
}

}  // namespace tolvane
