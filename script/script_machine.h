// The work behind the scripts' native functions, as plain functions over the
// machine's file system, registry and processes: the engine binding
// (native_functions.cpp) only converts arguments and results.
//
// Paths are Windows paths of the machine; registry roots are given by their
// full names ("HKEY_LOCAL_MACHINE"), compared exactly, and an unknown root
// name is a key that does not exist. Nothing here throws; a failure is the
// result stated for each function. Functions that walk a tree or read a file
// take `stop`, asked between steps, and end early once it returns true.
// Not thread-safe beyond what the machine's parts are: call from the thread
// that runs the script.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "machine/registry.h"

namespace tolvane {

class FileSystem;
class Machine;

// Browser helper objects: one subkey per class identifier, under
// HKEY_CURRENT_USER and under HKEY_LOCAL_MACHINE.
inline constexpr const char* kBrowserHelperObjectsKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";

namespace script_machine {

// Registry data longer than this is not read (the value reads as empty).
inline constexpr size_t kValueBufferSize = 1024;

// The seven full root names; nothing for any other text.
std::optional<RootKey> RootKeyFromName(std::string_view name);

// --- Files ---

// The file's size; 0 when it cannot be opened.
uint64_t FileSizeOf(FileSystem& files, std::string_view path);
// Clears the file's attributes (a read-only file goes too) and deletes it.
bool DeleteFileClearingAttributes(FileSystem& files, std::string_view path);
// Clears the source's attributes and moves it to `to`.
bool RenameFileClearingAttributes(FileSystem& files, std::string_view from, std::string_view to);
// The paths of the files (not folders) directly in folder.
std::vector<std::string> FilesInFolder(FileSystem& files, std::string_view folder);
// The folder's files are deleted as they are (read-only ones stop the walk),
// names starting with "." stay (and with them their folder).
void DeleteFolderTree(FileSystem& files, const std::string& folder,
                      const std::function<bool()>& stop);
// Whether `text` occurs in the file, zero bytes read as spaces, bytes that
// could not be read (up to the size the file had when opened) as spaces.
// Read piece by piece, so a large file does not need a buffer of its size.
bool FileContains(FileSystem& files, std::string_view path, const std::string& text,
                  const std::function<bool()>& stop);

// --- Processes ---

// Module paths of every process; a process without modules contributes its
// own name.
std::vector<std::string> RunningProcessModules(Machine& machine);
// Ends the programs whose file is `path` (KillProcessByName) and waits for
// them to be gone; true when one was found. stillRunning, when given: how
// many did not end within the wait.
bool KillProcessesOf(Machine& machine, std::string_view path, int* stillRunning = nullptr);

// --- Registry ---

// The default value of CLSID\<clsid>\InprocServer32 under the classes root,
// read as ReadValue does; empty when missing.
std::string FileOfClsid(Registry& registry, std::string_view clsid);
// Deletes root\path and all below it. An empty path (or one of backslashes
// only) would name the root itself: a root is never deleted.
void DeleteKeyTree(Registry& registry, std::string_view rootName, std::string_view path);
void DeleteValue(Registry& registry, std::string_view rootName, std::string_view path,
                 std::string_view name);
// The value's data up to its first zero byte, percent-decoded; empty when
// the key or value is missing or the data is longer than kValueBufferSize.
std::string ReadValue(Registry& registry, std::string_view rootName, std::string_view path,
                      std::string_view name);
// Writes a REG_SZ into an existing key only; a missing key is not created.
bool WriteStringValue(Registry& registry, std::string_view rootName, std::string_view path,
                      std::string_view name, std::string data);
// The class identifiers of the browser helper objects, per-user first, then
// the machine-wide ones.
std::vector<std::string> BrowserHelperObjects(Registry& registry);

// The names of a key's values or subkeys; empty for a missing key, nothing
// when the key opened but its information could not be read. The listing
// stops at the end and at any error other than "more data", so a key that
// keeps failing cannot make it loop forever.
enum class KeyListing { Values, SubKeys };
std::optional<std::vector<std::string>> ListKey(Registry& registry, std::string_view rootName,
                                                std::string_view path, KeyListing what);

}  // namespace script_machine
}  // namespace tolvane
