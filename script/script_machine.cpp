#include "script/script_machine.h"

#include <algorithm>
#include <memory>

#include "machine/machine.h"
#include "machine/process_enumerator.h"
#include "machine/registry_tree.h"
#include "scan/percent_decode.h"

namespace tolvane::script_machine {

namespace {

// FileContains reads the file in pieces of this size.
constexpr size_t kContentChunkSize = 1 << 16;

// Opens root\path with the given rights; false for an unknown root name.
bool OpenScriptKey(Registry& registry, std::string_view rootName, std::string_view path,
                   uint32_t access, RegKey* key) {
    std::optional<RootKey> root = RootKeyFromName(rootName);
    if (!root) return false;
    return registry.OpenKey(Registry::Root(*root), path, access, key) == ERROR_SUCCESS;
}

// The data of a value read through a 1024-byte buffer, up to its first zero
// byte; empty when the value is missing or longer than the buffer.
std::string ReadValueText(const Registry& registry, const RegKey& key, std::string_view name) {
    std::string data;
    if (registry.QueryValue(key, name, nullptr, &data) != ERROR_SUCCESS) return {};
    if (data.size() > kValueBufferSize) return {};
    size_t zero = data.find('\0');
    if (zero != std::string::npos) data.resize(zero);
    return data;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '\\') path += '\\';
    path += name;
    return path;
}

}  // namespace

std::optional<RootKey> RootKeyFromName(std::string_view name) {
    static constexpr std::pair<std::string_view, RootKey> kRoots[] = {
        {"HKEY_CLASSES_ROOT", RootKey::ClassesRoot},
        {"HKEY_CURRENT_USER", RootKey::CurrentUser},
        {"HKEY_LOCAL_MACHINE", RootKey::LocalMachine},
        {"HKEY_USERS", RootKey::Users},
        {"HKEY_PERFORMANCE_DATA", RootKey::PerformanceData},
        {"HKEY_CURRENT_CONFIG", RootKey::CurrentConfig},
        {"HKEY_DYN_DATA", RootKey::DynData},
    };
    for (const auto& [rootName, root] : kRoots) {
        if (rootName == name) return root;
    }
    return std::nullopt;
}

// --- Files ---

uint64_t FileSizeOf(FileSystem& files, std::string_view path) {
    File file;
    if (!files.OpenFile(path, FileOpenMode::Read, &file)) return 0;
    uint64_t size = 0;
    if (!file.Size(&size)) size = 0;
    return size;
}

bool DeleteFileClearingAttributes(FileSystem& files, std::string_view path) {
    files.SetFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
    return files.DeleteFile(path);
}

bool RenameFileClearingAttributes(FileSystem& files, std::string_view from, std::string_view to) {
    files.SetFileAttributes(from, FILE_ATTRIBUTE_NORMAL);
    return files.MoveFile(from, to);
}

std::vector<std::string> FilesInFolder(FileSystem& files, std::string_view folder) {
    std::vector<std::string> paths;
    FindHandle handle;
    FindData entry;
    if (files.FindFirstFile(JoinPath(folder, "*.*"), &handle, &entry)) {
        do {
            if (!(entry.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                paths.push_back(JoinPath(folder, entry.name));
            }
        } while (handle.Next(&entry));
    }
    return paths;
}

void DeleteFolderTree(FileSystem& files, const std::string& folder,
                      const std::function<bool()>& stop) {
    if (!files.IsFolder(folder)) return;
    TreeDeletion rules;
    rules.stop = stop;
    rules.clearReadOnlyFiles = false;
    rules.skipDotNames = true;
    files.DeleteTree(folder, rules);
}

bool FileContains(FileSystem& files, std::string_view path, const std::string& text,
                  const std::function<bool()>& stop) {
    uint64_t size = FileSizeOf(files, path);
    File file;
    if (!files.OpenFile(path, FileOpenMode::Read, &file)) return false;
    if (text.empty()) return true;
    std::string window;  // the tail of what was read, then the new piece
    uint64_t remaining = size;
    std::string piece(kContentChunkSize, ' ');
    while (remaining > 0 && !stop()) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kContentChunkSize));
        size_t got = 0;
        if (!file.Read(piece.data(), want, &got) || got == 0) break;
        remaining -= got;
        std::replace(piece.begin(), piece.begin() + got, '\0', ' ');
        window.append(piece, 0, got);
        if (window.find(text) != std::string::npos) return true;
        if (window.size() >= text.size()) window.erase(0, window.size() - (text.size() - 1));
    }
    if (stop()) return false;
    // The unread rest of the size counts as spaces.
    if (remaining > 0) {
        window.append(static_cast<size_t>(std::min<uint64_t>(remaining, text.size())), ' ');
        if (window.find(text) != std::string::npos) return true;
    }
    return false;
}

