// The machine's drives and files with Windows semantics, over the prefix's
// dosdevices/ folder (a prefix without it has only C: = drive_c/).
//
// Paths are Windows paths in code page 1252 ("C:\users\root\x.txt"); either
// slash separates. Resolution takes an exact match first, then a search per
// component without regard to case, as Wine does; ".." never climbs above a
// drive's root. Calls mirror the Windows API (FindFirstFileA, CopyFileA, ...):
// they return true on success and leave the reason in LastError() (a
// per-thread Windows error code), like GetLastError().
//
// Windows refusals that a root-run Linux would not make are kept: a
// read-only file (no write bit) or a file in a read-only folder cannot be
// deleted, moved or overwritten (ERROR_ACCESS_DENIED), nor can a file that a
// running program of the prefix has mapped (in use).
//
// Attributes as Wine gives them: FILE_ATTRIBUTE_DIRECTORY for folders,
// FILE_ATTRIBUTE_ARCHIVE for other files, FILE_ATTRIBUTE_READONLY when no
// write bit is set, FILE_ATTRIBUTE_HIDDEN for names starting with a dot,
// FILE_ATTRIBUTE_REPARSE_POINT for a symbolic link (the other bits describe
// its target; RemoveDirectory of a link to a folder removes only the link,
// as for a junction). Only regular files can be opened or read: pipes and
// devices (under Z:) are refused with ERROR_ACCESS_DENIED.
// A path whose resolved location lies outside every drive (a symbolic link
// leading out of drive_c when no drive covers its target) is refused with
// ERROR_ACCESS_DENIED. Reads and finds follow links to anywhere on a drive.
// A link on a drive whose target lies on none (the malware's link to a host
// file) stands for itself, and nothing of its target is read: finds list it
// as a file of its own (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT,
// the link's own size and times), GetFileAttributes gives it so and
// DeleteFile deletes it; other calls naming it (PathFileExists among them)
// refuse it as above.
//
// Changes (write, create, copy to, move, delete, remove, set attributes or
// times) stay inside the machine's own folder, the prefix, whatever the
// machine says: its files and links may be written by malware and Tolvane
// may run as root. A change whose target lies elsewhere (on Z:, on any drive
// whose folder is outside the prefix) is refused with ERROR_ACCESS_DENIED
// and LastRefusalWasOutside() true. Inside, a change reaches the target's
// folder from a descriptor of the prefix held since construction, one
// component at a time, refusing every link on the way (held_path.h), and
// then acts relative to that folder: a link as the target itself is deleted
// or renamed, never followed to change what it leads to (ERROR_ACCESS_DENIED),
// and a folder swapped for a link after the check changes nothing outside.
// Slow checks (a file in use) come before the folder is reached. Files Tolvane
// makes never carry a set-user-ID, set-group-ID or sticky bit.
//
// Host names Windows cannot hold read through HostNameToWindows (codepage.h):
// a name such as "..\..\x" on the host lists as "..¤5C..¤5Cx", and
// acting on that name acts on that very entry. Thread-safe.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/win_types.h"
#include "host/held_path.h"

namespace tolvane {

struct FindData {
    std::string name;  // the entry's own name, as stored on disk (1252)
    uint32_t attributes = 0;
    uint64_t size = 0;
    FileTime creationTime = 0;
    FileTime lastAccessTime = 0;
    FileTime lastWriteTime = 0;
};

// What a listing reads of each entry.
enum class FindDetail {
    // Every field of FindData: one stat per entry.
    Full,
    // What a walk needs, at the cost of listing the names: the name and the
    // attributes FILE_ATTRIBUTE_DIRECTORY (else FILE_ATTRIBUTE_ARCHIVE),
    // FILE_ATTRIBUTE_REPARSE_POINT and FILE_ATTRIBUTE_HIDDEN, as Full gives
    // them. The type comes from the folder listing where the file system
    // gives it; an entry of unknown type and a link are looked at as Full
    // does, and then carry every field. Otherwise size, times and
    // FILE_ATTRIBUTE_READONLY are left 0: FindHandle::EntrySize reads the size
    // when asked. The handle holds its folder open until it is reused or
    // destroyed (one descriptor per handle).
    Types,
};

// A find-first/find-next walk: the matching entries of one folder, listed
// when FindFirstFile opens it ("." and ".." included for a "*" pattern, as
// Windows gives them).
class FindHandle {
  public:
    bool Next(FindData* data);  // FindNextFileA; false at the end (ERROR_NO_MORE_FILES)
    // The size a Full listing gives the entry the last First or Next gave
    // (a link's target's on a drive, a folder's 0), read now, relative to
    // the folder the handle holds. False for a handle of a Full listing (its
    // FindData has the size) or when the entry cannot be read any more.
    bool EntrySize(uint64_t* size) const;
    // Opens the entry the last First or Next gave to read its content,
    // relative to the folder a Types listing holds, and says in *st what
    // was opened. Only a regular file is opened: the entry is held first as
    // a path (never followed if it is a link) and opened for reading through
    // that descriptor only when it is a regular file, so a pipe or device is
    // never opened and a name swapped meanwhile changes nothing. A link, pipe,
    // device or folder: ERROR_ACCESS_DENIED; a Full listing's handle:
    // ERROR_INVALID_HANDLE; a gone entry: ERROR_FILE_NOT_FOUND.
    bool OpenEntryContent(UniqueFd* file, struct stat* st) const;

