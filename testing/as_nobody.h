// Test support: the steps an attacker takes as an unprivileged user. CI runs
// as root, so tests hand a temporary machine to `nobody` and run the
// attacker's steps in a child process that has become nobody (groups, gid,
// uid). Tests that need this skip themselves when not run as root
// (SKIP_UNLESS_ROOT).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace tolvane::testing {

bool RunningAsRoot();
uid_t NobodyUid();
gid_t NobodyGid();

// Makes nobody own path and everything below it (links themselves, not
// their targets).
void GiveToNobody(const std::string& path);

// Runs step in a child process as nobody; true when it returned true.
bool AsNobody(const std::function<bool()>& step);

// A process of nobody that runs step and then stays, keeping what it opened
// (a lock, say), until this object goes. ready(): step returned true.
class NobodyProcess {
  public:
    explicit NobodyProcess(const std::function<bool()>& step);
    ~NobodyProcess();
    NobodyProcess(const NobodyProcess&) = delete;
    NobodyProcess& operator=(const NobodyProcess&) = delete;
    bool ready() const { return ready_; }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace tolvane::testing

#define SKIP_UNLESS_ROOT()                                                             \
    do {                                                                               \
        if (!::tolvane::testing::RunningAsRoot())                                      \
            GTEST_SKIP() << "acting as another user (nobody) needs root; run as root"; \
    } while (0)
