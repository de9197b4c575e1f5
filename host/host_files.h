// Host files that are the running user's own, kept apart from any machine: a
// Windows program of the machine may write the machine's files and, where
// they are shared, other folders, so what Tolvane keeps for itself is opened
// without following links and checked for owner and mode on the descriptor
// it then uses.
//
// - UserLock: the per-user folder for locks and an exclusive lock in it.
// - ReadOwnFile / ReplaceOwnFile: a file used only when it is a regular file
//   of the running user that no one else may write.
// - ReadRegularFile: a file the user names (a tool's input), read only when
//   it is a regular file and no larger than a cap.
// - FreeBytes: the space left for the running user on a file system.
//
// Errors are values; nothing here throws. Not thread-safe per object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/held_path.h"

namespace tolvane {

// Whether the host path names a folder (a link to a folder counts).
bool IsHostFolder(const std::string& hostPath);
// Whether the host path names a regular file (a link to one counts).
bool IsHostFile(const std::string& hostPath);

// The folder for the running user's locks: $XDG_RUNTIME_DIR when it is a
// folder of this user's that no one else may enter (0700, as the session
// manager makes it), else /tmp/tolvane-UID, made 0700 when missing. Each is
// opened without following links and checked for owner and mode. nullopt
// when neither will do (for example another user made /tmp/tolvane-UID).
std::optional<std::string> UserLockFolder();

class UserLock {
  public:
    enum class Result {
        Taken,          // this process holds the lock until it ends
        HeldElsewhere,  // another process holds it
        Unavailable,    // no usable per-user folder or lock file
    };

    UserLock() = default;
    UserLock(const UserLock&) = delete;
    UserLock& operator=(const UserLock&) = delete;

    // An exclusive, non-blocking flock on `name` (a plain file name) in the
    // per-user folder; the file is made 0600 when missing, opened with
    // O_NOFOLLOW | O_CLOEXEC, and must be a regular file of this user. The
    // system frees the lock when the process ends, however it ends.
    Result Acquire(std::string_view name);
    bool held() const { return fd_.valid(); }
    // The host path of the lock file once Acquire has found its folder.
    const std::string& path() const { return path_; }
    // After Unavailable: what was found in the way ("PATH is a link"), for
    // the user's message.
    const std::string& unavailableReason() const { return unavailableReason_; }

  private:
    UniqueFd fd_;
    std::string path_;
    std::string unavailableReason_;
};

enum class OwnFileState {
    Usable,            // a regular file of the running user; no one else may write it
    Missing,           // nothing of that name
    Link,              // a symbolic link
    NotRegular,        // a folder, device, pipe or socket
    OtherOwner,        // it belongs to another user
    WritableByOthers,  // its group or everyone may write it
    Failed,            // it could not be opened, read or written
};

// Why a file in that state is not used, as a sentence part: "it is a link".
std::string_view OwnFileStateReason(OwnFileState state);

// Reads hostPath when it is Usable; any other state leaves *content empty.
OwnFileState ReadOwnFile(const std::string& hostPath, std::string* content);

enum class RegularFileState {
    Read,        // the whole file is in *content
    Missing,     // nothing of that name
    NotRegular,  // a folder, device, pipe or socket (a link is followed)
    TooLarge,    // more than the cap (checked on the size and again while reading)
    Failed,      // it could not be opened or read; errno says why
};

// Reads hostPath when it is a regular file of at most maxBytes, whoever's it
// is: opened without blocking (a pipe under the name never hangs the open)
// and checked on the descriptor it is read from, so a device such as
// /dev/zero or a file that grows is never read past the cap. Any state but
// Read leaves *content empty.
RegularFileState ReadRegularFile(const std::string& hostPath, uint64_t maxBytes,
                                 std::string* content);

// Why a file in that state was not read, as a sentence part: "it is not a
// plain file".
std::string ReadRegularFileReason(RegularFileState state, uint64_t maxBytes);

// Replaces hostPath with content, mode 0644, through ReplaceFileAt
// (replacement_temp.h: its locked temporary beside it, synced, renamed over
// it; a leftover of a killed write of this user's is taken over, another
// user's is refused), when what stands there is Usable or Missing, checked
// before the write and again just before the rename; otherwise the file is
// untouched and the state says why. The rename replaces the folder entry: a
// link put there meanwhile is replaced, never written through.
OwnFileState ReplaceOwnFile(const std::string& hostPath, std::string_view content);

// Replaces (or makes) the host file at hostPath with content, whoever's it
// is: through ReplaceFileAt as above, given exactly `mode`, so that a reader sees
// the old or the new file whole; a link at hostPath is replaced, never
// written through. False with errno set when it could not be; the temporary
// is then gone. For the host files the tools write on the user's behalf.
bool ReplaceHostFile(const std::string& hostPath, std::string_view content, unsigned mode = 0644);

// Bytes the running user may still write on the file system holding
// hostPath (statvfs: available blocks times fragment size); nullopt when it
// cannot be asked.
std::optional<uint64_t> FreeBytes(const std::string& hostPath);

}  // namespace tolvane
