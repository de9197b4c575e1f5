#include "app/startup_actions.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "backup/backup_archive.h"
#include "base/win_types.h"
#include "machine/machine.h"
#include "removal/object_remover.h"
#include "removal/object_rows.h"
#include "removal/removal_flow.h"
#include "removal/removal_view.h"
#include "scan/detected_object.h"
#include "startup/command_line.h"
#include "startup/startup_switch.h"

namespace tolvane {
namespace {

constexpr const char* kTaskCache =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Schedule\\TaskCache\\";
// The TaskCache lists that name a task by its Id besides Tasks\{Id}.
constexpr const char* kTaskCacheLists[] = {"Tasks", "Boot", "Logon", "Plain", "Maintenance"};

constexpr const char* kSwitchBackupQuestion =
    "We recommend creating a backup of the settings being changed so\nthat you will be able to "
    "restore your previous settings in\ncase of a problem.\n\nClick Yes to backup the checked "
    "items.\nClick No to change the checked items without making a backup.";

std::string Format(const char* format, size_t number) {
    char text[160];
    std::snprintf(text, sizeof text, format, static_cast<int>(number));
    return text;
}

// The chosen objects as the rows removal and backup walk, all checked.
class StartupRows : public ObjectRows {
  public:
    struct Row {
        StartupObject object;
        bool checked = true;
        bool mark = false;
    };
    std::vector<Row> rows;

