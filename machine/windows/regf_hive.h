// One registry hive file of a Windows installation (the regf files of
// Windows\System32\config, a profile's NTUSER.DAT and UsrClass.dat), read
// through hivex into a tree of keys and values (hive_tree.h), and changed
// through hivex.
//
// Reading: the hive is opened relative to its folder's descriptor without
// following a link, and read whole; hivex's own checks stay on. A hive that
// hivex refuses is damaged: Load reports it with its file and the tree stays
// empty rather than holding a guess. Keys are found by name only (no key
// cycles: a subkey list that leads back to a key already read is a damaged
// hive), at most 512 levels deep as Windows allows.
//
// Changing: refused (WriteRefusal says why and what to do) while the hive is
// dirty (its header's two sequence numbers differ, or a non-empty .LOG1 or
// .LOG2 stands beside it: Windows has changes in its logs that are not yet in
// the hive), while its file system is mounted read-only, when it cannot be
// written, and when it is damaged. Save writes the keys of the tree marked
// changed (HiveKey::changed, set by HiveKey::Touch) into the hive through
// hivex, commits to the temporary file of the one atomic replace beside it
// (ReplaceFileAt, replacement_temp.h), opens that again and checks every
// changed key against the tree before it is renamed over the hive: the hive
// is the old one or the new one, never torn. A saved key is no longer
// marked changed.
// Before its first change the untouched hive is copied once to
// NAME.tolvane-orig, which later runs never overwrite. Copies keep the hive's
// permission bits only (never set-user-ID ones). A NAME.tolvane-orig that is
// a link, not a plain file or a second name of another file is never
// followed: Save refuses the change and says so, for the hive must not
// change without a way back.
//
// A hive over kMaxRegfHiveBytes, or above kSparseCheckFromBytes with less
// than a quarter of it stored on the disk (a sparse file), is refused as
// damaged before anything of it is read.
//
// Not thread-safe: its owner serialises calls (the registry's lock).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "host/held_path.h"

namespace tolvane {

class HiveTree;

class RegfHiveFile {
  public:
    // folderFd: a descriptor of the folder holding the hive (duplicated; the
    // caller keeps its own). name: the hive's entry in it. displayPath: the
    // host path messages name.
    RegfHiveFile(int folderFd, std::string name, std::string displayPath);

    // Reads the hive into *tree, replacing what it held. False with *problem
    // set ("FILE: what") when the hive is missing or damaged; the tree is
    // then empty and every change is refused.
    bool Load(HiveTree* tree, std::string* problem);

    // Why a change to this hive is refused (dirty, read-only mount, not
    // writable, damaged), or "" when it may be changed. Looks at the disk.
    std::string WriteRefusal() const;

    // Writes the changed keys of tree into the hive as described above.
    // False with *error set: the hive on disk is then unchanged.
    bool Save(HiveTree* tree, std::string* error);

    // The entry's name in its folder ("SOFTWARE", "NTUSER.DAT").
    const std::string& Name() const { return name_; }
    // Whether the hive was dirty when last loaded.
    bool Dirty() const { return dirty_; }
    // Why it was dirty when last loaded ("" when it was not).
    const std::string& DirtyDetail() const { return dirtyDetail_; }
    // Whether the last Load was refused the file by its permissions.
    bool Unreadable() const { return unreadable_; }

  private:
    std::string DirtyReason() const;
    bool KeepOriginalOnce(int hiveFd, std::string* error);

    UniqueFd folder_;
    std::string name_;
    std::string displayPath_;
    bool damaged_ = true;
    bool dirty_ = false;
    bool unreadable_ = false;
    std::string dirtyDetail_;
};

inline constexpr uint64_t kMaxRegfHiveBytes = uint64_t{1} << 30;
inline constexpr uint64_t kSparseCheckFromBytes = uint64_t{16} << 20;

// The name of the copy of the untouched hive kept beside it.
std::string RegfOriginalCopyName(const std::string& hiveName);

}  // namespace tolvane
