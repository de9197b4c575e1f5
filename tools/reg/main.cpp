// tolvane-reg: reads and changes the registry of a Wine prefix the way
// Windows' reg.exe does, through Tolvane's own registry layer (so it works
// without Wine and refuses changes while the prefix's wineserver runs).
//
// Text on the command line and on the terminal is UTF-8; the registry layer
// speaks code page 1252, so characters outside it show as '?'.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/codepage.h"
#include "base/program_version.h"
#include "discovery/open_machine.h"
#include "host/host_files.h"
#include "host/privileges.h"
#include "machine/registry.h"
#include "regfile/registry_export.h"
#include "regfile/registry_import.h"

namespace tolvane {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: tolvane-reg [--machine PREFIX] COMMAND ARGUMENTS\n"
    "       tolvane-reg --machine WINDOWS-FOLDER [--user NAME] COMMAND ARGUMENTS\n"
    "\n"
    "Reads and changes the registry of a Wine prefix, like Windows' reg.exe.\n"
    "PREFIX defaults to $WINEPREFIX, else ~/.wine. It may also be the folder of a\n"
    "Windows installation on a mounted disk (holding Windows\\System32\\config):\n"
    "its hive files are read and changed, each keeping its untouched copy as\n"
    "NAME.tolvane-orig; --user NAME picks the profile that is HKEY_CURRENT_USER\n"
    "(default: the only one, else the one used last).\n"
    "\n"
    "Commands:\n"
    "  query KEY [/v NAME | /ve] [/s]\n"
    "  add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  export KEY FILE [/y]\n"
    "  import FILE\n"
    "\n"
    "KEY starts with its root: HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU),\n"
    "HKEY_CLASSES_ROOT (HKCR), HKEY_USERS (HKU) or HKEY_CURRENT_CONFIG (HKCC).\n"
    "Quote keys in the shell: 'HKCU\\Software\\Vendor'.\n"
    "\n"
    "'tolvane-reg COMMAND --help' describes one command.\n"
    "Exit status: 0 success, 1 a missing key or value or a refused change, 2 bad usage.\n";

const char kQueryHelp[] =
    "Usage: tolvane-reg query KEY [/v NAME | /ve] [/s]\n"
    "\n"
    "Lists the values of KEY and then the full names of its subkeys.\n"
    "  /v NAME  show only the value NAME\n"
    "  /ve      show only the default value\n"
    "  /s       go through all subkeys too\n";

const char kAddHelp[] =
    "Usage: tolvane-reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "\n"
    "Creates KEY (and every missing key above it); with /v or /ve also sets a value.\n"
    "  /v NAME  the value to set\n"
    "  /ve      set the default value\n"
    "  /t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "           REG_BINARY, REG_DWORD_BIG_ENDIAN, REG_NONE\n"
    "  /s SEP   the separator of REG_MULTI_SZ strings in DATA (default \\0)\n"
    "  /d DATA  the data: text; a number for REG_DWORD and REG_QWORD (0x for hex);\n"
    "           hex digits for REG_BINARY and REG_NONE\n"
    "  /f       overwrite an existing value without asking\n";

const char kDeleteHelp[] =
    "Usage: tolvane-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "\n"
    "Deletes KEY with all its subkeys, or with /v, /ve or /va only values.\n"
    "  /v NAME  delete the value NAME\n"
    "  /ve      delete the default value\n"
    "  /va      delete every value of KEY\n"
    "  /f       do not ask for confirmation\n";

const char kExportHelp[] =
    "Usage: tolvane-reg export KEY FILE [/y]\n"
    "\n"
    "Writes KEY, its values and all its subkeys to FILE (a file of this host) in\n"
    "the registry editor's text format, as Tolvane's backups hold it.\n"
    "  /y  overwrite FILE without asking\n";

const char kImportHelp[] =
    "Usage: tolvane-reg import FILE\n"
    "\n"
    "Adds the keys and values of FILE (a file of this host in the registry\n"
    "editor's text format: \"REGEDIT4\" or \"Windows Registry Editor Version\n"
    "5.00\", 8-bit text or UTF-16 as regedit /e writes it) to the registry; what\n"
    "regedit.exe /i does for Tolvane's restore.\n";

std::string ToTerminal(std::string_view text) {
    return Cp1252ToUtf8(text);
}
std::string FromTerminal(std::string_view text) {
    return Utf8ToCp1252(text);
}

bool IsHelp(std::string_view arg) {
    return arg == "--help" || arg == "-h" || arg == "/?" || arg == "-?";
}

// "/v" and "-v" alike, without regard to case; "" when arg is no switch.
std::string SwitchName(std::string_view arg) {
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) return "";
    std::string name(arg.substr(1));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

int UsageError(const std::string& message, const char* help) {
    std::cerr << "tolvane-reg: " << message << "\n\n" << help;
    return kExitUsage;
}

const char* TypeName(uint32_t type) {
    switch (type) {
        case REG_NONE:
            return "REG_NONE";
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_DWORD_BIG_ENDIAN:
            return "REG_DWORD_BIG_ENDIAN";
        case REG_LINK:
            return "REG_LINK";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case REG_RESOURCE_LIST:
            return "REG_RESOURCE_LIST";
        case REG_FULL_RESOURCE_DESCRIPTOR:
            return "REG_FULL_RESOURCE_DESCRIPTOR";
        case REG_RESOURCE_REQUIREMENTS_LIST:
            return "REG_RESOURCE_REQUIREMENTS_LIST";
        case REG_QWORD:
            return "REG_QWORD";
        default:
            return nullptr;
    }
}

bool ParseTypeName(std::string_view name, uint32_t* type) {
    for (uint32_t t = 0; t <= REG_QWORD; ++t) {
        const char* known = TypeName(t);
        if (known && EqualsNoCase(name, known)) {
            *type = t;
            return true;
        }
    }
    return false;
}

std::string FormatData(uint32_t type, const std::string& data) {
    char buffer[32];
    auto hexBytes = [&]() {
        std::string out;
        for (unsigned char b : data) {
            std::snprintf(buffer, sizeof buffer, "%02X", b);
            out += buffer;
        }
        return out;
    };
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            return data.substr(0, data.find('\0'));
        case REG_MULTI_SZ: {
            std::string text = data;
            while (!text.empty() && text.back() == '\0') text.pop_back();
            std::string out;
            for (char c : text) {
                if (c == '\0')
                    out += "\\0";
                else
                    out += c;
            }
            return out;
        }
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN:
            if (data.size() == 4) {
                uint32_t v = 0;
                for (int i = 0; i < 4; ++i) {
                    int shift = type == REG_DWORD ? 8 * i : 8 * (3 - i);
                    v |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << shift;
                }
                std::snprintf(buffer, sizeof buffer, "0x%x", v);
                return buffer;
            }
            return hexBytes();
        case REG_QWORD:
            if (data.size() == 8) {
                uint64_t v = 0;
                for (int i = 0; i < 8; ++i)
                    v |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
                std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(v));
                return buffer;
            }
            return hexBytes();
        default:
            return hexBytes();
    }
}