    void Add(const StartupObject& object) {
        for (const Row& row : rows)
            if (row.object.type == object.type &&
                LowerAscii(row.object.text) == LowerAscii(object.text))
                return;
        rows.push_back({object});
    }
    bool Holds(const StartupObject& object) const {
        return std::any_of(rows.begin(), rows.end(),
                           [&](const Row& row) { return row.object == object; });
    }
    size_t RowCount() const override { return rows.size(); }
    bool IsRowChecked(size_t row) const override { return rows[row].checked; }
    ObjectType RowType(size_t row) const override { return rows[row].object.type; }
    std::string RowText(size_t row) const override { return rows[row].object.text; }
    void SetRowChecked(size_t row, bool checked) override { rows[row].checked = checked; }
    bool RowBackupMark(size_t row) const override { return rows[row].mark; }
    void SetRowBackupMark(size_t row, bool marked) override { rows[row].mark = marked; }
    void RemoveRow(size_t row) override { rows.erase(rows.begin() + static_cast<long>(row)); }
};

// "HKLM\path" or "HKU\path" taken apart into its root and the path below
// it (the path removal searches the roots for).
bool KeyBelowRoot(const std::string& location, RootKey* root, std::string* path) {
    const std::string lower = LowerAscii(location);
    for (auto [name, key] : {std::pair{"hklm\\", RootKey::LocalMachine}, {"hku\\", RootKey::Users}})
        if (lower.rfind(name, 0) == 0) {
            *root = key;
            *path = location.substr(strlen(name));
            return true;
        }
    return false;
}

bool KeyExists(const Machine& machine, RootKey root, const std::string& path) {
    RegKey key;
    return machine.registry().OpenKey(Registry::Root(root), path, KEY_QUERY_VALUE, &key) ==
           ERROR_SUCCESS;
}

bool KeyExists(const Machine& machine, const std::string& path) {
    return KeyExists(machine, RootKey::LocalMachine, path);
}

// Values Windows cannot log on or start without: an entry planted in them
// is taken out by editing the value, never by deleting it.
constexpr std::pair<const char*, const char*> kNeededValues[] = {
    {"\\winlogon", "shell"},
    {"\\winlogon", "userinit"},
    {"\\control\\lsa", "authentication packages"},
    {"\\control\\lsa", "security packages"},
    {"\\control\\lsa", "notification packages"},
    {"\\control\\session manager", "bootexecute"},
};

bool NeededByWindows(RootKey root, const std::string& path, const std::string& name) {
    const std::string key = LowerAscii(path), value = LowerAscii(name);
    return root == RootKey::LocalMachine &&
           std::any_of(std::begin(kNeededValues), std::end(kNeededValues), [&](const auto& needed) {
               return value == needed.second && key.size() >= strlen(needed.first) &&
                      key.compare(key.size() - strlen(needed.first), std::string::npos,
                                  needed.first) == 0;
           });
}

// The value's text without its terminating zeros; false when it is missing.
bool ValueText(const Machine& machine, RootKey root, const std::string& path,
               const std::string& name, std::string* text) {
    RegKey key;
    uint32_t type = 0;
    if (machine.registry().OpenKey(Registry::Root(root), path, KEY_QUERY_VALUE, &key) !=
            ERROR_SUCCESS ||
        machine.registry().QueryValue(key, name, &type, text) != ERROR_SUCCESS)
        return false;
    while (!text->empty() && text->back() == '\0') text->pop_back();
    return true;
}

// A value entry's object: the value (taken only while its data still holds
// the command), or the subkey an add-on is listed by (a Browser Helper
// Object's CLSID key).
bool ValueEntryObject(const Machine& machine, const StartupEntry& entry, StartupObject* object,
                      std::string* why) {
    RootKey root;
    std::string path, text;
    // Removal splits "key\name" at its last backslash: a name holding one
    // would name another value.
    if (!KeyBelowRoot(entry.location, &root, &path) || entry.name.find('\\') != std::string::npos ||
        entry.command.empty() || entry.command.find(kValueDataSeparator) != std::string::npos)
        return *why = "this entry cannot be named exactly for removal", false;
    if (ValueText(machine, root, path, entry.name, &text)) {
        if (NeededByWindows(root, path, entry.name))
            return *why =
                       "Windows needs this value to start; set it back to its default "
                       "instead of removing it",
                   false;
        // One value holding several entries (AppInit_DLLs, a list of
        // strings) goes whole: the others would go with this one.
        if (text != entry.command)
            return *why =
                       "the value holds other entries too; removing it would remove them as "
                       "well",
                   false;
        *object = {ObjectType::RegistryValue,
                   path + "\\" + entry.name + kValueDataSeparator + entry.command};
        return true;
    }
    if (KeyExists(machine, root, path + "\\" + entry.name)) {
        *object = {ObjectType::RegistryKey, path + "\\" + entry.name};
        return true;
    }
    return *why = "it is no longer there", false;
}

// The task's TaskCache keys: its Tree key and, by the Id it holds, its
// entries in the lists.
std::vector<StartupObject> TaskCacheObjects(const Machine& machine, const StartupEntry& entry) {
    std::vector<StartupObject> objects;
    const std::string tree = std::string(kTaskCache) + "Tree\\" + entry.name;
    if (!KeyExists(machine, tree)) return objects;
    objects.push_back({ObjectType::RegistryKey, tree});
    std::string id;
    if (!ReadRegistryString(machine.registry(), RootKey::LocalMachine, tree, "Id", &id) ||
        id.empty() || id.find('\\') != std::string::npos)
        return objects;
    for (const char* list : kTaskCacheLists) {
        std::string key = std::string(kTaskCache) + list + "\\" + id;
        if (KeyExists(machine, key)) objects.push_back({ObjectType::RegistryKey, key});
    }
    return objects;
}

}  // namespace

std::vector<StartupObject> RemovalObjectsOf(const Machine& machine, const StartupEntry& entry,
                                            bool withFile, std::string* why) {
    std::vector<StartupObject> objects;
    std::string path;
    switch (entry.kind) {
        case LocationKind::Values: {
            StartupObject object;
            if (!ValueEntryObject(machine, entry, &object, why)) return objects;
            objects.push_back(object);
            break;
        }
        case LocationKind::Service: {
            RootKey root;
            if (!KeyBelowRoot(entry.location, &root, &path))
                return *why = "no service key", objects;
            objects.push_back({ObjectType::RegistryKey, path});
            break;
        }
        case LocationKind::Tasks:
            objects.push_back({ObjectType::File, entry.location});
            for (StartupObject& key : TaskCacheObjects(machine, entry)) objects.push_back(key);
            break;
        case LocationKind::StartupFolder:
            objects.push_back({ObjectType::File, entry.location + "\\" + entry.name});
            break;
        case LocationKind::File:
            objects.push_back({ObjectType::File, entry.location});
            break;
    }
    if (withFile && entry.facts.exists && !entry.file.empty())
        objects.push_back({ObjectType::File, entry.file});
    return objects;
}

std::vector<StartupObject> SwitchObjectsOf(const Machine& machine, const StartupEntry& entry) {
    ApprovedPlace place;
    switch (SwitchWayOf(entry)) {
        case SwitchWay::StartupApproved:
            if (!ApprovedPlaceOf(machine, entry, &place) ||
                place.value.find('\\') != std::string::npos)
                return {};
            return {{ObjectType::RegistryValue, place.key + "\\" + place.value}};
        case SwitchWay::ServiceStart:
            return {{ObjectType::RegistryValue, ServiceKeyOf(entry) + "\\Start"}};
        case SwitchWay::TaskEnabled:
            return {{ObjectType::File, entry.location}};
        case SwitchWay::None:
            break;
    }
    return {};
}

StartupActionResult RemoveStartupEntries(Machine& machine, SettingsStore& settings,
                                         RemovalView& view,
                                         const std::vector<StartupEntry>& entries,
                                         const StartupActionOptions& options) {
    StartupActionResult result;
    StartupRows rows;
    std::vector<std::vector<StartupObject>> objectsOf;
    for (const StartupEntry& entry : entries) {
        std::string why;
        objectsOf.push_back(RemovalObjectsOf(machine, entry, options.withFile, &why));
        if (objectsOf.back().empty())
            result.failures.push_back(entry.location + "\\" + entry.name + ": " + why);
        for (const StartupObject& object : objectsOf.back()) rows.Add(object);
    }
    if (rows.rows.empty()) return result;
    ObjectRemover remover(machine);
    RemovalFlow flow(machine, settings, remover, view);
    BackupArchive backup(machine, view);
    flow.SetBackupCommand([&] { return backup.MarkCheckedForBackup(rows); },
                          options.removeOnlyAfterBackup);
    result.ran = flow.RunRemoval(rows, false);
    if (!result.ran) return result;
    // The rows of objects that are gone have left the list.
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& objects = objectsOf[i];
        bool gone = !objects.empty() &&
                    std::none_of(objects.begin(), objects.end(),
                                 [&](const StartupObject& object) { return rows.Holds(object); });
        result.changed += gone ? 1 : 0;
    }
    for (const StartupRows::Row& row : rows.rows)
        result.failures.push_back(row.object.text + ": still there");
    return result;
}

