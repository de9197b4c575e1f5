// DefinitionReader: reads the SW elements of a parsed definitions document
// (the markup threat_database.h describes) into ThreatDefinition records,
// for ThreatDatabase::ReadDefinitions.
//
// It walks the parser's element table itself rather than the cursor: a
// database holds some twenty thousand definitions, and the cursor's searches
// by name and its attribute strings cost more than the parse. The result is
// exactly the cursor's: the children in their fixed order, each found only
// after the one read before it.
//
// Texts go to the TextStore it is given; digests and rule names to the
// content sinks. One thread; nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "definitions/threat_database.h"

namespace tolvane {

class MarkupParser;

// Where a definition's texts, digests and rule names go.
struct DefinitionSinks {
    TextStore* texts;
    ContentIndicators* content;
    std::unordered_map<std::string, size_t>* ruleNames;
};

class DefinitionReader {
  public:
    DefinitionReader(MarkupParser& parser, const PlaceholderFolders& folders,
                     DefinitionSinks sinks);

    // The SW element the parser's cursor has selected (its current element
    // the document's top element) into a fresh record, as the database's
    // definition `number`; the cursor is where it was when this returns.
    void Read(size_t number, ThreatDefinition* definition);

    // The children a definition reads by name, in their fixed order.
    enum Child : uint8_t {
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
        kChildCount
    };

  private:
    void ListChildren(int32_t definition);
    bool Next(Child child);
    int32_t CurrentChild() const;
    int32_t FirstChild(Child child) const;
    const std::vector<int32_t>& Entries(int32_t list, std::string_view name);
    std::string_view NameOf(int32_t element) const;
    std::string_view Attribute(int32_t element, std::string_view name);
    std::string_view KeepResolved(std::string_view text);

    void ReadLists(ThreatDefinition* d);
    void ReadTexts(ThreatDefinition* d);
    void ReadContent(size_t number);
    void ReadConditionals(int32_t conditional, ThreatDefinition* d);
    void ReadConditionalEntry(ThreatDefinition* d);
    void ReadExpressions(int32_t expressions, ThreatDefinition* d);
    void AddValueExpression(std::string_view expression, std::string_view exclusion,
                            ThreatDefinition* d);
    FileEntry ReadFile(int32_t element);
    RegistryValueEntry ReadValue(int32_t element);

    MarkupParser& parser_;
    const PlaceholderFolders& folders_;
    DefinitionSinks sinks_;
    // The known children of the definition being read, in their order, and
    // the place in that list of the child read last (-1 before the first).
    std::vector<std::pair<int32_t, Child>> children_;
    int position_ = -1;
    std::vector<int32_t> entries_;  // reused by Entries
    std::string decoded_;           // values that held an entity
    std::string resolved_;          // a path with its placeholders resolved
};

}  // namespace tolvane
