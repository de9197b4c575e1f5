#include "regfile/registry_export.h"

#include <cstdio>

#include "base/codepage.h"

namespace tolvane {
namespace {

constexpr const char* kEol = "\r\n";
// Deepest level below the exported key that the tree walk enters.
constexpr int kMaxTreeDepth = 100;

std::string EscapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string HexBytes(std::string_view prefix, std::string_view data) {
    std::string out(prefix);
    char pair[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(pair, sizeof pair, "%02x,", static_cast<unsigned char>(data[i]));
        out += pair;
        if (i > 0 && i % 21 == 0 && i + 1 < data.size()) {
            out += '\\';
            out += kEol;
        }
    }
    out += kEol;
    return out;
}

std::string TypedHex(uint32_t type, std::string_view data) {
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "hex(%x):", type);
    return HexBytes(prefix, data);
}

// A version text "5.1" as major and minor; false when it has no digits.
bool ParseVersion(const std::string& text, int* major, int* minor) {
    return std::sscanf(text.c_str(), "%d.%d", major, minor) == 2;
}

bool IsVersion5(const Registry& registry) {
    std::string wineVersion;
    if (ReadRegistryString(registry, RootKey::CurrentUser, "Software\\Wine", "Version",
                           &wineVersion) ||
        ReadRegistryString(registry, RootKey::LocalMachine, "Software\\Wine", "Version",
                           &wineVersion)) {
        return EqualsNoCase(wineVersion, "win2k") || EqualsNoCase(wineVersion, "winxp");
    }
    std::string ntVersion;
    int major = 0, minor = 0;
    if (ReadRegistryString(registry, RootKey::LocalMachine,
                           "Software\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion",
                           &ntVersion) &&
        ParseVersion(ntVersion, &major, &minor)) {
        return major == 5 && (minor == 0 || minor == 1);
    }
    return false;
}

// The value lines of an open key, in enumeration order.
void AppendValues(const Registry& registry, const RegKey& key, std::string* out) {
    RegKeyInfo info;
    if (registry.QueryInfoKey(key, &info) != ERROR_SUCCESS) return;
    for (uint32_t index = 0;; ++index) {
        std::string name, data;
        uint32_t type = 0;
        long rc = registry.EnumValue(key, index, &name, &type, &data);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        // Other failures skip the entry; the count bounds the walk.
        if (rc != ERROR_SUCCESS) {
            if (index > info.values) break;
            continue;
        }
        *out += FormatRegistryValueLine(name, type, data);
    }
}

// The block of a subkey: an empty line, its bracketed name and its values.
// Nothing when its values cannot be read.
void AppendValueBlock(const Registry& registry, const RegKey& parent, std::string_view subKey,
                      const std::string& fullName, std::string* out) {
    RegKey key;
    if (registry.OpenKey(parent, subKey, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
    RegKeyInfo info;
    if (registry.QueryInfoKey(key, &info) == ERROR_SUCCESS) {
        *out += kEol;
        *out += "[" + fullName + "]" + kEol;
        AppendValues(registry, key, out);
    }
    registry.CloseKey(key);
}

void ExportSubkeys(const Registry& registry, const RegKey& key, const std::string& fullName,
                   int depth, std::string* out) {
    for (uint32_t index = 0;; ++index) {
        std::string name;
        if (registry.EnumKey(key, index, &name) != ERROR_SUCCESS) break;
        std::string childName = fullName + "\\" + name;
        AppendValueBlock(registry, key, name, childName, out);
        RegKey child;
        if (registry.OpenKey(key, name, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, &child) !=
            ERROR_SUCCESS) {
            *out += kEol;
            *out += "Error";
            *out += kEol;
            continue;
        }
        if (depth < kMaxTreeDepth) ExportSubkeys(registry, child, childName, depth + 1, out);
        registry.CloseKey(child);
    }
}

}  // namespace

std::string RegistryFileHeader(const Registry& registry) {
    return IsVersion5(registry) ? kRegistryHeaderV5 : kRegistryHeaderV4;
}

std::string FormatRegistryData(uint32_t type, std::string_view data) {
    switch (type) {
        case REG_SZ: {
            // The text up to its terminating zero. Data with anything after
            // its first zero would lose that part in quotes: it is kept as
            // bytes instead.
            size_t zero = data.find('\0');
            if (zero == std::string_view::npos || zero + 1 == data.size()) {
                return "\"" + EscapeText(data.substr(0, zero)) + "\"" + kEol;
            }
            return TypedHex(type, data);
        }
        case REG_DWORD: {
            if (data.size() != 4) return TypedHex(type, data);
            uint32_t value = 0;
            for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(data[i]);
            char text[24];
            std::snprintf(text, sizeof text, "dword:%08x", value);
            return std::string(text) + kEol;
        }
        case REG_BINARY:
            return HexBytes("hex:", data);
        default:
            return TypedHex(type, data);
    }
}

std::string FormatRegistryValueLine(std::string_view name, uint32_t type, std::string_view data) {
    std::string line = name.empty() ? std::string("@ = ") : "\"" + EscapeText(name) + "\" = ";
    return line + FormatRegistryData(type, data);
}

void ExportRegistryTree(const Registry& registry, std::string_view rootName,
                        std::string_view keyPath, std::string* out) {
    RootKey root;
    if (!ParseRootKeyName(rootName, &root)) return;
    RegKey key;
    if (registry.OpenKey(Registry::Root(root), keyPath, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE,
                         &key) != ERROR_SUCCESS) {
        return;
    }
    std::string fullName(rootName);
    if (!keyPath.empty()) {
        fullName += "\\";
        fullName += keyPath;
    }
    *out += "[" + fullName + "]" + kEol;
    // The key's own values follow its header: without them a restore would
    // bring the key back empty.
    AppendValues(registry, key, out);
    ExportSubkeys(registry, key, fullName, 1, out);
    registry.CloseKey(key);
}

void ExportRegistryValue(const Registry& registry, RootKey root, std::string_view keyPath,
                         std::string_view valueName, std::string* out,
                         std::string_view displayName) {
    RegKey key;
    if (registry.OpenKey(Registry::Root(root), keyPath, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    uint32_t type = 0;
    std::string data;
    if (registry.QueryValue(key, valueName, &type, &data) == ERROR_SUCCESS) {
        *out += kEol;
        *out += "[" + std::string(displayName) + "]" + kEol;
        *out += FormatRegistryValueLine(valueName, type, data);
    }
    registry.CloseKey(key);
}

}  // namespace tolvane
