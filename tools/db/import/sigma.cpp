// Sigma rules to definitions. A rule's detection is a condition over named
// selections; a selection is a list of field conditions that must all hold
// (a list of such maps: any of them). A condition of selections joined by
// "and", "or", "not", "1 of", "all of" and parentheses is read into its
// ways to hold, each a conjunction of field conditions with exclusions.
// One becomes entries when every field in it is one the entries can say
// (the registry path and its data, the created file's path): a single
// condition as plain entries, several (or exclusions) as entries with
// conditions (entry_conditions.h), one condition naming the objects and
// the others narrowing them.
#include "tools/db/import/sigma.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <set>

#include "base/codepage.h"
#include "tools/db/import/clean_list.h"
#include "tools/db/import/danger.h"
#include "tools/db/import/expressions.h"
#include "tools/db/import/mapping.h"

namespace tolvane::import {
namespace {

struct Value {
    std::string text;
    int line = 0;
};

struct FieldCondition {
    std::string field;
    std::vector<std::string> modifiers;
    std::vector<Value> values;  // any of them (all of them with "all")
    int line = 0;
    // A value holds a character code page 1252 has not, which the reading
    // turned into '?', a wildcard that would stand for any character.
    bool outsideCodePage = false;
};

constexpr std::string_view kOutsideCodePageReason =
    "a character outside code page 1252 (it would read as the wildcard '?')";

using Conjunction = std::vector<FieldCondition>;

// A rule whose content stops the reading: reported and skipped whole.
struct RuleError {
    std::string reason;
};

constexpr std::string_view kSupportedModifiers[] = {"contains", "startswith", "endswith", "all"};
constexpr std::string_view kKnownModifiers[] = {
    "re",           "i",    "m",       "s",       "cased", "windash",  "base64",
    "base64offset", "wide", "utf16le", "utf16be", "utf16", "fieldref", "exists",
    "cidr",         "lt",   "lte",     "gt",      "gte",   "expand",   "minute",
    "hour",         "day",  "week",    "month",   "year"};

std::string Text(const YAML::Node& node) {
    return node && node.IsScalar() ? Utf8ToCp1252(node.Scalar()) : std::string();
}

bool OutsideCodePage(const YAML::Node& node, const std::string& text) {
    return std::count(text.begin(), text.end(), '?') >
           std::count(node.Scalar().begin(), node.Scalar().end(), '?');
}

int Line(const YAML::Node& node) {
    return node.Mark().line + 1;
}

FieldCondition ReadField(const std::string& key, const YAML::Node& value) {
    FieldCondition condition;
    size_t bar = key.find('|');
    condition.field = key.substr(0, bar);
    while (bar != std::string::npos) {
        size_t next = key.find('|', bar + 1);
        condition.modifiers.push_back(key.substr(bar + 1, next - bar - 1));
        bar = next;
    }
    for (const std::string& m : condition.modifiers) {
        bool supported = std::find(std::begin(kSupportedModifiers), std::end(kSupportedModifiers),
                                   m) != std::end(kSupportedModifiers);
        bool known = std::find(std::begin(kKnownModifiers), std::end(kKnownModifiers), m) !=
                     std::end(kKnownModifiers);
        if (!supported && !known) throw RuleError{"unknown modifier |" + m};
    }
    condition.line = Line(value);
    if (value.IsSequence()) {
        for (const YAML::Node& v : value) {
            if (!v.IsScalar()) throw RuleError{"field " + condition.field + " holds a non-text"};
            condition.values.push_back({Text(v), Line(v)});
            condition.outsideCodePage |= OutsideCodePage(v, condition.values.back().text);
        }
    } else if (value.IsScalar()) {
        condition.values.push_back({Text(value), Line(value)});
        condition.outsideCodePage = OutsideCodePage(value, condition.values.back().text);
    } else if (value.IsNull()) {
        condition.values.push_back({"", Line(value)});
    } else {
        throw RuleError{"field " + condition.field + " holds a map"};
    }
    return condition;
}

// A selection: its alternatives, each a conjunction.
std::vector<Conjunction> ReadSelection(const YAML::Node& node) {
    auto readMap = [](const YAML::Node& map) {
        Conjunction conjunction;
        for (const auto& pair : map)
            conjunction.push_back(ReadField(pair.first.as<std::string>(), pair.second));
        return conjunction;
    };
    if (node.IsMap()) return {readMap(node)};
    std::vector<Conjunction> alternatives;
    if (node.IsSequence()) {
        for (const YAML::Node& item : node) {
            if (!item.IsMap()) return {{FieldCondition{"keywords", {}, {}, Line(item)}}};
            alternatives.push_back(readMap(item));
        }
        return alternatives;
    }
    throw RuleError{"a selection that is neither a map nor a list"};
}

// --- The condition ---

using Selections = std::map<std::string, std::vector<Conjunction>>;

// One way a rule's condition holds: all of `positive`, none of the
// exclusions (each a conjunction).
struct Clause {
    Conjunction positive;
    std::vector<Conjunction> exclusions;
};
using Clauses = std::vector<Clause>;

// Each selection or "of" term multiplies the ways a condition holds: stopped
// before they grow past what a rule can mean.
constexpr size_t kMaxClauses = 256;

std::vector<std::string> Tokens(const std::string& condition) {
    std::vector<std::string> tokens;
    std::string current;
    for (char c : condition) {
        if (c == ' ' || c == '\t' || c == '(' || c == ')') {
            if (!current.empty()) tokens.push_back(current), current.clear();
            if (c == '(' || c == ')') tokens.push_back(std::string(1, c));
        } else {
            current += c;
        }
    }
    if (!current.empty()) tokens.push_back(current);
    return tokens;
}

std::vector<std::string> NamesMatching(const Selections& selections, const std::string& pattern) {
    std::vector<std::string> names;
    for (const auto& [name, alternatives] : selections) {
        if (pattern == "them" ||
            (pattern.back() == '*' && name.rfind(pattern.substr(0, pattern.size() - 1), 0) == 0) ||
            name == pattern)
            names.push_back(name);
    }
    return names;
}

// Both hold ("and").
Clauses Product(const Clauses& a, const Clauses& b) {
    Clauses out;
    for (const Clause& x : a)
        for (const Clause& y : b) {
            Clause both = x;
            both.positive.insert(both.positive.end(), y.positive.begin(), y.positive.end());
            both.exclusions.insert(both.exclusions.end(), y.exclusions.begin(), y.exclusions.end());
            out.push_back(std::move(both));
            if (out.size() > kMaxClauses) throw RuleError{"condition too large"};
        }
    return out;
}

Clauses FromSelection(const std::vector<Conjunction>& alternatives) {
    Clauses out;
    for (const Conjunction& c : alternatives) out.push_back({c, {}});
    return out;
}

// "not X": none of X's ways holds.
Clauses Negated(const Clauses& inner) {
    Clause none;
    for (const Clause& c : inner) {
        if (!c.exclusions.empty()) throw RuleError{"exclusion inside an exclusion"};
        none.exclusions.push_back(c.positive);
    }
    return {none};
}

// A condition read by recursive descent: "or" binds loosest, then "and",
// then "not", as in Sigma.
class ConditionReader {
  public:
    ConditionReader(std::vector<std::string> tokens, const Selections& selections)
        : tokens_(std::move(tokens)), selections_(selections) {}

