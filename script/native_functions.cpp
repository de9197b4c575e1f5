#include "script/native_functions.h"

#include <js/Array.h>
#include <js/Conversions.h>
#include <js/PropertySpec.h>
#include <js/String.h>
#include <jsapi.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/codepage.h"
#include "platform/machine.h"
#include "processes/process_enumerator.h"
#include "regfile/registry_tree.h"
#include "scan/percent_decode.h"
#include "script/message_box_style.h"

namespace tolvane {

namespace {

// Registry data longer than this is not read (the value reads as empty).
constexpr size_t kValueBufferSize = 1024;
// IsContentInFile reads the file in pieces of this size.
constexpr size_t kContentChunkSize = 1 << 16;

NativeEnvironment& Env(JSContext* cx) {
    return *static_cast<NativeEnvironment*>(JS_GetContextPrivate(cx));
}
Machine& TheMachine(JSContext* cx) {
    return *Env(cx).machine;
}
bool StopRequested(JSContext* cx) {
    const NativeEnvironment& env = Env(cx);
    return env.stopRequested && env.stopRequested();
}

// --- Value conventions ---

bool StringText(JSContext* cx, JSString* string, std::string* out) {
    size_t length = JS_GetStringLength(string);
    std::u16string units(length, u'\0');
    if (!JS_CopyStringChars(cx, mozilla::Range<char16_t>(units.data(), length), string)) {
        return false;
    }
    size_t zero = units.find(u'\0');
    if (zero != std::u16string::npos) units.resize(zero);
    *out = Utf16ToCp1252(units);
    return true;
}

// A string argument: only a string value is accepted.
bool StringArg(JSContext* cx, const JS::CallArgs& args, unsigned index, std::string* out) {
    if (index >= args.length() || !args[index].isString()) return false;
    return StringText(cx, args[index].toString(), out);
}

// An argument converted to text, whatever its type.
bool TextArg(JSContext* cx, const JS::CallArgs& args, unsigned index, std::string* out) {
    JS::RootedValue value(cx, args.get(index));
    JSString* string = JS::ToString(cx, value);
    return string && StringText(cx, string, out);
}

bool IsIntegerValue(const JS::Value& value) {
    if (value.isInt32()) return true;
    return value.isDouble() && std::isfinite(value.toDouble()) &&
           std::trunc(value.toDouble()) == value.toDouble();
}

JSString* NewString(JSContext* cx, std::string_view text) {
    std::u16string units = Cp1252ToUtf16(text);
    return JS_NewUCStringCopyN(cx, units.data(), units.size());
}

bool ReturnString(JSContext* cx, const JS::CallArgs& args, std::string_view text) {
    JSString* string = NewString(cx, text);
    if (!string) return false;
    args.rval().setString(string);
    return true;
}

bool ReturnList(JSContext* cx, const JS::CallArgs& args, const std::vector<std::string>& items) {
    JS::RootedObject array(cx, JS::NewArrayObject(cx, 0));
    if (!array) return false;
    JS::RootedValue element(cx);
    for (size_t i = 0; i < items.size(); ++i) {
        JSString* string = NewString(cx, items[i]);
        if (!string) return false;
        element.setString(string);
        if (!JS_SetElement(cx, array, static_cast<uint32_t>(i), element)) return false;
    }
    args.rval().setObject(*array);
    return true;
}

int ShowMessage(JSContext* cx, const std::string& text, const std::string& caption,
                uint16_t style) {
    NativeEnvironment& env = Env(cx);
    if (env.userWait) env.userWait(true);
    int pressed = ShowStyledMessageBox(*env.prompter, text, caption, style);
    if (env.userWait) env.userWait(false);
    return pressed;
}

// --- Registry helpers ---

// RootKeyFromName: the seven full root names, compared exactly.
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

// Root and key path of GetRegValuesInKey and GetRegSubKeys. The enumeration
// stops at the end of the list and also at any other error than "more data",
// so a key that keeps failing cannot make it loop forever.
enum class KeyListing { Values, SubKeys };
bool ListKey(JSContext* cx, const JS::CallArgs& args, KeyListing what) {
    std::string root, path;
    if (!StringArg(cx, args, 0, &root) || !StringArg(cx, args, 1, &path)) return false;
    Registry& registry = TheMachine(cx).registry();
    std::vector<std::string> names;
    RegKey key;
    if (!OpenScriptKey(registry, root, path, KEY_ALL_ACCESS, &key))
        return ReturnList(cx, args, names);
    RegKeyInfo info;
    if (registry.QueryInfoKey(key, &info) != ERROR_SUCCESS) {
        registry.CloseKey(key);
        args.rval().setBoolean(false);
        return true;
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
    return ReturnList(cx, args, names);
}

// --- File helpers ---

uint64_t FileSizeOf(FileSystem& files, std::string_view path) {
    File file;
    if (!files.OpenFile(path, FileOpenMode::Read, &file)) return 0;
    uint64_t size = 0;
    if (!file.Size(&size)) size = 0;
    return size;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '\\') path += '\\';
    path += name;
    return path;
}

// DeleteFolderTree: the folder's files are deleted as they are (read-only
// ones stop the walk), names starting with "." stay (and with them their
// folder), and the walk ends when the script is to stop.
void DeleteFolderTree(FileSystem& files, const std::string& folder,
                      const std::function<bool()>& stop) {
    uint32_t attributes = files.GetFileAttributes(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    TreeDeletion rules;
    rules.stop = stop;
    rules.clearReadOnlyFiles = false;
    rules.skipDotNames = true;
    files.DeleteTree(folder, rules);
}

// Whether `text` occurs in the first `size` bytes of the file, zero bytes
// read as spaces, bytes that could not be read as spaces. Read piece by
// piece, so a large file does not need a buffer of its size.
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

// --- The functions, in table order ---

bool Doit(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    if (args.length() < 1) return false;
    if (args[0].isString()) {
        std::string text;
        if (!StringText(cx, args[0].toString(), &text)) return false;
        ShowMessage(cx, text, kScriptApplicationName, message_box::kOk);
    }
    args.rval().setUndefined();
    return true;
}

bool IsFileExists(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string path;
    if (!StringArg(cx, args, 0, &path)) return false;
    args.rval().setBoolean(TheMachine(cx).files().PathFileExists(path));
    return true;
}

// Sizes are whole numbers of the engine's number type, exact up to 2^53
// bytes, so files of a gigabyte and more are reported correctly too.
bool GetFileSizeFn(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string path;
    if (!StringArg(cx, args, 0, &path)) return false;
    args.rval().setNumber(static_cast<double>(FileSizeOf(TheMachine(cx).files(), path)));
    return true;
}

bool DeleteFileFn(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string path;
    if (!StringArg(cx, args, 0, &path)) return false;
    FileSystem& files = TheMachine(cx).files();
    files.SetFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
    args.rval().setBoolean(files.DeleteFile(path));
    return true;
}

bool RenameFile(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string from, to;
    if (args.length() < 2 || !StringArg(cx, args, 0, &from) || !TextArg(cx, args, 1, &to)) {
        return false;
    }
    FileSystem& files = TheMachine(cx).files();
    files.SetFileAttributes(from, FILE_ATTRIBUTE_NORMAL);
    args.rval().setBoolean(files.MoveFile(from, to));
    return true;
}

bool GetFilesInDir(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string folder;
    if (!StringArg(cx, args, 0, &folder)) return false;
    FileSystem& files = TheMachine(cx).files();
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
    return ReturnList(cx, args, paths);
}

bool IsPathExists(JSContext* cx, unsigned argc, JS::Value* vp) {
    return IsFileExists(cx, argc, vp);
}

// The result is false when the copy succeeded and true when it failed.
bool CopyFileFn(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string from, to;
    if (args.length() < 2 || !StringArg(cx, args, 0, &from) || !TextArg(cx, args, 1, &to)) {
        return false;
    }
    args.rval().setBoolean(!TheMachine(cx).files().CopyFile(from, to, false));
    return true;
}

// The functions that only check their string argument and return undefined.
bool CheckStringOnly(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string ignored;
    if (!StringArg(cx, args, 0, &ignored)) return false;
    args.rval().setUndefined();
    return true;
}

bool CheckNothing(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    (void)cx;
    args.rval().setUndefined();
    return true;
}

bool CheckAnyArgument(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    (void)cx;
    if (args.length() < 1) return false;
    args.rval().setUndefined();
    return true;
}

bool DeleteDir(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string folder;
    if (!StringArg(cx, args, 0, &folder)) return false;
    DeleteFolderTree(TheMachine(cx).files(), folder, [cx] { return StopRequested(cx); });
    args.rval().setUndefined();
    return true;
}

// Module paths of every process; a process without modules contributes its
// own name. Arguments are ignored.
bool GetRunningProcesses(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::vector<std::string> paths;
    ProcessEnumerator processes;
    processes.Initialise(&TheMachine(cx), true);
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
    return ReturnList(cx, args, paths);
}

bool GetFileFromClsid(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string clsid;
    if (!StringArg(cx, args, 0, &clsid)) return false;
    Registry& registry = TheMachine(cx).registry();
    std::string file;
    RegKey key;
    if (registry.OpenKey(Registry::Root(RootKey::ClassesRoot),
                         "CLSID\\" + clsid + "\\InprocServer32", KEY_ALL_ACCESS,
                         &key) == ERROR_SUCCESS) {
        file = ReadValueText(registry, key, "");
        registry.CloseKey(key);
    }
    return ReturnString(cx, args, file);
}

// An empty key path would name the root itself: a root is never deleted
// (the tree deletion refuses it too).
bool DeleteRegKey(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string rootName, path;
    if (!StringArg(cx, args, 0, &rootName) || !StringArg(cx, args, 1, &path)) return false;
    std::optional<RootKey> root = RootKeyFromName(rootName);
    if (root && path.find_first_not_of('\\') != std::string::npos) {
        DeleteRegistryTree(TheMachine(cx).registry(), Registry::Root(*root), path);
    }
    args.rval().setUndefined();
    return true;
}

bool DeleteRegValue(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string root, path, name;
    if (!StringArg(cx, args, 0, &root) || !StringArg(cx, args, 1, &path) ||
        !StringArg(cx, args, 2, &name)) {
        return false;
    }
    Registry& registry = TheMachine(cx).registry();
    RegKey key;
    if (OpenScriptKey(registry, root, path, KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, &key)) {
        registry.DeleteValue(key, name);
        registry.CloseKey(key);
    }
    args.rval().setUndefined();
    return true;
}

bool GetRegValue(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string root, path, name;
    if (!StringArg(cx, args, 0, &root) || !StringArg(cx, args, 1, &path) ||
        !StringArg(cx, args, 2, &name)) {
        return false;
    }
    Registry& registry = TheMachine(cx).registry();
    std::string data;
    RegKey key;
    if (OpenScriptKey(registry, root, path, KEY_ALL_ACCESS, &key)) {
        data = ReadValueText(registry, key, name);
        registry.CloseKey(key);
    }
    return ReturnString(cx, args, PercentDecode(data));
}

// Per-user helpers first, then the machine-wide ones.
bool GetBHOList(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    Registry& registry = TheMachine(cx).registry();
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
    return ReturnList(cx, args, clsids);
}

bool KillProcess(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string path;
    if (!StringArg(cx, args, 0, &path)) return false;
    ProcessEnumerator processes;
    processes.Initialise(&TheMachine(cx), true);
    bool found = processes.KillProcessByName(path);
    processes.Release();
    args.rval().setBoolean(found);
    return true;
}

// Writes into an existing key only; a missing key is not created.
bool SetRegValue(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string root, path, name, data;
    if (!StringArg(cx, args, 0, &root) || !StringArg(cx, args, 1, &path) ||
        !StringArg(cx, args, 2, &name) || !StringArg(cx, args, 3, &data)) {
        return false;
    }
    Registry& registry = TheMachine(cx).registry();
    bool written = false;
    RegKey key;
    if (OpenScriptKey(registry, root, path, KEY_ALL_ACCESS, &key)) {
        data.push_back('\0');
        written = registry.SetValue(key, name, REG_SZ, data) == ERROR_SUCCESS;
        registry.CloseKey(key);
    }
    args.rval().setBoolean(written);
    return true;
}

bool GetRegValuesInKey(JSContext* cx, unsigned argc, JS::Value* vp) {
    return ListKey(cx, JS::CallArgsFromVp(argc, vp), KeyListing::Values);
}

bool MessageBoxFn(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string text, caption;
    if (args.length() < 3 || !StringArg(cx, args, 0, &text) || !StringArg(cx, args, 1, &caption) ||
        !IsIntegerValue(args[2])) {
        return false;
    }
    uint16_t style = 0;
    if (!JS::ToUint16(cx, args[2], &style)) return false;
    args.rval().setInt32(ShowMessage(cx, text, caption, style));
    return true;
}

bool IsContentInFile(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string path, text;
    if (!StringArg(cx, args, 0, &path) || !StringArg(cx, args, 1, &text)) return false;
    args.rval().setBoolean(
        FileContains(TheMachine(cx).files(), path, text, [cx] { return StopRequested(cx); }));
    return true;
}

bool GetRegSubKeys(JSContext* cx, unsigned argc, JS::Value* vp) {
    return ListKey(cx, JS::CallArgsFromVp(argc, vp), KeyListing::SubKeys);
}

const JSFunctionSpec kNativeFunctions[] = {
    JS_FN("doit", Doit, 1, 0),
    JS_FN("IsFileExists", IsFileExists, 1, 0),
    JS_FN("GetFileSize", GetFileSizeFn, 1, 0),
    JS_FN("DeleteFile", DeleteFileFn, 1, 0),
    JS_FN("RenameFile", RenameFile, 2, 0),
    JS_FN("GetFilesInDir", GetFilesInDir, 1, 0),
    JS_FN("IsPathExists", IsPathExists, 1, 0),
    JS_FN("CopyFile", CopyFileFn, 2, 0),
    JS_FN("GetModifiedDate", CheckStringOnly, 1, 0),
    JS_FN("GetCreatedDate", CheckStringOnly, 1, 0),
    JS_FN("DeleteDir", DeleteDir, 1, 0),
    JS_FN("GetRunningProcesses", GetRunningProcesses, 1, 0),
    JS_FN("IsIERunning", CheckNothing, 0, 0),
    JS_FN("GetProcessModules", CheckStringOnly, 1, 0),
    JS_FN("IsBHOExists", CheckStringOnly, 1, 0),
    JS_FN("IsFileOnStartup", CheckStringOnly, 1, 0),
    JS_FN("GetStartupFilePathWithKey", CheckStringOnly, 1, 0),
    JS_FN("GetBHOClsid", CheckAnyArgument, 1, 0),
    JS_FN("GetBHOFile", CheckStringOnly, 1, 0),
    JS_FN("GetFileFromClsid", GetFileFromClsid, 1, 0),
    JS_FN("IsClsidExists", CheckStringOnly, 1, 0),
    JS_FN("DeleteRegKey", DeleteRegKey, 2, 0),
    JS_FN("DeleteRegValue", DeleteRegValue, 3, 0),
    JS_FN("GetRegValue", GetRegValue, 3, 0),
    JS_FN("DeleteBHO", CheckStringOnly, 1, 0),
    JS_FN("GetBHOList", GetBHOList, 0, 0),
    JS_FN("KillProcess", KillProcess, 1, 0),
    JS_FN("SetRegValue", SetRegValue, 4, 0),
    JS_FN("GetRegValuesInKey", GetRegValuesInKey, 2, 0),
    JS_FN("MessageBox", MessageBoxFn, 3, 0),
    JS_FN("IsContentInFile", IsContentInFile, 2, 0),
    JS_FN("GetRegSubKeys", GetRegSubKeys, 2, 0),
    JS_FS_END,
};

}  // namespace

const JSFunctionSpec* NativeFunctionTable() {
    return kNativeFunctions;
}

std::vector<NativeFunctionInfo> NativeFunctionList() {
    std::vector<NativeFunctionInfo> list;
    for (const JSFunctionSpec* function = kNativeFunctions; function->name.string(); ++function) {
        list.push_back({function->name.string(), function->nargs});
    }
    return list;
}

}  // namespace tolvane