  private:
    friend class FileSystem;
    struct Entry {
        FindData data;
        std::string hostName;  // the name on the host (UTF-8)
    };
    std::vector<Entry> entries_;
    std::string folderHost_;     // the listed folder on the host
    std::string folderWindows_;  // and its normalised Windows path
    size_t next_ = 0;
    UniqueFd folder_;                         // the listed folder, held by a Types listing
    std::map<char, std::string> driveRoots_;  // drive letter -> canonical host folder
};

// How DeleteTree deletes a folder with everything in it. Its fixed rules:
// the walk holds each folder open and deletes its entries relative to it; a
// link of any kind inside the tree (to a file or a folder) is deleted as a
// link and never followed; an entry swapped for a link during the walk goes
// as a link; folders nested deeper than kTreeDepthLimit are not walked (the
// tree then stays). Entries are taken in FindFirstFile's order.
struct TreeDeletion {
    // Called with a file's Windows path before it is deleted (ending the
    // programs running it, unregistering it); may be slow.
    std::function<void(const std::string& windowsPath)> beforeFile;
    // Called with each file the machine refused to delete and the reason
    // (ERROR_ACCESS_DENIED for a file in use, read-only or in a read-only folder).
    std::function<void(const std::string& windowsPath, long error)> refused;
    // Polled before each folder's walk and after each subfolder; true stops.
    std::function<bool()> stop;
    // Files lose their read-only attribute first (the folder itself always does).
    bool clearReadOnlyFiles = true;
    // Names starting with "." are left alone (and keep their folder).
    bool skipDotNames = false;
    // Tolvane's own work folders: a failure does not stop the walk, every
    // folder loses its read-only attribute, and a folder that is a link is
    // refused (ERROR_ACCESS_DENIED) rather than deleted as a link. Otherwise
    // a folder's walk stops at its first file or emptied subfolder that could
    // not be deleted (a subfolder whose own walk stopped stays, its parent's
    // walk goes on), and a folder that is a link goes as a link.
    bool goOn = false;
    bool refuseLinkedFolder = false;
};

enum class FileOpenMode {
    Read,       // existing file, read only
    Write,      // create or truncate
    Append,     // create or open, writes go to the end
    ReadWrite,  // existing file
};

// An open file (CreateFileA/ReadFile/WriteFile). Closed by its destructor.
class File {
  public:
    File() = default;

    bool IsOpen() const { return fd_.valid(); }
    // Reads up to size bytes; *read says how many (0 at the end).
    bool Read(void* buffer, size_t size, size_t* read);
    bool Write(std::string_view data);
    bool Flush();  // fsync
    bool Size(uint64_t* size) const;
    void Close();
    // The open descriptor, for a library that writes through one (minizip);
    // it stays this File's.
    int NativeHandle() const { return fd_.get(); }

  private:
    friend class FileSystem;
    UniqueFd fd_;
};

class FileSystem {
  public:
    explicit FileSystem(const std::string& prefixPath);
    // A machine whose drives are fixed (a Windows installation: C: is its
    // folder, prefixPath, and other drives only those given); dosdevices/ is
    // not consulted. Changes stay inside prefixPath as above.
    FileSystem(const std::string& prefixPath, const std::map<char, std::string>& drives);
    ~FileSystem();

