#include "removal/removal_flow.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "machine/machine.h"
#include "machine/process_table.h"
#include "removal/browser_reset.h"
#include "removal/object_remover.h"
#include "removal/object_rows.h"
#include "removal/removal_view.h"
#include "settings/settings_store.h"

namespace tolvane {
namespace {

std::string Format(const char* format, long long number) {
    char text[128];
    std::snprintf(text, sizeof text, format, static_cast<int>(number));
    return text;
}

// Shows why the machine refuses changes now; true when it does.
bool ShowChangesRefusal(const Machine& machine, RemovalView& view) {
    std::string refusal = machine.ChangesRefusal();
    if (refusal.empty()) return false;
    view.Ask({"Error", refusal, PromptButtons::Ok, PromptIcon::Error});
    return true;
}

}  // namespace

RemovalFlow::RemovalFlow(Machine& machine, SettingsStore& settings, ObjectRemover& remover,
                         RemovalView& view)
    : machine_(machine), settings_(settings), remover_(remover), view_(view) {}

bool RemovalFlow::RunRemoval(ObjectRows& rows, bool removeAll) {
    if (!AskToGoAhead()) return false;

    view_.SetBusy(true);
    remover_.ClearFailedDeletions();
    remover_.ClearUnregistrationsRefused();
    remover_.ClearProgramsNotEnded();
    size_t count = 0;
    for (size_t row = 0; row < rows.RowCount(); ++row) {
        if (removeAll || rows.IsRowChecked(row)) ++count;
    }
    PromptAnswer answer = view_.Ask(
        {"Tolvane",
         count == 0 ? removal_text::kNothingSelected : Format(removal_text::kConfirmFormat, count),
         PromptButtons::YesNo, PromptIcon::Question});
    if (answer != PromptAnswer::Yes || count == 0) {
        view_.SetBusy(false);
        return false;
    }

    const RemovalCounts counts = RemoveSelected(rows, removeAll, count);
    OfferLeftovers();
    view_.SetBusy(false);
    ReportCounts(counts);
    return true;
}

bool RemovalFlow::AskToGoAhead() {
    using namespace removal_text;
    if (ShowChangesRefusal(machine_, view_)) return false;
    if (IsBrowserRunning(machine_.processes()) &&
        view_.Ask({"Warning", kBrowserRunningWarning, PromptButtons::OkCancel,
                   PromptIcon::Warning}) == PromptAnswer::Cancel) {
        return false;
    }
    if (view_.Ask({kBackupCaption, kBackupQuestion, PromptButtons::YesNo, PromptIcon::Warning}) ==
            PromptAnswer::Yes &&
        !(backup_ && backup_())) {
        view_.Ask({"Warning", kNoBackupMade, PromptButtons::Ok, PromptIcon::Warning});
    }
    return true;
}

RemovalFlow::RemovalCounts RemovalFlow::RemoveSelected(ObjectRows& rows, bool removeAll,
                                                       size_t count) {
    view_.SetProgressRange(0, static_cast<int>(count));
    int visited = 0;
    // Each object is checked right after its removal, the browser settings
    // after the reset that puts them back. Rows of objects that are gone
    // leave the list together at the end (one by one, a long list would
    // shift its rows once per object); the others stay, unchecked.
    std::vector<size_t> gone, present, browserSettings;
    for (size_t position = 0; position < rows.RowCount(); ++position) {
        rows.SetRowBackupMark(position, false);
        if (!removeAll && !rows.IsRowChecked(position)) continue;
        const ObjectType type = rows.RowType(position);
        const std::string text = rows.RowText(position);
        remover_.RemoveObject(type, text);
        if (type == ObjectType::RegistryValue && ObjectRemover::IsBrowserSetting(text))
            browserSettings.push_back(position);
        else
            (remover_.ObjectPresent(type, text) ? present : gone).push_back(position);
        view_.SetProgressPosition(++visited);
    }

    bool resetDeclined = false;
    if (remover_.BrowserSettingsHits() > 0) {
        resetDeclined =
            !ResetBrowserSettings(machine_.registry(), view_, ReadBrowserDefaults(settings_));
    }
    std::vector<size_t> kept;
    for (size_t position : browserSettings) {
        bool stays = remover_.ObjectPresent(rows.RowType(position), rows.RowText(position));
        (stays ? (resetDeclined ? kept : present) : gone).push_back(position);
    }
    std::sort(gone.begin(), gone.end());
    for (size_t position : present) rows.SetRowChecked(position, false);
    for (size_t position : kept) rows.SetRowChecked(position, false);
    rows.RemoveRows(gone);
    return {gone.size(), present.size(), kept.size()};
}

void RemovalFlow::OfferLeftovers() {
    using namespace removal_text;
    const std::vector<std::string>& failed = remover_.FailedDeletions();
    if (!failed.empty()) {
        std::string items;
        for (const std::string& path : failed) items += path + "\r\n";
        if (view_.AskRemoveAtNextStart(kUnableTitle, kUnablePrompt, items)) {
            settings_.WriteStartUpDeleteQueue(failed);
            settings_.WriteRunOnceEntry(SettingsStore::ProgramPath());
        }
    }
    if (!remover_.OutsideMachine().empty()) {
        std::string items = kOutsideMachine;
        for (const std::string& path : remover_.OutsideMachine()) items += path + "\r\n";
        view_.Ask({"Tolvane", items, PromptButtons::Ok, PromptIcon::Information});
    }
}

void RemovalFlow::ReportCounts(const RemovalCounts& counts) {
    using namespace removal_text;
    if (!remover_.UnregistrationsRefused().empty()) {
        std::string text = kUnregisterRefusedFormat;
        text.replace(text.find("%d"), 2, std::to_string(remover_.UnregistrationsRefused().size()));
        view_.Ask({"Tolvane", text, PromptButtons::Ok, PromptIcon::Information});
    }
    if (!remover_.ProgramsNotEnded().empty()) {
        std::string text = kProgramsNotEndedPrefix;
        for (const std::string& path : remover_.ProgramsNotEnded()) text += path + "\r\n";
        view_.Ask({"Tolvane", text, PromptButtons::Ok, PromptIcon::Information});
    }
    // A Wine program the run started (regsvr32) may have left the prefix's
    // wineserver running; the registry changes made since were refused, and
    // the user must hear of it rather than read a plain success.
    ShowChangesRefusal(machine_, view_);
    view_.Ask({"Tolvane", Format(kDeletedFormat, static_cast<long long>(counts.gone)),
               PromptButtons::Ok, PromptIcon::Information});
    if (counts.present > 0) {
        view_.Ask({"Tolvane", Format(kNotRemovedFormat, static_cast<long long>(counts.present)),
                   PromptButtons::Ok, PromptIcon::Information});
    }
    if (counts.keptByChoice > 0) {
        view_.Ask({"Tolvane",
                   Format(kKeptResetDeclinedFormat, static_cast<long long>(counts.keptByChoice)),
                   PromptButtons::Ok, PromptIcon::Information});
    }
}

namespace {

// Why the machine kept a queued file, from the failed DeleteFile's error.
std::string WhyStillQueued() {
    if (FileSystem::LastRefusalWasOutside()) return "it lies outside the machine";
    switch (FileSystem::LastError()) {
        case ERROR_ACCESS_DENIED:
            return "access was denied (read-only, in use or a link)";
        case ERROR_SHARING_VIOLATION:
            return "it is in use";
        default:
            return "error " + std::to_string(FileSystem::LastError());
    }
}

}  // namespace

void RemovalFlow::ProcessStartUpDeletions() {
    FileSystem& files = machine_.files();
    size_t deleted = 0;
    std::vector<std::string> kept;
    std::string keptItems;
    for (const std::string& path : settings_.ReadStartUpDeleteQueue()) {
        if (path.empty()) continue;
        files.SetFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
        if (files.DeleteFile(path)) {
            ++deleted;
            continue;
        }
        // A file already gone needs no further start; one still there stays
        // queued, so that no failure passes for a deletion.
        long error = FileSystem::LastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
        keptItems += path + ": " + WhyStillQueued() + "\r\n";
        kept.push_back(path);
    }
    settings_.WriteStartUpDeleteQueue(kept);
    if (deleted > 0) {
        view_.Ask(
            {"Tolvane", removal_text::kStartUpDeleted, PromptButtons::Ok, PromptIcon::Information});
    }
    if (!kept.empty()) {
        view_.Ask({"Tolvane",
                   Format(removal_text::kStartUpKeptFormat, static_cast<long long>(kept.size())) +
                       keptItems,
                   PromptButtons::Ok, PromptIcon::Information});
    }
}

}  // namespace tolvane
