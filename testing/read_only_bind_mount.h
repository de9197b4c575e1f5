// Test support: a folder bind-mounted read-only onto itself, as ntfs-3g
// mounts a Windows that is hibernated or was shut down with fast start-up;
// unmounted however the test ends. Mounting needs root (and a system that
// permits it): readOnly() says whether the mount is in place.
#pragma once

#include <string>

#include "testing/run_command.h"

namespace tolvane::testing {

class ReadOnlyBindMount {
  public:
    explicit ReadOnlyBindMount(const std::string& folder) : folder_(ShellQuote(folder)) {
        mounted_ = RunCommand("mount --bind " + folder_ + " " + folder_ + " 2>/dev/null") == 0;
        readOnly_ =
            mounted_ && RunCommand("mount -o remount,ro,bind " + folder_ + " 2>/dev/null") == 0;
    }
    ~ReadOnlyBindMount() {
        if (mounted_) RunCommand("umount " + folder_ + " 2>/dev/null");
    }
    bool readOnly() const { return readOnly_; }

  private:
    std::string folder_;
    bool mounted_ = false;
    bool readOnly_ = false;
};

}  // namespace tolvane::testing
