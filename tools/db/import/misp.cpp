// MISP events to definitions.
#include "tools/db/import/misp.h"

#include <cctype>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/codepage.h"
#include "tools/db/import/hash_list.h"
#include "tools/db/import/mapping.h"

namespace tolvane::import {
namespace {

using Json = nlohmann::json;

std::string JsonText(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return {};
    if (it->is_string()) return Utf8ToCp1252(it->get<std::string>());
    if (it->is_number_integer()) return it->dump();
    // A fraction is cut to its whole part as before; one beyond 64 bits (or
    // not finite) names no id or level, and converting it would be undefined.
    if (it->is_number_float()) {
        const double value = it->get<double>();
        if (std::isfinite(value) && std::fabs(value) < 9.2e18)
            return std::to_string(static_cast<long long>(value));
    }
    return {};
}

std::vector<const Json*> Events(const Json& root) {
    std::vector<const Json*> events;
    auto add = [&](const Json& item) {
        if (!item.is_object()) return;
        auto event = item.find("Event");
        if (event != item.end() && event->is_object())
            events.push_back(&*event);
        else if (item.contains("Attribute"))
            events.push_back(&item);
    };
    if (root.is_object() && root.contains("response") && root["response"].is_array()) {
        for (const Json& item : root["response"]) add(item);
    } else if (root.is_array()) {
        for (const Json& item : root) add(item);
    } else {
        add(root);
    }
    return events;
}

std::vector<const Json*> Attributes(const Json& event) {
    std::vector<const Json*> all;
    auto take = [&](const Json& holder) {
        auto list = holder.find("Attribute");
        if (list == holder.end() || !list->is_array()) return;
        for (const Json& a : *list)
            if (a.is_object() && !(a.contains("deleted") && a["deleted"] == true))
                all.push_back(&a);
    };
    take(event);
    auto objects = event.find("Object");
    if (objects != event.end() && objects->is_array())
        for (const Json& o : *objects)
            if (o.is_object()) take(o);
    return all;
}

// "(HKLM|HKCU)\..." names the key under each root.
std::vector<std::string> RootAlternatives(const std::string& path) {
    if (path.empty() || path[0] != '(') return {path};
    size_t close = path.find(")\\");
    if (close == std::string::npos) return {path};
    std::vector<std::string> all;
    std::stringstream roots(path.substr(1, close - 1));
    std::string root;
    while (std::getline(roots, root, '|')) all.push_back(root + path.substr(close + 1));
    return all;
}

// A MISP registry attribute: "regkey" is a key; ESET writes "regkey|value"
// as the key and a value's name ("...\Direct3D|BSKS"), which is read so.
bool RegistryEntries(const std::string& type, const std::string& value, Definition* definition,
                     Refusal* why) {
    std::string key = value, name;
    bool isValue = type == "regkey|value";
    if (isValue) {
        size_t bar = value.rfind('|');
        key = value.substr(0, bar);
        name = bar == std::string::npos ? "" : value.substr(bar + 1);
        while (!name.empty() && name.front() == ' ') name.erase(0, 1);
        while (!key.empty() && key.back() == ' ') key.pop_back();
        if (name.empty()) return (why->reason = "registry value without a name"), false;
    }
    std::vector<Entry> entries;
    for (const std::string& written : RootAlternatives(key)) {
        auto path = RegistryPathWithoutRoot(written, isValue, why);
        if (!path) return false;
        if (!isValue) {
            entries.push_back({EntryKind::RegistryKey, *path});
            continue;
        }
        auto text = RegistryValueText(*path + "\\" + name, why);
        if (!text) return false;
        entries.push_back({EntryKind::RegistryValue, *text});
    }
    for (Entry& e : entries) AddEntry(definition, std::move(e));
    return true;
}

bool FileEntry(const std::string& value, Definition* definition, Refusal* why) {
    PathFragment fragment{value, true, true};
    if (value.find('\\') == std::string::npos) fragment = {"\\" + value, false, true};
    if (!value.empty() && value.back() == '\\')
        return (why->reason = "a folder named where a file is meant"), false;
    bool converted = false;
    AddFragments({fragment}, definition, why, &converted);
    return converted;
}

std::string MispDanger(const std::string& level) {
    if (level == "1") return "High";
    if (level == "3") return "Low";
    return "Medium";
}

Definition EventTexts(const Json& event, const std::filesystem::path& file,
                      const SourceInfo& info) {
    Definition d;
    std::string family = file.parent_path().filename().string();
    if (!family.empty())
        family[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(family[0])));
    std::string title = JsonText(event, "info");
    d.name = PlainName(Cp1252ToUtf8(
        ContainsNoCase(title, family) || family.empty() ? title : family + " - " + title));
    std::string words = title;
    if (event.contains("Tag") && event["Tag"].is_array())
        for (const Json& tag : event["Tag"]) words += " " + JsonText(tag, "name");
    d.category = CategoryFromWords(words, "Trojan");
    d.danger = MispDanger(JsonText(event, "threat_level_id"));
    std::string relative = file.parent_path().filename().string() + "/" + file.filename().string();
    d.url = info.url.empty() ? relative : info.url + "/" + relative;
    std::string org =
        event.contains("Orgc") && event["Orgc"].is_object() ? JsonText(event["Orgc"], "name") : "";
    d.description = title + ".";
    std::string author = org.empty() ? info.author : org;
    if (!author.empty()) d.description += " Author: " + author + ".";
    d.description += " MISP event " + JsonText(event, "uuid") + " of " + JsonText(event, "date") +
                     ": " + d.url + ".";
    if (!info.license.empty()) d.description += " " + info.license;
    return d;
}

// Types naming a file by a digest alone or with its name ("filename|sha256");
// kinds the scan does not compute (sha512, ssdeep, imphash, ...) are left
// out by HashEntry.
bool IsHashType(const std::string& type) {
    static const char* const kKinds[] = {"md5",    "sha1",   "sha224",  "sha256",       "sha384",
                                         "sha512", "ssdeep", "imphash", "authentihash", "tlsh"};
    std::string_view kind = type;
    if (kind.rfind("filename|", 0) == 0) kind.remove_prefix(9);
    for (const char* k : kKinds)
        if (kind == k) return true;
    return false;
}

// The digest of a hash attribute ("filename|md5" values are "name|digest").
bool HashEntry(const std::string& type, const std::string& value, Definition* definition,
               Refusal* why) {
    std::string_view kind = type, digest = value;
    if (kind.rfind("filename|", 0) == 0) {
        kind.remove_prefix(9);
        size_t bar = digest.rfind('|');
        digest = bar == std::string_view::npos ? std::string_view() : digest.substr(bar + 1);
    }
    if (kind != "md5" && kind != "sha1" && kind != "sha256") {
        why->reason = "a hash of a kind the scan does not compute (" + std::string(kind) + ")";
        return false;
    }
    std::string lower;
    if (!NormalizeDigest(digest, &lower) || lower.size() != (kind == "md5"    ? 32u
                                                             : kind == "sha1" ? 40u
                                                                              : 64u)) {
        why->reason = "not a " + std::string(kind) + " digest in hex";
        return false;
    }
    AddHash(definition, lower);
    return true;
}

void ImportEvent(const Json& event, const std::filesystem::path& file, const SourceInfo& info,
                 Result* result) {
    Report& report = result->report;
    ++report.threatsRead;
    Definition definition = EventTexts(event, file, info);
    const std::string name =
        file.parent_path().filename().string() + "/" + file.filename().string();
    for (const Json* a : Attributes(event)) {
        const std::string type = JsonText(*a, "type");
        const std::string value = JsonText(*a, "value");
        const bool registry = type == "regkey" || type == "regkey|value";
        const bool fileName = type.rfind("filename", 0) == 0;
        const bool hash = IsHashType(type);
        if (!registry && !fileName && !hash) continue;
        ++report.indicatorsRead;
        const std::string where = name + " (attribute " + JsonText(*a, "id") + ")";
        Refusal why;
        bool converted = false;
        if (hash || (type != "filename" && fileName))
            converted = HashEntry(type, value, &definition, &why);
        else if (registry)
            converted = RegistryEntries(type, value, &definition, &why);
        else
            converted = FileEntry(value, &definition, &why);
        if (converted)
            ++report.indicatorsConverted;
        else
            report.leftOut.push_back({where, value, why.reason});
    }
    if (definition.entries.empty() && definition.hashes.empty()) return;
    ++report.threatsConverted;
    result->definitions.push_back(std::move(definition));
}

}  // namespace

void ImportMisp(const std::vector<std::filesystem::path>& files, const SourceInfo& info,
                Result* result) {
    for (const std::filesystem::path& file : files) {
        std::string text, why;
        if (!ReadSourceFile(file.string(), &text, &why)) {
            ++result->report.filesSkipped;
            result->report.leftOut.push_back({file.string(), "", why});
            continue;
        }
        ReadMispFile(text, file, info, result);
    }
}

void ReadMispFile(std::string_view text, const std::filesystem::path& file, const SourceInfo& info,
                  Result* result) {
    Json root = Json::parse(text, nullptr, false);
    std::vector<const Json*> events;
    if (!root.is_discarded()) events = Events(root);
    if (events.empty()) {
        ++result->report.filesSkipped;
        result->report.leftOut.push_back(
            {file.string(), "", root.is_discarded() ? "malformed JSON" : "no MISP event"});
        return;
    }
    ++result->report.filesRead;
    for (const Json* event : events) ImportEvent(*event, file, info, result);
}

}  // namespace tolvane::import
