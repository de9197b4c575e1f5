// The one-running-copy lock: an exclusive flock on a file of the machine's
// application folder. The system frees it when the process ends, however it
// ends, so a crashed copy never blocks the next start. A lock is per machine:
// copies on two prefixes run side by side.
#pragma once

#include <string>

namespace tolvane {

class FileSystem;

inline constexpr const char* kInstanceLockFile = "Tolvane.lock";

class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock on "Tolvane.lock" in the application folder (made when
    // missing). False when another copy holds it or the file cannot be
    // made; *alreadyRunning tells which.
    bool Acquire(FileSystem& files, const std::string& applicationFolder, bool* alreadyRunning);
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

}  // namespace tolvane
