// What the definitions importer makes of a source of threat intelligence:
// definitions in the program's own terms, and a report of every indicator
// that could not be expressed exactly, with where it stands in the source.
//
// Texts are in the program's 8-bit code page (1252). Nothing here throws;
// a bad source file or rule is recorded and skipped as a whole.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tolvane::import {

enum class EntryKind { Directory, File, RegistryKey, RegistryValue, FileExpression };

// A test of an entry's object besides its name (definitions/entry_conditions.h):
// of its path or, for a registry value, of its data.
struct Condition {
    bool onData = false;
    std::string how;   // "equals", "contains", "startswith" or "endswith"
    std::string text;  // a file path's placeholders kept; a registry path without its root
    // A REG_DWORD's number (onData, "equals", text in decimal): ON="dword".
    bool dword = false;

    bool operator==(const Condition& other) const = default;
    auto operator<=>(const Condition& other) const = default;
};

// One entry as the definitions markup writes it: the NAME attribute of a
// DIR, FILE, REGKEY or REGVALUE element (a value's data after ":@:"), or
// the MATCH attribute of an EXPRESSION.
struct Entry {
    EntryKind kind = EntryKind::File;
    std::string text;
    // A registry value whose name after the last backslash is a wildcard
    // pattern ("Run\\ntkd*"): written with MATCH="wildcard".
    bool namePattern = false;
    // Each holds when any of its conditions does; all must hold, and an
    // object for which all of one exclusion's hold is not listed. An entry
    // with either is written in CONDITIONAL.
    std::vector<std::vector<Condition>> conditions = {};
    std::vector<std::vector<std::vector<Condition>>> exclusions = {};
    // A FileExpression's exclusion (empty for none); text is its expression.
    std::string exclusion = {};

    bool operator==(const Entry& other) const = default;
    auto operator<=>(const Entry& other) const = default;
};

struct Definition {
    std::string name;
    std::string category;
    std::string danger;  // Low, Medium, High or Critical
    std::string description;
    std::string url;
    std::vector<Entry> entries;            // in the order found, without repeats
    std::vector<std::string> hashes = {};  // lower-case hex MD5, SHA-1 or SHA-256, no repeats
    std::vector<std::string> rules = {};   // YARA rule identifiers of Result::yaraRules
    // Listed unchecked whatever the danger (DANGER CHECKED="no").
    bool uncheckedByDefault = false;
    // The entries AddEntry has added, for its check of repeats in
    // logarithmic time (a definition may have many thousands).
    std::set<Entry> added = {};
};

// Where an indicator stands: a file and line, or a rule's id.
struct LeftOut {
    std::string where;
    std::string indicator;
    std::string reason;
};

// The indicators of one kind of source, as Report counts them.
struct SourceCounts {
    int read = 0;
    int converted = 0;
};

struct Report {
    int filesRead = 0;
    int filesSkipped = 0;  // unreadable or malformed: nothing taken from them
    int threatsRead = 0;   // rules, heading blocks, events
    int threatsConverted = 0;
    int indicatorsRead = 0;
    int indicatorsConverted = 0;
    int entriesOnCleanMachines = 0;  // converted, then left out by the clean list
    // indicatorsRead and indicatorsConverted by the kind of source ("sigma",
    // "filename-iocs", "misp", "hashes", "yara"), each source's share summed.
    std::map<std::string, SourceCounts> bySource = {};
    std::vector<LeftOut> leftOut;  // indicators, rules and files, in source order

    // Counts of leftOut by reason.
    std::map<std::string, int> ByReason() const;
};

struct Result {
    std::vector<Definition> definitions;
    Report report;
    // The YARA rules kept, as source text that compiles on its own (each
    // rule file's imports before its rules); tolvane-db pack compiles it.
    std::string yaraRules = {};
};

// Adds an entry unless the definition already holds it.
void AddEntry(Definition* definition, Entry entry);

}  // namespace tolvane::import