    Clauses Read() {
        if (tokens_.empty()) throw RuleError{"empty condition"};
        Clauses result = Or();
        if (at_ < tokens_.size()) throw RuleError{"unknown word in the condition: " + tokens_[at_]};
        return result;
    }

  private:
    bool Next(std::string_view word) {
        if (at_ < tokens_.size() && tokens_[at_] == word) return ++at_, true;
        return false;
    }

    Clauses Or() {
        Clauses result = And();
        while (Next("or")) {
            Clauses more = And();
            result.insert(result.end(), more.begin(), more.end());
            if (result.size() > kMaxClauses) throw RuleError{"condition too large"};
        }
        return result;
    }

    Clauses And() {
        Clauses result = Not();
        while (Next("and")) result = Product(result, Not());
        return result;
    }

    Clauses Not() {
        if (Next("not")) return Negated(Not());
        return Term();
    }

    Clauses Term() {
        if (at_ >= tokens_.size()) throw RuleError{"condition ends with an operator"};
        if (++depth_ > 32) throw RuleError{"condition nested too deep"};
        Clauses result = Primary();
        --depth_;
        return result;
    }

    Clauses Primary() {
        if (Next("(")) {
            Clauses inner = Or();
            if (!Next(")")) throw RuleError{"unclosed parenthesis in the condition"};
            return inner;
        }
        const std::string first = tokens_[at_];
        if (first == "|") throw RuleError{"aggregation in the condition"};
        if ((first == "1" || first == "any" || first == "all") && at_ + 1 < tokens_.size() &&
            tokens_[at_ + 1] == "of") {
            if (at_ + 2 >= tokens_.size()) throw RuleError{"condition ends after 'of'"};
            std::vector<std::string> names = NamesMatching(selections_, tokens_[at_ + 2]);
            at_ += 3;
            if (names.empty()) throw RuleError{"condition names no selection"};
            Clauses result;
            if (first == "all") {
                result = {Clause{}};
                for (const std::string& n : names)
                    result = Product(result, FromSelection(selections_.at(n)));
            } else {
                for (const std::string& n : names) {
                    Clauses one = FromSelection(selections_.at(n));
                    result.insert(result.end(), one.begin(), one.end());
                }
                if (result.size() > kMaxClauses) throw RuleError{"condition too large"};
            }
            return result;
        }
        auto found = selections_.find(first);
        if (found == selections_.end()) {
            if (first == "and" || first == "or" || first == ")")
                throw RuleError{"condition ends with an operator"};
            throw RuleError{"condition names an unknown selection"};
        }
        ++at_;
        return FromSelection(found->second);
    }

