// The machine's registry with Windows semantics, over the hive files of its
// back-end (hive_set.h): a Wine prefix's registry files
// (wine/prefix_hive_set.h) or a Windows installation's regf hives
// (windows/installation_hive_set.h), which say where each root lies.
//
// The calls mirror the Windows API the program was written against
// (RegOpenKeyExA, RegQueryValueExA, ...) and return its error codes
// (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
// ERROR_NO_MORE_ITEMS, ...). Text is code page 1252; the hives' UTF-16 is
// converted on the way in and out.
//
// HKEY_CLASSES_ROOT is the user's classes over the machine's (reads try the
// user's first; writes and deletes go where the key lives, new keys to the
// machine's unless their nearest existing parent is in the user's only;
// enumeration is the union in sorted order). Roots that only list hives
// (HKEY_USERS, and an installation's HKEY_LOCAL_MACHINE) can be enumerated
// and opened, not changed; the performance and dyn-data roots are empty.
// Symbolic-link keys are plain keys holding their "SymbolicLinkValue";
// paths are not redirected through them.
//
// Names compare without regard to case and keep the case they were created
// with. Every change is saved before the call returns (temporary file,
// fsync, rename); a save that fails leaves file and memory as they were and
// gives ERROR_CANTWRITE. A hive file changed on disk by another program is
// read again before the next change to it, and before reads once 50 ms have
// passed since the last look (changes made in this process are seen at
// once). While another program owns the files (a prefix's running
// wineserver), or when a hive file was damaged, is dirty or is read-only on
// the host, changes fail with ERROR_ACCESS_DENIED and LastErrorMessage()
// says why.
//
// Access rights are checked as Windows checks them (KEY_QUERY_VALUE for
// values and QueryInfoKey, KEY_ENUMERATE_SUB_KEYS for EnumKey, KEY_SET_VALUE
// for changing values, KEY_CREATE_SUB_KEY on the parent for new keys);
// access 0 means every right, as RegOpenKeyA gives. Opening with write
// rights fails only where the host keeps the hive file from changing, so a
// running wineserver or a damaged Wine file still lets keys be opened and
// read.
//
// Thread-safe: the scan worker and the window thread may call at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/win_types.h"

namespace tolvane {

enum class RootKey {
    ClassesRoot,
    CurrentUser,
    LocalMachine,
    Users,
    PerformanceData,
    CurrentConfig,
    DynData,
};

// "HKEY_LOCAL_MACHINE" and so on.
const char* RootKeyName(RootKey root);
// Accepts the full names and the short forms HKLM, HKCU, HKCR, HKU, HKCC
// (without regard to case). False for anything else.
bool ParseRootKeyName(std::string_view name, RootKey* root);
// Splits "HKLM\Software\X" into root and path ("Software\X"). False when the
// first component is no root.
bool SplitRegistryPath(std::string_view full, RootKey* root, std::string* path);

// An open key: a small value that names the key and the rights it was opened
// with. Copying it is cheap; CloseKey() only invalidates it. A key deleted
// while open gives ERROR_KEY_DELETED.
struct RegKey {
    RootKey root = RootKey::LocalMachine;
    std::string path;  // below the root, as opened (no leading backslash)
    uint32_t access = 0;
    bool open = false;
};

struct RegKeyInfo {
    uint32_t subKeys = 0;
    uint32_t maxSubKeyLen = 0;  // longest subkey name, characters, no terminator
    uint32_t values = 0;
    uint32_t maxValueNameLen = 0;  // longest value name, characters, no terminator
    uint32_t maxValueLen = 0;      // longest data, bytes (as QueryValue returns it)
    FileTime lastWriteTime = 0;
};

class RegistryStore;  // the hive set and what the registry keeps of it (registry.cpp)
class HiveSet;

class Registry {
  public:
    // The registry over a back-end's hives (hive_set.h): missing hive files
    // are empty hives or roots; damaged ones are reported by LoadProblems()
    // and refuse changes.
    explicit Registry(std::unique_ptr<HiveSet> hives);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The predefined handle of a root: always open with every right.
    static RegKey Root(RootKey root);

    // RegOpenKeyExA: subKey may be empty (opens parent again). Asking for
    // write rights on a hive that cannot be written gives ERROR_ACCESS_DENIED.
    long OpenKey(const RegKey& parent, std::string_view subKey, uint32_t access,
                 RegKey* result) const;
    // RegCreateKeyExA: opens, creating every missing component. *created tells
    // whether the key is new (REG_CREATED_NEW_KEY).
    long CreateKey(const RegKey& parent, std::string_view subKey, uint32_t access, RegKey* result,
                   bool* created = nullptr);
    void CloseKey(RegKey& key) const { key.open = false; }

    // RegQueryValueExA. An empty name is the default value. For REG_SZ,
    // REG_EXPAND_SZ and REG_MULTI_SZ the data is the 1252 text including the
    // terminating zero(s) as stored; other types give their raw bytes.
    long QueryValue(const RegKey& key, std::string_view name, uint32_t* type,
                    std::string* data) const;
    // RegSetValueExA. String types are stored with a terminating zero (one is
    // added when data lacks it).
    long SetValue(const RegKey& key, std::string_view name, uint32_t type, std::string_view data);
    long DeleteValue(const RegKey& key, std::string_view name);

    // RegEnumKeyExA / RegEnumValueA by index, in Wine's order (names sorted
    // without regard to case, hive_tree.h). ERROR_NO_MORE_ITEMS past the end.
    long EnumKey(const RegKey& key, uint32_t index, std::string* name) const;
    long EnumValue(const RegKey& key, uint32_t index, std::string* name, uint32_t* type,
                   std::string* data) const;
    long QueryInfoKey(const RegKey& key, RegKeyInfo* info) const;

    // RegDeleteKeyA: refuses (ERROR_ACCESS_DENIED) a key that has subkeys.
    long DeleteKey(const RegKey& parent, std::string_view subKey);

    // Why the last refused change of this thread was refused ("" if none),
    // e.g. that the prefix's wineserver is running and how to stop it.
    std::string LastErrorMessage() const;
    // "FILE:LINE: what" for every line of a hive file that could not be read.
    std::vector<std::string> LoadProblems() const;
    // For every hive read in full whose content may be stale (a Windows
    // hive with unapplied transaction logs): why, in a sentence.
    std::vector<std::string> StaleReads() const;
    // Whether a hive file is there that the running user may not read (a
    // scan of it sees nothing of it).
    bool Unreadable() const;
    // What of the registry was found on the disk but left unread, and why
    // (a Windows installation's hive or profile that is a link or a pipe).
    std::vector<std::string> UnreadParts() const;
    // Why every change is refused now because another program owns the
    // hive files (a prefix's running wineserver: how to stop it), or "".
    std::string ChangesRefusal() const;
    // The current user's SID (e.g. "S-1-5-21-0-0-0-1000"; "" for an
    // installation without a user profile).
    std::string UserSid() const;
    // A number naming this object for the life of the process (never given
    // to another Registry), for callers that keep something per registry.
    uint64_t Id() const { return id_; }

  private:
    std::unique_ptr<RegistryStore> store_;
    uint64_t id_;
};

// Convenience for callers that only want a key's text value: the data of a
// string value without its terminating zeros; false if missing or no string.
bool ReadRegistryString(const Registry& registry, RootKey root, std::string_view path,
                        std::string_view name, std::string* value);

}  // namespace tolvane
