#include "definitions/entry_conditions.h"

#include <optional>

#include "base/codepage.h"
#include "definitions/markup_parser.h"

namespace tolvane {
namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = FoldCase(c);
    return out;
}

// What a condition is asked of: the object's lowered path and data, and a
// REG_DWORD's number.
struct Subject {
    std::string_view loweredPath;
    std::string_view loweredData;
    std::optional<uint32_t> dword;
};

bool Holds(const TextCondition& condition, const Subject& subject) {
    if (condition.part == ConditionPart::Dword)
        return subject.dword && *subject.dword == condition.number;
    std::string_view loweredPath = subject.loweredPath, loweredData = subject.loweredData;
    std::string_view text = condition.part == ConditionPart::Path ? loweredPath : loweredData;
    std::string_view wanted = condition.loweredText;
    switch (condition.test) {
        case ConditionTest::Equals:
            return text == wanted;
        case ConditionTest::Contains:
            return text.find(wanted) != std::string_view::npos;
        case ConditionTest::StartsWith:
            return text.substr(0, wanted.size()) == wanted;
        case ConditionTest::EndsWith:
            return text.size() >= wanted.size() &&
                   text.substr(text.size() - wanted.size()) == wanted;
    }
    return false;
}

bool AnyHolds(const AnyCondition& any, const Subject& subject) {
    for (const TextCondition& c : any)
        if (Holds(c, subject)) return true;
    return false;
}

bool AllHold(const std::vector<AnyCondition>& conditions, const Subject& subject) {
    for (const AnyCondition& any : conditions)
        if (!AnyHolds(any, subject)) return false;
    return true;
}

// A REG_DWORD's number as TEXT writes it: decimal digits, nothing else.
std::optional<uint32_t> DecimalNumber(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::optional<TextCondition> ReadCondition(const MarkupParser& parser,
                                           const PlaceholderFolders& folders, bool dataAllowed) {
    TextCondition condition;
    const std::string on = parser.ChildAttribute("ON"), how = parser.ChildAttribute("HOW");
    if (on == "path" || on.empty())
        condition.part = ConditionPart::Path;
    else if (on == "data" && dataAllowed)
        condition.part = ConditionPart::Data;
    else if (on == "dword" && dataAllowed && how == "equals")
        condition.part = ConditionPart::Dword;
    else
        return std::nullopt;
    if (condition.part == ConditionPart::Dword) {
        std::optional<uint32_t> number = DecimalNumber(parser.ChildAttribute("TEXT"));
        if (!number) return std::nullopt;
        condition.test = ConditionTest::Equals;
        condition.number = *number;
        condition.text = condition.loweredText = std::to_string(*number);
        return condition;
    }
    if (how == "equals")
        condition.test = ConditionTest::Equals;
    else if (how == "contains")
        condition.test = ConditionTest::Contains;
    else if (how == "startswith")
        condition.test = ConditionTest::StartsWith;
    else if (how == "endswith")
        condition.test = ConditionTest::EndsWith;
    else
        return std::nullopt;
    condition.text = ResolvePlaceholders(parser.ChildAttribute("TEXT"), folders);
    condition.loweredText = Lower(condition.text);
    return condition;
}

// The selected child, an IF or an ANY of IFs; false when it is not
// understood (an empty ANY would hold for nothing, which no source means).
bool ReadAny(MarkupParser& parser, const PlaceholderFolders& folders, bool dataAllowed,
             AnyCondition* out) {
    std::string_view name = parser.ElementName(parser.CurrentChild());
    if (name == "IF") {
        std::optional<TextCondition> condition = ReadCondition(parser, folders, dataAllowed);
        if (condition) out->push_back(std::move(*condition));
        return condition.has_value();
    }
    if (name != "ANY") return false;
    parser.EnterChild();
    bool understood = true;
    while (understood && parser.NextChild("")) {
        std::optional<TextCondition> condition;
        if (parser.ElementName(parser.CurrentChild()) == "IF")
            condition = ReadCondition(parser, folders, dataAllowed);
        if (condition)
            out->push_back(std::move(*condition));
        else
            understood = false;
    }
    parser.LeaveElement();
    return understood && !out->empty();
}

// The IF and ANY children of the current element, all of them understood.
bool ReadConditionList(MarkupParser& parser, const PlaceholderFolders& folders, bool dataAllowed,
                       std::vector<AnyCondition>* out) {
    while (parser.NextChild("")) {
        AnyCondition any;
        if (!ReadAny(parser, folders, dataAllowed, &any)) return false;
        out->push_back(std::move(any));
    }
    return true;
}

}  // namespace

bool EntryConditions::Accepts(std::string_view path, std::string_view data,
                              std::optional<uint32_t> dword) const {
    const std::string loweredPath = Lower(path);
    const std::string loweredData = ReadsData() ? Lower(data) : std::string();
    const Subject subject{loweredPath, loweredData, dword};
    if (!AllHold(all, subject)) return false;
    for (const std::vector<AnyCondition>& exclusion : exclusions)
        if (AllHold(exclusion, subject)) return false;
    return true;
}

bool EntryConditions::ReadsData() const {
    auto reads = [](const std::vector<AnyCondition>& list) {
        for (const AnyCondition& any : list)
            for (const TextCondition& c : any)
                if (c.part != ConditionPart::Path) return true;
        return false;
    };
    if (reads(all)) return true;
    for (const std::vector<AnyCondition>& exclusion : exclusions)
        if (reads(exclusion)) return true;
    return false;
}

std::string EntryConditions::RequiredDataText() const {
    for (const AnyCondition& any : all)
        if (any.size() == 1 && any[0].part == ConditionPart::Data) return any[0].text;
    return {};
}

bool ReadEntryConditions(MarkupParser& parser, const PlaceholderFolders& folders, bool dataAllowed,
                         std::shared_ptr<const EntryConditions>* out) {
    out->reset();
    auto conditions = std::make_shared<EntryConditions>();
    while (parser.NextChild("")) {
        if (parser.ElementName(parser.CurrentChild()) == "UNLESS") {
            std::vector<AnyCondition> exclusion;
            parser.EnterChild();
            bool understood = ReadConditionList(parser, folders, dataAllowed, &exclusion);
            parser.LeaveElement();
            // An empty exclusion would hold for every object.
            if (!understood || exclusion.empty()) return false;
            conditions->exclusions.push_back(std::move(exclusion));
            continue;
        }
        AnyCondition any;
        if (!ReadAny(parser, folders, dataAllowed, &any)) return false;
        conditions->all.push_back(std::move(any));
    }
    if (!conditions->all.empty() || !conditions->exclusions.empty()) *out = std::move(conditions);
    return true;
}

std::string RegistryConditionPath(std::string_view keyPath, std::string_view valueName,
                                  bool isValue) {
    std::string path = "\\";
    path.append(keyPath);
    if (isValue) path.append("\\").append(valueName);
    return path;
}

}  // namespace tolvane
