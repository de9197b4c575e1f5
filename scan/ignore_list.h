// IgnoreList: the objects the user declared harmless. A scan counts a
// recognised object that is on the list in objectsIgnored instead of listing
// it. The list is kept in "Ignorelist.txt" in the process's current folder,
// one entry a line: the threat's name, the object text and the type number,
// separated by commas, lines ending in CR LF. It is read once at start-up and
// rewritten (atomically) after every change.
//
// Choices where the file format leaves room:
// - An entry whose threat name is not in the database is kept: it matches as
//   usual and is shown and saved with the name read from the file.
// - A line without two commas cannot have been written by Save and is
//   skipped (it would match nothing); blank lines are skipped too.
// - The object text runs from the first comma to the last one, so an object
//   text holding commas (registry data often does) survives a save and a
//   load. A file without such texts reads exactly as before.
//
// The file lies in a folder the user works in, which other users or a
// program of the machine may write to; its entries hide threats from the
// scan. So it is used only when it is a regular file of the running user that
// no one else may write (host/host_files.h), opened without following
// links; otherwise it is neither read nor written and Refusal() says why.
//
// Thread-safe: the scan worker asks IsIgnored while the window thread may
// change the list.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/host_files.h"
#include "scan/object_type.h"

namespace tolvane {

class FileSystem;
class ThreatDatabase;
struct ThreatDefinition;

inline constexpr const char* kIgnoreListFileName = "Ignorelist.txt";

struct IgnoreEntry {
    std::string name;                              // the threat's name as saved
    const ThreatDefinition* definition = nullptr;  // none when the name left the database
    std::string objectText;
    ObjectType type{};  // as stored: may be a number that is no type
};

class IgnoreList {
  public:
    // folder: the Windows folder holding Ignorelist.txt (with or without a
    // trailing backslash). hostFolder: the same folder on the host when it
    // is known (the working folder); else the machine's drives map it.
    IgnoreList(FileSystem& files, std::string folder, std::string hostFolder = "");

    // The process's current folder as the machine sees it: the host working
    // folder mapped through the drives, or the application folder when no
    // drive covers it.
    static std::string CurrentFolder(const FileSystem& files, std::string_view hostWorkingFolder);

    // The Windows path of the file.
    const std::string& FilePath() const { return path_; }

    // LoadIgnoreList: replaces the entries by the file's; a missing or
    // unreadable file gives an empty list. Names are looked up in the
    // database (exact, first in database order).
    void Load(const ThreatDatabase& database);
    // SaveIgnoreList: rewrites the whole file; false when it could not be
    // written or is not used (the entries in memory stay as they are, and
    // SaveFailure says why and where).
    bool Save();
    // Why the last Save wrote nothing ("The ignore list could not be written
    // to /home/a/Ignorelist.txt: Permission denied."); "" after a Save that
    // wrote.
    std::string SaveFailure() const;
    // Why the file is not used ("" while it is): "Ignorelist.txt is not
    // used: it belongs to another user."
    std::string Refusal() const;

    // True when an entry has this type and exactly this object text (a
    // hash lookup: a scan asks once per recognised object).
    bool IsIgnored(ObjectType type, std::string_view objectText) const;

    // Appends an entry (not saved; call Save after a batch).
    void Add(const ThreatDefinition* definition, std::string_view name, std::string_view objectText,
             ObjectType type);
    // Removes the entry at index; false when there is none.
    bool RemoveAt(size_t index);
    // Removes the entries at these indexes (ascending) in one pass.
    void RemoveIndexes(const std::vector<size_t>& indexes);

    std::vector<IgnoreEntry> Entries() const;
    size_t Size() const;

  private:
    // The host path of the file; "" when no drive covers it.
    std::string HostPath() const;
    // Notes a refusal for this state; true when the file may be used.
    bool Usable(OwnFileState state);

    FileSystem& files_;
    std::string path_;
    std::string hostFolder_;
    std::string refusal_;      // guarded by mutex_
    std::string saveFailure_;  // guarded by mutex_
    mutable std::mutex mutex_;
    std::vector<IgnoreEntry> entries_;
    // How many entries each (type, object text) has, for IsIgnored.
    std::unordered_map<std::string, size_t> counts_;
    void Count(const IgnoreEntry& entry);
    void Uncount(const IgnoreEntry& entry);
};

}  // namespace tolvane
