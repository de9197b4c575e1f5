// Test support for the script folder: a view that records every message box
// and answers from a queue, and a host over a fresh temporary prefix (and the
// running programs of testing/fake_windows_program.h).
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "script/advanced_scan.h"
#include "script/script_host.h"
#include "testing/fake_windows_program.h"
#include "testing/temp_prefix.h"

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

}  // namespace tolvane::testing
