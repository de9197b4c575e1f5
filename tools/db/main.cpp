// tolvane-db: packs markup into the database container and back, shows
// a definitions database as the program loads it, and signs update
// descriptions.
//
// Exit codes: 0 done, 1 failed (a file, a load, a machine), 2 bad usage.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "base/codepage.h"
#include "base/program_version.h"
#include "definitions/container.h"
#include "definitions/entry_conditions.h"
#include "definitions/load_definitions.h"
#include "definitions/markup_parser.h"
#include "definitions/path_expressions.h"
#include "definitions/pattern_match.h"
#include "definitions/placeholders.h"
#include "definitions/threat_database.h"
#include "definitions/yara_compiler.h"
#include "discovery/open_machine.h"
#include "machine/machine.h"
#include "tools/db/cli.h"
#include "tools/db/dump_scripts.h"
#include "tools/db/host_files.h"
#include "tools/db/import/command.h"
#include "tools/db/signing.h"
#include "tools/db/startup_locations.h"

namespace tolvane {
namespace {

using namespace db_tool;

constexpr const char* kToolHelp =
    "Usage: tolvane-db COMMAND [ARGUMENTS]\n"
    "\n"
    "The definitions and script databases (database.db, script.db): a 4-byte\n"
    "length, then the markup compressed with zlib and scrambled.\n"
    "\n"
    "Commands:\n"
    "  pack MARKUP.xml OUT.db        put markup (at most 5,242,880 bytes) into a container\n"
    "  unpack IN.db [OUT.xml]        take the markup out of a container (to stdout without OUT)\n"
    "  dump IN.db [--machine PREFIX] [--json]\n"
    "                                the definitions as the program loads them\n"
    "  dump --scripts IN.db [--json] the scripts of a script database\n"
    "  match PATTERN TEXT            the file and folder wildcard rule: true or false\n"
    "  match --expression EXPRESSION [--except EXCLUSION] PATH\n"
    "  match --conditions CONDITIONS PATH [DATA]\n"
    "                                a path expression, an entry's conditions: true or false\n"
    "  lookup IN.db --machine PREFIX (--file WINPATH | --folder WINPATH)\n"
    "                                the definition the scan gives a file or folder\n"
    "  import SOURCE... -o OUT.xml [--report REPORT.json]\n"
    "                                Sigma rules, file-name indicators, MISP events\n"
    "                                to definitions markup\n"
    "  startup-locations RECMD_BATCH_FOLDER ARTIFACTS_YAML -o OUT.json\n"
    "                                the table of auto-start locations\n"
    "  keygen PRIVATE.pem PUBLIC.pem a new key pair for signing update descriptions\n"
    "  sign PRIVATE.pem FILE [--append]\n"
    "                                sign an update description: writes FILE.sig\n"
    "  verify FILE [--key PUBLIC.pem] check FILE.sig as the program does\n"
    "\n"
    "'tolvane-db COMMAND --help' describes one command.\n"
    "Exit codes: 0 done, 1 failed, 2 bad usage.\n";

constexpr const char* kPackHelp =
    "Usage: tolvane-db pack MARKUP.xml OUT.db [--rules RULES.yar]\n"
    "\n"
    "Compresses MARKUP.xml with zlib, scrambles the stream and writes it to\n"
    "OUT.db behind the text's length (4 bytes, little-endian). The markup must\n"
    "not exceed 5,242,880 bytes. OUT.db is replaced atomically.\n"
    "With --rules the YARA rules are compiled (externals filename, filepath,\n"
    "extension, filetype, owner declared) and stored compiled after the markup,\n"
    "so the program never compiles them; at most 64 MiB compiled.\n";

constexpr const char* kUnpackHelp =
    "Usage: tolvane-db unpack IN.db [OUT.xml]\n"
    "\n"
    "Writes the markup text held by IN.db to OUT.xml, or to standard output.\n"
    "The text ends at its first NUL byte, as the program reads it.\n";

constexpr const char* kDumpHelp =
    "Usage: tolvane-db dump IN.db [--machine PREFIX] [--json]\n"
    "\n"
    "Loads IN.db as the program does (container, line ends, markup, definitions)\n"
    "and prints version, date, registryEntryCount and every definition in\n"
    "document order with all its fields and entries. With --machine the path\n"
    "placeholders (%windir%, %temp%, ...) are resolved against that Wine prefix;\n"
    "without it they are left as written. --json prints one JSON object.\n"
    "A load failure names the step that failed and exits with 1.\n";

constexpr const char* kMatchHelp =
    "Usage: tolvane-db match PATTERN TEXT\n"
    "       tolvane-db match --expression EXPRESSION [--except EXCLUSION] PATH\n"
    "       tolvane-db match --conditions CONDITIONS PATH [DATA]\n"
    "\n"
    "Prints true or false: whether PATTERN matches TEXT by the rule of the file\n"
    "and folder lookups ('*' stops at '.', '/' and '\\', '?' is one character\n"
    "other than a separator, '/' and '\\' match each other, a backquote makes\n"
    "the next character literal, letters compare without regard to case).\n"
    "With --expression: whether the path expression (an EXPRESSION's MATCH, a\n"
    "regular expression) matches PATH and its EXCEPT, if given, does not; PATH\n"
    "is a file's Windows path, or a registry path without its root.\n"
    "With --conditions: whether an object with PATH (a registry path with one\n"
    "leading backslash) and DATA (a value's) meets CONDITIONS, the IF, ANY and\n"
    "UNLESS children of a CONDITIONAL entry, placeholders left as written.\n"
    "An expression or conditions the program would not read fail with 1.\n";

constexpr const char* kLookupHelp =
    "Usage: tolvane-db lookup IN.db --machine PREFIX (--file WINPATH | --folder WINPATH)\n"
    "\n"
    "Loads IN.db with the placeholders of the Wine prefix PREFIX and prints the\n"
    "name of the definition that the file (MatchFile: patterns and sizes) or the\n"
    "folder (MatchFolder: patterns, the folder must exist) gives, or 'none'.\n";

// Host text of the program's 8-bit (code page 1252) text.
std::string Show(std::string_view text) {
    return Cp1252ToUtf8(text);
}

// The compiled-rules member of the rules source at `path`; prints why not.
bool CompiledRulesMember(const std::string& path, std::string* member) {
    std::string source, why;
    if (!ReadHostFile(path, kInputFileLimit, &source, &why)) {
        std::cerr << "tolvane-db: " << why << "\n";
        return false;
    }
    YaraRules rules;
    if (!CompileYaraRules(source, &rules, &why)) {
        std::cerr << "tolvane-db: " << path << " does not compile:\n" << why;
        return false;
    }
    if (!EncodeCompiledRules(rules.get(), member)) {
        std::cerr << "tolvane-db: the compiled rules cannot be stored (above 64 MiB?)\n";
        return false;
    }
    return true;
}

int Pack(std::vector<std::string> args) {
    if (WantsHelp(args)) return std::cout << kPackHelp, kDone;
    std::string rulesPath;
    if (args.size() == 4 && args[2] == "--rules") {
        rulesPath = args[3];
        args.resize(2);
    }
    if (args.size() != 2) return Usage(kPackHelp, "pack takes MARKUP.xml and OUT.db");
    std::string markup, why;
    if (!ReadHostFile(args[0], kInputFileLimit, &markup, &why)) {
        std::cerr << "tolvane-db: " << why << "\n";
        return kFailed;
    }
    if (markup.size() > kContainerTextLimit) {
        std::cerr << "tolvane-db: " << args[0] << " is " << markup.size()
                  << " bytes; a database holds at most 5,242,880 bytes of markup\n";
        return kFailed;
    }
    std::string stored;
    if (!EncodeContainer(markup, &stored)) {
        std::cerr << "tolvane-db: compression failed\n";
        return kFailed;
    }
    std::string member;
    if (!rulesPath.empty() && !CompiledRulesMember(rulesPath, &member)) return kFailed;
    stored += member;
    if (!WriteHostFileAtomic(args[1], stored, &why)) {
        std::cerr << "tolvane-db: " << why << "\n";
        return kFailed;
    }
    return kDone;
}

int ContainerFailure(const std::string& path, LoadError error, const std::string& parseError) {
    std::cerr << "tolvane-db: cannot load " << path << ": " << LoadErrorText(error);
    if (error == LoadError::Parse && !parseError.empty()) std::cerr << ": " << parseError;
    std::cerr << "\n";
    return kFailed;
}

int Unpack(const std::vector<std::string>& args) {
    if (WantsHelp(args)) return std::cout << kUnpackHelp, kDone;
    if (args.empty() || args.size() > 2) return Usage(kUnpackHelp, "unpack takes IN.db [OUT.xml]");
    std::string stored, text, why;
    if (!ReadHostFile(args[0], kInputFileLimit, &stored, &why))
        return std::cerr << "tolvane-db: " << why << "\n", kFailed;
    LoadError error = LoadError::None;
    if (!DecodeContainer(stored, &text, &error)) return ContainerFailure(args[0], error, {});
    if (args.size() == 1) {
        std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
        return std::cout.flush() ? kDone : kFailed;
    }
    if (!WriteHostFileAtomic(args[1], text, &why)) {
        std::cerr << "tolvane-db: " << why << "\n";
        return kFailed;
    }
    return kDone;
}

// Options after the positional arguments: --machine PREFIX, --json,
// --file WINPATH, --folder WINPATH.
struct Options {
    std::vector<std::string> positional;
    std::string machine;
    bool json = false;
    std::string file;
    std::string folder;
    bool hasFile = false;
    bool hasFolder = false;
};

bool ParseOptions(const std::vector<std::string>& args, bool allowJson, bool allowPaths,
                  Options* options, std::string* problem) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                *problem = a + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        if (a == "--machine") {
            if (!value(&options->machine)) return false;
        } else if (a == "--json" && allowJson) {
            options->json = true;
        } else if (a == "--file" && allowPaths) {
            if (!value(&options->file)) return false;
            options->hasFile = true;
        } else if (a == "--folder" && allowPaths) {
            if (!value(&options->folder)) return false;
            options->hasFolder = true;
        } else if (a.size() > 1 && a[0] == '-') {
            *problem = "unknown option " + a;
            return false;
        } else {
            options->positional.push_back(a);
        }
    }
    return true;
}

