// The file locations: scheduled tasks' XML, the Startup folders, single
// files that start when present.
#include <algorithm>
#include <vector>

#include "base/win_types.h"
#include "machine/registry.h"
#include "machine/shell_folders.h"
#include "startup/command_line.h"
#include "startup/lister.h"
#include "startup/shortcut_reader.h"
#include "startup/task_reader.h"

namespace tolvane {
namespace {

// Folders below the tasks folder walked, and files read from it, at most.
constexpr int kTaskDepthLimit = 10;
constexpr size_t kTaskFileCountLimit = 10000;

bool IsDot(const std::string& name) {
    return name == "." || name == "..";
}

// Reads a file of at most limit bytes through one open descriptor; *why
// says why not.
bool ReadBounded(FileSystem& files, const std::string& path, size_t limit, std::string* bytes,
                 std::string* why) {
    File file;
    uint64_t size = 0;
    if (!files.OpenFile(path, FileOpenMode::Read, &file) || !file.Size(&size))
        return *why = "could not be read", false;
    if (size > limit) return *why = "is larger than " + std::to_string(limit >> 20) + " MB", false;
    bytes->resize(static_cast<size_t>(size));
    size_t done = 0, got = 0;
    while (done < bytes->size() && file.Read(bytes->data() + done, bytes->size() - done, &got) &&
           got > 0)
        done += got;
    bytes->resize(done);
    return true;
}

std::string JoinCommand(const std::string& program, const std::string& arguments) {
    std::string command = program.find(' ') != std::string::npos && program.front() != '"'
                              ? "\"" + program + "\""
                              : program;
    return arguments.empty() ? command : command + " " + arguments;
}

void AddTask(Lister& lister, const std::string& path, const std::string& name) {
    std::string bytes, why;
    if (!ReadBounded(lister.machine.files(), path, kTaskFileLimit, &bytes, &why))
        return lister.Note(path + ": the task file " + why);
    TaskDefinition task;
    if (!ReadTaskDefinition(bytes, &task, &why)) return lister.Note(path + ": " + why);
    for (const TaskAction& action : task.actions) {
        StartupEntry entry;
        entry.location = path;
        entry.name = name;
        entry.command = JoinCommand(action.command, action.arguments);
        entry.enabled = task.enabled;
        lister.Add(std::move(entry));
    }
}

void WalkTasks(Lister& lister, const std::string& folder, const std::string& relative, int depth,
               size_t* count) {
    if (depth > kTaskDepthLimit)
        return lister.Note(folder +
                           ": tasks nested deeper than 10 folders "
                           "were not read");
    FindHandle handle;
    FindData data;
    if (!lister.machine.files().FindFirstFile(folder + "\\*", &handle, &data)) return;
    do {
        if (IsDot(data.name)) continue;
        std::string path = folder + "\\" + data.name;
        std::string name = relative.empty() ? data.name : relative + "\\" + data.name;
        if (data.attributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;  // never follow a link out
        if (data.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            WalkTasks(lister, path, name, depth + 1, count);
        } else if (++*count > kTaskFileCountLimit) {
            return lister.Note(folder + ": more than 10,000 task files; the rest were not read");
        } else {
            AddTask(lister, path, name);
        }
    } while (handle.Next(&data));
}

void AddStartupFile(Lister& lister, const std::string& folder, const std::string& name) {
    std::string path = folder + "\\" + name;
    StartupEntry entry;
    entry.location = folder;
    entry.name = name;
    if (LowerAscii(name).size() > 4 && LowerAscii(name).substr(name.size() - 4) == ".lnk") {
        std::string bytes, why;
        ShortcutTarget target;
        if (!ReadBounded(lister.machine.files(), path, kShortcutFileLimit, &bytes, &why))
            return lister.Note(path + ": the shortcut " + why);
        if (!ReadShortcut(bytes, &target, &why)) return lister.Note(path + ": " + why);
        entry.command = JoinCommand(target.path, target.arguments);
    } else {
        entry.command = JoinCommand(path, "");
        entry.file = path;
    }
    lister.Add(std::move(entry));
}

void ListStartupFolder(Lister& lister, const std::string& folder) {
    FindHandle handle;
    FindData data;
    if (!lister.machine.files().FindFirstFile(folder + "\\*", &handle, &data)) return;
    do {
        if (data.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        if (LowerAscii(data.name) == "desktop.ini") continue;
        AddStartupFile(lister, folder, data.name);
    } while (handle.Next(&data));
}

// Every user's profile folder: those ProfileList names, and the current
// user's as the shell folders give it.
std::vector<std::string> Profiles(Lister& lister) {
    std::vector<std::string> profiles;
    const Registry& registry = lister.machine.registry();
    const std::string list = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    RegKey key;
    if (registry.OpenKey(Registry::Root(RootKey::LocalMachine), list, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        std::string sid, folder;
        for (uint32_t i = 0; i < kKeyItemLimit && registry.EnumKey(key, i, &sid) == ERROR_SUCCESS;
             ++i)
            if (ReadRegistryString(registry, RootKey::LocalMachine, list + "\\" + sid,
                                   "ProfileImagePath", &folder))
                profiles.push_back(lister.Expand(folder));
    }
    std::string current;
    if (lister.machine.shell().GetFolderPath(CSIDL_PROFILE, &current)) profiles.push_back(current);
    std::vector<std::string> unique;
    for (const std::string& profile : profiles) {
        bool known = false;
        for (const std::string& seen : unique)
            known = known || LowerAscii(seen) == LowerAscii(profile);
        if (!known && !profile.empty()) unique.push_back(profile);
    }
    return unique;
}

// The pattern's folders: the machine's variables expanded, {APPDATA} and
// {USERPROFILE} once for each profile.
std::vector<std::string> Folders(Lister& lister, const std::string& pattern) {
    std::vector<std::string> folders;
    auto replace = [](std::string text, const std::string& from, const std::string& to) {
        size_t at = text.find(from);
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    if (pattern.find('{') == std::string::npos) return {lister.Expand(pattern)};
    for (const std::string& profile : Profiles(lister))
        folders.push_back(
            lister.Expand(replace(replace(pattern, "{APPDATA}", profile + "\\AppData\\Roaming"),
                                  "{USERPROFILE}", profile)));
    return folders;
}

std::string Strip(std::string pattern, const std::string& tail) {
    if (pattern.size() >= tail.size() &&
        pattern.compare(pattern.size() - tail.size(), tail.size(), tail) == 0)
        pattern.resize(pattern.size() - tail.size());
    return pattern;
}

}  // namespace

void ListFileLocation(Lister& lister, const StartupLocation& location) {
    switch (location.kind) {
        case LocationKind::Tasks:
            for (const std::string& folder : Folders(lister, Strip(location.key, "\\**"))) {
                size_t count = 0;
                WalkTasks(lister, folder, "", 0, &count);
            }
            break;
        case LocationKind::StartupFolder:
            for (const std::string& folder : Folders(lister, Strip(location.key, "\\*")))
                ListStartupFolder(lister, folder);
            break;
        case LocationKind::File:
            for (const std::string& path : Folders(lister, location.key)) {
                if (path.find('*') != std::string::npos || !lister.Exists(path)) continue;
                StartupEntry entry;
                entry.location = path;
                entry.name = path.substr(path.find_last_of('\\') + 1);
                entry.command = JoinCommand(path, "");
                entry.file = path;
                lister.Add(std::move(entry));
            }
            break;
        default:
            break;
    }
}

}  // namespace tolvane
