// Test support: real host processes for the tests of the machine's process
// table. ChildProcess starts any program with a given environment;
// FakeWindowsProgram is a running program of a prefix, a host process that
// carries the Windows path as its name and the prefix's WINEPREFIX, as Wine
// runs them. Both are killed and reaped by their destructors if still running.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tolvane::testing {

class ChildProcess {
  public:
    // argv[0] is the program's path; pid() is 0 when it could not start.
    ChildProcess(std::vector<std::string> argv, std::vector<std::string> env);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for the end however long it takes; true when a signal ended it.
    bool Reap();
    // Waits up to `tries` times `stepMs` milliseconds for the end; true when
    // it ended (now or before).
    bool WaitEnded(int tries, int stepMs);
    // After an end was seen: whether a signal caused it.
    bool EndedBySignal() const;

  private:
    pid_t pid_ = 0;
    bool reaped_ = false;
    int status_ = 0;
};

class FakeWindowsProgram {
  public:
    // With a host binary given (a copy of sleep inside the prefix) the
    // program maps its own file. Returns once exec has given it its name.
    FakeWindowsProgram(const std::string& prefix, const std::string& windowsPath,
                       const std::string& hostBinary = "sleep");

    pid_t pid() const { return child_.pid(); }
    // Waits up to a second for the program to end.
    bool Ended() { return child_.WaitEnded(50, 20); }
    // Waits up to two seconds for the program to end; true when a signal
    // (a kill) ended it.
    bool WaitKilled() { return child_.WaitEnded(200, 10) && child_.EndedBySignal(); }

  private:
    ChildProcess child_;
};

}  // namespace tolvane::testing