// The database file is the caller's own, read with the caller's rights
// before a machine's owner's rights are taken; prints why it failed.
bool ReadDatabaseFile(const std::string& path, std::string* stored) {
    std::string why;
    if (ReadHostFile(path, kInputFileLimit, stored, &why)) return true;
    std::cerr << "tolvane-db: " << why << "\n";
    return false;
}

// Loads the database the way the program does; prints the failed step.
bool Load(const std::string& path, const std::string& stored, const PlaceholderFolders& folders,
          ThreatDatabase* db) {
    LoadReport report;
    // The file is the caller's own choice, as --definitions is the user's.
    if (!LoadDefinitionsFromContainer(stored, folders, db, &report, RulesSource::Vouched)) {
        ContainerFailure(path, report.error, report.parseError);
        return false;
    }
    if (!report.rulesNote.empty())
        std::cerr << "tolvane-db: " << path << ": " << report.rulesNote << "\n";
    return true;
}

// Run as root on another user's machine: that user's rights, taken from the
// folder's descriptor before anything in it is read, as every face does.
std::unique_ptr<Machine> OpenMachineSayingWhy(const std::string& prefix) {
    OwnedMachine opened = OpenMachineAsOwner(prefix, {});
    if (opened.rightsFailed) {
        std::cerr << "tolvane-db: " << opened.error << "\n";
        return nullptr;
    }
    if (!opened.machine)
        std::cerr << "tolvane-db: " << prefix << " is no Wine prefix: " << opened.error << "\n";
    return std::move(opened.machine);
}

