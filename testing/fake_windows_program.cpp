#include "testing/fake_windows_program.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

namespace tolvane::testing {

ChildProcess::ChildProcess(std::vector<std::string> argv, std::vector<std::string> env) {
    std::vector<char*> args, envp;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), envp.data()) != 0) pid_ = 0;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ChildProcess::Reap() {
    if (pid_ <= 0) return false;
    if (!reaped_) reaped_ = waitpid(pid_, &status_, 0) == pid_;
    return reaped_ && WIFSIGNALED(status_);
}

bool ChildProcess::WaitEnded(int tries, int stepMs) {
    if (pid_ <= 0) return false;
    for (int i = 0; i < tries && !reaped_; ++i) {
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            reaped_ = true;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
        }
    }
    return reaped_;
}

bool ChildProcess::EndedBySignal() const {
    return reaped_ && WIFSIGNALED(status_);
}

FakeWindowsProgram::FakeWindowsProgram(const std::string& prefix, const std::string& windowsPath,
                                       const std::string& hostBinary)
    : child_({"/bin/bash", "-c", "exec -a '" + windowsPath + "' '" + hostBinary + "' 60"},
             {"WINEPREFIX=" + prefix, "PATH=/usr/bin:/bin"}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // until exec is done
}

}  // namespace tolvane::testing