void PrintValue(const std::string& name, uint32_t type, const std::string& data) {
    const char* typeName = TypeName(type);
    char unknown[32];
    if (!typeName) {
        std::snprintf(unknown, sizeof unknown, "0x%x", type);
        typeName = unknown;
    }
    std::cout << "    " << (name.empty() ? "(Default)" : ToTerminal(name)) << "    " << typeName
              << "    " << ToTerminal(FormatData(type, data)) << "\n";
}

bool Confirm(const std::string& question) {
    std::cout << question << " (Yes/No) " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

struct KeyArg {
    RootKey root = RootKey::LocalMachine;
    std::string path;
    std::string display;  // full root name and path
};

bool ParseKey(std::string_view text, KeyArg* key) {
    std::string narrow = FromTerminal(text);
    if (!SplitRegistryPath(narrow, &key->root, &key->path)) return false;
    key->display = RootKeyName(key->root);
    if (!key->path.empty()) key->display += "\\" + key->path;
    return true;
}

// Report of a failed registry call: the layer's own reason when it has one.
int Failed(const Registry& registry, long code, const std::string& what) {
    std::string reason = registry.LastErrorMessage();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_KEY_DELETED)
        std::cerr << "tolvane-reg: " << what << ": not found\n";
    else if (!reason.empty())
        std::cerr << "tolvane-reg: " << what << ": " << ToTerminal(reason) << "\n";
    else
        std::cerr << "tolvane-reg: " << what << ": refused (error " << code << ")\n";
    return kExitFailed;
}

struct CommandArgs {
    std::vector<std::string> positional;
    bool hasValue = false;  // /v or /ve
    std::string valueName;
    bool allValues = false;  // /va
    bool recursive = false;
    bool force = false;
    bool hasType = false;
    uint32_t type = REG_SZ;
    bool hasData = false;
    std::string data;
    bool hasSeparator = false;
    std::string separator;
};