// --- Processes ---

std::vector<std::string> RunningProcessModules(Machine& machine) {
    std::vector<std::string> paths;
    ProcessEnumerator processes;
    processes.Initialise(&machine, true);
    if (std::unique_ptr<ProcessList> list = processes.CreateProcessList()) {
        ProcessRecord process;
        while (processes.NextProcess(list.get(), &process)) {
            bool anyModule = false;
            if (std::unique_ptr<ModuleList> modules =
                    processes.CreateModuleList(process.processId)) {
                ModuleRecord module;
                while (processes.NextModule(modules.get(), &module)) {
                    paths.push_back(module.path);
                    anyModule = true;
                }
                processes.FreeModuleList(std::move(modules));
            }
            if (!anyModule) paths.push_back(process.exeName);
        }
        processes.FreeProcessList(std::move(list));
    }
    processes.Release();
    return paths;
}

bool KillProcessesOf(Machine& machine, std::string_view path, int* stillRunning) {
    ProcessEnumerator processes;
    processes.Initialise(&machine, true);
    bool found = processes.KillProcessByName(path);
    if (stillRunning) *stillRunning = processes.LastKillStillRunning();
    processes.Release();
    return found;
}

// --- Registry ---

std::string FileOfClsid(Registry& registry, std::string_view clsid) {
    std::string file;
    RegKey key;
    if (registry.OpenKey(Registry::Root(RootKey::ClassesRoot),
                         "CLSID\\" + std::string(clsid) + "\\InprocServer32", KEY_ALL_ACCESS,
                         &key) == ERROR_SUCCESS) {
        file = ReadValueText(registry, key, "");
        registry.CloseKey(key);
    }
    return file;
}

void DeleteKeyTree(Registry& registry, std::string_view rootName, std::string_view path) {
    std::optional<RootKey> root = RootKeyFromName(rootName);
    if (root && path.find_first_not_of('\\') != std::string_view::npos) {
        DeleteRegistryTree(registry, Registry::Root(*root), path);
    }
}

void DeleteValue(Registry& registry, std::string_view rootName, std::string_view path,
                 std::string_view name) {
    RegKey key;
    if (OpenScriptKey(registry, rootName, path, KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE,
                      &key)) {
        registry.DeleteValue(key, name);
        registry.CloseKey(key);
    }
}

std::string ReadValue(Registry& registry, std::string_view rootName, std::string_view path,
                      std::string_view name) {
    std::string data;
    RegKey key;
    if (OpenScriptKey(registry, rootName, path, KEY_ALL_ACCESS, &key)) {
        data = ReadValueText(registry, key, name);
        registry.CloseKey(key);
    }
    return PercentDecode(data);
}

bool WriteStringValue(Registry& registry, std::string_view rootName, std::string_view path,
                      std::string_view name, std::string data) {
    bool written = false;
    RegKey key;
    if (OpenScriptKey(registry, rootName, path, KEY_ALL_ACCESS, &key)) {
        data.push_back('\0');
        written = registry.SetValue(key, name, REG_SZ, data) == ERROR_SUCCESS;
        registry.CloseKey(key);
    }
    return written;
}

std::vector<std::string> BrowserHelperObjects(Registry& registry) {
    std::vector<std::string> clsids;
    for (RootKey root : {RootKey::CurrentUser, RootKey::LocalMachine}) {
        RegKey key;
        if (registry.OpenKey(Registry::Root(root), kBrowserHelperObjectsKey, KEY_ALL_ACCESS,
                             &key) != ERROR_SUCCESS) {
            continue;
        }
        std::string name;
        for (uint32_t index = 0; registry.EnumKey(key, index, &name) == ERROR_SUCCESS; ++index) {
            clsids.push_back(name);
        }
        registry.CloseKey(key);
    }
    return clsids;
}

std::optional<std::vector<std::string>> ListKey(Registry& registry, std::string_view rootName,
                                                std::string_view path, KeyListing what) {
    std::vector<std::string> names;
    RegKey key;
    if (!OpenScriptKey(registry, rootName, path, KEY_ALL_ACCESS, &key)) return names;
    RegKeyInfo info;
    if (registry.QueryInfoKey(key, &info) != ERROR_SUCCESS) {
        registry.CloseKey(key);
        return std::nullopt;
    }
    for (uint32_t index = 0;; ++index) {
        std::string name;
        long code = what == KeyListing::Values
                        ? registry.EnumValue(key, index, &name, nullptr, nullptr)
                        : registry.EnumKey(key, index, &name);
        if (code != ERROR_SUCCESS && code != ERROR_MORE_DATA) break;
        names.push_back(std::move(name));
    }
    registry.CloseKey(key);
    return names;
}

}  // namespace tolvane::script_machine