StartupActionResult SwitchStartupEntries(Machine& machine, RemovalView& view,
                                         const std::vector<StartupEntry>& entries, bool enabled,
                                         const StartupActionOptions& options) {
    using namespace startup_action_text;
    StartupActionResult result;
    std::string refusal = machine.ChangesRefusal();
    if (!refusal.empty()) {
        view.Ask({"Error", refusal, PromptButtons::Ok, PromptIcon::Error});
        return result;
    }
    std::vector<const StartupEntry*> switchable;
    StartupRows rows;
    for (const StartupEntry& entry : entries) {
        if (SwitchWayOf(entry) == SwitchWay::None) {
            result.failures.push_back(entry.location + "\\" + entry.name +
                                      ": Windows has no way to disable this kind of entry; it "
                                      "can only be removed");
            continue;
        }
        switchable.push_back(&entry);
        for (const StartupObject& object : SwitchObjectsOf(machine, entry)) rows.Add(object);
    }
    if (switchable.empty()) return result;
    if (view.Ask({removal_text::kBackupCaption, kSwitchBackupQuestion, PromptButtons::YesNo,
                  PromptIcon::Warning}) == PromptAnswer::Yes) {
        BackupArchive backup(machine, view);
        if (!backup.MarkCheckedForBackup(rows)) {
            if (options.removeOnlyAfterBackup) {
                view.Ask({"Warning", kNothingChangedWithoutBackup, PromptButtons::Ok,
                          PromptIcon::Warning});
                return result;
            }
            view.Ask(
                {"Warning", removal_text::kNoBackupMade, PromptButtons::Ok, PromptIcon::Warning});
        }
    }
    if (view.Ask({"Tolvane",
                  Format(enabled ? kConfirmEnableFormat : kConfirmDisableFormat, switchable.size()),
                  PromptButtons::YesNo, PromptIcon::Question}) != PromptAnswer::Yes)
        return result;
    result.ran = true;
    for (const StartupEntry* entry : switchable) {
        std::string error;
        if (SetStartupEntryEnabled(machine, *entry, enabled, options.stateFolder, &error))
            ++result.changed;
        else
            result.failures.push_back(entry->location + "\\" + entry->name + ": " + error);
    }
    view.Ask({"Tolvane", Format(enabled ? kEnabledFormat : kDisabledFormat, result.changed),
              PromptButtons::Ok, PromptIcon::Information});
    return result;
}

}  // namespace tolvane
