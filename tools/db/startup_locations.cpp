#include "tools/db/startup_locations.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "tools/db/cli.h"

namespace tolvane {
namespace {

using namespace db_tool;
using Json = nlohmann::ordered_json;

constexpr const char* kHelp =
    "Usage: tolvane-db startup-locations RECMD_BATCH_FOLDER ARTIFACTS_WINDOWS_YAML -o OUT.json\n"
    "\n"
    "Writes the table of auto-start locations the start-up listing reads: the\n"
    "registry locations of RECmd's *ASEPs.reb batch files (MIT) and the\n"
    "WindowsPersistence*, WindowsStartupFolders, WindowsScheduledTasks and\n"
    "WindowsServices artifacts of ForensicArtifacts' windows.yaml (Apache-2.0),\n"
    "without duplicates and without the values that describe rather than start\n"
    "something, plus the locations added by hand (the table says which and why).\n"
    "The same inputs give the same bytes.\n";

// Values the lists name beside a location that describe what starts (its
// name, its state, its schedule) instead of naming what is started.
const std::set<std::string> kDescriptiveValues = {"actions",
                                                  "author",
                                                  "backupwallpaper",
                                                  "bootflags",
                                                  "convertedwallpaper",
                                                  "databasedescription",
                                                  "databaseinstalltimestamp",
                                                  "databasetype",
                                                  "defaultusername",
                                                  "delayedautostart",
                                                  "dependonservice",
                                                  "description",
                                                  "displayname",
                                                  "displaystring",
                                                  "dynamicinfo",
                                                  "enabled",
                                                  "errorcontrol",
                                                  "exectime",
                                                  "expooffload",
                                                  "friendlyname",
                                                  "gpo-id",
                                                  "globalflag",
                                                  "group",
                                                  "hash",
                                                  "id",
                                                  "installdate",
                                                  "installlocation",
                                                  "installsource",
                                                  "ispowershell",
                                                  "loadbehavior",
                                                  "localizedname",
                                                  "name",
                                                  "nodrivetypeautorun",
                                                  "objectname",
                                                  "originalwallpaper",
                                                  "psscriptorder",
                                                  "protocolname",
                                                  "providerorder",
                                                  "reportingmode",
                                                  "requiresignedappinit*",
                                                  "requiresignedappinit_dlls",
                                                  "requiredprivileges",
                                                  "som-id",
                                                  "schema",
                                                  "securitydescriptor",
                                                  "servicesidtype",
                                                  "servicemain",
                                                  "source",
                                                  "start",
                                                  "type",
                                                  "uri",
                                                  "userdebuggerhotkey",
                                                  "version",
                                                  "wallpaper",
                                                  "wallpapersource"};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

struct Location {
    std::string hive;  // SOFTWARE, SYSTEM, USER, USER_CLASSES or FILE
    std::string key;   // below the hive, or a file pattern
    bool allValues = true;
    std::string value;
    bool subkeys = false;
    std::string kind;  // values, service, tasks, startup-folder, file
    std::string what;
    std::string from;
};

struct Table {
    std::vector<Location> locations;
    std::set<std::string> seen;
    std::map<std::string, int> leftOut;  // why -> how many

