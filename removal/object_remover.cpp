#include "removal/object_remover.h"

#include <cctype>
#include <chrono>

#include "base/codepage.h"
#include "base/lines.h"
#include "machine/machine.h"
#include "machine/registry_tree.h"
#include "removal/browser_reset.h"
#include "removal/object_rows.h"
#include "scan/detected_object.h"
#include "scan/scan_engine.h"

namespace tolvane {
namespace {

constexpr RootKey kRemovalRoots[] = {RootKey::ClassesRoot, RootKey::CurrentUser,
                                     RootKey::LocalMachine, RootKey::Users};

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view FileNamePart(std::string_view path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string StripTrailingBackslashes(std::string_view path) {
    std::string out(path);
    while (out.size() > 1 && out.back() == '\\' && out[out.size() - 2] != ':') out.pop_back();
    return out;
}

}  // namespace

bool KillProcessesRunning(Machine& machine, std::string_view path, int* stillRunning) {
    const std::string target = FileSystem::NormalizePath(path);
    const std::string targetName = Lower(FileNamePart(target));
    if (targetName.empty()) return false;
    // The program's own file: its path as started or as mapped, or, for a
    // program started by its name alone, that name.
    auto runs = [&](const std::string& candidate) {
        if (candidate.empty()) return false;
        if (candidate.find_first_of("\\/") == std::string::npos) {
            return Lower(candidate) == targetName;
        }
        return EqualsNoCase(FileSystem::NormalizePath(candidate), target);
    };
    return EndProcesses(
               machine.processes(),
               [&](const ProcessSnapshot& process) {
                   return runs(process.exePath) ||
                          (!process.modules.empty() && runs(process.modules[0]));
               },
               kEndedProgramsWait, stillRunning) > 0;
}

ObjectRemover::ObjectRemover(Machine& machine) : machine_(machine) {
    killer_ = [this](std::string_view path) {
        int stillRunning = 0;
        bool found = KillProcessesRunning(machine_, path, &stillRunning);
        if (stillRunning > 0) programsNotEnded_.emplace_back(path);
        return found;
    };
    afterUnregister_ = [this] { machine_.WaitUntilIdle(std::chrono::seconds(60)); };
}

bool ObjectRemover::RemoveObject(ObjectType type, std::string_view text) {
    switch (type) {
        case ObjectType::File:
            return RemoveFile(text);
        case ObjectType::Folder:
            return RemoveFolder(text);
        case ObjectType::RegistryKey:
            return RemoveRegistryKey(text);
        case ObjectType::RegistryValue:
            return RemoveRegistryValue(text);
        case ObjectType::HostFileItem:
            return RemoveHostsEntry(text);
        default:
            return false;
    }
}

// The slow steps before a file goes: its programs end, a component is
// unregistered (and waited for).
void ObjectRemover::PrepareFileRemoval(std::string_view path) {
    size_t dot = path.rfind('.');
    std::string extension = dot == std::string_view::npos ? "" : Lower(path.substr(dot + 1));
    if (extension == "exe" && killer_) killer_(path);
    if (extension == "dll" || extension == "ocx") {
        Launcher& launcher = machine_.launcher();
        if (launcher.ShellExecute("", "regsvr32.exe", "/u /s " + QuoteWindowsArgument(path))) {
            if (afterUnregister_) afterUnregister_();
        } else if (launcher.RefusedAsRoot()) {
            unregistrationsRefused_.emplace_back(path);
        }
    }
}

void ObjectRemover::NoteRefusal(std::string_view path, long error) {
    // Outside the machine nothing is ever changed: queueing it for the next
    // start would fail the same way.
    if (FileSystem::LastRefusalWasOutside()) {
        for (const std::string& known : outsideMachine_)
            if (EqualsNoCase(known, path)) return;
        outsideMachine_.emplace_back(path);
        return;
    }
    if (error != ERROR_ACCESS_DENIED) return;
    // A file met twice in one run (as a file and inside its folder) is
    // listed and queued once.
    for (const std::string& failed : failedDeletions_)
        if (EqualsNoCase(failed, path)) return;
    failedDeletions_.emplace_back(path);
}

bool ObjectRemover::RemoveFile(std::string_view path) {
    FileSystem& files = machine_.files();
    // Nothing outside the machine is prepared for either (no program ended).
    if (!files.DriveInsidePrefix(path)) {
        files.DeleteFile(path);  // refused, and says why
        NoteRefusal(path, FileSystem::LastError());
        return false;
    }
    PrepareFileRemoval(path);
    files.SetFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
    if (files.DeleteFile(path)) return true;
    NoteRefusal(path, FileSystem::LastError());
    return false;
}

bool ObjectRemover::RemoveFolder(std::string_view path) {
    FileSystem& files = machine_.files();
    std::string folder = StripTrailingBackslashes(path);
    if (!files.IsFolder(folder)) return true;
    TreeDeletion rules;
    rules.beforeFile = [this](const std::string& file) { PrepareFileRemoval(file); };
    rules.refused = [this](const std::string& file, long error) { NoteRefusal(file, error); };
    if (files.DeleteTree(folder, rules)) return true;
    if (FileSystem::LastRefusalWasOutside()) NoteRefusal(folder, ERROR_ACCESS_DENIED);
    return false;
}

bool ObjectRemover::RemoveRegistryKey(std::string_view keyPath) {
    if (keyPath.empty()) return false;
    bool removed = false;
    for (RootKey root : kRemovalRoots) {
        // HKEY_CLASSES_ROOT shows the user's class key over the machine's:
        // deleting one lets the other show through, and it goes too.
        for (int attempt = 0; attempt < (root == RootKey::ClassesRoot ? 2 : 1); ++attempt) {
            if (DeleteRegistryTree(machine_.registry(), Registry::Root(root), keyPath) !=
                ERROR_SUCCESS) {
                break;
            }
            removed = true;
        }
    }
    return removed;
}

namespace {

// "key\name" or "key\name:@:pattern" taken apart; false for a text without
// a backslash after its first character.
struct ValueText {
    std::string_view keyPath, name, pattern;
    bool byData = false;
};
bool SplitValueText(std::string_view text, ValueText* out) {
    size_t marker = text.find(kValueDataSeparator);
    std::string_view fullName = text;
    if (marker != std::string_view::npos && marker > 0) {
        out->byData = true;
        out->pattern = text.substr(marker + 3);
        fullName = text.substr(0, marker);
    }
    size_t slash = fullName.rfind('\\');
    if (slash == std::string_view::npos || slash == 0) return false;
    out->keyPath = fullName.substr(0, slash);
    out->name = fullName.substr(slash + 1);
    return true;
}

}  // namespace

bool ObjectRemover::IsBrowserSetting(std::string_view text) {
    ValueText value;
    return SplitValueText(text, &value) && value.byData &&
           ResetWritesValue(value.keyPath, value.name);
}

bool ObjectRemover::RemoveRegistryValue(std::string_view text) {
    ValueText value;
    bool split = SplitValueText(text, &value);
    size_t marker = text.find(kValueDataSeparator);
    if (marker != std::string_view::npos && marker > 0 &&
        (!split || ResetWritesValue(value.keyPath, value.name))) {
        ++browserSettingsHits_;
        return false;
    }
    if (!split) return false;
    Registry& registry = machine_.registry();
    bool removed = false;
    for (RootKey root : kRemovalRoots) {
        RegKey key;
        if (registry.OpenKey(Registry::Root(root), value.keyPath,
                             KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE,
                             &key) != ERROR_SUCCESS) {
            continue;
        }
        // Recognised by its data: checked again, so that a value the user
        // (or a program) has set to something else since the scan stays.
        uint32_t type = 0;
        std::string data;
        if (!value.byData || (registry.QueryValue(key, value.name, &type, &data) == ERROR_SUCCESS &&
                              ValueDataContains(data, value.pattern, true))) {
            removed |= registry.DeleteValue(key, value.name) == ERROR_SUCCESS;
        }
        registry.CloseKey(key);
    }
    return removed;
}

bool ObjectRemover::ValuePresent(std::string_view text) {
    ValueText value;
    if (!SplitValueText(text, &value)) return false;
    Registry& registry = machine_.registry();
    for (RootKey root : kRemovalRoots) {
        RegKey key;
        if (registry.OpenKey(Registry::Root(root), value.keyPath, KEY_QUERY_VALUE, &key) !=
            ERROR_SUCCESS) {
            continue;
        }
        uint32_t type = 0;
        std::string data;
        bool present = registry.QueryValue(key, value.name, &type, &data) == ERROR_SUCCESS &&
                       (!value.byData || ValueDataContains(data, value.pattern, true));
        registry.CloseKey(key);
        if (present) return true;
    }
    return false;
}

bool ObjectRemover::ObjectPresent(ObjectType type, std::string_view text) {
    FileSystem& files = machine_.files();
    switch (type) {
        case ObjectType::File:
            return files.GetFileAttributes(text) != INVALID_FILE_ATTRIBUTES;
        case ObjectType::Folder:
            return files.IsFolder(StripTrailingBackslashes(text));
        case ObjectType::RegistryKey:
            for (RootKey root : kRemovalRoots) {
                RegKey key;
                if (machine_.registry().OpenKey(Registry::Root(root), text, KEY_QUERY_VALUE,
                                                &key) == ERROR_SUCCESS) {
                    machine_.registry().CloseKey(key);
                    return true;
                }
            }
            return false;
        case ObjectType::RegistryValue:
            return ValuePresent(text);
        case ObjectType::HostFileItem: {
            if (text.empty()) return false;
            for (const std::string& path : HostsFiles()) {
                std::string content;
                if (files.ReadWholeFileConfined(path, &content) &&
                    content.find(text) != std::string::npos)
                    return true;
            }
            return false;
        }
        default:
            return false;
    }
}

std::vector<std::string> ObjectRemover::HostsFiles() const {
    return hostsFiles_ ? *hostsFiles_ : machine_.HostsFiles();
}

bool ObjectRemover::RemoveHostsEntry(std::string_view entry) {
    // Every line contains the empty text: removing it would empty the file.
    if (entry.empty()) return false;
    FileSystem& files = machine_.files();
    const std::vector<std::string> hostsFiles = HostsFiles();
    bool removed = false;
    for (const std::string& path : hostsFiles) {
        std::string content;
        if (!files.ReadWholeFileConfined(path, &content)) continue;
        std::string kept;
        bool changed = false;
        ForEachLine(content, LineEnd::OneCarriageReturn, [&](std::string_view line) {
            if (line.find(entry) == std::string_view::npos) {
                kept.append(line);
                kept += "\r\n";
            } else {
                changed = true;
            }
        });
        // The kept lines replace the file in one rename: a failure leaves
        // the old file whole.
        if (files.WriteWholeFileAtomic(path, kept)) {
            removed |= changed;
        } else if (changed && FileSystem::LastRefusalWasOutside()) {
            NoteRefusal(path, ERROR_ACCESS_DENIED);
        }
    }
    return removed;
}

}  // namespace tolvane
