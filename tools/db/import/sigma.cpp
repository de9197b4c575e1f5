// Sigma rules to definitions. A rule's detection is a condition over named
// selections; a selection is a list of field conditions that must all hold
// (a list of such maps: any of them). Only conditions made of selections
// joined by "and", "or", "1 of" and "all of" are read: an exclusion ("not")
// cannot be expressed by a list of traces. Each conjunction of field
// conditions becomes entries when every field in it is one the entries can
// say (the registry path and its data, the created file's path).
#include "tools/db/import/sigma.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <set>

#include "base/codepage.h"
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
};

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
        }
    } else if (value.IsScalar()) {
        condition.values.push_back({Text(value), Line(value)});
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

// Every way the conjunctions of a list of terms combine ("and").
std::vector<Conjunction> Product(const std::vector<Conjunction>& a,
                                 const std::vector<Conjunction>& b) {
    std::vector<Conjunction> out;
    for (const Conjunction& x : a)
        for (const Conjunction& y : b) {
            Conjunction both = x;
            both.insert(both.end(), y.begin(), y.end());
            out.push_back(std::move(both));
        }
    return out;
}

std::vector<Conjunction> Term(const std::vector<std::string>& tokens, size_t* at,
                              const Selections& selections) {
    const std::string& first = tokens[*at];
    if ((first == "1" || first == "any" || first == "all") && *at + 2 < tokens.size() + 1 &&
        *at + 1 < tokens.size() && tokens[*at + 1] == "of") {
        if (*at + 2 >= tokens.size()) throw RuleError{"condition ends after 'of'"};
        std::vector<std::string> names = NamesMatching(selections, tokens[*at + 2]);
        *at += 3;
        if (names.empty()) throw RuleError{"condition names no selection"};
        std::vector<Conjunction> result;
        if (first == "all") {
            result = {{}};
            for (const std::string& n : names) {
                result = Product(result, selections.at(n));
                // Each name multiplies the ways: stopped before they grow
                // past what a rule can mean.
                if (result.size() > 256) throw RuleError{"condition too large"};
            }
        } else {
            for (const std::string& n : names)
                result.insert(result.end(), selections.at(n).begin(), selections.at(n).end());
        }
        return result;
    }
    auto found = selections.find(first);
    if (found == selections.end()) throw RuleError{"condition names an unknown selection"};
    ++*at;
    return found->second;
}

// "A and B or C": "and" binds closer, as in Sigma.
std::vector<Conjunction> Condition(const std::string& text, const Selections& selections) {
    std::vector<std::string> tokens = Tokens(text);
    for (const std::string& t : tokens) {
        if (t == "not") throw RuleError{"exclusion in the condition (not ...)"};
        if (t == "(" || t == ")") throw RuleError{"condition with parentheses"};
        if (t == "|") throw RuleError{"aggregation in the condition"};
    }
    if (tokens.empty()) throw RuleError{"empty condition"};
    std::vector<Conjunction> result;
    size_t at = 0;
    std::vector<Conjunction> product = Term(tokens, &at, selections);
    while (at < tokens.size()) {
        const std::string op = tokens[at++];
        if (at >= tokens.size()) throw RuleError{"condition ends with an operator"};
        std::vector<Conjunction> next = Term(tokens, &at, selections);
        if (op == "and") {
            product = Product(product, next);
        } else if (op == "or") {
            result.insert(result.end(), product.begin(), product.end());
            product = std::move(next);
        } else {
            throw RuleError{"unknown word in the condition: " + op};
        }
        if (result.size() + product.size() > 256) throw RuleError{"condition too large"};
    }
    result.insert(result.end(), product.begin(), product.end());
    return result;
}

// --- Conjunctions to entries ---

struct RuleContext {
    std::string where;  // file, for places
    std::string category;
    Definition* definition;
    Report* report;
};

bool Has(const FieldCondition& c, std::string_view modifier) {
    return std::find(c.modifiers.begin(), c.modifiers.end(), modifier) != c.modifiers.end();
}

void LeaveOut(RuleContext& rule, int line, const std::string& indicator, const std::string& why) {
    rule.report->leftOut.push_back({rule.where + ":" + std::to_string(line), indicator, why});
}

// The modifier of a field condition that cannot be expressed, if any.
std::optional<std::string> Unexpressible(const FieldCondition& c) {
    for (const std::string& m : c.modifiers) {
        // A file's path by expression is a path expression (AddFileTarget).
        if (m == "re" && c.field == "TargetFilename") continue;
        if (m == "re") return "|re (a regular expression over the whole event)";
        if (m == "all" && c.values.size() > 1) return "|all (several parts of one name)";
        bool supported = std::find(std::begin(kSupportedModifiers), std::end(kSupportedModifiers),
                                   m) != std::end(kSupportedModifiers);
        if (!supported) return "modifier |" + m + " cannot be expressed";
    }
    return std::nullopt;
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
        auto key = RegistryPathWithoutRoot(value.text, false, &why);
        if (!key) return LeaveOut(rule, value.line, value.text, why.reason);
        AddEntry(rule.definition, {EntryKind::RegistryKey, *key});
        ++rule.report->indicatorsConverted;
        return;
    }
    std::vector<std::string> patterns{""};
    if (details) {
        patterns.clear();
        DataMatch match = Has(*details, "contains")     ? DataMatch::Contains
                          : Has(*details, "startswith") ? DataMatch::StartsWith
                          : Has(*details, "endswith")   ? DataMatch::EndsWith
                                                        : DataMatch::Equals;
        for (const Value& d : details->values) {
            auto pattern = DataPattern(d.text, match, &why);
            if (!pattern)
                LeaveOut(rule, d.line, value.text + " = " + d.text, why.reason);
            else
                patterns.push_back(*pattern);
        }
        if (patterns.empty()) return;
        wanted = Wanted::Value;
    }
    bool converted = false;
    if (namePrefix) wanted = Wanted::Value;
    if (wanted != Wanted::Value) {
        auto key = RegistryPathWithoutRoot(value.text, false, &why);
        if (key) AddEntry(rule.definition, {EntryKind::RegistryKey, *key}), converted = true;
    }
    if (wanted != Wanted::Key) {
        auto path = RegistryPathWithoutRoot(value.text, true, &why);
        auto name = path ? RegistryValueText(*path, &why) : std::nullopt;
        if (name && namePrefix && name->find_first_of("*?") != std::string::npos) {
            why.reason = "wildcard in a value name";
            name.reset();
        }
        for (const std::string& p : patterns) {
            if (!name) break;
            // "\\(Default)" names the default value alone.
            std::string text = namePrefix && name->back() != '\\' ? *name + "*" : *name;
            AddEntry(rule.definition,
                     {EntryKind::RegistryValue, p.empty() ? text : text + ":@:" + p, namePrefix});
            converted = true;
        }
    }
    if (converted)
        ++rule.report->indicatorsConverted;
    else
        LeaveOut(rule, value.line, value.text, why.reason);
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
    PathFragment fragment = SigmaFragment(target, value.text);
    auto entry = PathEntry(fragment, &why);
    if (!entry && why.reason == kPartialPathReason) entry = FragmentExpressionEntry(fragment, &why);
    if (!entry) return LeaveOut(rule, value.line, value.text, why.reason);
    AddEntry(rule.definition, *entry);
    ++rule.report->indicatorsConverted;
}