    std::vector<std::string> tokens_;
    const Selections& selections_;
    size_t at_ = 0;
    int depth_ = 0;
};

Clauses ReadCondition(const std::string& text, const Selections& selections) {
    return ConditionReader(Tokens(text), selections).Read();
}

// --- Conjunctions to entries ---

struct RuleContext {
    std::string where;  // file, for places
    std::string category;
    Definition* definition;
    Report* report;
    const CleanWindows* stock = nullptr;  // the stock file names, if known
    // Where entries of registry paths written without a root are looked
    // for (RegistryPathsBelowSubtree), for the description; pendingPlaces
    // those of an anchor AddConditional has not settled on yet.
    std::set<std::string> rootPlaces = {};
    std::set<std::string> pendingPlaces = {};
    // An entry looks on the system drive for a path the rule names on any
    // drive (OnSystemDrive), for the description.
    bool systemDriveOnly = false;
};

bool Has(const FieldCondition& c, std::string_view modifier) {
    return std::find(c.modifiers.begin(), c.modifiers.end(), modifier) != c.modifiers.end();
}

void LeaveOut(RuleContext& rule, int line, const std::string& indicator, const std::string& why) {
    rule.report->leftOut.push_back({rule.where + ":" + std::to_string(line), indicator, why});
}

// The modifier of a field condition that cannot be expressed, if any.
std::optional<std::string> Unexpressible(const FieldCondition& c) {
    if (c.outsideCodePage) return std::string(kOutsideCodePageReason);
    for (const std::string& m : c.modifiers) {
        // A file's path by expression is a path expression (AddFileTarget).
        if (m == "re" && c.field == "TargetFilename") continue;
        if (m == "re") return "|re (a regular expression over the whole event)";
        bool supported = std::find(std::begin(kSupportedModifiers), std::end(kSupportedModifiers),
                                   m) != std::end(kSupportedModifiers);
        if (!supported) return "modifier |" + m + " cannot be expressed";
    }
    return std::nullopt;
}

Condition DwordCondition(uint32_t number) {
    Condition c{true, "equals", std::to_string(number)};
    c.dword = true;
    return c;
}

// The registry paths below the roots for a path as the rule writes it: one,
// or for a path without a root that starts with a well-known subtree one
// for each place it lives (*places says where; else it is left empty).
std::vector<std::string> RegistryPaths(std::string_view written, bool forValue, std::string* places,
                                       Refusal* why) {
    places->clear();
    if (auto path = RegistryPathWithoutRoot(written, forValue, why)) return {*path};
    if (why->reason != kNoRootReason) return {};
    auto paths = RegistryPathsBelowSubtree(written, forValue, places, why);
    return paths ? *paths : std::vector<std::string>{};
}

enum class Wanted { Key, Value, Both };

Wanted RegistryKind(const std::string& category, const FieldCondition* eventType) {
    if (eventType && eventType->values.size() == 1) {
        if (eventType->values[0].text == "CreateKey") return Wanted::Key;
        if (eventType->values[0].text == "SetValue") return Wanted::Value;
    }
    if (category == "registry_set") return Wanted::Value;
    if (category == "registry_add") return Wanted::Key;
    return Wanted::Both;
}

// The ":@:" patterns of a value's data condition, and the DWORDs whose
// number the data's text cannot state, compared as numbers; the others are
// left out.
void DataTests(RuleContext& rule, const Value& value, const FieldCondition& details,
               std::vector<std::string>* patterns, std::vector<Condition>* numbers) {
    DataMatch match = Has(details, "contains")     ? DataMatch::Contains
                      : Has(details, "startswith") ? DataMatch::StartsWith
                      : Has(details, "endswith")   ? DataMatch::EndsWith
                                                   : DataMatch::Equals;
    for (const Value& d : details.values) {
        Refusal why;
        auto pattern = DataPattern(d.text, match, &why);
        if (pattern)
            patterns->push_back(*pattern);
        else if (why.reason == kDwordZeroByteReason)
            numbers->push_back(DwordCondition(*SysmonDword(d.text)));
        else
            LeaveOut(rule, d.line, value.text + " = " + d.text, why.reason);
    }
}

void AddRegistryTarget(RuleContext& rule, const FieldCondition& target, const Value& value,
                       const FieldCondition* details, Wanted wanted) {
    const bool contains = Has(target, "contains"), starts = Has(target, "startswith");
    Refusal why;
    // A path that ends inside a name names values by the start of their name
    // ("\\Run\\ntkd" is every value of Run whose name starts "ntkd").
    const bool namePrefix = (contains || starts) && !value.text.empty() &&
                            value.text.back() != '\\' && wanted != Wanted::Key;
    if ((contains || starts) && !namePrefix) {
        // A key and everything below it: the key exists.
        if (value.text.empty() || value.text.back() != '\\') {
            LeaveOut(rule, value.line, value.text, "registry path that ends inside a name");
            return;
        }
        if (contains && value.text.front() != '\\' &&
            value.text.find('\\') + 1 == value.text.size()) {
            LeaveOut(rule, value.line, value.text, "part of one key name");
            return;
        }
        if (details) {
            LeaveOut(rule, value.line, value.text, "data of any value below a key");
            return;
        }
        std::string places;
        const auto keys = RegistryPaths(value.text, false, &places, &why);
        if (keys.empty()) return LeaveOut(rule, value.line, value.text, why.reason);
        for (const std::string& key : keys)
            AddEntry(rule.definition, {EntryKind::RegistryKey, key});
        if (!places.empty()) rule.rootPlaces.insert(places);
        ++rule.report->indicatorsConverted;
        return;
    }
    std::vector<std::string> patterns{""};
    std::vector<Condition> numbers;
    if (details) {
        patterns.clear();
        DataTests(rule, value, *details, &patterns, &numbers);
        if (patterns.empty() && numbers.empty()) return;
        wanted = Wanted::Value;
    }
    bool converted = false;
    std::string places;
    if (namePrefix) wanted = Wanted::Value;
    if (wanted != Wanted::Value) {
        for (const std::string& key : RegistryPaths(value.text, false, &places, &why))
            AddEntry(rule.definition, {EntryKind::RegistryKey, key}), converted = true;
    }
    if (wanted != Wanted::Key) {
        for (const std::string& path : RegistryPaths(value.text, true, &places, &why)) {
            auto name = RegistryValueText(path, &why);
            if (name && namePrefix && name->find_first_of("*?") != std::string::npos) {
                why.reason = "wildcard in a value name";
                name.reset();
            }
            for (const std::string& p : patterns) {
                if (!name) break;
                // "\\(Default)" names the default value alone.
                std::string text = namePrefix && name->back() != '\\' ? *name + "*" : *name;
                AddEntry(rule.definition, {EntryKind::RegistryValue,
                                           p.empty() ? text : text + ":@:" + p, namePrefix});
                converted = true;
            }
            if (name && !numbers.empty()) {
                std::string text = namePrefix && name->back() != '\\' ? *name + "*" : *name;
                AddEntry(rule.definition, {EntryKind::RegistryValue, text, namePrefix, {numbers}});
                converted = true;
            }
        }
    }
    if (converted) {
        ++rule.report->indicatorsConverted;
        if (!places.empty()) rule.rootPlaces.insert(places);
    } else {
        LeaveOut(rule, value.line, value.text, why.reason);
    }
}

PathFragment SigmaFragment(const FieldCondition& c, const std::string& text) {
    PathFragment f{text, true, true};
    if (Has(c, "contains")) f.anchoredStart = f.anchoredEnd = false;
    if (Has(c, "endswith")) f.anchoredStart = false;
    if (Has(c, "startswith")) f.anchoredEnd = false;
    while (!f.text.empty() && f.text.front() == '*') f.text.erase(0, 1), f.anchoredStart = false;
    while (!f.text.empty() && f.text.back() == '*') f.text.pop_back(), f.anchoredEnd = false;
    return f;
}

std::optional<Entry> AnywhereFile(const PathFragment& f, bool extensionAllowed, Refusal* why);

// ":\Windows\x.dll", a path from the root of any drive, as the same path on
// the system drive: an entry names one place.
PathFragment OnSystemDrive(const PathFragment& f) {
    return {"C" + f.text, true, f.anchoredEnd};
}

// A path from the root of any drive that the rule's text contains: the
// files below it on every drive as an expression, unless it is a stock
// folder (every file below it would be listed).
std::optional<Entry> BelowAnyDriveRoot(const RuleContext& rule, const PathFragment& f,
                                       Refusal* why) {
    std::string folder = OnSystemDrive(f).text;
    while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    if (rule.stock && rule.stock->Holds({EntryKind::Directory, folder})) {
        why->reason = std::string(kCleanWindowsReason);
        return std::nullopt;
    }
    return FragmentExpressionEntry({f.text, false, false}, why);
}

void AddFileTarget(RuleContext& rule, const FieldCondition& target, const Value& value) {
    Refusal why;
    if (Has(target, "re")) {
        auto entry = FileExpressionEntry(value.text, "", &why);
        if (!entry) return LeaveOut(rule, value.line, value.text, why.reason);
        AddEntry(rule.definition, *entry);
        ++rule.report->indicatorsConverted;
        return;
    }
    if (value.text.find("\\*") != std::string::npos || value.text.find("\\?") != std::string::npos)
        return LeaveOut(rule, value.line, value.text, "escaped wildcard");
    const PathFragment fragment = SigmaFragment(target, value.text);
    std::optional<Entry> entry;
    if (StartsWithOmittedDrive(fragment.text)) {
        entry = fragment.anchoredEnd ? PathEntry(OnSystemDrive(fragment), &why)
                                     : BelowAnyDriveRoot(rule, fragment, &why);
        if (entry && entry->kind != EntryKind::FileExpression) rule.systemDriveOnly = true;
    } else {
        entry = PathEntry(fragment, &why);
    }
    // Folders no placeholder stands for: the file's name in any folder with
    // the path's end a condition (found through the name index), or the
    // path's end as an expression where it holds wildcards, which a
    // condition's text would take literally.
    if (!entry && why.reason == kPartialPathReason) {
        Refusal ignored;
        const bool wild = fragment.text.find_first_of("*?") != std::string::npos;
        if (!wild) entry = AnywhereFile(fragment, false, &ignored);
        if (!entry) entry = FragmentExpressionEntry(fragment, &why);
    }
    if (!entry) return LeaveOut(rule, value.line, value.text, why.reason);
    AddEntry(rule.definition, *entry);
    ++rule.report->indicatorsConverted;
}

const char* TargetField(const std::string& category) {
    return category.rfind("registry_", 0) == 0 ? "TargetObject" : "TargetFilename";
}

// --- Several conditions, exclusions, the program ---

// The conditions a clause puts on one object, by the field they test.
struct SortedClause {
    std::vector<const FieldCondition*> targets, details;
    const FieldCondition* eventType = nullptr;
    std::vector<std::string> programFields;  // conditions on the writing program
    std::string problem;
};

// The program that wrote the object is gone when the disk is scanned.
bool IsProgramField(const std::string& field) {
    return field == "Image";
}

SortedClause Sort(const Conjunction& conjunction, const std::string& targetName) {
    SortedClause sorted;
    for (const FieldCondition& c : conjunction) {
        if (IsProgramField(c.field)) {
            sorted.programFields.push_back(c.field);
            continue;
        }
        const bool isDetails = c.field == "Details" && targetName == "TargetObject";
        if (c.field != targetName && !isDetails && c.field != "EventType")
            sorted.problem = "condition on " + c.field + " cannot be expressed";
        else if (c.field == "EventType" && sorted.eventType)
            sorted.problem = "several conditions on EventType";
        else if (auto bad = Unexpressible(c))
            sorted.problem = *bad;
        else if (c.field == "EventType")
            sorted.eventType = &c;
        else
            (isDetails ? sorted.details : sorted.targets).push_back(&c);
        if (!sorted.problem.empty()) break;
    }
    if (sorted.targets.empty() && sorted.problem.empty())
        sorted.problem = "no condition on " + targetName;
    return sorted;
}

// The alternatives of one requirement: any of them holds.
using Alternatives = std::vector<Condition>;

std::nullopt_t Refuse(Refusal* why, std::string reason) {
    why->reason = std::move(reason);
    return std::nullopt;
}

// Sigma's text of a path or data condition: leading and trailing '*' drop
// the anchor; a wildcard inside cannot be compared as text.
std::optional<Condition> TextConditionOf(const FieldCondition& c, const std::string& text,
                                         bool onData, Refusal* why) {
    PathFragment f = SigmaFragment(c, text);
    if (f.text.find_first_of("*?") != std::string::npos)
        return Refuse(why, "wildcard inside a condition");
    if (HasControlCharacter(f.text)) return Refuse(why, std::string(kControlCharacterReason));
    Condition condition{onData, "", f.text};
    condition.how = f.anchoredStart && f.anchoredEnd ? "equals"
                    : f.anchoredStart                ? "startswith"
                    : f.anchoredEnd                  ? "endswith"
                                                     : "contains";
    return condition;
}

// A registry path condition compares "\" and the path below the root.
std::optional<Condition> RegistryCondition(const FieldCondition& c, const std::string& text,
                                           Refusal* why) {
    auto condition = TextConditionOf(c, text, false, why);
    if (!condition) return std::nullopt;
    std::string& t = condition->text;
    const bool startsAtRoot = condition->how == "equals" || condition->how == "startswith";
    if (startsAtRoot || t.rfind("HK", 0) == 0) {
        bool folder = !t.empty() && t.back() == '\\';
        auto stripped = RegistryPathWithoutRoot(folder ? t.substr(0, t.size() - 1) : t, true, why);
        if (!stripped) return std::nullopt;
        t = "\\" + *stripped + (folder ? "\\" : "");
    }
    return condition;
}

std::optional<Condition> FileCondition(const FieldCondition& c, const std::string& text,
                                       Refusal* why) {
    if (text.find('/') != std::string::npos) return Refuse(why, "Linux or macOS path");
    auto expanded = EnvironmentToPlaceholders(text, why);
    if (!expanded) return std::nullopt;
    return TextConditionOf(c, *expanded, false, why);
}

constexpr std::string_view kPercentReason = "'%' in a data condition reads as a placeholder";

std::optional<Condition> DataCondition(const FieldCondition& c, const std::string& text,
                                       Refusal* why) {
    // Sysmon's print of a DWORD it equals is its number; the print of
    // binary data or of a QWORD is not the data's text.
    if (text.rfind("DWORD (", 0) == 0 && c.modifiers.empty()) {
        if (auto number = SysmonDword(text)) return DwordCondition(*number);
    }
    for (std::string_view printed : {"DWORD (", "QWORD (", "Binary Data"})
        if (text.rfind(printed, 0) == 0)
            return Refuse(why, "number or binary data compared with other conditions");
    // Sysmon prints the data's '%' as "%%", and the reader takes a text
    // between two '%' for a placeholder: neither compares the data as it is
    // (an exclusion without this part excludes more, never less).
    if (text.find('%') != std::string::npos) return Refuse(why, std::string(kPercentReason));
    return TextConditionOf(c, text, true, why);
}

// One field condition as requirements: with |all each value is one of its
// own, else one requirement holds for any value. Where the requirement
// must hold (`narrowing`), an alternative the data cannot be compared with
// for its '%' is left out, so long as others remain: the entry then finds
// less than the rule (an exclusion must keep all of them).
bool Requirements(const FieldCondition& c, bool registry, std::vector<Alternatives>* out,
                  Refusal* why, bool narrowing = false) {
    const bool onData = c.field == "Details";
    const bool any = !Has(c, "all") || c.values.size() == 1;
    std::vector<Condition> each;
    for (const Value& v : c.values) {
        auto condition = onData     ? DataCondition(c, v.text, why)
                         : registry ? RegistryCondition(c, v.text, why)
                                    : FileCondition(c, v.text, why);
        if (!condition && narrowing && any && why->reason == kPercentReason) continue;
        if (!condition) return false;
        each.push_back(std::move(*condition));
    }
    if (each.empty()) return false;
    if (Has(c, "all"))
        for (Condition& one : each) out->push_back({std::move(one)});
    else
        out->push_back(std::move(each));
    return true;
}

// A file entry named in any folder, its path's end as a condition: for a
// path whose folders no placeholder stands for, or a name of an extension
// only that other conditions narrow.
std::optional<Entry> AnywhereFile(const PathFragment& f, bool extensionAllowed, Refusal* why) {
    if (!f.anchoredEnd || f.text.find('/') != std::string::npos) return std::nullopt;
    std::string text = f.text;
    size_t slash = text.rfind('\\');
    std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
    std::string rest = slash == std::string::npos ? "" : text.substr(0, slash + 1);
    if (name.empty() || rest.find_first_of("*?:") != std::string::npos ||
        name.find_first_of("?:`[]<>\"|") != std::string::npos || HasControlCharacter(text))
        return std::nullopt;
    const bool extensionOnly =
        name.substr(0, name.rfind('.')).find_first_not_of('*') == std::string::npos;
    if (extensionOnly) {
        if (!extensionAllowed || name.rfind('.') == std::string::npos) return std::nullopt;
        name = "*" + name.substr(name.rfind('.'));
    } else if (name.find('*') != std::string::npos) {
        return std::nullopt;
    }
    Entry entry{EntryKind::File, name};
    if (!rest.empty()) entry.conditions.push_back({{false, "endswith", rest + name}});
    if (extensionOnly && !rest.empty()) return Refuse(why, "wildcard inside a condition");
    return entry;
}

// The entries one value of the anchoring condition names by itself.
// *systemDrive is set when the entry looks on the system drive only for a
// path the rule names on any drive.
std::optional<std::vector<Entry>> FileAnchor(const FieldCondition& c, const Value& v, bool narrowed,
                                             Refusal* why, bool* systemDrive) {
    PathFragment f = SigmaFragment(c, v.text);
    if (v.text.find("\\*") != std::string::npos || v.text.find("\\?") != std::string::npos)
        return Refuse(why, "escaped wildcard");
    const bool anyDrive = StartsWithOmittedDrive(f.text);
    auto entry = PathEntry(anyDrive ? OnSystemDrive(f) : f, why);
    if (entry && anyDrive) *systemDrive = true;
    if (entry && entry->kind == EntryKind::File) return std::vector<Entry>{*entry};
    if (entry) return Refuse(why, "a folder named where a file is meant");
    Refusal ignored;
    if (auto anywhere = AnywhereFile(f, narrowed, &ignored)) return std::vector<Entry>{*anywhere};
    return std::nullopt;
}

std::optional<std::vector<Entry>> RegistryAnchor(RuleContext& rule, const FieldCondition& c,
                                                 const Value& v, Wanted wanted, bool narrowed,
                                                 bool dataTested, Refusal* why) {
    Definition scratch;
    Report report;
    RuleContext sub{rule.where, rule.category, &scratch, &report, rule.stock};
    AddRegistryTarget(sub, c, v, nullptr, dataTested ? Wanted::Value : wanted);
    if (!report.leftOut.empty()) return Refuse(why, report.leftOut.front().reason);
    rule.pendingPlaces.insert(sub.rootPlaces.begin(), sub.rootPlaces.end());
    std::vector<Entry> entries;
    for (Entry& e : scratch.entries) {
        // A key and all below it, narrowed by other conditions: the values
        // of that key itself (the keys below are not looked into).
        if (e.kind == EntryKind::RegistryKey && narrowed && wanted != Wanted::Key)
            e = {EntryKind::RegistryValue, e.text + "\\*", true};
        if (e.kind == EntryKind::RegistryKey && dataTested) continue;
        entries.push_back(std::move(e));
    }
    if (entries.empty()) return Refuse(why, "data of any value below a key");
    return entries;
}

// Whether an entry is specific enough to stand without a condition on the
// program: a full path, or a name no stock Windows or Wine file has.
bool Specific(const Entry& e, const CleanWindows* stock) {
    if (e.kind == EntryKind::RegistryKey) return e.text.find_first_of("*?") == std::string::npos;
    if (e.kind == EntryKind::RegistryValue)
        return !e.namePattern && e.text.find_first_of("*?") == std::string::npos;
    std::string name = e.text.substr(e.text.rfind('\\') + 1);
    if (name.find_first_of("*?") != std::string::npos) return false;
    bool fullPath =
        e.text.find('\\') != std::string::npos && e.text.find_first_of("*?") == std::string::npos;
    return fullPath || !stock || !stock->HasStockName(name);
}

// Whether the path conditions an entry of the values of one key gets name
// each value in full: every alternative of one of them ends with "\" and
// a name (the scan skips value names holding a backslash, so that is the
// whole name).
bool NamedByConditions(const Entry& e, const std::vector<Alternatives>& requirements) {
    if (e.kind != EntryKind::RegistryValue || !e.namePattern ||
        e.text.find_first_of("*?") != e.text.size() - 1 ||
        e.text.substr(e.text.size() - 2) != "\\*")
        return false;
    for (const Alternatives& any : requirements) {
        const bool named = std::all_of(any.begin(), any.end(), [](const Condition& c) {
            return !c.onData && (c.how == "endswith" || c.how == "equals") && c.text.size() > 1 &&
                   c.text.front() == '\\' && c.text.back() != '\\' &&
                   c.text.find_first_of("*?") == std::string::npos;
        });
        if (named && !any.empty()) return true;
    }
    return false;
}

// A condition on a file's path that only a Linux or macOS path meets
// ("startswith: '/usr/share/icons/'"): an exclusion holding it never holds
// for the Windows paths the scan compares.
bool NeverAWindowsPath(const FieldCondition& c) {
    if (c.field != "TargetFilename" || (!c.modifiers.empty() && !Has(c, "startswith")))
        return false;
    if (c.modifiers.size() > 1 || c.values.empty()) return false;
    return std::all_of(c.values.begin(), c.values.end(),
                       [](const Value& v) { return !v.text.empty() && v.text.front() == '/'; });
}

// The exclusions of a clause as conditions; *dropped names a field of an
// exclusion that cannot be checked at all (the program), which the caller
// may only drop where the entries are specific.
std::optional<std::vector<std::vector<Alternatives>>> Exclusions(const Clause& clause,
                                                                 const std::string& targetName,
                                                                 std::string* dropped,
                                                                 Refusal* why) {
    std::vector<std::vector<Alternatives>> out;
    const bool registry = targetName == "TargetObject";
    for (const Conjunction& exclusion : clause.exclusions) {
        if (!registry && std::any_of(exclusion.begin(), exclusion.end(), NeverAWindowsPath))
            continue;
        std::vector<Alternatives> checkable;
        std::string unchecked;
        for (const FieldCondition& c : exclusion) {
            const bool known = c.field == targetName || (registry && c.field == "Details");
            Refusal ignored;
            // A part that cannot be checked is left out of the exclusion,
            // which then excludes more: the entry stays narrower.
            if (known && !Unexpressible(c) && Requirements(c, registry, &checkable, &ignored))
                continue;
            // The exclusion as a whole may only be dropped for the program.
            if (unchecked.empty() || !IsProgramField(c.field)) unchecked = c.field;
        }
        if (checkable.empty()) {
            if (!IsProgramField(unchecked))
                return Refuse(why, "exclusion on " + unchecked + " cannot be checked");
            *dropped = unchecked;
            continue;
        }
        out.push_back(std::move(checkable));
    }
    return out;
}

constexpr std::string_view kProgramNote =
    " Imported without its conditions on the program that wrote the object (Image), which "
    "a scan of the disk cannot check: the object's own path is specific enough.";

constexpr std::string_view kNamesNothingReason = "no condition names the object by itself";

// What an anchoring condition names: the entries of its values, and the
// values that name nothing by themselves (a path without a root below no
// well-known subtree), which are left out while the others still find a
// part of what the rule matches.
struct Anchor {
    std::vector<Entry> entries;
    std::vector<std::pair<const Value*, std::string>> missed;
    std::set<std::string> places;  // RuleContext::rootPlaces of the entries
    bool allParts = false;         // its parts are all conditions of the entries
    bool systemDriveOnly = false;  // RuleContext::systemDriveOnly of the entries
};

// Whether a path below `entry` (its key, or one value of its key) can hold
// `part`: the key's path does, or the part lies in the value's name.
bool CanHold(const Entry& entry, std::string_view part) {
    std::string key = entry.text;
    if (entry.kind == EntryKind::RegistryValue) key = key.substr(0, key.rfind('\\'));
    const std::string path = ToUpperCp1252("\\" + key + "\\");
    if (path.find(ToUpperCp1252(part)) != std::string::npos) return true;
    return entry.kind == EntryKind::RegistryValue &&
           part.find('\\', part.empty() || part.front() != '\\' ? 0 : 1) == std::string_view::npos;
}

// Several parts a registry path holds (`|contains|all`): the deepest key
// one part names at its roots (a part ending inside a name is taken as a
// whole key name, which every path below that key holds) whose values can
// hold the other parts, which then are all conditions of its values.
std::optional<Anchor> AllPartsRegistryAnchor(RuleContext& rule, const SortedClause& sorted,
                                             const FieldCondition& c, Refusal* why) {
    if (!Has(c, "contains") || c.modifiers.size() != 2)
        return Refuse(why, "|all (several parts of one name)");
    std::optional<Anchor> best;
    std::set<std::string> bestPlaces;
    for (const Value& v : c.values) {
        Value key = v;
        if (key.text.empty() || key.text.find_first_of("*?") != std::string::npos) continue;
        if (key.text.back() != '\\') key.text += '\\';
        Refusal ignored;
        rule.pendingPlaces.clear();
        auto entries = RegistryAnchor(rule, c, key, RegistryKind(rule.category, sorted.eventType),
                                      true, !sorted.details.empty(), &ignored);
        if (!entries) continue;
        std::erase_if(*entries, [&](const Entry& e) {
            return std::any_of(c.values.begin(), c.values.end(),
                               [&](const Value& part) { return !CanHold(e, part.text); });
        });
        if (entries->empty() || (best && best->entries[0].text.size() >= (*entries)[0].text.size()))
            continue;
        best = Anchor{std::move(*entries), {}, {}, true};
        bestPlaces = rule.pendingPlaces;
    }
    rule.pendingPlaces = bestPlaces;
    if (!best) return Refuse(why, "|all of registry path parts no key at its roots holds");
    return best;
}

std::optional<Anchor> AnchorEntries(RuleContext& rule, const SortedClause& sorted, size_t anchor,
                                    bool narrowed, Refusal* why) {
    const FieldCondition& c = *sorted.targets[anchor];
    const bool registry = c.field == "TargetObject";
    rule.pendingPlaces.clear();
    std::optional<Anchor> out;
    if (Has(c, "all") && c.values.size() > 1) {
        if (!registry) return Refuse(why, "|all (several parts of one name)");
        out = AllPartsRegistryAnchor(rule, sorted, c, why);
    } else {
        out.emplace();
        for (const Value& v : c.values) {
            Refusal one;
            auto some =
                registry ? RegistryAnchor(rule, c, v, RegistryKind(rule.category, sorted.eventType),
                                          narrowed, !sorted.details.empty(), &one)
                         : FileAnchor(c, v, narrowed, &one, &out->systemDriveOnly);
            if (some)
                out->entries.insert(out->entries.end(), some->begin(), some->end());
            else
                out->missed.push_back(
                    {&v, one.reason.empty() ? std::string(kNamesNothingReason) : one.reason});
        }
        if (out->entries.empty()) return Refuse(why, out->missed.front().second);
    }
    if (out) out->places = rule.pendingPlaces;
    return out;
}

// The anchor the entries hang on: the first condition whose values all name
// their objects, else the one that names the most of them.
std::optional<Anchor> ChooseAnchor(RuleContext& rule, const SortedClause& sorted, bool narrowed,
                                   size_t* index, Refusal* why) {
    std::optional<Anchor> best;
    for (size_t anchor = 0; anchor < sorted.targets.size(); ++anchor) {
        auto one = AnchorEntries(rule, sorted, anchor, narrowed, why);
        if (!one) continue;
        if (!best || one->missed.size() < best->missed.size())
            best = std::move(one), *index = anchor;
        if (best->missed.empty()) break;
    }
    return best;
}

// A clause that one simple target condition (with at most a contained
// data text) says whole: converted as entries without conditions.
bool Simple(const SortedClause& sorted, const Clause& clause) {
    if (sorted.targets.size() != 1 || sorted.details.size() > 1 || !sorted.programFields.empty() ||
        !clause.exclusions.empty())
        return false;
    if (Has(*sorted.targets[0], "all") && sorted.targets[0]->values.size() > 1) return false;
    // Data that must hold all of several texts: each would be an entry of
    // its own, found where any one of them is.
    if (!sorted.details.empty() && Has(*sorted.details[0], "all") &&
        sorted.details[0]->values.size() > 1)
        return false;
    if (sorted.details.empty() || Has(*sorted.details[0], "contains")) return true;
    for (const Value& v : sorted.details[0]->values)
        if (v.text.rfind("DWORD (", 0) != 0) return false;
    return true;
}

// The several-condition form: one target condition names the entries, the
// others (and the data's) become their conditions, the exclusions theirs.
// *missed counts the anchor's values left out that name nothing by
// themselves.
std::optional<std::string> AddConditional(RuleContext& rule, const SortedClause& sorted,
                                          const Clause& clause, int* missed) {
    const std::string targetName = TargetField(rule.category);
    const bool registry = targetName == "TargetObject";
    const bool narrowed = sorted.targets.size() + sorted.details.size() > 1;
    Refusal why;
    std::string dropped;
    auto exclusions = Exclusions(clause, targetName, &dropped, &why);
    if (!exclusions) return why.reason;
    // Exclusions alone never narrow a kind of file or all values of a key
    // enough: what they leave is still every other one.
    size_t index = 0;
    auto anchor = ChooseAnchor(rule, sorted, narrowed, &index, &why);
    if (!anchor) return why.reason.empty() ? std::string(kNamesNothingReason) : why.reason;
    std::vector<Alternatives> requirements;
    for (size_t i = 0; i < sorted.targets.size(); ++i)
        if ((i != index || anchor->allParts) &&
            !Requirements(*sorted.targets[i], registry, &requirements, &why, true))
            return why.reason;
    for (const FieldCondition* d : sorted.details)
        if (!Requirements(*d, registry, &requirements, &why, true)) return why.reason;
    const bool unchecked = !sorted.programFields.empty() || !dropped.empty();
    for (const Entry& e : anchor->entries)
        if (unchecked && !Specific(e, rule.stock) && !NamedByConditions(e, requirements))
            return "condition on " +
                   (sorted.programFields.empty() ? dropped : sorted.programFields[0]) +
                   " cannot be expressed";
    for (const Entry& e : anchor->entries) {
        Entry full = e;
        full.conditions.insert(full.conditions.end(), requirements.begin(), requirements.end());
        full.exclusions = *exclusions;
        AddEntry(rule.definition, std::move(full));
    }
    if (unchecked && rule.definition->description.find(kProgramNote) == std::string::npos)
        rule.definition->description += kProgramNote;
    rule.rootPlaces.insert(anchor->places.begin(), anchor->places.end());
    rule.systemDriveOnly = rule.systemDriveOnly || anchor->systemDriveOnly;
    for (const auto& [value, reason] : anchor->missed)
        LeaveOut(rule, value->line, value->text, reason);
    *missed = static_cast<int>(anchor->missed.size());
    return std::nullopt;
}

// RE2 has no look-ahead: a path holding all parts is one of their orders.
constexpr size_t kMaxAllParts = 4;

std::string QuotedLiteral(std::string_view text) {
    std::string out;
    for (char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            static_cast<unsigned char>(c) >= 0x80)
            out += c;
        else
            out += std::string("\\") + c;
    }
    return out;
}

// What follows part `before` for `after` to come next: anything, or where
// the end of `before` is the start of `after` ("\Temp\" and "\lsass"
// share the backslash), the rest of `after` at once.
std::string Next(std::string_view before, std::string_view after) {
    std::string out = ".*" + QuotedLiteral(after);
    for (size_t k = 1; k < after.size() && k <= before.size(); ++k)
        if (EqualsNoCase(before.substr(before.size() - k), after.substr(0, k)))
            out += "|" + QuotedLiteral(after.substr(k));
    return out.find('|') == std::string::npos ? out : "(?:" + out + ")";
}

// "(?:a.*b.*end|b.*a.*end)$": the parts in every order, each after the one
// before, and the end last (with no end, anywhere in the path).
std::string EveryOrder(std::vector<std::string> parts, std::string_view end) {
    std::sort(parts.begin(), parts.end());
    std::string out;
    do {
        std::string one = QuotedLiteral(parts[0]);
        for (size_t i = 1; i < parts.size(); ++i) one += Next(parts[i - 1], parts[i]);
        out += (out.empty() ? "" : "|") + one + (end.empty() ? "" : Next(parts.back(), end));
    } while (std::next_permutation(parts.begin(), parts.end()));
    return (parts.size() > 1 ? "(?:" + out + ")" : out) + (end.empty() ? "" : "$");
}

// A file's path that holds several parts (`|contains|all`) and may end with
// a text (an `|endswith`, else a part that is an extension): path
// expressions of the parts in every order before that end, which find a part of what
// the rule matches (a path whose parts overlap is missed). False when the
// clause is not of that form; then *problem is empty, or says why the form
// cannot be stated.
bool AddAllPartsExpressions(RuleContext& rule, const SortedClause& sorted, const Clause& clause,
                            std::string* problem) {
    if (!sorted.details.empty() || !sorted.programFields.empty() || !clause.exclusions.empty() ||
        sorted.targets.empty() || sorted.targets[0]->field != "TargetFilename")
        return false;
    const FieldCondition* all = nullptr;
    const FieldCondition* end = nullptr;
    for (const FieldCondition* t : sorted.targets) {
        const bool isAll = Has(*t, "all") && Has(*t, "contains") && t->modifiers.size() == 2;
        const bool isEnd = Has(*t, "endswith") && t->modifiers.size() == 1;
        if (isAll && !all)
            all = t;
        else if (isEnd && !end)
            end = t;
        else
            return false;
    }
    if (!all || all->values.size() < 2) return false;
    std::vector<std::string> parts, ends;
    for (const Value& v : all->values) parts.push_back(v.text);
    if (end) {
        for (const Value& v : end->values) ends.push_back(v.text);
    } else {
        auto extension = std::find_if(parts.begin(), parts.end(), [](const std::string& p) {
            return p.size() >= 2 && p.size() <= 8 && p[0] == '.' &&
                   p.find_first_of("\\.", 1) == std::string::npos;
        });
        if (extension == parts.end()) {
            ends.push_back("");
        } else {
            ends.push_back(*extension);
            parts.erase(extension);
        }
    }
    for (const auto* texts : {&parts, &ends})
        for (const std::string& t : *texts)
            if ((t.empty() && texts == &parts) || t.find_first_of("*?/") != std::string::npos ||
                HasControlCharacter(t))
                return (*problem = "|all of parts with wildcards or control characters"), true;
    if (parts.size() > kMaxAllParts)
        return (*problem = "|all of more than 4 parts (as many orders as a path expression holds)"),
               true;
    if (ends.size() > kMaxAlternatives) return (*problem = "more than 8 alternatives"), true;
    std::vector<Entry> entries;
    for (const std::string& e : ends) {
        Refusal why;
        auto entry = FileExpressionEntry(EveryOrder(parts, e), "", &why);
        if (!entry) return (*problem = why.reason), true;
        entries.push_back(std::move(*entry));
    }
    for (Entry& e : entries) AddEntry(rule.definition, std::move(e));
    return true;
}

void AddClause(RuleContext& rule, const Clause& clause) {
    const std::string targetName = TargetField(rule.category);
    SortedClause sorted = Sort(clause.positive, targetName);
    std::string problem = sorted.problem;
    int values = 0;
    for (const FieldCondition* t : sorted.targets) values += static_cast<int>(t->values.size());
    bool allParts = false;
    if (problem.empty()) allParts = AddAllPartsExpressions(rule, sorted, clause, &problem);
    if (allParts) {
        if (problem.empty()) rule.report->indicatorsConverted += values;
    } else if (problem.empty() && !Simple(sorted, clause)) {
        int missed = 0;
        if (auto refused = AddConditional(rule, sorted, clause, &missed))
            problem = *refused;
        else
            rule.report->indicatorsConverted += values - missed;
    }
    for (const FieldCondition& c : clause.positive) {
        if (c.field != targetName) continue;
        rule.report->indicatorsRead += static_cast<int>(c.values.size());
        if (!problem.empty())
            for (const Value& v : c.values) LeaveOut(rule, v.line, v.text, problem);
    }
    if (!problem.empty()) {
        if (sorted.targets.empty())
            LeaveOut(rule, clause.positive.empty() ? 0 : clause.positive[0].line, "", problem);
        return;
    }
    if (allParts || !Simple(sorted, clause)) return;
    const FieldCondition* details = sorted.details.empty() ? nullptr : sorted.details[0];
    for (const Value& v : sorted.targets[0]->values) {
        if (targetName == "TargetObject")
            AddRegistryTarget(rule, *sorted.targets[0], v, details,
                              RegistryKind(rule.category, sorted.eventType));
        else
            AddFileTarget(rule, *sorted.targets[0], v);
    }
}

// --- Rule texts ---

std::string Tactic(const YAML::Node& tags) {
    static const std::pair<std::string_view, std::string_view> kTactics[] = {
        {"attack.initial-access", "Initial Access"},
        {"attack.execution", "Execution"},
        {"attack.persistence", "Persistence"},
        {"attack.privilege-escalation", "Privilege Escalation"},
        {"attack.defense-evasion", "Defense Evasion"},
        {"attack.stealth", "Defense Evasion"},
        {"attack.credential-access", "Credential Access"},
        {"attack.discovery", "Discovery"},
        {"attack.lateral-movement", "Lateral Movement"},
        {"attack.collection", "Collection"},
        {"attack.command-and-control", "Command and Control"},
        {"attack.exfiltration", "Exfiltration"},
        {"attack.impact", "Impact"},
    };
    if (tags && tags.IsSequence())
        for (const YAML::Node& tag : tags)
            for (const auto& [name, tactic] : kTactics)
                if (tag.IsScalar() && tag.Scalar() == name) return std::string(tactic);
    return "Trojan";
}

std::string Authors(const YAML::Node& author) {
    if (author && author.IsSequence()) {
        std::string all;
        for (const YAML::Node& a : author) all += (all.empty() ? "" : ", ") + Text(a);
        return all;
    }
    return Text(author);
}

Definition RuleTexts(const YAML::Node& rule, const std::string& relative, const SourceInfo& info) {
    Definition d;
    d.name = PlainName(rule["title"] && rule["title"].IsScalar() ? rule["title"].Scalar() : "");
    if (d.name.empty()) d.name = PlainName(relative);
    d.category = Tactic(rule["tags"]);
    d.danger =
        DangerOfSigmaLevel(rule["level"] && rule["level"].IsScalar() ? rule["level"].Scalar() : "");
    d.url = info.url.empty() ? relative : info.url + "/" + relative;
    std::string description = Text(rule["description"]);
    while (!description.empty() && (description.back() == '\n' || description.back() == ' '))
        description.pop_back();
    std::string authors = Authors(rule["author"]);
    if (authors.empty()) authors = info.author;
    // The sentences that follow start after a full stop, which many rules'
    // descriptions leave out.
    if (!description.empty() &&
        std::string_view(".!?").find(description.back()) == std::string_view::npos)
        description += '.';
    d.description = description;
    if (!authors.empty()) d.description += " Author: " + authors + ".";
    d.description += " Sigma rule " + Text(rule["id"]) + ": " + d.url + ".";
    if (!info.license.empty()) d.description += " " + info.license;
    return d;
}

// The rule matches a registry path written without its root below any key;
// the entries look in the places its first key lives.
void AddPlacesNote(const std::set<std::string>& places, Definition* definition) {
    if (places.empty()) return;
    std::string where;
    for (const std::string& p : places) where += (where.empty() ? "" : "; ") + p;
    definition->description +=
        " The rule matches its registry path below any key; it is looked for below " + where +
        " only.";
}

void AddSystemDriveNote(bool systemDriveOnly, Definition* definition) {
    if (systemDriveOnly)
        definition->description +=
            " The rule matches its file path below the root of any drive; it is looked for on "
            "the system drive only.";
}

bool ComparesDwords(const Definition& definition) {
    for (const Entry& e : definition.entries)
        for (const auto& any : e.conditions)
            for (const Condition& c : any)
                if (c.dword) return true;
    return false;
}

// --- One rule file ---

constexpr std::string_view kReadCategories[] = {"registry_set", "registry_add", "registry_event",
                                                "file_event"};

// Counts the target values of a rule left out whole.
int TargetValueCount(const YAML::Node& detection) {
    int count = 0;
    for (const auto& pair : detection) {
        auto countMap = [&](const YAML::Node& map) {
            for (const auto& field : map) {
                std::string key = field.first.as<std::string>();
                if (key.rfind("TargetObject", 0) != 0 && key.rfind("TargetFilename", 0) != 0)
                    continue;
                count += field.second.IsSequence() ? static_cast<int>(field.second.size()) : 1;
            }
        };
        if (pair.second.IsMap()) countMap(pair.second);
        if (pair.second.IsSequence())
            for (const YAML::Node& item : pair.second)
                if (item.IsMap()) countMap(item);
    }
    return std::max(count, 1);
}

void ImportRule(const YAML::Node& rule, const std::string& relative, const SourceInfo& info,
                const CleanWindows* stock, Result* result) {
    Report& report = result->report;
    const std::string id = Text(rule["id"]);
    const std::string where = relative + " (rule " + (id.empty() ? "without id" : id) + ")";
    const YAML::Node logsource = rule["logsource"];
    const YAML::Node detection = rule["detection"];
    ++report.threatsRead;
    auto skip = [&](const std::string& why, int indicators) {
        report.indicatorsRead += indicators;
        report.leftOut.push_back({where, Text(rule["title"]), why});
    };
    if (!detection || !detection.IsMap()) return skip("rule without a detection", 0);
    const std::string product = logsource ? Text(logsource["product"]) : "";
    const std::string category = logsource ? Text(logsource["category"]) : "";
    int targets = 1;
    try {
        targets = TargetValueCount(detection);
    } catch (const YAML::Exception& error) {
        return skip(std::string("malformed rule: ") + error.what(), 1);
    }
    if (product != "windows") return skip("not a Windows rule (" + product + ")", targets);
    if (std::find(std::begin(kReadCategories), std::end(kReadCategories), category) ==
        std::end(kReadCategories))
        return skip("category " + category + " leaves no trace to look for", targets);
    Selections selections;
    std::vector<std::string> conditions;
    try {
        for (const auto& pair : detection) {
            std::string key = pair.first.as<std::string>();
            if (key == "condition") {
                if (pair.second.IsSequence())
                    for (const YAML::Node& c : pair.second) conditions.push_back(Text(c));
                else
                    conditions.push_back(Text(pair.second));
            } else if (key != "timeframe") {
                selections[key] = ReadSelection(pair.second);
            }
        }
        if (conditions.empty()) throw RuleError{"detection without a condition"};
        Clauses all;
        for (const std::string& c : conditions) {
            Clauses part = ReadCondition(c, selections);
            all.insert(all.end(), part.begin(), part.end());
        }
        Definition definition = RuleTexts(rule, relative, info);
        RuleContext context{relative, category, &definition, &report, stock};
        for (const Clause& clause : all) AddClause(context, clause);
        if (definition.entries.empty()) return;
        AddPlacesNote(context.rootPlaces, &definition);
        AddSystemDriveNote(context.systemDriveOnly, &definition);
        // Several settings such numbers test are stock values of some
        // Windows (a default policy): left for the user to judge unless the
        // rule rates its finding high.
        if (ComparesDwords(definition) && definition.danger != "High" &&
            definition.danger != "Critical")
            definition.uncheckedByDefault = true;
        ++report.threatsConverted;
        result->definitions.push_back(std::move(definition));
    } catch (const RuleError& error) {
        skip(error.reason, targets);
    } catch (const YAML::Exception& error) {
        skip(std::string("malformed rule: ") + error.what(), targets);
    }
}

// The rule files below `folder`, without following links to folders. A
// folder that cannot be listed is reported and the others are still read.
void ListRuleFiles(const std::filesystem::path& folder, std::vector<std::filesystem::path>* files,
                   Report* report) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator it(folder, error), end;
    for (; !error && it != end; it.increment(error)) {
        const fs::path& p = it->path();
        std::error_code kind;
        if (it->is_directory(kind) && !it->is_symlink(kind))
            ListRuleFiles(p, files, report);
        else if (it->is_regular_file(kind) && (p.extension() == ".yml" || p.extension() == ".yaml"))
            files->push_back(p);
    }
    if (error) {
        ++report->filesSkipped;
        report->leftOut.push_back({folder.string(), "", "cannot list: " + error.message()});
    }
}

}  // namespace

void ImportSigma(const std::filesystem::path& folder, const SourceInfo& info, Result* result,
                 const CleanWindows* stock) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    std::error_code error;
    ListRuleFiles(folder, &files, &result->report);
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        const std::string relative = fs::relative(file, folder, error).generic_string();
        std::vector<YAML::Node> documents;
        std::string text, why;
        if (!ReadSourceFile(file.string(), &text, &why)) {
            ++result->report.filesSkipped;
            result->report.leftOut.push_back({relative, "", why});
            continue;
        }
        try {
            documents = YAML::LoadAll(text);
        } catch (const YAML::Exception& e) {
            ++result->report.filesSkipped;
            result->report.leftOut.push_back(
                {relative, "", std::string("malformed YAML: ") + e.what()});
            continue;
        }
        ++result->report.filesRead;
        for (const YAML::Node& rule : documents) {
            if (!rule.IsMap()) {
                result->report.leftOut.push_back({relative, "", "a document that is no rule"});
                continue;
            }
            ImportRule(rule, relative, info, stock, result);
        }
    }
}

}  // namespace tolvane::import
