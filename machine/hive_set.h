// The hive files behind a machine's registry, as the registry (registry.h)
// uses them, whichever back-end holds them: a Wine prefix's registry text
// files (wine/prefix_hive_set.h) or a Windows installation's regf hives
// (windows/installation_hive_set.h).
//
// The back-end says where a root key and path lie (which file or files, at
// which path in each, or a root that only lists names or is empty), keeps
// each file's tree current with the disk, saves it and says why it refuses a
// change. The registry keeps every Windows rule (rights, the merge of
// HKEY_CLASSES_ROOT, enumeration order, error codes) on top of that.
//
// Not thread-safe: the registry calls with its lock held. Errors are values
// (a false return with a message, or a non-empty refusal text).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "machine/hive_tree.h"
#include "machine/registry.h"

namespace tolvane {

// One hive file of the set and the tree read from it.
class HiveFile {
  public:
    virtual ~HiveFile() = default;

    // The key at a path below the hive's root ("" is the root), or nullptr.
    virtual HiveKey* Find(std::u16string_view path) = 0;
    virtual HiveKey& Root() = 0;
    // Reads the file again when it changed on disk (or was saved by another
    // Registry of this process) since it was read. Reads look at the disk at
    // most every 50 ms; a change (forChange) always does.
    virtual void Refresh(bool forChange) = 0;
    // Why the host keeps the file from being changed at all ("" when it may
    // be): opening a key with write rights fails for it.
    virtual std::string HostRefusal() = 0;
    // Every reason a change to the file is refused now, or "".
    virtual std::string ChangeRefusal() = 0;
    // Writes the tree's changes to the file through one atomic replace.
    // False with *error set: the file is then unchanged on disk and the tree
    // read from it again, so that no half of the change stays.
    virtual bool Save(std::string* error) = 0;
    // "FILE:LINE: what" (or "FILE: what") for every part that could not be
    // read.
    virtual std::vector<std::string> Problems() = 0;
    // Why what was read may be stale although it was read in full (a hive
    // whose transaction logs hold changes not yet written into it), or "".
    virtual std::string StaleReason() { return ""; }
    // Whether the file is there but the running user may not read it.
    virtual bool Unreadable() { return false; }
};

// Where a key of the Windows view lies in a file: the file and the path in it.
struct HivePlace {
    HiveFile* file = nullptr;
    std::u16string path;
};

// Where a root key and path lie.
struct HiveSpot {
    enum Kind {
        Places,      // in one or two files
        ListedRoot,  // a root that lists `names` and holds nothing else
        EmptyRoot,   // a root that is there but empty
        Nowhere,     // no such key
    } kind = Nowhere;
    // With Places: the user's first for a merged key of HKEY_CLASSES_ROOT.
    HivePlace places[2];
    int count = 0;
    // HKEY_CLASSES_ROOT with both halves: the second place's path is the
    // first's below a longer head, and new keys go by where their parents
    // are (registry.h).
    bool merged = false;
    // With ListedRoot: the names in the order of enumeration.
    std::vector<std::u16string> names;
};

class HiveSet {
  public:
    virtual ~HiveSet() = default;

    // Where root\path lies (path backslash-separated, no empty parts).
    virtual HiveSpot Locate(RootKey root, std::u16string_view path) = 0;
    // Every file of the set, for problems and refreshing them all.
    virtual std::vector<HiveFile*> Files() = 0;
    // The current user's SID as the set names it.
    virtual std::string UserSid() = 0;
    // Why every change to this registry is refused now (another program
    // owns the files, e.g. the prefix's running wineserver), or "". A file
    // may refuse changes of its own besides (HiveFile::ChangeRefusal).
    virtual std::string Refusal() = 0;
    // Grows whenever a file of the set is read or saved.
    virtual uint64_t Generation() const = 0;
    // What of the machine's registry was found but left unread, and why (a
    // hive that is a link); fixed when the set is made.
    virtual std::vector<std::string> Unread() const { return {}; }
};

// Tells when a hive file must be read again: the file on disk is another
// (device, inode, size, modification time), or a Registry of this process
// saved it since (a file saved twice within the file system's clock tick can
// show the same size, time and reused inode, so saves are counted per path
// for the whole process).
class HiveFileWatch {
  public:
    explicit HiveFileWatch(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }
    bool loaded() const { return loaded_; }
    // Whether the file must be read (again). Unless forChange, the disk is
    // looked at most every 50 ms; a save of this process is seen at once.
    bool Stale(bool forChange);
    // Records the file as it stands now: call just before reading it.
    void Reading();
    // Records the file just saved by this process.
    void Saved();

  private:
    struct Identity {
        bool exists = false;
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        timespec mtime{};
        bool operator==(const Identity& o) const;
    };
    static Identity IdentityOf(const std::string& path);

    std::string path_;
    Identity identity_;
    uint64_t savesSeen_ = 0;
    std::chrono::steady_clock::time_point lastCheck_;
    bool loaded_ = false;
};

}  // namespace tolvane