// Placeholders left as written: each stands for itself.
PlaceholderFolders Unresolved() {
    PlaceholderFolders folders;
    for (int i = 0; i < kPlaceholderCount; ++i)
        folders.folders[i] = std::string(PlaceholderText(static_cast<Placeholder>(i)));
    return folders;
}

const char* HowText(ConditionTest test) {
    switch (test) {
        case ConditionTest::Equals:
            return "equals";
        case ConditionTest::Contains:
            return "contains";
        case ConditionTest::StartsWith:
            return "startswith";
        case ConditionTest::EndsWith:
            return "endswith";
    }
    return "";
}

nlohmann::ordered_json AnyJson(const AnyCondition& any) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const TextCondition& c : any)
        out.push_back({{"on", c.part == ConditionPart::Data ? "data" : "path"},
                       {"how", HowText(c.test)},
                       {"text", Show(c.text)}});
    return out;
}

// "all": each requirement a list of which one must hold; "unless": each
// exclusion a list of such requirements.
nlohmann::ordered_json ConditionsJson(const EntryConditions& conditions) {
    nlohmann::ordered_json out = {{"all", nlohmann::ordered_json::array()},
                                  {"unless", nlohmann::ordered_json::array()}};
    for (const AnyCondition& any : conditions.all) out["all"].push_back(AnyJson(any));
    for (const auto& exclusion : conditions.exclusions) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const AnyCondition& any : exclusion) list.push_back(AnyJson(any));
        out["unless"].push_back(std::move(list));
    }
    return out;
}

