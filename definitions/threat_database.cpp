#include "definitions/threat_database.h"

#include "definitions/definition_reader.h"
#include "definitions/markup_parser.h"
#include "definitions/pattern_match.h"

namespace tolvane {
namespace {

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
    definitionBlocks_.clear();
    lastBlockUsed_ = 0;
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

    // Each definition is indexed as soon as it is read, while its records
    // are still in the cache, rather than by a second walk over all of them
    // that fetches each from memory again. Its lists no longer change, so
    // the index's pointers into them stay valid.
    std::string pattern;
    DefinitionReader reader(parser, folders, {&texts_, &content_, &ruleNames_});
    while (parser.NextChild("SW")) {
        ThreatDefinition* definition = NewDefinition();
        definitions_.emplace_back(definition, ThreatDefinitionDeleter(true));
        reader.Read(definitions_.size() - 1, definition);
        registryEntryCount_ += definition->registryKeys.size() + definition->registryValues.size();
        Index(definition, &pattern);
    }
    fileIndex_.Finish();
    anywhereIndex_.Finish();
    folderIndex_.Finish();
    fileExpressions_.Finish();
}

ThreatDefinition* ThreatDatabase::NewDefinition() {
    constexpr size_t kBlockSize = 256;
    if (definitionBlocks_.empty() || lastBlockUsed_ == kBlockSize) {
        definitionBlocks_.push_back(std::make_unique<ThreatDefinition[]>(kBlockSize));
        lastBlockUsed_ = 0;
    }
    return &definitionBlocks_.back()[lastBlockUsed_++];
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
