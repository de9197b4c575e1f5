#include "definitions/definition_reader.h"

#include <climits>

#include "definitions/markup_parser.h"

namespace tolvane {
namespace {

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

}  // namespace

namespace {

// Element names are a few letters, compared by the ten thousand: a plain
// loop spares the library call.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// The child a name stands for, or kChildCount for none: told apart by length
// first, as this runs for every child of every definition.
DefinitionReader::Child KnownChild(std::string_view name) {
    using C = DefinitionReader::Child;
    auto either = [&](std::initializer_list<std::pair<std::string_view, C>> names) {
        for (const auto& [known, child] : names)
            if (SameName(name, known)) return child;
        return C::kChildCount;
    };
    switch (name.size()) {
        case 5:
            return either({{"FILES", C::kFiles}, {"HOSTS", C::kHosts}, {"RULES", C::kRules}});
        case 6:
            return either({{"DANGER", C::kDanger}, {"HASHES", C::kHashes}});
        case 7:
            return either({{"REGKEYS", C::kRegistryKeys}});
        case 8:
            return either({{"CATEGORY", C::kCategory}});
        case 9:
            return either({{"REGVALUES", C::kRegistryValues}});
        case 11:
            return either({{"DIRECTORIES", C::kDirectories},
                           {"DESCRIPTION", C::kDescription},
                           {"CONDITIONAL", C::kConditional},
                           {"EXPRESSIONS", C::kExpressions}});
        default:
            return C::kChildCount;
    }
}

}  // namespace

DefinitionReader::DefinitionReader(MarkupParser& parser, const PlaceholderFolders& folders,
                                   DefinitionSinks sinks)
    : parser_(parser), folders_(folders), sinks_(sinks) {}

// One pass over the definition's children keeps the known ones, so that a
// search for a child the definition lacks does not walk the rest in vain.
void DefinitionReader::ListChildren(int32_t definition) {
    children_.clear();
    position_ = -1;
    for (int32_t child = parser_.Element(definition).firstChild; child;
         child = parser_.Element(child).nextSibling) {
        Child known = KnownChild(NameOf(child));
        if (known != kChildCount) children_.emplace_back(child, known);
    }
}

// The next child of that name after the one read last, as the cursor's
// NextChild finds it: none leaves the place where it was.
bool DefinitionReader::Next(Child child) {
    for (size_t i = position_ + 1; i < children_.size(); ++i) {
        if (children_[i].second != child) continue;
        position_ = static_cast<int>(i);
        return true;
    }
    return false;
}

int32_t DefinitionReader::CurrentChild() const {
    return position_ < 0 ? 0 : children_[position_].first;
}

int32_t DefinitionReader::FirstChild(Child child) const {
    for (const auto& [element, kind] : children_)
        if (kind == child) return element;
    return 0;
}

// The children of a list element that bear the name, in order.
const std::vector<int32_t>& DefinitionReader::Entries(int32_t list, std::string_view name) {
    entries_.clear();
    for (int32_t child = parser_.Element(list).firstChild; child;
         child = parser_.Element(child).nextSibling)
        if (SameName(NameOf(child), name)) entries_.push_back(child);
    return entries_;
}

// The name of an element of the table, read in place.
std::string_view DefinitionReader::NameOf(int32_t element) const {
    const MarkupElement& e = parser_.Element(element);
    return std::string_view(parser_.Text().data() + e.nameLeft, e.nameRight - e.nameLeft);
}

// Valid until the next reading of an attribute.
std::string_view DefinitionReader::Attribute(int32_t element, std::string_view name) {
    std::string_view value;
    parser_.AttributeViews(element, {&name, 1}, &value, &decoded_);
    return value;
}

// The text with its placeholders resolved, kept.
std::string_view DefinitionReader::KeepResolved(std::string_view text) {
    if (ResolvePlaceholders(text, folders_, &resolved_)) return sinks_.texts->Keep(resolved_);
    return sinks_.texts->Keep(text);
}

FileEntry DefinitionReader::ReadFile(int32_t element) {
    FileEntry file;
    static constexpr std::string_view kNames[] = {"NAME", "PATH", "SIZE"};
    std::string_view values[3];
    parser_.AttributeViews(element, kNames, values, &decoded_);
    std::string_view path = values[0];
    if (path.empty()) {
        path = values[1];
        file.size = ReadDecimal(values[2]);
    }
    file.path = KeepResolved(path);
    return file;
}

// NAME is the key path and value name, then ":@:" and the data pattern when
// the value's data is tested.
RegistryValueEntry DefinitionReader::ReadValue(int32_t element) {
    static constexpr std::string_view kNames[] = {"NAME", "MATCH"};
    std::string_view values[2];
    parser_.AttributeViews(element, kNames, values, &decoded_);
    const std::string_view text = values[0];
    RegistryValueEntry entry;
    entry.nameIsPattern = values[1] == "wildcard";
    std::string_view namePart = text;
    size_t separator = text.find(":@:");
    if (separator != std::string_view::npos && separator > 0) {
        namePart = text.substr(0, separator);
        entry.dataPattern = KeepResolved(text.substr(separator + 3));
    }
    entry.fullName = sinks_.texts->Keep(namePart);
    size_t slash = entry.fullName.rfind('\\');
    if (slash != std::string_view::npos && slash > 0) {
        entry.keyPath = entry.fullName.substr(0, slash);
        entry.valueName = entry.fullName.substr(slash + 1);
    }
    return entry;
}

// DIRECTORIES to HOSTS, each list sized once for its entries.
void DefinitionReader::ReadLists(ThreatDefinition* d) {
    TextStore* texts = sinks_.texts;
    if (Next(kDirectories)) {
        const std::vector<int32_t>& dirs = Entries(CurrentChild(), "DIR");
        d->directories.reserve(dirs.size());
        for (int32_t dir : dirs) d->directories.push_back({KeepResolved(Attribute(dir, "NAME"))});
    }
    if (Next(kFiles)) {
        const std::vector<int32_t>& files = Entries(CurrentChild(), "FILE");
        d->files.reserve(files.size());
        for (int32_t file : files) d->files.push_back(ReadFile(file));
    }
    if (Next(kRegistryKeys)) {
        const std::vector<int32_t>& keys = Entries(CurrentChild(), "REGKEY");
        d->registryKeys.reserve(keys.size());
        for (int32_t key : keys)
            d->registryKeys.push_back({texts->Keep(Attribute(key, "NAME")), 0, nullptr});
    }
    if (Next(kRegistryValues)) {
        const std::vector<int32_t>& values = Entries(CurrentChild(), "REGVALUE");
        d->registryValues.reserve(values.size());
        for (int32_t value : values) d->registryValues.push_back(ReadValue(value));
    }
    if (Next(kHosts)) {
        const std::vector<int32_t>& hosts = Entries(CurrentChild(), "HOST");
        d->hostEntries.reserve(hosts.size());
        for (int32_t host : hosts)
            d->hostEntries.push_back({texts->Keep(Attribute(host, "NAME")), 0});
    }
}

// DANGER and DESCRIPTION. Without a DANGER, the child read last gives the
// danger and the url, as the cursor that stays on it does; a DESCRIPTION
// gives the url in any case.
void DefinitionReader::ReadTexts(ThreatDefinition* d) {
    TextStore* texts = sinks_.texts;
    Next(kDanger);
    static constexpr std::string_view kDangerNames[] = {"NAME", "CHECKED", "url"};
    std::string_view danger[3];
    parser_.AttributeViews(CurrentChild(), kDangerNames, danger, &decoded_);
    d->danger = texts->Keep(danger[0]);
    d->checkedByDefault = danger[1] != "no";
    d->url = texts->Keep(danger[2]);
    if (!Next(kDescription)) {
        d->description = kNoDescription;
        return;
    }
    static constexpr std::string_view kDescriptionNames[] = {"NAME", "url"};
    std::string_view description[2];
    parser_.AttributeViews(CurrentChild(), kDescriptionNames, description, &decoded_);
    d->description = texts->Keep(description[0]);
    d->url = texts->Keep(description[1]);
}

// HASHES and RULES, after DESCRIPTION where older readers never look.
void DefinitionReader::ReadContent(size_t number) {
    if (Next(kHashes)) {
        DigestKind kind;
        std::string raw;
        for (int32_t hash : Entries(CurrentChild(), "HASH"))
            if (DecodeDigest(Attribute(hash, "VALUE"), &kind, &raw))
                sinks_.content->AddDigest(kind, raw, number);
    }
    if (Next(kRules)) {
        for (int32_t rule : Entries(CurrentChild(), "RULE"))
            sinks_.ruleNames->emplace(Attribute(rule, "NAME"), number);
    }
}

void DefinitionReader::Read(size_t number, ThreatDefinition* definition) {
    const int32_t element = parser_.CurrentChild();
    ThreatDefinition& d = *definition;
    d.name = sinks_.texts->Keep(Attribute(element, "NAME"));
    ListChildren(element);
    Next(kCategory);
    d.category = sinks_.texts->Keep(Attribute(CurrentChild(), "NAME"));
    ReadLists(&d);
    ReadTexts(&d);
    ReadContent(number);
    // CONDITIONAL and then EXPRESSIONS, the first of each wherever it
    // stands: they come last, and children that later readers add before
    // them must not hide them.
    if (int32_t conditional = FirstChild(kConditional)) ReadConditionals(conditional, &d);
    if (int32_t expressions = FirstChild(kExpressions)) ReadExpressions(expressions, &d);
}

// The conditions are read with the parser's cursor, which is taken into the
// CONDITIONAL element and brought back to the definition's level.
void DefinitionReader::ReadConditionals(int32_t conditional, ThreatDefinition* d) {
    parser_.EnterChild();
    parser_.SelectChild(conditional);
    parser_.EnterChild();
    while (parser_.NextChild("")) ReadConditionalEntry(d);
    parser_.LeaveElement();
    parser_.LeaveElement();
}

// One entry of CONDITIONAL (the cursor on it) with its conditions; an entry
// whose conditions are not understood is dropped. A key's path is fixed, so
// its conditions are settled here once.
void DefinitionReader::ReadConditionalEntry(ThreatDefinition* d) {
    const int32_t element = parser_.CurrentChild();
    const std::string_view kind = parser_.ElementName(element);
    if (kind != "FILE" && kind != "REGKEY" && kind != "REGVALUE") return;
    FileEntry file;
    RegistryKeyEntry key;
    RegistryValueEntry value;
    if (kind == "FILE") {
        file = ReadFile(element);
        file.anywhere = file.path.find('\\') == std::string_view::npos;
    }
    if (kind == "REGKEY") key.path = sinks_.texts->Keep(Attribute(element, "NAME"));
    if (kind == "REGVALUE") value = ReadValue(element);
    std::shared_ptr<const EntryConditions> conditions;
    parser_.EnterChild();
    bool understood = ReadEntryConditions(parser_, folders_, kind == "REGVALUE", &conditions);
    parser_.LeaveElement();
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

void DefinitionReader::AddValueExpression(std::string_view expression, std::string_view exclusion,
                                          ThreatDefinition* d) {
    std::optional<std::string> key = RegistryExpressionKey(expression);
    if (!key) return;
    auto matcher = std::make_shared<PathExpressions>();
    std::string why;
    if (!matcher->Add(expression, exclusion, &why)) return;
    matcher->Finish();
    RegistryValueEntry entry;
    entry.keyPath = sinks_.texts->Keep(*key);
    entry.valueName = sinks_.texts->Keep(expression);
    entry.fullName = entry.valueName;
    entry.nameIsPattern = true;
    entry.nameExpression = std::move(matcher);
    d->registryValues.push_back(std::move(entry));
}

// The file expressions the index refuses are dropped when it is built.
void DefinitionReader::ReadExpressions(int32_t expressions, ThreatDefinition* d) {
    for (int32_t element : Entries(expressions, "EXPRESSION")) {
        static constexpr std::string_view kNames[] = {"FOR", "MATCH", "EXCEPT"};
        std::string_view values[3];
        parser_.AttributeViews(element, kNames, values, &decoded_);
        const std::string_view target = values[0], match = values[1], exclusion = values[2];
        if (target == "regvalue") {
            AddValueExpression(match, exclusion, d);
        } else if (target == "file" && !match.empty()) {
            d->fileExpressions.push_back(
                {sinks_.texts->Keep(match), sinks_.texts->Keep(exclusion)});
        }
    }
}

}  // namespace tolvane
