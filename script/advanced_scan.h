// The "Advanced BHO Scanning Option" window's logic, independent of any
// window system: the script list with its "Vendor" and "Status" columns, the
// description of the clicked row, the Scan button that runs every script
// once, and the Cancel button that reads "Finish" after the run. A face (the
// desktop window or the headless front end) shows the model and forwards the
// user's actions; it implements AdvancedScanView.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/prompt.h"
#include "script/script_database.h"
#include "script/script_host.h"

namespace tolvane {

class Machine;
class SettingsStore;

// The window's questions (the scripts' message boxes among them) and its
// list's redraws.
class AdvancedScanView : public Prompter {
  public:
    // A row's status text changed (during a run, one row after the other).
    virtual void RowChanged(size_t row) { (void)row; }
};

inline constexpr const char* kAdvancedScanTitle = "Advanced BHO Scanning Option";
inline constexpr const char* kNotScannedStatus = "Not Scanned";
inline constexpr const char* kFinishedStatus = "Finished";

struct AdvancedScanColumn {
    const char* title;
    int width;  // pixels
};
inline constexpr AdvancedScanColumn kAdvancedScanColumns[] = {{"Vendor", 220}, {"Status", 100}};

// The settings value (seconds, as decimal text) that bounds how long one
// script may run; missing, zero or negative gives 10 seconds, and more than
// an hour is cut to an hour.
inline constexpr const char* kScriptTimeLimitSetting = "ScriptTimeLimit";
ScriptLimits AdvancedScanLimits(const SettingsStore& settings);

// Before the window opens: when a running process's name contains
// "iexplore.exe", warns (OK/Cancel). False when the user cancelled: the
// window is then not opened.
bool ConfirmBrowserClosedForAdvancedScan(Machine& machine, Prompter& prompter);

// After the final message, when programs a script ended did not end.
inline constexpr const char* kProgramsNotEndedMessage =
    "These programs were still running after the scripts ended them, so their files may still "
    "be there: ";

// The final message of a run whose registry changes the machine refused.
std::string RefusedScriptsMessage(const std::vector<std::string>& scripts,
                                  std::string_view refusal);

class AdvancedScan {
  public:
    struct Row {
        std::string vendor;
        std::string status;
    };
    // What the description label reads (in Arial, size 9) and the colour the
    // description box is drawn on (0xBBGGRR).
    static constexpr const char* kDescriptionLabel = "Description";
    static constexpr unsigned kDescriptionBackground = 0xE0B47B;

    // programFolder holds script.db (a Windows path; a host path, starting
    // with '/', for the shipped folder of a machine that has none inside).
    AdvancedScan(Machine& machine, AdvancedScanView& view, std::string programFolder,
                 ScriptLimits limits = {});
    ~AdvancedScan();

    // script.db's bytes (a container) as the caller chose them, read by
    // every Open instead of the machine's file: the machine's copy may be one
    // the malware planted (app/database_choice.h). Empty: no scripts.
    void UseScriptDatabase(std::string stored) { chosenScripts_ = std::move(stored); }

    // The window opens: reads script.db afresh (or the chosen bytes), every row "Not Scanned",
    // Scan enabled, and a fresh script engine.
    void Open();

    const std::vector<ScriptRecord>& scripts() const { return scripts_; }
    const std::vector<Row>& rows() const { return rows_; }
    // A mouse click in the list (the first selected row); nullopt for a
    // click on empty space, which changes nothing. Faces call it for mouse
    // clicks only: moving the selection with the keyboard leaves the
    // description as it is.
    void ClickRow(std::optional<size_t> row);
    const std::string& description() const { return description_; }

    bool scanEnabled() const { return scanEnabled_; }
    // "Cancel" until the scripts ran, "Finish" after.
    const std::string& closeCaption() const { return closeCaption_; }

    // The Scan button: runs every script in list order, marks each row
    // "Finished" whatever the script did, renames Cancel to "Finish", shows
    // the final message and disables Scan. Does nothing when Scan is disabled.
    // When the machine refused changes after a script ran, the final message
    // names those scripts and says why instead (RefusedScriptsMessage).
    void Scan();
    // The scripts of the last run after which the machine refused changes.
    const std::vector<std::string>& refusedScripts() const { return refusedScripts_; }
    // How each script of the last run ended (diagnostics, tests).
    const std::vector<ScriptOutcome>& outcomes() const { return outcomes_; }

  private:
    Machine& machine_;
    AdvancedScanView& view_;
    std::string programFolder_;
    std::optional<std::string> chosenScripts_;
    std::unique_ptr<ScriptHost> host_;
    std::vector<ScriptRecord> scripts_;
    std::vector<Row> rows_;
    std::vector<ScriptOutcome> outcomes_;
    std::vector<std::string> refusedScripts_;
    std::string description_;
    std::string closeCaption_ = "Cancel";
    bool scanEnabled_ = false;
};

}  // namespace tolvane