std::string AnyText(const AnyCondition& any) {
    std::string out = any.size() > 1 ? "any(" : "";
    for (size_t i = 0; i < any.size(); ++i) {
        const TextCondition& c = any[i];
        out += std::string(i ? " | " : "") + (c.part == ConditionPart::Data ? "data " : "path ") +
               HowText(c.test) + " \"" + Show(c.text) + "\"";
    }
    return any.size() > 1 ? out + ")" : out;
}

// The conditions after an entry's line; nothing for an entry without.
std::string ConditionsText(const std::shared_ptr<const EntryConditions>& conditions) {
    if (!conditions) return {};
    std::string out;
    for (const AnyCondition& any : conditions->all) out += " if " + AnyText(any);
    for (const auto& exclusion : conditions->exclusions) {
        out += " unless";
        for (size_t i = 0; i < exclusion.size(); ++i)
            out += (i ? " and " : " ") + AnyText(exclusion[i]);
    }
    return out;
}

nlohmann::ordered_json FileJson(const FileEntry& e) {
    nlohmann::ordered_json j = {{"path", Show(e.path)}, {"size", e.size}};
    if (e.anywhere) j["anywhere"] = true;
    if (e.conditions) j["conditions"] = ConditionsJson(*e.conditions);
    return j;
}

nlohmann::ordered_json ValueJson(const RegistryValueEntry& e) {
    nlohmann::ordered_json j = {{"keyPath", Show(e.keyPath)},
                                {"valueName", Show(e.valueName)},
                                {"dataPattern", Show(e.dataPattern)},
                                {"fullName", Show(e.fullName)},
                                {"found", e.found}};
    // valueName then holds the expression over the value's path.
    if (e.nameExpression) j["byExpression"] = true;
    if (e.conditions) j["conditions"] = ConditionsJson(*e.conditions);
    return j;
}

nlohmann::ordered_json ToJson(const ThreatDatabase& db) {
    using nlohmann::ordered_json;
    ordered_json out;
    out["version"] = Show(db.version());
    out["date"] = Show(db.date());
    out["registryEntryCount"] = db.registryEntryCount();
    ordered_json list = ordered_json::array();
    for (const auto& d : db.definitions()) {
        ordered_json j;
        j["name"] = Show(d->name);
        j["description"] = Show(d->description);
        j["category"] = Show(d->category);
        j["url"] = Show(d->url);
        j["directories"] = ordered_json::array();
        for (const auto& e : d->directories) j["directories"].push_back({{"path", Show(e.path)}});
        j["files"] = ordered_json::array();
        for (const auto& e : d->files) j["files"].push_back(FileJson(e));
        j["registryKeys"] = ordered_json::array();
        for (const auto& e : d->registryKeys) {
            ordered_json key = {{"path", Show(e.path)}, {"found", e.found}};
            if (e.conditions) key["conditions"] = ConditionsJson(*e.conditions);
            j["registryKeys"].push_back(std::move(key));
        }
        j["registryValues"] = ordered_json::array();
        for (const auto& e : d->registryValues) j["registryValues"].push_back(ValueJson(e));
        j["hostEntries"] = ordered_json::array();
        for (const auto& e : d->hostEntries)
            j["hostEntries"].push_back({{"host", Show(e.host)}, {"found", e.found}});
        j["fileExpressions"] = ordered_json::array();
        for (const auto& e : d->fileExpressions)
            j["fileExpressions"].push_back(
                {{"expression", Show(e.expression)}, {"exclusion", Show(e.exclusion)}});
        j["found"] = d->found;
        j["danger"] = Show(d->danger);
        list.push_back(std::move(j));
    }
    out["definitions"] = std::move(list);
    return out;
}