const char* TargetField(const std::string& category) {
    return category.rfind("registry_", 0) == 0 ? "TargetObject" : "TargetFilename";
}

void AddConjunction(RuleContext& rule, const Conjunction& conjunction) {
    const std::string targetName = TargetField(rule.category);
    const FieldCondition *target = nullptr, *details = nullptr, *eventType = nullptr;
    std::string problem;
    for (const FieldCondition& c : conjunction) {
        const FieldCondition** slot = c.field == targetName ? &target
                                      : (c.field == "Details" && targetName == "TargetObject")
                                          ? &details
                                      : c.field == "EventType" ? &eventType
                                                               : nullptr;
        if (!slot)
            problem = "condition on " + c.field + " cannot be expressed";
        else if (*slot)
            problem = "several conditions on " + c.field;
        else if (auto bad = Unexpressible(c))
            problem = *bad;
        else
            *slot = &c;
        if (!problem.empty()) break;
    }
    if (!target && problem.empty()) problem = "no condition on " + targetName;
    for (const FieldCondition& c : conjunction) {
        if (c.field != targetName) continue;
        rule.report->indicatorsRead += static_cast<int>(c.values.size());
        if (!problem.empty())
            for (const Value& v : c.values) LeaveOut(rule, v.line, v.text, problem);
    }
    if (!problem.empty()) {
        if (!target) LeaveOut(rule, conjunction.empty() ? 0 : conjunction[0].line, "", problem);
        return;
    }
    for (const Value& v : target->values) {
        if (targetName == "TargetObject")
            AddRegistryTarget(rule, *target, v, details, RegistryKind(rule.category, eventType));
        else
            AddFileTarget(rule, *target, v);
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

std::string Danger(const std::string& level) {
    if (level == "critical") return "Critical";
    if (level == "high") return "High";
    if (level == "medium") return "Medium";
    return "Low";
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
    d.danger = Danger(rule["level"] && rule["level"].IsScalar() ? rule["level"].Scalar() : "");
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
                Result* result) {
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
        std::vector<Conjunction> all;
        for (const std::string& c : conditions) {
            std::vector<Conjunction> part = Condition(c, selections);
            all.insert(all.end(), part.begin(), part.end());
        }
        Definition definition = RuleTexts(rule, relative, info);
        RuleContext context{relative, category, &definition, &report};
        for (const Conjunction& conjunction : all) AddConjunction(context, conjunction);
        if (definition.entries.empty()) return;
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

void ImportSigma(const std::filesystem::path& folder, const SourceInfo& info, Result* result) {
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
            ImportRule(rule, relative, info, result);
        }
    }
}

}  // namespace tolvane::import