// Reads the switches a command allows (allowed: "v", "ve", "va", "s", "t",
// "d", "f" by command); false with *error on anything else.
bool ParseCommandArgs(const std::vector<std::string>& args, const std::vector<std::string>& allowed,
                      CommandArgs* out, std::string* error) {
    auto allowedSwitch = [&](const std::string& s) {
        for (const auto& a : allowed)
            if (a == s) return true;
        return false;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = SwitchName(args[i]);
        if (name.empty()) {
            out->positional.push_back(args[i]);
            continue;
        }
        if (!allowedSwitch(name) || name == "sep") {
            *error = "unknown switch " + args[i];
            return false;
        }
        auto needArg = [&](std::string* value) {
            if (i + 1 >= args.size()) {
                *error = "/" + name + " needs an argument";
                return false;
            }
            *value = args[++i];
            return true;
        };
        if (name == "v") {
            if (out->hasValue || out->allValues)
                return *error = "give only one of /v, /ve, /va", false;
            if (!needArg(&out->valueName)) return false;
            out->valueName = FromTerminal(out->valueName);
            out->hasValue = true;
        } else if (name == "ve") {
            if (out->hasValue || out->allValues)
                return *error = "give only one of /v, /ve, /va", false;
            out->hasValue = true;
            out->valueName.clear();
        } else if (name == "va") {
            if (out->hasValue) return *error = "give only one of /v, /ve, /va", false;
            out->allValues = true;
        } else if (name == "s" && allowedSwitch("sep")) {
            if (!needArg(&out->separator)) return false;
            out->hasSeparator = true;
        } else if (name == "s") {
            out->recursive = true;
        } else if (name == "f") {
            out->force = true;
        } else if (name == "t") {
            std::string typeName;
            if (!needArg(&typeName)) return false;
            if (!ParseTypeName(typeName, &out->type))
                return *error = "unknown type " + typeName, false;
            out->hasType = true;
        } else if (name == "d") {
            if (!needArg(&out->data)) return false;
            out->data = FromTerminal(out->data);
            out->hasData = true;
        }
    }
    return true;
}

void QueryKeyValues(const Registry& registry, const RegKey& key, const std::string& display,
                    bool recursive) {
    std::cout << "\n" << ToTerminal(display) << "\n";
    std::string name, data;
    uint32_t type = 0;
    for (uint32_t i = 0; registry.EnumValue(key, i, &name, &type, &data) == ERROR_SUCCESS; ++i)
        PrintValue(name, type, data);
    std::vector<std::string> subkeys;
    for (uint32_t i = 0; registry.EnumKey(key, i, &name) == ERROR_SUCCESS; ++i)
        subkeys.push_back(name);
    if (recursive) {
        for (const std::string& sub : subkeys) {
            RegKey child;
            if (registry.OpenKey(key, sub, KEY_READ, &child) == ERROR_SUCCESS)
                QueryKeyValues(registry, child, display + "\\" + sub, true);
        }
        return;
    }
    if (!subkeys.empty()) std::cout << "\n";
    for (const std::string& sub : subkeys) std::cout << ToTerminal(display + "\\" + sub) << "\n";
}

int Query(Registry& registry, const std::vector<std::string>& args) {
    CommandArgs a;
    std::string error;
    if (!ParseCommandArgs(args, {"v", "ve", "s"}, &a, &error)) return UsageError(error, kQueryHelp);
    if (a.positional.size() != 1) return UsageError("query takes one KEY", kQueryHelp);
    KeyArg k;
    if (!ParseKey(a.positional[0], &k))
        return UsageError("unknown root in " + a.positional[0], kQueryHelp);
    RegKey key;
    long rc = registry.OpenKey(Registry::Root(k.root), k.path, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return Failed(registry, rc, k.display);
    if (a.hasValue) {
        uint32_t type = 0;
        std::string data;
        rc = registry.QueryValue(key, a.valueName, &type, &data);
        if (rc != ERROR_SUCCESS)
            return Failed(registry, rc,
                          k.display + (a.valueName.empty() ? " (Default)" : " " + a.valueName));
        std::cout << "\n" << ToTerminal(k.display) << "\n";
        // Shown with the name as stored, like the other values.
        std::string stored = a.valueName, name;
        for (uint32_t i = 0; registry.EnumValue(key, i, &name, nullptr, nullptr) == ERROR_SUCCESS;
             ++i) {
            if (EqualsNoCase(name, a.valueName)) {
                stored = name;
                break;
            }
        }
        PrintValue(stored, type, data);
        std::cout << "\n";
        return kExitOk;
    }
    QueryKeyValues(registry, key, k.display, a.recursive);
    std::cout << "\n";
    return kExitOk;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty()) return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(begin, &end, 0);
    if (errno != 0 || *end != '\0' || text[0] == '-' || v > max) return false;
    *out = v;
    return true;
}