void PrintText(const ThreatDatabase& db) {
    std::cout << "version: " << Show(db.version()) << "\n"
              << "date: " << Show(db.date()) << "\n"
              << "registryEntryCount: " << db.registryEntryCount() << "\n"
              << "definitions: " << db.definitions().size() << "\n";
    int number = 0;
    for (const auto& d : db.definitions()) {
        std::cout << "\n[" << ++number << "] name: " << Show(d->name) << "\n"
                  << "    description: " << Show(d->description) << "\n"
                  << "    category: " << Show(d->category) << "\n"
                  << "    url: " << Show(d->url) << "\n";
        for (const auto& e : d->directories) std::cout << "    DIR " << Show(e.path) << "\n";
        for (const auto& e : d->files)
            std::cout << "    FILE " << Show(e.path)
                      << (e.size ? " size=" + std::to_string(e.size) : "")
                      << (e.anywhere ? " anywhere" : "") << ConditionsText(e.conditions) << "\n";
        for (const auto& e : d->registryKeys)
            std::cout << "    REGKEY " << Show(e.path) << " found=" << e.found
                      << ConditionsText(e.conditions) << "\n";
        for (const auto& e : d->registryValues)
            std::cout << "    REGVALUE keyPath=" << Show(e.keyPath)
                      << (e.nameExpression ? " expression=" : " valueName=") << Show(e.valueName)
                      << " dataPattern=" << Show(e.dataPattern) << " fullName=" << Show(e.fullName)
                      << " found=" << e.found << ConditionsText(e.conditions) << "\n";
        for (const auto& e : d->hostEntries)
            std::cout << "    HOST " << Show(e.host) << " found=" << e.found << "\n";
        for (const auto& e : d->fileExpressions)
            std::cout << "    EXPRESSION " << Show(e.expression)
                      << (e.exclusion.empty() ? "" : " except " + Show(e.exclusion)) << "\n";
        std::cout << "    found: " << (d->found ? "true" : "false") << "\n"
                  << "    danger: " << Show(d->danger) << "\n";
    }
}

int Dump(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--scripts") continue;
        std::vector<std::string> rest = args;
        rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
        return DumpScripts(rest);
    }
    if (WantsHelp(args)) return std::cout << kDumpHelp, kDone;
    Options options;
    std::string problem;
    if (!ParseOptions(args, true, false, &options, &problem)) return Usage(kDumpHelp, problem);
    if (options.positional.size() != 1) return Usage(kDumpHelp, "dump takes one IN.db");
    std::string stored;
    if (!ReadDatabaseFile(options.positional[0], &stored)) return kFailed;
    PlaceholderFolders folders = Unresolved();
    std::unique_ptr<Machine> machine;
    if (!options.machine.empty()) {
        machine = OpenMachineSayingWhy(options.machine);
        if (!machine) return kFailed;
        folders = PlaceholderFolders::FromShell(machine->shell());
    }
    ThreatDatabase db;
    if (!Load(options.positional[0], stored, folders, &db)) return kFailed;
    if (options.json)
        std::cout << ToJson(db).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                  << "\n";
    else
        PrintText(db);
    return std::cout.flush() ? kDone : kFailed;
}

int PrintMatch(bool matches) {
    std::cout << (matches ? "true" : "false") << "\n";
    return std::cout.flush() ? kDone : kFailed;
}

