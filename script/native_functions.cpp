#include "script/native_functions.h"

#include <js/Array.h>
#include <js/Conversions.h>
#include <js/PropertySpec.h>
#include <js/String.h>
#include <jsapi.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "base/codepage.h"
#include "machine/machine.h"
#include "script/message_box_style.h"
#include "script/script_machine.h"

namespace tolvane {

namespace {

namespace work = script_machine;

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

// GetRegValuesInKey and GetRegSubKeys: an array of names, or false when the
// key's information could not be read.
bool ListKey(JSContext* cx, const JS::CallArgs& args, work::KeyListing what) {
    std::string root, path;
    if (!StringArg(cx, args, 0, &root) || !StringArg(cx, args, 1, &path)) return false;
    std::optional<std::vector<std::string>> names =
        work::ListKey(TheMachine(cx).registry(), root, path, what);
    if (!names) {
        args.rval().setBoolean(false);
        return true;
    }
    return ReturnList(cx, args, *names);
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
    args.rval().setNumber(static_cast<double>(work::FileSizeOf(TheMachine(cx).files(), path)));
    return true;
}

bool DeleteFileFn(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string path;
    if (!StringArg(cx, args, 0, &path)) return false;
    args.rval().setBoolean(work::DeleteFileClearingAttributes(TheMachine(cx).files(), path));
    return true;
}

bool RenameFile(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string from, to;
    if (args.length() < 2 || !StringArg(cx, args, 0, &from) || !TextArg(cx, args, 1, &to)) {
        return false;
    }
    args.rval().setBoolean(work::RenameFileClearingAttributes(TheMachine(cx).files(), from, to));
    return true;
}

bool GetFilesInDir(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string folder;
    if (!StringArg(cx, args, 0, &folder)) return false;
    return ReturnList(cx, args, work::FilesInFolder(TheMachine(cx).files(), folder));
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
    work::DeleteFolderTree(TheMachine(cx).files(), folder, [cx] { return StopRequested(cx); });
    args.rval().setUndefined();
    return true;
}

// Module paths of every process; a process without modules contributes its
// own name. Arguments are ignored.
bool GetRunningProcesses(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    return ReturnList(cx, args, work::RunningProcessModules(TheMachine(cx)));
}

bool GetFileFromClsid(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string clsid;
    if (!StringArg(cx, args, 0, &clsid)) return false;
    return ReturnString(cx, args, work::FileOfClsid(TheMachine(cx).registry(), clsid));
}

bool DeleteRegKey(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string rootName, path;
    if (!StringArg(cx, args, 0, &rootName) || !StringArg(cx, args, 1, &path)) return false;
    work::DeleteKeyTree(TheMachine(cx).registry(), rootName, path);
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
    work::DeleteValue(TheMachine(cx).registry(), root, path, name);
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
    return ReturnString(cx, args, work::ReadValue(TheMachine(cx).registry(), root, path, name));
}

bool GetBHOList(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    return ReturnList(cx, args, work::BrowserHelperObjects(TheMachine(cx).registry()));
}

bool KillProcess(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string path;
    if (!StringArg(cx, args, 0, &path)) return false;
    int stillRunning = 0;
    args.rval().setBoolean(work::KillProcessesOf(TheMachine(cx), path, &stillRunning));
    if (stillRunning > 0) Env(cx).programsNotEnded.push_back(path);
    return true;
}

bool SetRegValue(JSContext* cx, unsigned argc, JS::Value* vp) {
    JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
    std::string root, path, name, data;
    if (!StringArg(cx, args, 0, &root) || !StringArg(cx, args, 1, &path) ||
        !StringArg(cx, args, 2, &name) || !StringArg(cx, args, 3, &data)) {
        return false;
    }
    args.rval().setBoolean(
        work::WriteStringValue(TheMachine(cx).registry(), root, path, name, std::move(data)));
    return true;
}

bool GetRegValuesInKey(JSContext* cx, unsigned argc, JS::Value* vp) {
    return ListKey(cx, JS::CallArgsFromVp(argc, vp), work::KeyListing::Values);
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
        work::FileContains(TheMachine(cx).files(), path, text, [cx] { return StopRequested(cx); }));
    return true;
}

bool GetRegSubKeys(JSContext* cx, unsigned argc, JS::Value* vp) {
    return ListKey(cx, JS::CallArgsFromVp(argc, vp), work::KeyListing::SubKeys);
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
