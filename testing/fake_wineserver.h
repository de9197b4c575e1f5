// Test support: a child process that holds the lock a running wineserver of
// a prefix holds, taken the way the server takes it (a POSIX write lock on
// "lock" in the server's folder), so that the registry sees the prefix's
// server running. Killed and its folder removed by Stop() or the destructor.
#pragma once

#include <sys/types.h>

#include <string>

namespace tolvane::testing {

class FakeWineServer {
  public:
    // withNameFile: write the prefix's "wineserver" file naming the server's
    // folder (as Wine 8 does); otherwise use the per-user default folder.
    explicit FakeWineServer(const std::string& prefix, bool withNameFile = true);
    ~FakeWineServer();
    FakeWineServer(const FakeWineServer&) = delete;
    FakeWineServer& operator=(const FakeWineServer&) = delete;

    void Stop();
    bool locked() const { return locked_; }

  private:
    std::string dir_, top_;
    pid_t pid_ = -1;
    bool locked_ = false;
};

}  // namespace tolvane::testing