    void Add(Location location) {
        std::string id = location.hive + "|" + Lower(location.key) + "|" +
                         (location.allValues ? "*" : Lower(location.value));
        if (!seen.insert(id).second) return void(++leftOut["already listed by an earlier source"]);
        locations.push_back(std::move(location));
    }
};

bool IsServicesKey(const std::string& hive, const std::string& key) {
    return hive == "SYSTEM" && (Lower(key) == "controlset*\\services\\*");
}

// The whole COM registry (every class, type library, interface): not a
// list of what starts, but where a CLSID that does start is looked up.
bool IsComRegistry(const std::string& key) {
    const std::string lower = Lower(key);
    for (const char* part : {"clsid\\*", "clsid\\{*", "typelib", "interface\\*"})
        if (lower.find(part) != std::string::npos) return true;
    return false;
}

// The location as the engine reads it: every service key is one service
// location; TaskCache is left to the tasks' own files.
void AddRegistry(Table& table, Location location) {
    if (IsServicesKey(location.hive, location.key)) {
        location.key = "ControlSet*\\Services";
        location.allValues = true;
        location.value.clear();
        location.subkeys = false;
        location.kind = "service";
        location.what = "Services and drivers";
        return table.Add(std::move(location));
    }
    if (IsComRegistry(location.key))
        return void(
            ++table.leftOut["every COM class (a class is read when an entry names its CLSID)"]);
    if (Lower(location.key) == "classes\\.*")
        return void(++table.leftOut["file-type associations: they name a class, not a command"]);
    if (Lower(location.key).find("schedule\\taskcache") != std::string::npos)
        return void(++table.leftOut["TaskCache: binary records of the tasks whose files are read"]);
    if (!location.allValues && kDescriptiveValues.count(Lower(location.value)))
        return void(++table.leftOut["a value that describes rather than starts something"]);
    if (location.hive == "SYSTEM" && Lower(location.key) == "select")
        return void(++table.leftOut["the control set choice, read to find the current one"]);
    location.kind = "values";
    table.Add(std::move(location));
}

bool RecmdHive(const std::string& hiveType, std::string* hive) {
    static const std::map<std::string, std::string> kHives = {{"software", "SOFTWARE"},
                                                              {"system", "SYSTEM"},
                                                              {"ntuser", "USER"},
                                                              {"usrclass", "USER_CLASSES"}};
    auto found = kHives.find(Lower(hiveType));
    if (found == kHives.end()) return false;
    *hive = found->second;
    return true;
}

bool ReadRecmd(const std::filesystem::path& file, Table& table, std::string* why) {
    std::string text;
    if (!ReadHostFile(file.string(), kInputFileLimit, &text, why)) return false;
    YAML::Node root;
    try {
        root = YAML::Load(text);
    } catch (const YAML::Exception& e) {
        *why = file.string() + ": " + e.what();
        return false;
    }
    if (!root["Keys"] || !root["Keys"].IsSequence())
        return *why = file.string() + ": no Keys list", false;
    for (const YAML::Node& entry : root["Keys"]) {
        Location location;
        std::string valueName = entry["ValueName"] ? entry["ValueName"].as<std::string>("") : "";
        if (!RecmdHive(entry["HiveType"].as<std::string>(""), &location.hive)) {
            ++table.leftOut["a hive the start-up listing does not read"];
            continue;
        }
        location.key = entry["KeyPath"].as<std::string>("");
        while (!location.key.empty() && location.key.front() == '\\') location.key.erase(0, 1);
        location.allValues = valueName.empty() || valueName == "None";
        if (!location.allValues) location.value = valueName == "(default)" ? "" : valueName;
        location.subkeys = entry["Recursive"].as<bool>(false);
        location.what = entry["Description"].as<std::string>("");
        location.from = "RECmd " + file.filename().string();
        AddRegistry(table, std::move(location));
    }
    return true;
}

// "HKEY_USERS\%%users.sid%%\Software\X" -> USER, "Software\X".
bool ArtifactKey(const std::string& full, std::string* hive, std::string* key) {
    static const std::vector<std::pair<std::string, std::string>> kRoots = {
        {"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\", "SYSTEM"},
        {"HKEY_LOCAL_MACHINE\\System\\", "SYSTEM"},
        {"HKEY_LOCAL_MACHINE\\Software\\", "SOFTWARE"},
        {"HKEY_USERS\\%%users.sid%%_Classes\\", "USER_CLASSES"},
        {"HKEY_USERS\\%%users.sid%%\\", "USER"},
        {"HKEY_CURRENT_USER\\", "USER"}};
    for (const auto& [prefix, name] : kRoots) {
        if (!StartsWithNoCase(full, prefix)) continue;
        *hive = name;
        *key = full.substr(prefix.size());
        if (prefix.find("CurrentControlSet") != std::string::npos) *key = "ControlSet*\\" + *key;
        return true;
    }
    return false;
}

// ForensicArtifacts' path placeholders to the machine's variables; a user's
// folders become {APPDATA} and {USERPROFILE}, filled in for every profile.
bool ArtifactPath(std::string path, std::string* out) {
    static const std::vector<std::pair<std::string, std::string>> kNames = {
        {"%%environ_systemroot%%", "%SystemRoot%"},
        {"%%environ_allusersprofile%%", "%ALLUSERSPROFILE%"},
        {"%%environ_programdata%%", "%ProgramData%"},
        {"%%users.appdata%%", "{APPDATA}"},
        {"%%users.userprofile%%", "{USERPROFILE}"}};
    for (const auto& [from, to] : kNames)
        for (size_t at = path.find(from); at != std::string::npos; at = path.find(from))
            path.replace(at, from.size(), to);
    if (path.find("%%") != std::string::npos) return false;
    *out = path;
    return true;
}

bool WantedArtifact(const std::string& name) {
    return name.rfind("WindowsPersistence", 0) == 0 || name == "WindowsStartupFolders" ||
           name == "WindowsScheduledTasks" || name == "WindowsServices";
}

void AddArtifactFile(Table& table, const std::string& artifact, const std::string& pattern) {
    Location location;
    location.hive = "FILE";
    if (!ArtifactPath(pattern, &location.key))
        return void(++table.leftOut["a path placeholder the start-up listing does not fill"]);
    location.kind = artifact == "WindowsScheduledTasks"   ? "tasks"
                    : artifact == "WindowsStartupFolders" ? "startup-folder"
                                                          : "file";
    // "**10" is a tree ten folders deep; the tasks reader has its own limit.
    size_t stars = location.key.find("\\**");
    if (stars != std::string::npos) location.key = location.key.substr(0, stars) + "\\**";
    location.what = artifact;
    location.from = "ForensicArtifacts windows.yaml";
    table.Add(std::move(location));
}

void AddArtifactSource(Table& table, const std::string& artifact, const YAML::Node& source,
                       std::vector<std::string>* groupMembers) {
    std::string type = source["type"].as<std::string>("");
    const YAML::Node attributes = source["attributes"];
    auto registry = [&](const std::string& full, bool allValues, const std::string& value) {
        Location location;
        if (!ArtifactKey(full, &location.hive, &location.key))
            return void(++table.leftOut["a registry root the start-up listing does not read"]);
        location.allValues = allValues;
        location.value = value;
        location.what = artifact;
        location.from = "ForensicArtifacts windows.yaml";
        AddRegistry(table, std::move(location));
    };
    if (type == "ARTIFACT_GROUP") {
        for (const YAML::Node& name : attributes["names"])
            groupMembers->push_back(name.as<std::string>(""));
    } else if (type == "REGISTRY_KEY") {
        for (const YAML::Node& key : attributes["keys"])
            registry(key.as<std::string>(""), true, "");
    } else if (type == "REGISTRY_VALUE") {
        for (const YAML::Node& pair : attributes["key_value_pairs"])
            registry(pair["key"].as<std::string>(""), false, pair["value"].as<std::string>(""));
    } else if (type == "FILE") {
        for (const YAML::Node& path : attributes["paths"])
            AddArtifactFile(table, artifact, path.as<std::string>(""));
    } else {
        ++table.leftOut["a source type other than registry keys, values and files"];
    }
}

bool ReadArtifacts(const std::string& file, Table& table, std::string* why) {
    std::string text;
    if (!ReadHostFile(file, kInputFileLimit, &text, why)) return false;
    std::map<std::string, YAML::Node> byName;
    try {
        for (const YAML::Node& document : YAML::LoadAll(text))
            if (document["name"]) byName[document["name"].as<std::string>()] = document;
    } catch (const YAML::Exception& e) {
        *why = file + ": " + e.what();
        return false;
    }
    std::vector<std::string> pending;
    for (const auto& [name, document] : byName)
        if (WantedArtifact(name)) pending.push_back(name);
    std::set<std::string> done;
    for (size_t i = 0; i < pending.size(); ++i) {
        const std::string name = pending[i];
        if (!done.insert(name).second) continue;
        auto found = byName.find(name);
        if (found == byName.end()) {
            ++table.leftOut["a group member defined outside windows.yaml"];
            continue;
        }
        for (const YAML::Node& source : found->second["sources"])
            AddArtifactSource(table, name, source, &pending);
    }
    return true;
}

// What neither list holds that the listing needs, each with why.
struct HandAdded {
    Location location;
    const char* why;
};

// None today: every location the listing reads is in one of the two lists
// (the table's "handAdded" is then empty). An entry here names its why.
std::vector<HandAdded> HandAddedLocations() {
    return {};
}

Json LocationJson(const Location& location) {
    Json entry;
    entry["hive"] = location.hive;
    entry["key"] = location.key;
    if (!location.allValues) entry["value"] = location.value;
    if (location.subkeys) entry["subkeys"] = true;
    entry["kind"] = location.kind;
    entry["what"] = location.what;
    entry["from"] = location.from;
    return entry;
}

Json Attribution() {
    return Json::array(
        {{{"name", "RECmd batch files (*ASEPs.reb)"},
          {"url", "https://github.com/EricZimmerman/RECmd/tree/7303c36/BatchExamples"},
          {"copyright", "Copyright (c) 2015 Eric Zimmerman"},
          {"license", "MIT License, text: licenses/recmd-LICENSE.md"}},
         {{"name", "ForensicArtifacts artifacts (artifacts/data/windows.yaml)"},
          {"url",
           "https://github.com/ForensicArtifacts/artifacts/blob/a523ad9/artifacts/data/"
           "windows.yaml"},
          {"copyright", "Copyright the ForensicArtifacts authors"},
          {"license", "Apache License 2.0, text: licenses/forensic-artifacts-LICENSE"},
          {"changes",
           "registry keys and file paths rewritten to this table's form (hive and key, "
           "machine variables), descriptive values left out, duplicates of RECmd's dropped"}}});
}

std::string Render(const Table& table, const std::vector<HandAdded>& hand) {
    Json out;
    out["about"] = Json::array(
        {"The auto-start locations the start-up listing reads. Generated by "
         "'tolvane-db startup-locations' from the sources below; do not edit by hand: change "
         "the command and generate again.",
         "hive: SOFTWARE and SYSTEM are the machine's, USER and USER_CLASSES every user's; "
         "FILE locations are file patterns. key wildcards: '*' a whole name, 'ControlSet*' "
         "the current control set. No value: every value of the key. subkeys: the key's "
         "subkeys too.",
         "handAdded: the locations neither source holds, each with why (none: both sources "
         "together hold every location read). leftOut: what the sources list that is not read "
         "as a location, and why."});
    out["sources"] = Attribution();
    Json handJson = Json::array();
    for (const HandAdded& added : hand) {
        Json entry = LocationJson(added.location);
        entry["why"] = added.why;
        handJson.push_back(entry);
    }
    out["handAdded"] = handJson;
    Json leftOut = Json::object();
    for (const auto& [why, count] : table.leftOut) leftOut[why] = count;
    out["leftOut"] = leftOut;
    Json locations = Json::array();
    for (const Location& location : table.locations) locations.push_back(LocationJson(location));
    out["locations"] = locations;
    return out.dump(1) + "\n";
}

}  // namespace

int StartupLocationsCommand(const std::vector<std::string>& args) {
    if (WantsHelp(args)) return std::cout << kHelp, kDone;
    if (args.size() != 4 || args[2] != "-o")
        return Usage(kHelp,
                     "startup-locations takes RECMD_BATCH_FOLDER ARTIFACTS_YAML -o OUT.json");
    std::vector<std::filesystem::path> batches;
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(args[0], error)) {
        std::string name = item.path().filename().string();
        if (name.size() > 9 && name.substr(name.size() - 9) == "ASEPs.reb") batches.push_back(item);
    }
    if (error || batches.empty()) {
        std::cerr << "tolvane-db: no *ASEPs.reb file in " << args[0] << "\n";
        return kFailed;
    }
    std::sort(batches.begin(), batches.end());
    Table table;
    std::string why;
    for (const auto& batch : batches)
        if (!ReadRecmd(batch, table, &why))
            return std::cerr << "tolvane-db: " << why << "\n", kFailed;
    if (!ReadArtifacts(args[1], table, &why))
        return std::cerr << "tolvane-db: " << why << "\n", kFailed;
    std::vector<HandAdded> hand = HandAddedLocations();
    for (const HandAdded& added : hand) table.Add(added.location);
    if (!WriteHostFileAtomic(args[3], Render(table, hand), &why))
        return std::cerr << "tolvane-db: " << why << "\n", kFailed;
    return kDone;
}

}  // namespace tolvane