    // Tells whether a running program of the machine has a host file mapped;
    // the Machine connects this to its process table.
    void SetInUseCheck(std::function<bool(const std::string& hostPath)> check);
    // Gives the machine's %TEMP% folder (a Windows path); the Machine connects
    // this to its shell folders. Without it TempPath() is "C:\windows\temp\".
    void SetTempFolderSource(std::function<std::string()> source);
    // Tests: called by WriteWholeFileAtomic after the temporary file is
    // written and synced, just before the rename, with the temporary file's
    // host path; returning false stops there as a crash would (the call then
    // fails and removes the temporary file).
    void SetBeforeRenameHookForTesting(std::function<bool(const std::string& tempHostPath)> hook);

    // --- Path mapping ---
    // Host path of a Windows path (resolved case-insensitively as far as it
    // exists; the missing tail is appended as written). nullopt when no drive
    // covers it or the path is malformed.
    std::optional<std::string> ToHostPath(std::string_view windowsPath) const;
    // Windows path of a host path through the drives (the longest match
    // wins); a path that no drive covers is returned as it is.
    std::string ToWindowsPath(std::string_view hostPath) const;
    // Normalises separators and ".." (clamped at the root) without touching
    // the disk: "c:/a/../b" -> "c:\b".
    static std::string NormalizePath(std::string_view windowsPath);
    // The name match of FindFirstFileA: * and ? without regard to case;
    // "*.*" matches every name and "name.*" also matches "name".
    static bool MatchFilePattern(std::string_view pattern, std::string_view name);

    // --- Drives ---
    // GetLogicalDriveStringsA: "C:\", "Z:\" ... for every drive letter of
    // dosdevices/ whose target is a folder, in letter order.
    std::vector<std::string> LogicalDrives() const;
    // Whether the path's drive has its folder inside the prefix (C: =
    // drive_c/), unlike Z: = / or a drive of some other host folder.
    bool DriveInsidePrefix(std::string_view windowsPath) const;
    // GetTempPathA: the machine's temporary folder ending in a backslash.
    std::string TempPath() const;

    // --- Enumeration ---
    // FindFirstFileA over "FOLDER\PATTERN" (PATTERN with * and ?; "*.*"
    // matches every name). On success the first entry is in *data. Entries
    // come sorted by name without regard to case; "." and ".." come first in
    // every folder but a drive's root, as on Windows. No match:
    // ERROR_FILE_NOT_FOUND; a missing folder: ERROR_PATH_NOT_FOUND.
    bool FindFirstFile(std::string_view pattern, FindHandle* handle, FindData* data,
                       FindDetail detail = FindDetail::Full) const;
    // The same over a subfolder just met by another walk: `entry`, the entry
    // that parent's last FindFirstFile/Next gave, followed by a backslash and
    // PATTERN. Gives what FindFirstFile of that path gives; for a plain
    // subfolder it takes the host path the parent walk found instead of
    // resolving the whole path again (a tree walk resolves each folder once).
    // A parent of a Types listing holds its folder: the subfolder is opened
    // relative to it.
    bool FindFirstFileIn(const FindHandle& parent, const FindData& entry, std::string_view pattern,
                         FindHandle* handle, FindData* data,
                         FindDetail detail = FindDetail::Full) const;

    // --- Whole files ---
    bool ReadWholeFile(std::string_view path, std::string* content) const;
    // ReadWholeFile for a file the machine may have made a link to what
    // only root may read (the hosts files): read only inside the machine's
    // folder, through its descriptor walk, never through a link (the file
    // itself or a folder on the way: ERROR_ACCESS_DENIED).
    bool ReadWholeFileConfined(std::string_view path, std::string* content) const;
    // Replaces the file atomically (temporary file beside it, fsync, rename).
    bool WriteWholeFileAtomic(std::string_view path, std::string_view content);
    bool OpenFile(std::string_view path, FileOpenMode mode, File* file);

