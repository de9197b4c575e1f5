// The registry's auto-start locations: values that are commands, DLLs or
// CLSIDs, and the services key.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/win_types.h"
#include "definitions/pattern_match.h"
#include "machine/registry.h"
#include "startup/command_line.h"
#include "startup/lister.h"

namespace tolvane {
namespace {

// The pieces of text between separators outside double quotes, trimmed of
// spaces; empty pieces are dropped.
std::vector<std::string> SplitOutsideQuotes(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string piece;
    bool quoted = false;
    auto flush = [&] {
        size_t first = piece.find_first_not_of(' ');
        size_t last = piece.find_last_not_of(' ');
        if (first != std::string::npos) pieces.push_back(piece.substr(first, last - first + 1));
        piece.clear();
    };
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (c == separator && !quoted)
            flush();
        else
            piece += c;
    }
    flush();
    return pieces;
}

std::vector<std::string> Split(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string RootName(RootKey root) {
    return root == RootKey::Users ? "HKU" : root == RootKey::ClassesRoot ? "HKCR" : "HKLM";
}

bool IsClsid(std::string_view text) {
    return text.size() == 38 && text.front() == '{' && text.back() == '}' &&
           text.find_first_not_of("0123456789abcdefABCDEF-{}") == std::string_view::npos;
}

// The text of a string value without its terminating zeros.
std::string StringData(std::string data) {
    while (!data.empty() && data.back() == '\0') data.pop_back();
    return data;
}

class RegistryReader {
  public:
    explicit RegistryReader(Lister& lister)
        : lister_(lister), registry_(lister.machine.registry()) {}

    // Every existing key the pattern names below root\base.
    void Expand(RootKey root, const std::string& base, const std::vector<std::string>& parts,
                size_t index, std::vector<std::string>* keys) const {
        if (keys->size() >= kKeyItemLimit) return;
        if (index == parts.size()) {
            if (Open(root, base, nullptr)) keys->push_back(base);
            return;
        }
        const std::string& part = parts[index];
        std::string joined = base.empty() ? "" : base + "\\";
        if (part.find('*') == std::string::npos)
            return Expand(root, joined + part, parts, index + 1, keys);
        for (const std::string& name : SubKeys(root, base))
            if (ValueNameMatch(part, name)) Expand(root, joined + name, parts, index + 1, keys);
    }

    bool Open(RootKey root, const std::string& path, RegKey* key) const {
        RegKey opened;
        bool ok = registry_.OpenKey(Registry::Root(root), path, KEY_READ, &opened) == ERROR_SUCCESS;
        if (ok && key) *key = opened;
        return ok;
    }

    std::vector<std::string> SubKeys(RootKey root, const std::string& path) const {
        std::vector<std::string> names;
        RegKey key;
        if (!Open(root, path, &key)) return names;
        std::string name;
        for (uint32_t i = 0; registry_.EnumKey(key, i, &name) == ERROR_SUCCESS; ++i) {
            if (names.size() >= kKeyItemLimit) {
                lister_.Note(RootName(root) + "\\" + path +
                             ": more than 10,000 subkeys; the rest "
                             "were not read");
                break;
            }
            names.push_back(name);
        }
        return names;
    }

    // The file a CLSID's InprocServer32 names, following TreatAs.
    std::string ClsidFile(std::string clsid, const std::string& where) const {
        std::vector<std::string> visited;
        for (int step = 0; step < 8; ++step) {
            if (std::find(visited.begin(), visited.end(), LowerAscii(clsid)) != visited.end()) {
                lister_.Note(where + ": the CLSID " + clsid +
                             " leads back to itself (TreatAs loop)");
                return "";
            }
            visited.push_back(LowerAscii(clsid));
            std::string file, treatAs;
            std::string base = "Software\\Classes\\CLSID\\" + clsid;
            if (ReadRegistryString(registry_, RootKey::LocalMachine, base + "\\InprocServer32", "",
                                   &file) ||
                ReadRegistryString(registry_, RootKey::ClassesRoot,
                                   "CLSID\\" + clsid + "\\InprocServer32", "", &file))
                return file;
            if (!ReadRegistryString(registry_, RootKey::ClassesRoot,
                                    "CLSID\\" + clsid + "\\TreatAs", "", &treatAs) ||
                !IsClsid(treatAs))
                return "";
            clsid = treatAs;
        }
        lister_.Note(where + ": the CLSID " + clsid + " is reached through too many TreatAs keys");
        return "";
    }

    void AddText(const std::string& location, const std::string& name, const std::string& text) {
        StartupEntry entry;
        entry.location = location;
        entry.name = name;
        entry.command = text;
        if (IsClsid(text)) {
            entry.file = ClsidFile(text, location);
            entry.facts.missing = entry.file.empty();
        }
        lister_.Add(std::move(entry));
    }

    void AddValue(const std::string& location, const std::string& name, uint32_t type,
                  const std::string& data);
    void ReadKey(RootKey root, const std::string& path, const StartupLocation& location, int depth);
    void ReadServices(const std::string& servicesPath);

  private:
    Lister& lister_;
    const Registry& registry_;
};

void RegistryReader::AddValue(const std::string& location, const std::string& name, uint32_t type,
                              const std::string& data) {
    if (type == REG_MULTI_SZ) {
        size_t start = 0;
        while (start < data.size()) {
            size_t end = data.find('\0', start);
            if (end == std::string::npos) end = data.size();
            if (end > start) AddText(location, name, data.substr(start, end - start));
            start = end + 1;
        }
        return;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        if (type == REG_DWORD || type == REG_QWORD) return;  // a setting beside the commands
        lister_.Note(location + ": the value \"" + name + "\" is of type " + std::to_string(type) +
                     ", not text; it was not read as a command");
        return;
    }
    std::string text = StringData(data);
    if (text.empty()) return;
    // AppInit_DLLs holds several DLLs, separated by spaces or commas.
    if (LowerAscii(name) == "appinit_dlls") {
        for (char& c : text)
            if (c == ',') c = ' ';
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find(' ', start);
            if (end == std::string::npos) end = text.size();
            if (end > start) AddText(location, name, text.substr(start, end - start));
            start = end + 1;
        }
        return;
    }
    // Winlogon starts each program of a comma-separated Userinit or Shell
    // ("userinit.exe,C:\evil.exe"): each is an entry of its own.
    const std::string lowerName = LowerAscii(name);
    if ((lowerName == "userinit" || lowerName == "shell") &&
        LowerAscii(location).ends_with("\\winlogon")) {
        for (const std::string& program : SplitOutsideQuotes(text, ','))
            AddText(location, name, program);
        return;
    }
    AddText(location, name, text);
}

void RegistryReader::ReadKey(RootKey root, const std::string& path, const StartupLocation& location,
                             int depth) {
    RegKey key;
    if (!Open(root, path, &key)) return;
    std::string where = RootName(root) + "\\" + path;
    bool pattern = !location.allValues && location.value.find('*') != std::string::npos;
    if (location.allValues || pattern) {
        std::string name, data;
        uint32_t type = 0;
        for (uint32_t i = 0; registry_.EnumValue(key, i, &name, &type, &data) == ERROR_SUCCESS;
             ++i) {
            if (i >= kKeyItemLimit) {
                lister_.Note(where + ": more than 10,000 values; the rest were not read");
                break;
            }
            if (!pattern || ValueNameMatch(location.value, name)) AddValue(where, name, type, data);
        }
    } else {
        std::string data;
        uint32_t type = 0;
        if (registry_.QueryValue(key, location.value, &type, &data) == ERROR_SUCCESS)
            AddValue(where, location.value, type, data);
    }
    if (!location.subkeys || depth >= 2) return;
    for (const std::string& sub : SubKeys(root, path)) {
        // A key named by a CLSID and holding none of the values read is the
        // add-on itself (Browser Helper Objects).
        if (location.allValues && IsClsid(sub)) {
            std::string file = ClsidFile(sub, where);
            StartupEntry entry;
            entry.location = where;
            entry.name = sub;
            entry.command = sub;
            entry.file = file;
            entry.facts.missing = file.empty();
            lister_.Add(std::move(entry));
            continue;
        }
        ReadKey(root, path + "\\" + sub, location, depth + 1);
    }
}

uint32_t DwordOf(const Registry& registry, const RegKey& key, const char* name, uint32_t fallback) {
    std::string data;
    uint32_t type = 0;
    if (registry.QueryValue(key, name, &type, &data) != ERROR_SUCCESS || type != REG_DWORD ||
        data.size() != 4)
        return fallback;
    uint32_t value = 0;
    std::memcpy(&value, data.data(), 4);
    return value;
}

void RegistryReader::ReadServices(const std::string& servicesPath) {
    std::vector<std::string> names = SubKeys(RootKey::LocalMachine, servicesPath);
    for (const std::string& name : names) {
        std::string path = servicesPath + "\\" + name;
        RegKey key;
        if (!Open(RootKey::LocalMachine, path, &key)) continue;
        uint32_t type = DwordOf(registry_, key, "Type", 0);
        uint32_t start = DwordOf(registry_, key, "Start", 3);
        std::string image, dll;
        ReadRegistryString(registry_, RootKey::LocalMachine, path, "ImagePath", &image);
        ReadRegistryString(registry_, RootKey::LocalMachine, path + "\\Parameters", "ServiceDll",
                           &dll);
        bool driver = (type & 0x3) != 0;
        // A driver without ImagePath loads System32\drivers\NAME.sys.
        if (image.empty() && driver) image = "System32\\drivers\\" + name + ".sys";
        if (image.empty() && dll.empty()) continue;
        StartupEntry entry;
        entry.location = "HKLM\\" + path;
        entry.name = name;
        entry.command = image.empty() ? dll : image;
        entry.enabled = start != 4;
        if (!dll.empty()) entry.file = lister_.Expand(dll);
        lister_.Add(std::move(entry));
    }
}

// The control set "ControlSet*" stands for.
std::string CurrentControlSet(const Registry& registry) {
    RegKey key;
    if (registry.OpenKey(Registry::Root(RootKey::LocalMachine), "System\\Select", KEY_READ, &key) ==
        ERROR_SUCCESS) {
        uint32_t current = DwordOf(registry, key, "Current", 0);
        char name[32];
        std::snprintf(name, sizeof name, "ControlSet%03u", current);
        RegKey set;
        // Wine keeps its one control set as CurrentControlSet itself.
        if (current > 0 && current < 1000 &&
            registry.OpenKey(Registry::Root(RootKey::LocalMachine), std::string("System\\") + name,
                             KEY_READ, &set) == ERROR_SUCCESS)
            return name;
    }
    return "CurrentControlSet";
}

// The users' keys below HKEY_USERS (each SID and .DEFAULT, not the
// _Classes keys, which are read below each user's Software\Classes).
std::vector<std::string> UserKeys(const RegistryReader& reader) {
    std::vector<std::string> users;
    for (const std::string& name : reader.SubKeys(RootKey::Users, ""))
        if (LowerAscii(name).find("_classes") == std::string::npos) users.push_back(name);
    return users;
}

}  // namespace

