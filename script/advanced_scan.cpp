#include "script/advanced_scan.h"

#include <algorithm>
#include <utility>

#include "definitions/container.h"
#include "machine/machine.h"
#include "machine/process_table.h"
#include "settings/settings_store.h"

namespace tolvane {

namespace {

constexpr const char* kFinishedMessage =
    "Finished cleaning all supported spyware.\nClick \"Finish\" and perform \"Smart Scan\" now.";

}  // namespace

std::string RefusedScriptsMessage(const std::vector<std::string>& scripts,
                                  std::string_view refusal) {
    std::string names;
    for (const std::string& name : scripts) names += (names.empty() ? "" : ", ") + name;
    return "The machine refused the registry changes of these scripts, so they did not finish "
           "cleaning: " +
           names + ".\n\n" + std::string(refusal);
}

ScriptLimits AdvancedScanLimits(const SettingsStore& settings) {
    constexpr int32_t kHour = 3600;
    ScriptLimits limits;
    int32_t seconds = settings.ReadInt(kScriptTimeLimitSetting);
    if (seconds > 0) limits.timeLimit = std::chrono::seconds(std::min(seconds, kHour));
    return limits;
}

bool ConfirmBrowserClosedForAdvancedScan(Machine& machine, Prompter& prompter) {
    if (!IsBrowserRunning(machine.processes())) return true;
    return prompter.Ask({"Warning", kBrowserRunningWarning, PromptButtons::OkCancel,
                         PromptIcon::Warning}) != PromptAnswer::Cancel;
}

AdvancedScan::AdvancedScan(Machine& machine, AdvancedScanView& view, std::string programFolder,
                           ScriptLimits limits)
    : machine_(machine),
      view_(view),
      programFolder_(std::move(programFolder)),
      host_(std::make_unique<ScriptHost>(machine, view, limits)) {}

AdvancedScan::~AdvancedScan() = default;

void AdvancedScan::Open() {
    scripts_.clear();
    rows_.clear();
    outcomes_.clear();
    description_.clear();
    closeCaption_ = "Cancel";
    std::string text;
    if (chosenScripts_) {
        if (DecodeContainer(*chosenScripts_, &text)) ParseScripts(std::move(text), &scripts_);
    } else if (!programFolder_.empty() && programFolder_[0] == '/') {
        LoadShippedScripts(programFolder_, &scripts_);
    } else {
        LoadScripts(machine_.files(), programFolder_, &scripts_);
    }
    for (const ScriptRecord& record : scripts_) rows_.push_back({record.name, kNotScannedStatus});
    host_->StartEngine();
    scanEnabled_ = true;
}

void AdvancedScan::ClickRow(std::optional<size_t> row) {
    if (!row || *row >= scripts_.size()) return;
    description_ = scripts_[*row].description;
}

void AdvancedScan::Scan() {
    if (!scanEnabled_) return;
    outcomes_.clear();
    refusedScripts_.clear();
    for (size_t i = 0; i < scripts_.size(); ++i) {
        outcomes_.push_back(host_->RunScript(scripts_[i].script));
        // A wineserver started while the scripts ran (by a script's own
        // program) refuses their registry changes from then on.
        if (machine_.RefusesChanges()) refusedScripts_.push_back(scripts_[i].name);
        rows_[i].status = kFinishedStatus;
        view_.RowChanged(i);
    }
    closeCaption_ = "Finish";
    if (refusedScripts_.empty()) {
        view_.Ask({"Tolvane", kFinishedMessage, PromptButtons::Ok, PromptIcon::Information});
    } else {
        view_.Ask({"Tolvane", RefusedScriptsMessage(refusedScripts_, machine_.ChangesRefusal()),
                   PromptButtons::Ok, PromptIcon::Warning});
    }
    std::vector<std::string> running = host_->ProgramsNotEnded();
    if (!running.empty()) {
        std::string text = kProgramsNotEndedMessage;
        for (size_t i = 0; i < running.size(); ++i) text += (i ? ", " : "") + running[i];
        view_.Ask({"Tolvane", text + ".", PromptButtons::Ok, PromptIcon::Warning});
    }
    scanEnabled_ = false;
}

}  // namespace tolvane