    // --- Operations ---
    // The target gets the source's permission bits without set-user-ID,
    // set-group-ID and sticky bits.
    bool CopyFile(std::string_view from, std::string_view to, bool failIfExists);
    // The copy a backup keeps: the source is read only inside the machine's
    // folder and never through a link (the file itself or a folder on the
    // way: ERROR_ACCESS_DENIED); the copy is made new (ERROR_FILE_EXISTS when
    // `to` exists) with mode 0600, keeping the last write time.
    bool CopyFileConfined(std::string_view from, std::string_view to);
    bool MoveFile(std::string_view from, std::string_view to);  // fails if `to` exists
    // MoveFileEx with MOVEFILE_REPLACE_EXISTING, for files: one rename, so
    // `to` holds its old or its new content whole at every moment. A
    // read-only or in-use `to`, a folder at `to` and a move to another file
    // system are refused.
    bool MoveFileReplacing(std::string_view from, std::string_view to);
    bool DeleteFile(std::string_view path);
    bool CreateDirectory(std::string_view path);  // parent must exist; ERROR_ALREADY_EXISTS
    bool RemoveDirectory(std::string_view path);  // must be empty
    // Creates the folder and every missing level above it, from the first
    // level after the drive ("C:\") or the "\\" of a network path; '/' counts
    // as '\'. False at the first level that cannot be made or that is a file;
    // true when the whole path is a folder at the end (also when another
    // process made a level in between).
    bool CreateFolderPath(std::string_view folder);
    // Deletes the folder with everything in it by the rules given. True when
    // it is gone; a missing folder fails with ERROR_FILE_NOT_FOUND or
    // ERROR_PATH_NOT_FOUND, a file with ERROR_DIRECTORY.
    bool DeleteTree(std::string_view folder, const TreeDeletion& rules);
    static constexpr int kTreeDepthLimit = 64;
    bool PathFileExists(std::string_view path) const;
    uint32_t GetFileAttributes(std::string_view path) const;  // INVALID_FILE_ATTRIBUTES
    // Whether the path is a folder (its attributes have FILE_ATTRIBUTE_DIRECTORY).
    bool IsFolder(std::string_view path) const;
    // Only FILE_ATTRIBUTE_READONLY changes anything on the host (the write
    // bits); FILE_ATTRIBUTE_NORMAL clears it.
    bool SetFileAttributes(std::string_view path, uint32_t attributes);
    bool GetFileSize(std::string_view path, uint64_t* size) const;
    bool GetFileTimes(std::string_view path, FileTime* creation, FileTime* lastAccess,
                      FileTime* lastWrite) const;
    // A time of 0 leaves that time as it is.
    bool SetFileTimes(std::string_view path, FileTime lastAccess, FileTime lastWrite);

    // The calling thread's error code of the last failed call.
    static long LastError();
    static void SetLastError(long code);
    // Whether the calling thread's last refusal was of a change outside the
    // machine's folder.
    static bool LastRefusalWasOutside();

  private:
    struct Drives;
    struct Resolved;
    struct TreeWalk;
    // The entry a change acts on: its folder held open and its name there.
    struct Held {
        UniqueFd folder;
        std::string name;  // host name in the folder; empty for a drive's root
        std::string host;  // host path, for checks and messages only
        std::string normalized;
        bool exists = false;
        bool parentExists = false;
        bool isRoot = false;
        bool inUse = false;
        struct stat st {};  // the entry itself, links not followed
    };
    // linkItself: a symbolic link as the last part that leads off every
    // drive is taken as itself (an entry of its folder) instead of refused.
    bool Resolve(std::string_view windowsPath, Resolved* out, bool linkItself = false) const;
    bool Hold(std::string_view windowsPath, bool checkInUse, Held* out,
              bool linkItself = false) const;
    bool HoldEntry(std::string_view windowsPath, Held* out, UniqueFd* entry) const;
    bool ReplaceHeld(const Held& target, const std::function<bool(int fd)>& fill, unsigned mode,
                     bool runHook);
    static bool ReplaceableHeld(const Held& held);
    static bool MovableHeld(const Held& held);
    bool OpenForReading(std::string_view path, File* file) const;
    static bool ListFolder(int fd, std::string host, std::string windows, bool isRoot,
                           std::string_view mask, FindDetail detail, FindHandle* handle,
                           FindData* data);
    bool InUse(const std::string& hostPath) const;
    std::unique_ptr<Drives> drives_;
    std::string prefixCanonical_;
    UniqueFd prefixFd_;
    std::function<bool(const std::string&)> inUse_;
    std::function<std::string()> tempSource_;
    std::function<bool(const std::string&)> beforeRename_;
};

// Unix time (seconds) to FILETIME and back.
FileTime UnixToFileTime(int64_t seconds, int64_t nanoseconds = 0);
int64_t FileTimeToUnix(FileTime time);

}  // namespace tolvane
