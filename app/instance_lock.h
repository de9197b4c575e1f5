// The one-running-copy lock: an exclusive flock on a file of the running
// user's own lock folder ($XDG_RUNTIME_DIR, else /tmp/tolvane-UID; see
// host/host_files.h), never on a file of the machine: a Windows program
// of the machine could otherwise hold the lock for ever or plant a link that
// steers the lock file's creation elsewhere. The system frees the lock when
// the process ends, however it ends, so a crashed copy never blocks the next
// start.
//
// A lock is per user and per machine: its name carries the machine's
// identity (a digest of the machine folder's canonical path), so copies on
// two prefixes run side by side while a second copy on the same machine is
// refused. Where no lock can be had (no usable per-user folder, a link or
// another file planted under the lock's name), the program runs without one
// rather than not at all, and says so (UnavailableMessage).
#pragma once

#include <string>

#include "host/host_files.h"

namespace tolvane {

class InstanceLock {
  public:
    // The lock file's name for the machine folder (its canonical path):
    // "Tolvane-" and 16 hex digits and ".lock".
    static std::string LockName(const std::string& machineFolder);

    // Takes the lock for the machine. False when another copy holds it
    // (*alreadyRunning set) or no lock could be had.
    bool Acquire(const std::string& machineFolder, bool* alreadyRunning);
    bool held() const { return lock_.held(); }
    // After a failed Acquire that was not another copy's lock: the message
    // telling the user the run goes on without the lock, and why.
    std::string UnavailableMessage() const;
    const std::string& path() const { return lock_.path(); }

  private:
    UserLock lock_;
};

}  // namespace tolvane
