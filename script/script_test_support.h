// Test support for the script folder: a view that records every message box
// and answers from a queue, and a host over a fresh temporary prefix.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/temp_prefix.h"
#include "script/advanced_scan.h"
#include "script/script_host.h"

namespace tolvane::testing {

struct ShownMessage {
    std::string text;
    std::string caption;
    PromptButtons buttons = PromptButtons::Ok;
    PromptIcon icon = PromptIcon::None;
    size_t defaultButton = 0;
};

class RecordingView : public AdvancedScanView {
  public:
    PromptAnswer Ask(const Prompt& prompt) override {
        shown.push_back(
            {prompt.text, prompt.caption, prompt.buttons, prompt.icon, prompt.defaultButton});
        if (answers.empty()) return PromptAnswer::Ok;
        PromptAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void RowChanged(size_t row) override { changedRows.push_back(row); }

    // The texts of the boxes shown so far (what `doit` reports in tests).
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const ShownMessage& message : shown) texts.push_back(message.text);
        return texts;
    }

    std::vector<ShownMessage> shown;
    std::deque<PromptAnswer> answers;
    std::vector<size_t> changedRows;
};

// A started engine over a temporary prefix; Run() evaluates a script and
// returns the texts it showed with doit().
class ScriptFixture {
  public:
    explicit ScriptFixture(ScriptLimits limits = {})
        : machine(prefix.Open()), host(*machine, view, limits) {
        host.StartEngine();
    }
    std::vector<std::string> Run(const std::string& script) {
        view.shown.clear();
        lastOutcome = host.RunScript(script);
        return view.Texts();
    }

    TempPrefix prefix;
    std::unique_ptr<Machine> machine;
    RecordingView view;
    ScriptHost host;
    ScriptOutcome lastOutcome = ScriptOutcome::NoEngine;
};

// A running program of the prefix: a host process started under its Windows
// path with the prefix's WINEPREFIX, as Wine runs them. With a host binary
// given (a copy of sleep inside the prefix) the program maps its own file.
class FakeWindowsProgram {
  public:
    FakeWindowsProgram(const std::string& prefix, const std::string& windowsPath,
                       const std::string& hostBinary = "sleep") {
        std::string script = "exec -a '" + windowsPath + "' '" + hostBinary + "' 30";
        std::string env = "WINEPREFIX=" + prefix;
        const char* argv[] = {"/bin/bash", "-c", script.c_str(), nullptr};
        const char* envp[] = {env.c_str(), "PATH=/usr/bin:/bin", nullptr};
        if (posix_spawn(&pid_, "/bin/bash", nullptr, nullptr, const_cast<char**>(argv),
                        const_cast<char**>(envp)) != 0) {
            pid_ = 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // until exec is done
    }
    ~FakeWindowsProgram() {
        if (pid_ > 0 && !Ended()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    FakeWindowsProgram(const FakeWindowsProgram&) = delete;
    FakeWindowsProgram& operator=(const FakeWindowsProgram&) = delete;

    // Waits up to a second for the program to end.
    bool Ended() {
        for (int i = 0; i < 50 && !ended_; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                ended_ = true;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        return ended_;
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = 0;
    bool ended_ = false;
};

}  // namespace tolvane::testing