bool EncodeData(const CommandArgs& a, std::string* out, std::string* error) {
    switch (a.type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            *out = a.data;
            return true;
        case REG_MULTI_SZ: {
            std::string sep = a.hasSeparator ? a.separator : "\\0";
            out->clear();
            size_t pos = 0;
            if (sep.empty()) return *error = "the /s separator is empty", false;
            while (pos <= a.data.size()) {
                size_t end = a.data.find(sep, pos);
                if (end == std::string::npos) end = a.data.size();
                out->append(a.data, pos, end - pos);
                out->push_back('\0');
                pos = end + sep.size();
            }
            out->push_back('\0');
            return true;
        }
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN: {
            uint64_t v = 0;
            if (!ParseNumber(a.hasData ? a.data : "0", 0xFFFFFFFFu, &v))
                return *error = "REG_DWORD data must be a number from 0 to 4294967295", false;
            out->clear();
            for (int i = 0; i < 4; ++i) {
                int shift = a.type == REG_DWORD ? 8 * i : 8 * (3 - i);
                out->push_back(static_cast<char>((v >> shift) & 0xFF));
            }
            return true;
        }
        case REG_QWORD: {
            uint64_t v = 0;
            if (!ParseNumber(a.hasData ? a.data : "0", UINT64_MAX, &v))
                return *error = "REG_QWORD data must be a number", false;
            out->clear();
            for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
            return true;
        }
        default: {
            if (a.data.size() % 2 != 0)
                return *error = "binary data needs an even number of hex digits", false;
            out->clear();
            for (size_t i = 0; i < a.data.size(); i += 2) {
                char pair[3] = {a.data[i], a.data[i + 1], 0};
                char* end = nullptr;
                long b = std::strtol(pair, &end, 16);
                if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0])))
                    return *error = "binary data must be hex digits", false;
                out->push_back(static_cast<char>(b));
            }
            return true;
        }
    }
}

int Add(Registry& registry, const std::vector<std::string>& args) {
    CommandArgs a;
    std::string error;
    if (!ParseCommandArgs(args, {"v", "ve", "t", "d", "f", "s", "sep"}, &a, &error))
        return UsageError(error, kAddHelp);
    if (a.positional.size() != 1) return UsageError("add takes one KEY", kAddHelp);
    KeyArg k;
    if (!ParseKey(a.positional[0], &k))
        return UsageError("unknown root in " + a.positional[0], kAddHelp);
    if (!a.hasValue && (a.hasType || a.hasData))
        return UsageError("/t and /d need /v NAME or /ve", kAddHelp);
    std::string data;
    if (a.hasValue && !EncodeData(a, &data, &error)) return UsageError(error, kAddHelp);

    RegKey key;
    long rc = registry.CreateKey(Registry::Root(k.root), k.path, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS) return Failed(registry, rc, k.display);
    if (!a.hasValue) {
        std::cout << "The operation completed successfully.\n";
        return kExitOk;
    }
    if (!a.force && registry.QueryValue(key, a.valueName, nullptr, nullptr) == ERROR_SUCCESS) {
        std::string shown = a.valueName.empty() ? "(Default)" : ToTerminal(a.valueName);
        if (!Confirm("The value " + shown + " exists, overwrite?")) {
            std::cerr << "tolvane-reg: the operation was cancelled\n";
            return kExitFailed;
        }
    }
    rc = registry.SetValue(key, a.valueName, a.type, data);
    if (rc != ERROR_SUCCESS) return Failed(registry, rc, k.display);
    std::cout << "The operation completed successfully.\n";
    return kExitOk;
}