// The expression as the database adds it, so a refused one says why.
int MatchExpression(const std::vector<std::string>& args) {
    if (args.size() != 3 && !(args.size() == 5 && args[2] == "--except"))
        return Usage(kMatchHelp, "match --expression takes EXPRESSION [--except EXCLUSION] PATH");
    PathExpressions expressions;
    std::string why;
    if (!expressions.Add(Utf8ToCp1252(args[1]), args.size() == 5 ? Utf8ToCp1252(args[3]) : "",
                         &why)) {
        std::cerr << "tolvane-db: the expression is refused: " << why << "\n";
        return kFailed;
    }
    expressions.Finish();
    return PrintMatch(expressions.FindNewest(Utf8ToCp1252(args.back())) == 0);
}

// CONDITIONS read inside an entry element, as the loader reads a
// CONDITIONAL entry's children.
int MatchConditions(const std::vector<std::string>& args) {
    if (args.size() != 3 && args.size() != 4)
        return Usage(kMatchHelp, "match --conditions takes CONDITIONS PATH [DATA]");
    MarkupParser parser;
    std::shared_ptr<const EntryConditions> conditions;
    if (!parser.Parse("<ENTRY>" + Utf8ToCp1252(args[1]) + "</ENTRY>") ||
        !parser.NextElement("ENTRY") ||
        !ReadEntryConditions(parser, Unresolved(), true, &conditions) || !conditions) {
        std::cerr << "tolvane-db: the conditions are not understood"
                  << (parser.ErrorText().empty() ? "" : ": " + parser.ErrorText()) << "\n";
        return kFailed;
    }
    const std::string data = args.size() == 4 ? Utf8ToCp1252(args[3]) : "";
    return PrintMatch(conditions->Accepts(Utf8ToCp1252(args[2]), data));
}

int Match(const std::vector<std::string>& args) {
    if (WantsHelp(args)) return std::cout << kMatchHelp, kDone;
    if (!args.empty() && args[0] == "--expression") return MatchExpression(args);
    if (!args.empty() && args[0] == "--conditions") return MatchConditions(args);
    if (args.size() != 2) return Usage(kMatchHelp, "match takes PATTERN and TEXT");
    std::cout << (PatternMatch(Utf8ToCp1252(args[0]), Utf8ToCp1252(args[1])) ? "true" : "false")
              << "\n";
    return kDone;
}

int Lookup(const std::vector<std::string>& args) {
    if (WantsHelp(args)) return std::cout << kLookupHelp, kDone;
    Options options;
    std::string problem;
    if (!ParseOptions(args, false, true, &options, &problem)) return Usage(kLookupHelp, problem);
    if (options.positional.size() != 1) return Usage(kLookupHelp, "lookup takes one IN.db");
    if (options.machine.empty()) return Usage(kLookupHelp, "lookup needs --machine PREFIX");
    if (options.hasFile == options.hasFolder)
        return Usage(kLookupHelp, "lookup takes one of --file and --folder");
    std::string stored;
    if (!ReadDatabaseFile(options.positional[0], &stored)) return kFailed;
    auto machine = OpenMachineSayingWhy(options.machine);
    if (!machine) return kFailed;
    ThreatDatabase db;
    if (!Load(options.positional[0], stored, PlaceholderFolders::FromShell(machine->shell()), &db))
        return kFailed;
    const ThreatDefinition* hit =
        options.hasFile ? db.MatchFile(Utf8ToCp1252(options.file), machine->files())
                        : db.MatchFolder(Utf8ToCp1252(options.folder), machine->files());
    std::cout << (hit ? Show(hit->name) : std::string("none")) << "\n";
    return kDone;
}

int Run(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage(kToolHelp, "no command given");
    std::string command = args.front();
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help")
        return std::cout << kToolHelp, kDone;
    if (command == "--version") return std::cout << "tolvane-db " << kProgramVersion << "\n", kDone;
    if (command == "pack") return Pack(args);
    if (command == "unpack") return Unpack(args);
    if (command == "dump") return Dump(args);
    if (command == "match") return Match(args);
    if (command == "lookup") return Lookup(args);
    if (command == "import") return ImportCommand(args);
    if (command == "startup-locations") return StartupLocationsCommand(args);
    if (command == "keygen") return KeyGen(args);
    if (command == "sign") return Sign(args);
    if (command == "verify") return Verify(args);
    return Usage(kToolHelp, "unknown command " + command);
}

}  // namespace
}  // namespace tolvane

int main(int argc, char** argv) {
    return tolvane::Run(argc, argv);
}