void ListRegistryLocation(Lister& lister, const StartupLocation& location) {
    RegistryReader reader(lister);
    const Registry& registry = lister.machine.registry();
    std::vector<std::pair<RootKey, std::string>> bases;
    std::string key = location.key;
    switch (location.hive) {
        case LocationHive::Software:
            bases.push_back({RootKey::LocalMachine, "Software"});
            if (LowerAscii(key).rfind("wow6432node\\", 0) != 0)
                bases.push_back({RootKey::LocalMachine, "Software\\Wow6432Node"});
            break;
        case LocationHive::System: {
            std::string lower = LowerAscii(key);
            if (lower.rfind("controlset*", 0) == 0)
                key = CurrentControlSet(registry) + key.substr(strlen("controlset*"));
            bases.push_back({RootKey::LocalMachine, "System"});
            break;
        }
        case LocationHive::User:
            for (const std::string& user : UserKeys(reader))
                bases.push_back({RootKey::Users, user});
            break;
        case LocationHive::UserClasses:
            for (const std::string& user : UserKeys(reader))
                bases.push_back({RootKey::Users, user + "\\Software\\Classes"});
            break;
        case LocationHive::File:
            return;
    }
    for (const auto& [root, base] : bases) {
        std::vector<std::string> keys;
        reader.Expand(root, base, Split(key), 0, &keys);
        for (const std::string& path : keys) {
            if (location.kind == LocationKind::Service)
                reader.ReadServices(path);
            else
                reader.ReadKey(root, path, location, 0);
        }
    }
}

}  // namespace tolvane