// Deletes a key and everything below it, deepest first. Stops at the first
// refusal and returns its code.
long DeleteTree(Registry& registry, const RegKey& parent, const std::string& name) {
    RegKey key;
    long rc = registry.OpenKey(parent, name, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS) return rc;
    std::string sub;
    while ((rc = registry.EnumKey(key, 0, &sub)) == ERROR_SUCCESS) {
        long child = DeleteTree(registry, key, sub);
        if (child != ERROR_SUCCESS) return child;
    }
    if (rc != ERROR_NO_MORE_ITEMS) return rc;
    return registry.DeleteKey(parent, name);
}

int Delete(Registry& registry, const std::vector<std::string>& args) {
    CommandArgs a;
    std::string error;
    if (!ParseCommandArgs(args, {"v", "ve", "va", "f"}, &a, &error))
        return UsageError(error, kDeleteHelp);
    if (a.positional.size() != 1) return UsageError("delete takes one KEY", kDeleteHelp);
    KeyArg k;
    if (!ParseKey(a.positional[0], &k))
        return UsageError("unknown root in " + a.positional[0], kDeleteHelp);
    RegKey key;
    long rc = registry.OpenKey(Registry::Root(k.root), k.path, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS) return Failed(registry, rc, k.display);

    if (a.hasValue || a.allValues) {
        std::string question =
            a.allValues
                ? "Delete all values under the registry key " + ToTerminal(k.display) + "?"
                : "Delete the registry value " +
                      (a.valueName.empty() ? std::string("(Default)") : ToTerminal(a.valueName)) +
                      "?";
        if (!a.force && !Confirm(question)) {
            std::cerr << "tolvane-reg: the operation was cancelled\n";
            return kExitFailed;
        }
        if (a.allValues) {
            std::string name;
            while (registry.EnumValue(key, 0, &name, nullptr, nullptr) == ERROR_SUCCESS) {
                rc = registry.DeleteValue(key, name);
                if (rc != ERROR_SUCCESS) return Failed(registry, rc, k.display + " " + name);
            }
        } else {
            rc = registry.DeleteValue(key, a.valueName);
            if (rc != ERROR_SUCCESS)
                return Failed(registry, rc,
                              k.display + (a.valueName.empty() ? " (Default)" : " " + a.valueName));
        }
        std::cout << "The operation completed successfully.\n";
        return kExitOk;
    }
    if (k.path.empty()) {
        std::cerr << "tolvane-reg: " << k.display << " is a root and cannot be deleted\n";
        return kExitFailed;
    }
    if (!a.force &&
        !Confirm("Permanently delete the registry key " + ToTerminal(k.display) + "?")) {
        std::cerr << "tolvane-reg: the operation was cancelled\n";
        return kExitFailed;
    }
    // A key of HKEY_CLASSES_ROOT may live in both the user's and the
    // machine's classes: each pass deletes one of them.
    for (int pass = 0; pass < 2; ++pass) {
        rc = DeleteTree(registry, Registry::Root(k.root), k.path);
        if (rc != ERROR_SUCCESS) return Failed(registry, rc, k.display);
        RegKey left;
        if (registry.OpenKey(Registry::Root(k.root), k.path, KEY_READ, &left) != ERROR_SUCCESS)
            break;
    }
    std::cout << "The operation completed successfully.\n";
    return kExitOk;
}

// --- export and import: the registry text format of Tolvane's backups -----

// FILE is a host path, which may begin with '/': only "/y" is a switch here.
bool SplitFileArgs(const std::vector<std::string>& args, std::vector<std::string>* positional,
                   bool* overwrite) {
    for (const std::string& arg : args) {
        if (SwitchName(arg) == "y") {
            *overwrite = true;
        } else {
            positional->push_back(arg);
        }
    }
    return true;
}

int Export(const Registry& registry, const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    bool overwrite = false;
    SplitFileArgs(args, &positional, &overwrite);
    if (positional.size() != 2) return UsageError("export needs KEY and FILE", kExportHelp);
    KeyArg k;
    if (!ParseKey(positional[0], &k))
        return UsageError("no registry root in " + positional[0], kExportHelp);
    std::string text = RegistryFileHeader(registry) + "\r\n";
    const size_t headerSize = text.size();
    ExportRegistryTree(registry, RootKeyName(k.root), k.path, &text);
    if (text.size() == headerSize) return Failed(registry, ERROR_FILE_NOT_FOUND, k.display);
    const std::string& file = positional[1];
    if (!overwrite && access(file.c_str(), F_OK) == 0 &&
        !Confirm("File " + file + " already exists. Overwrite it?")) {
        std::cerr << "tolvane-reg: the operation was cancelled\n";
        return kExitFailed;
    }
    // Beside the target first, then renamed over it: a failed write leaves
    // an earlier file whole.
    if (!ReplaceHostFile(file, text)) {
        std::cerr << "tolvane-reg: cannot write " << file << ": " << std::strerror(errno) << "\n";
        return kExitFailed;
    }
    std::cout << "The operation completed successfully.\n";
    return kExitOk;
}

