#include "startup/startup_switch.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "base/win_types.h"
#include "host/host_files.h"
#include "machine/machine.h"
#include "machine/shell_folders.h"
#include "startup/command_line.h"
#include "startup/task_reader.h"

namespace tolvane {
namespace {

constexpr const char* kApprovedKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\";
constexpr const char* kRunTail = "software\\microsoft\\windows\\currentversion\\run";
constexpr const char* kRun32Tail = "software\\wow6432node\\microsoft\\windows\\currentversion\\run";
// A service enabled again whose former Start was not kept starts automatically.
constexpr uint32_t kAutomaticStart = 2;
constexpr uint32_t kDisabledStart = 4;
constexpr uint64_t kServiceStartsLimit = uint64_t{4} << 20;

bool IsRunValue(const StartupEntry& entry) {
    std::string lower = LowerAscii(entry.location);
    return entry.kind == LocationKind::Values &&
           (lower.rfind("hklm\\", 0) == 0 || lower.rfind("hku\\", 0) == 0) &&
           lower.ends_with(kRunTail);
}

bool RunPlace(const StartupEntry& entry, ApprovedPlace* place) {
    std::string lower = LowerAscii(entry.location);
    const bool machineWide = lower.rfind("hklm\\", 0) == 0;
    const size_t rootLength = machineWide ? 5 : 4;
    const bool run32 = lower.ends_with(kRun32Tail);
    const size_t tail = std::string_view(run32 ? kRun32Tail : kRunTail).size();
    place->root = machineWide ? RootKey::LocalMachine : RootKey::Users;
    // What stands before "Software": a user's SID under HKEY_USERS.
    place->key = entry.location.substr(rootLength, entry.location.size() - tail - rootLength) +
                 kApprovedKey + (run32 ? "Run32" : "Run");
    place->value = entry.name;
    return true;
}

// A Startup folder item's place: the common folder's in HKLM, a user's in
// that user's keys.
bool FolderPlace(const Machine& machine, const StartupEntry& entry, ApprovedPlace* place) {
    const std::string folder = LowerAscii(entry.location);
    place->value = entry.name;
    for (const UserProfile& profile : machine.Profiles()) {
        std::string path;
        const ShellFolders& shell = profile.shell ? *profile.shell : machine.shell();
        if (!shell.GetFolderPath(CSIDL_STARTUP, &path) || LowerAscii(path) != folder) continue;
        place->root = profile.Root();
        place->key = profile.KeyPath(std::string(kApprovedKey) + "StartupFolder");
        return true;
    }
    std::string current;
    if (machine.shell().GetFolderPath(CSIDL_STARTUP, &current) && LowerAscii(current) == folder) {
        place->root = RootKey::CurrentUser;
        place->key = std::string(kApprovedKey) + "StartupFolder";
        return true;
    }
    place->root = RootKey::LocalMachine;
    place->key = std::string(kApprovedKey) + "StartupFolder";
    return true;
}

std::string Dword(uint32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

// What Task Manager writes for a disabled entry: 03, three zeros, the time.
std::string DisabledApproval() {
    uint64_t now = (static_cast<uint64_t>(std::time(nullptr)) + 11644473600ull) * 10000000ull;
    std::string data = std::string("\x03\0\0\0", 4);
    data.append(reinterpret_cast<const char*>(&now), 8);
    return data;
}

bool SwitchApproval(Machine& machine, const StartupEntry& entry, bool enabled, std::string* error) {
    ApprovedPlace place;
    ApprovedPlaceOf(machine, entry, &place);
    Registry& registry = machine.registry();
    RegKey key;
    long status = enabled ? registry.OpenKey(Registry::Root(place.root), place.key,
                                             KEY_QUERY_VALUE | KEY_SET_VALUE, &key)
                          : registry.CreateKey(Registry::Root(place.root), place.key,
                                               KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    // Enabled and no StartupApproved key: nothing says otherwise.
    if (enabled && status == ERROR_FILE_NOT_FOUND) return true;
    if (status == ERROR_SUCCESS) {
        status = enabled ? registry.DeleteValue(key, place.value)
                         : registry.SetValue(key, place.value, REG_BINARY, DisabledApproval());
        if (enabled && status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    }
    if (status == ERROR_SUCCESS) return true;
    *error = registry.LastErrorMessage();
    if (error->empty()) *error = "the StartupApproved value could not be written";
    return false;
}

// The services' former Start values kept on the host, by lower-case key.
nlohmann::json ReadServiceStarts(const std::string& path) {
    std::string text;
    if (path.empty() || ReadRegularFile(path, kServiceStartsLimit, &text) != RegularFileState::Read)
        return nlohmann::json::object();
    nlohmann::json starts = nlohmann::json::parse(text, nullptr, false);
    return starts.is_object() ? starts : nlohmann::json::object();
}

bool SwitchService(Machine& machine, const StartupEntry& entry, bool enabled,
                   const std::string& stateFolder, std::string* error) {
    Registry& registry = machine.registry();
    const std::string keyPath = ServiceKeyOf(entry);
    RegKey key;
    long status = registry.OpenKey(Registry::Root(RootKey::LocalMachine), keyPath,
                                   KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    const std::string file = stateFolder.empty() ? "" : stateFolder + "/" + kServiceStartsFileName;
    nlohmann::json starts = ReadServiceStarts(file);
    std::string name = LowerAscii(keyPath);
    for (char& c : name)
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    uint32_t start = kDisabledStart;
    if (enabled) {
        start = starts.contains(name) && starts[name].is_number_unsigned()
                    ? starts[name].get<uint32_t>()
                    : kAutomaticStart;
        if (start == kDisabledStart) start = kAutomaticStart;
    } else if (status == ERROR_SUCCESS) {
        uint32_t type = 0;
        std::string data;
        if (registry.QueryValue(key, "Start", &type, &data) == ERROR_SUCCESS && type == REG_DWORD &&
            data.size() == 4) {
            uint32_t former = 0;
            std::memcpy(&former, data.data(), 4);
            if (former != kDisabledStart) starts[name] = former;
        }
    }
    if (status == ERROR_SUCCESS) status = registry.SetValue(key, "Start", REG_DWORD, Dword(start));
    if (status != ERROR_SUCCESS) {
        *error = registry.LastErrorMessage();
        if (error->empty()) *error = "the service's Start value could not be written";
        return false;
    }
    if (enabled) starts.erase(name);
    // The service is switched either way; only its former Start may be lost.
    if (!file.empty()) ReplaceOwnFile(file, starts.dump() + "\n");
    return true;
}

bool SwitchTask(Machine& machine, const StartupEntry& entry, bool enabled, std::string* error) {
    std::string bytes, changed;
    if (!machine.files().ReadWholeFileConfined(entry.location, &bytes))
        return *error = "the task file could not be read", false;
    if (!SetTaskEnabledInXml(bytes, enabled, &changed, error)) return false;
    if (changed == bytes) return true;
    if (!machine.files().WriteWholeFileAtomic(entry.location, changed))
        return *error = "the task file could not be written", false;
    return true;
}

// ASCII markup as the task file spells it: UTF-16 (by its byte-order mark,
// little- or big-endian) or UTF-8.
class TaskText {
  public:
    explicit TaskText(std::string_view bytes) : bytes_(bytes) {
        if (bytes.starts_with("\xff\xfe")) width_ = 2, start_ = 2;
        if (bytes.starts_with("\xfe\xff")) width_ = 2, start_ = 2, bigEndian_ = true;
    }
    std::string Encode(std::string_view ascii) const {
        std::string encoded;
        for (char c : ascii) {
            if (width_ == 2 && bigEndian_) encoded += '\0';
            encoded += c;
            if (width_ == 2 && !bigEndian_) encoded += '\0';
        }
        return encoded;
    }
    // The byte offset of the markup at or after from, on a character
    // boundary; npos when absent.
    size_t Find(std::string_view ascii, size_t from) const {
        if (from == std::string::npos) return std::string::npos;
        const std::string encoded = Encode(ascii);
        for (size_t at = bytes_.find(encoded, std::max(from, start_)); at != std::string::npos;
             at = bytes_.find(encoded, at + 1))
            if ((at - start_) % width_ == 0) return at;
        return std::string::npos;
    }

  private:
    std::string_view bytes_;
    size_t width_ = 1, start_ = 0;
    bool bigEndian_ = false;
};

}  // namespace

SwitchWay SwitchWayOf(const StartupEntry& entry) {
    switch (entry.kind) {
        case LocationKind::Service:
            return ServiceKeyOf(entry).empty() ? SwitchWay::None : SwitchWay::ServiceStart;
        case LocationKind::Tasks:
            return SwitchWay::TaskEnabled;
        case LocationKind::StartupFolder:
            return SwitchWay::StartupApproved;
        case LocationKind::Values:
            return IsRunValue(entry) ? SwitchWay::StartupApproved : SwitchWay::None;
        default:
            return SwitchWay::None;
    }
}

bool ApprovedPlaceOf(const Machine& machine, const StartupEntry& entry, ApprovedPlace* place) {
    if (SwitchWayOf(entry) != SwitchWay::StartupApproved) return false;
    return entry.kind == LocationKind::StartupFolder ? FolderPlace(machine, entry, place)
                                                     : RunPlace(entry, place);
}

bool ApprovedDisabled(const Machine& machine, const StartupEntry& entry) {
    ApprovedPlace place;
    if (!ApprovedPlaceOf(machine, entry, &place)) return false;
    const Registry& registry = machine.registry();
    RegKey key;
    uint32_t type = 0;
    std::string data;
    return registry.OpenKey(Registry::Root(place.root), place.key, KEY_QUERY_VALUE, &key) ==
               ERROR_SUCCESS &&
           registry.QueryValue(key, place.value, &type, &data) == ERROR_SUCCESS &&
           type == REG_BINARY && !data.empty() && (data[0] & 1) != 0;
}

std::string ServiceKeyOf(const StartupEntry& entry) {
    if (entry.kind != LocationKind::Service || LowerAscii(entry.location).rfind("hklm\\", 0) != 0)
        return "";
    return entry.location.substr(5);
}

bool SetStartupEntryEnabled(Machine& machine, const StartupEntry& entry, bool enabled,
                            const std::string& stateFolder, std::string* error) {
    const std::string refusal = machine.ChangesRefusal();
    if (!refusal.empty()) return *error = refusal, false;
    switch (SwitchWayOf(entry)) {
        case SwitchWay::StartupApproved:
            // Wine's wineboot starts every Run entry and Startup folder item
            // whatever StartupApproved says: a "disabled" one would still run.
            if (!enabled && !machine.HonoursStartupApproval()) {
                *error = kApprovalIgnoredHere;
                return false;
            }
            return SwitchApproval(machine, entry, enabled, error);
        case SwitchWay::ServiceStart:
            return SwitchService(machine, entry, enabled, stateFolder, error);
        case SwitchWay::TaskEnabled:
            return SwitchTask(machine, entry, enabled, error);
        case SwitchWay::None:
            break;
    }
    *error = "Windows has no way to disable this kind of entry; it can only be removed";
    return false;
}

bool SetTaskEnabledInXml(std::string_view bytes, bool enabled, std::string* out,
                         std::string* error) {
    TaskDefinition before, after;
    if (!ReadTaskDefinition(bytes, &before, error)) return false;
    const TaskText text(bytes);
    size_t settings = text.Find("<Settings>", 0);
    size_t settingsEnd = text.Find("</Settings>", settings);
    if (settings == std::string::npos || settingsEnd == std::string::npos)
        return *error = "the task has no Settings element to switch", false;
    settings += text.Encode("<Settings>").size();
    const std::string value = enabled ? "true" : "false";
    size_t open = text.Find("<Enabled>", settings);
    size_t close = text.Find("</Enabled>", open);
    *out = std::string(bytes);
    if (open == std::string::npos || close == std::string::npos || close > settingsEnd) {
        out->insert(settings, text.Encode("<Enabled>" + value + "</Enabled>"));
    } else {
        open += text.Encode("<Enabled>").size();
        out->replace(open, close - open, text.Encode(value));
    }
    // Only the switch may have changed: what the task runs stays the same.
    if (!ReadTaskDefinition(*out, &after, error) || after.enabled != enabled ||
        after.actions.size() != before.actions.size() ||
        !std::equal(after.actions.begin(), after.actions.end(), before.actions.begin(),
                    [](const TaskAction& a, const TaskAction& b) {
                        return a.command == b.command && a.arguments == b.arguments;
                    }))
        return *error = "the task's Enabled setting could not be changed alone", false;
    return true;
}

}  // namespace tolvane