int Import(Registry& registry, const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    bool overwrite = false;
    SplitFileArgs(args, &positional, &overwrite);
    if (positional.size() != 1 || overwrite) return UsageError("import needs FILE", kImportHelp);
    std::ifstream in(positional[0], std::ios::binary);
    if (!in) {
        std::cerr << "tolvane-reg: cannot read " << positional[0] << "\n";
        return kExitFailed;
    }
    std::stringstream content;
    content << in.rdbuf();
    RegistryImportReport report;
    if (!ImportRegistryText(registry, content.str(), &report)) {
        std::cerr << "tolvane-reg: " << positional[0] << " is no registry file (no REGEDIT4 or "
                  << "\"Windows Registry Editor Version 5.00\" line at its top)\n";
        return kExitFailed;
    }
    if (report.skippedLines > 0)
        std::cerr << "tolvane-reg: warning: " << report.skippedLines << " lines skipped\n";
    if (report.failed > 0) {
        std::string reason = registry.LastErrorMessage();
        std::cerr << "tolvane-reg: " << report.failed << " keys or values could not be written"
                  << (reason.empty() ? "" : ": " + ToTerminal(reason)) << "\n";
        return kExitFailed;
    }
    std::cout << "The operation completed successfully (" << report.keys << " keys, "
              << report.values << " values).\n";
    return kExitOk;
}

int Run(int argc, char** argv) {
    std::string prefix, user;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--machine") {
            if (i + 1 >= argc) return UsageError("--machine needs a prefix folder", kUsage);
            prefix = argv[++i];
        } else if (arg.rfind("--machine=", 0) == 0) {
            prefix = arg.substr(10);
        } else if (arg == "--user") {
            if (i + 1 >= argc) return UsageError("--user needs a profile name", kUsage);
            user = argv[++i];
        } else if (arg.rfind("--user=", 0) == 0) {
            user = arg.substr(7);
        } else {
            rest.push_back(arg);
        }
    }
    if (!rest.empty() && rest[0] == "--version") {
        std::cout << "tolvane-reg " << kProgramVersion << "\n";
        return kExitOk;
    }
    if (rest.empty()) return UsageError("no command given", kUsage);
    std::string command = rest[0];
    for (char& c : command) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::vector<std::string> args(rest.begin() + 1, rest.end());
    if (IsHelp(command)) {
        std::cout << kUsage;
        return kExitOk;
    }
    const char* help = command == "query"    ? kQueryHelp
                       : command == "add"    ? kAddHelp
                       : command == "delete" ? kDeleteHelp
                       : command == "export" ? kExportHelp
                       : command == "import" ? kImportHelp
                                             : nullptr;
    if (!help) return UsageError("unknown command " + rest[0], kUsage);
    for (const std::string& arg : args) {
        if (IsHelp(arg)) {
            std::cout << help;
            return kExitOk;
        }
    }
    if (prefix.empty()) prefix = DefaultPrefixPath();
    if (access(prefix.c_str(), F_OK) != 0) {
        std::cerr << "tolvane-reg: no prefix folder at " << prefix << "\n";
        return kExitUsage;
    }
    // Run as root on another user's prefix: that user's rights, before the
    // registry files are opened.
    OwnedRegistry owned = OpenMachineRegistryAsOwner(prefix, user);
    if (!owned.registry) {
        std::cerr << "tolvane-reg: " << owned.error << "\n";
        return owned.rightsFailed ? kExitFailed : kExitUsage;
    }
    std::unique_ptr<Registry> opened = std::move(owned.registry);
    Registry& registry = *opened;
    for (const std::string& problem : registry.LoadProblems())
        std::cerr << "tolvane-reg: warning: " << problem << "\n";
    if (command == "query") return Query(registry, args);
    if (command == "add") return Add(registry, args);
    if (command == "export") return Export(registry, args);
    if (command == "import") return Import(registry, args);
    return Delete(registry, args);
}

}  // namespace
}  // namespace tolvane

int main(int argc, char** argv) {
    return tolvane::Run(argc, argv);
}
