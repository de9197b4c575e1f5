#include "app/views/scripted_views.h"

#include <algorithm>

#include "app/views/details.h"
#include "app/views/folder_chooser.h"
#include "app/views/ignore_list_dialog.h"
#include "app/views/settings_windows.h"
#include "base/codepage.h"
#include "script/advanced_scan.h"

namespace tolvane {

// --- TaskQueueUiThread ---------------------------------------------------

void TaskQueueUiThread::Send(const std::function<void()>& task) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return;
    Sent sent{&task};
    sent_.push_back(&sent);
    changed_.notify_all();
    auto queued = [&] { return std::find(sent_.begin(), sent_.end(), &sent) != sent_.end(); };
    // Once the task has been taken it runs to its end; only a task still
    // queued is dropped when the face closes.
    changed_.wait(lock, [&] { return sent.done || (closed_ && queued()); });
    if (!sent.done) sent_.erase(std::remove(sent_.begin(), sent_.end(), &sent), sent_.end());
}

// No wake-up: the loop takes posted tasks at its next turn (RunUntil looks
// every 5 ms). Waking it for each would cost the scan worker two thread
// switches per progress message, more than the walk itself.
void TaskQueueUiThread::Post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(std::move(task));
}

bool TaskQueueUiThread::RunOne(std::unique_lock<std::mutex>& lock) {
    if (!sent_.empty()) {
        Sent* sent = sent_.front();
        sent_.pop_front();
        lock.unlock();
        (*sent->task)();
        lock.lock();
        sent->done = true;
        changed_.notify_all();
        return true;
    }
    if (!posted_.empty()) {
        std::function<void()> task = std::move(posted_.front());
        posted_.pop_front();
        lock.unlock();
        task();
        lock.lock();
        return true;
    }
    return false;
}

void TaskQueueUiThread::RunUntil(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (RunOne(lock)) continue;
        lock.unlock();
        bool finished = done();
        lock.lock();
        if (finished && sent_.empty() && posted_.empty()) return;
        if (!sent_.empty() || !posted_.empty()) continue;
        // The worker's next message, or its end (polled: the worker ends
        // without a message of its own).
        changed_.wait_for(lock, std::chrono::milliseconds(5));
    }
}

void TaskQueueUiThread::RunPending() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (RunOne(lock)) {
    }
}

void TaskQueueUiThread::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

// --- ScriptedViews ---------------------------------------------------------

namespace {

// The answer that goes no further: Cancel, else No, else Abort.
PromptAnswer ClosingAnswer(const std::vector<PromptAnswer>& allowed) {
    for (PromptAnswer a : {PromptAnswer::Cancel, PromptAnswer::No, PromptAnswer::Abort})
        if (std::find(allowed.begin(), allowed.end(), a) != allowed.end()) return a;
    return allowed.front();
}

template <typename T>
T* Find(std::vector<std::pair<ControlId, T>>& list, ControlId id) {
    for (auto& [key, value] : list)
        if (key == id) return &value;
    return nullptr;
}
template <typename T>
const T* Find(const std::vector<std::pair<ControlId, T>>& list, ControlId id) {
    for (const auto& [key, value] : list)
        if (key == id) return &value;
    return nullptr;
}

bool Positive(PromptAnswer a) {
    return a == PromptAnswer::Ok || a == PromptAnswer::Yes || a == PromptAnswer::Retry;
}

std::string OneLine(std::string_view text) {
    // A message's closing line break ends no line of its own.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    std::string out;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

}  // namespace

void ScriptedViews::Record(const std::string& line) {
    lines.push_back(line);
    if (echo) echo(line);
}

std::string ScriptedViews::ControlText(ControlId id) const {
    const std::string* text = Find(texts_, id);
    return text ? *text : "";
}

bool ScriptedViews::ControlEnabled(ControlId id) const {
    const bool* enabled = Find(enabled_, id);
    return !enabled || *enabled;
}

int ScriptedViews::TextWrites(ControlId id) const {
    const int* count = Find(writes_, id);
    return count ? *count : 0;
}

void ScriptedViews::SetTitle(std::string_view text) {
    title = std::string(text);
    if (recordWindow) Record("[title] " + title);
}

void ScriptedViews::SetControlText(ControlId control, std::string_view text) {
    if (std::string* old = Find(texts_, control))
        *old = std::string(text);
    else
        texts_.emplace_back(control, std::string(text));
    if (int* count = Find(writes_, control))
        ++*count;
    else
        writes_.emplace_back(control, 1);
    if (control == ControlId::StatusLine) statusHistory_.emplace_back(text);
    if (onText) onText(control, std::string(text));
    if (recordWindow)
        Record("[text " + std::to_string(static_cast<int>(control)) + "] " + std::string(text));
}

void ScriptedViews::EnableControl(ControlId control, bool enabled) {
    if (bool* old = Find(enabled_, control))
        *old = enabled;
    else
        enabled_.emplace_back(control, enabled);
}

void ScriptedViews::EnableMenuItem(MainCommand, bool) {}

void ScriptedViews::SetProgressRange(int, int) {}

void ScriptedViews::SetProgressPosition(int position) {
    progress = position;
    progressHistory_.push_back(std::to_string(position));
}

void ScriptedViews::SetBusy(bool) {}

void ScriptedViews::EndWindow() {
    ended = true;
    if (recordWindow) Record("[window ended]");
}

PromptAnswer ScriptedViews::NextAnswer(PromptButtons buttons, PromptAnswer defaultAnswer,
                                       const std::string& box, std::string* note) {
    std::vector<PromptAnswer> allowed = ButtonAnswers(buttons);
    auto fits = [&](PromptAnswer a) {
        return std::find(allowed.begin(), allowed.end(), a) != allowed.end();
    };
    if (!refusal.empty()) {
        *note = "the answers were refused";
        return ClosingAnswer(allowed);
    }
    // "escape" is the Escape key: Cancel where there is one, OK on an OK
    // box, and nothing at all on a Yes/No box, which waits for the next
    // answer (Escape never means "no" there).
    while (buttons == PromptButtons::YesNo && !script.answers.empty() &&
           EqualsNoCase(script.answers.front(), "escape")) {
        script.answers.pop_front();
        *note = "escape does nothing on a Yes/No box";
    }
    if (allowed.size() > 1 && !script.answers.empty() &&
        EqualsNoCase(script.answers.front(), "escape")) {
        script.answers.pop_front();
        return fits(PromptAnswer::Cancel) ? PromptAnswer::Cancel : allowed.front();
    }
    if (allowed.size() > 1 && !script.answers.empty()) {
        std::string text = script.answers.front();
        script.answers.pop_front();
        PromptAnswer answer;
        if (ParseAnswer(text, &answer) && fits(answer)) return answer;
        // A scripted answer is the button the user meant: one the box does
        // not have (ok on a Yes/No box) would be a guess, so the script
        // stops here and every later box closes without changing anything.
        refusal = "\"" + text + "\" is not a button of the box " + box + " [" +
                  ButtonsName(buttons) + "]";
        script.answers.clear();
        *note = "refused: \"" + text + "\" is not a button of this box";
        return ClosingAnswer(allowed);
    }
    // --yes and --no name an intent: yes is OK, no is Cancel where the box
    // has no Yes or No.
    auto translate = [&](PromptAnswer a) {
        if (fits(a)) return a;
        for (PromptAnswer candidate : allowed)
            if (Positive(candidate) == Positive(a) && candidate != PromptAnswer::Ignore &&
                candidate != PromptAnswer::Abort)
                return candidate;
        return allowed.front();
    };
    if (allowed.size() > 1) {
        if (script.fallback == Fallback::Yes) return translate(PromptAnswer::Yes);
        if (script.fallback == Fallback::No) return translate(PromptAnswer::No);
        *note += std::string(note->empty() ? "" : "; ") + "no answer left, default button";
    }
    return defaultAnswer;
}

PromptAnswer ScriptedViews::Ask(const Prompt& prompt) {
    messages.push_back(prompt.caption + "|" + prompt.text);
    std::string note;
    PromptAnswer answer =
        NextAnswer(prompt.buttons, DefaultAnswer(prompt),
                   "\"" + prompt.caption + ": " + OneLine(prompt.text) + "\"", &note);
    Record("[message] " + prompt.caption + ": " + OneLine(prompt.text) + " [" +
           ButtonsName(prompt.buttons) + "] -> " + AnswerName(answer) +
           (note.empty() ? "" : " (" + note + ")"));
    return answer;
}

bool ScriptedViews::NextDialogAnswer(const std::string& what) {
    std::string note;
    bool ok =
        Positive(NextAnswer(PromptButtons::OkCancel, PromptAnswer::Ok, "\"" + what + "\"", &note));
    if (note == "no answer left, default button") note.clear();  // dialogs default to OK quietly
    Record("[dialog] " + what + " -> " + (ok ? "ok" : "cancel") +
           (note.empty() ? "" : " (" + note + ")"));
    return ok;
}

bool ScriptedViews::AskSaveFile(const FileDialogOptions& options, std::string* path) {
    // Like the dialog, a refused path leaves it open for the next one.
    while (!script.saveAs.empty() && refusal.empty()) {
        *path = script.saveAs.front();
        script.saveAs.pop_front();
        // A Linux path (one no drive covers) keeps its own separator.
        const char separator = path->starts_with('/') ? '/' : '\\';
        if (!options.defaultExtension.empty() &&
            path->find('.', path->rfind(separator) + 1) == std::string::npos)
            *path += "." + options.defaultExtension;
        const size_t slash = path->rfind(separator);
        std::string folder = slash == std::string::npos ? "" : path->substr(0, slash);
        if ((folder.size() == 2 && folder[1] == ':') || (folder.empty() && slash == 0))
            folder += separator;
        if (folderExists && !folderExists(folder)) {
            Record("[save file] " + *path + " -> refused: " + OneLine(SaveRefusedText(*path)));
            continue;
        }
        if (fileExists && fileExists(*path) && !AskReplace(*path)) continue;
        Record("[save file] -> " + *path);
        return true;
    }
    Record("[save file] " + options.initialPath + " -> cancel (" +
           (refusal.empty() ? "no --save-as path left" : "the answers were refused") + ")");
    return false;
}

bool ScriptedViews::AskReplace(const std::string& path) {
    // A file is never replaced on a default: only a yes replaces it.
    const std::string text = ReplaceQuestionText(path);
    messages.push_back(std::string(kSaveAsCaption) + "|" + text);
    PromptAnswer answer = PromptAnswer::No;
    std::string note;
    if (!script.answers.empty() || !refusal.empty()) {
        answer =
            NextAnswer(PromptButtons::YesNo, PromptAnswer::Yes,
                       "\"" + std::string(kSaveAsCaption) + ": " + OneLine(text) + "\"", &note);
    } else if (script.fallback == Fallback::Yes) {
        answer = PromptAnswer::Yes;
    } else {
        note = "no answer left: the file is not replaced";
    }
    Record(std::string("[message] ") + kSaveAsCaption + ": " + OneLine(text) + " [Yes/No] -> " +
           AnswerName(answer) + (note.empty() ? "" : " (" + note + ")"));
    return answer == PromptAnswer::Yes;
}

bool ScriptedViews::AskOpenFile(const FileDialogOptions& options, std::string* path) {
    if (script.open.empty() || !refusal.empty()) {
        Record("[open file] " + options.initialPath + " -> cancel (" +
               (refusal.empty() ? "no --open path left" : "the answers were refused") + ")");
        return false;
    }
    *path = script.open.front();
    script.open.pop_front();
    Record("[open file] -> " + *path);
    return true;
}

bool ScriptedViews::RunFolderChooser(FolderChooser& chooser, std::string_view title,
                                     std::string_view prompt) {
    if (script.folders) {
        chooser.UncheckAll();
        for (const std::string& path : *script.folders)
            if (!chooser.CheckPath(path)) Record("[folders] not found, not chosen: " + path);
    }
    bool ok = NextDialogAnswer(std::string(title) + " (" + std::string(prompt) + ")");
    if (ok) {
        std::string chosen;
        for (const std::string& path : chooser.CheckedPaths())
            chosen += (chosen.empty() ? "" : "; ") + path;
        Record("[folders] " + (chosen.empty() ? std::string("(none)") : chosen));
    }
    return ok;
}

bool ScriptedViews::RunGeneralSettings(GeneralSettingsWindow& window) {
    if (onGeneralSettings) onGeneralSettings(window);
    return NextDialogAnswer(kGeneralSettingsTitle);
}

bool ScriptedViews::RunScanSettings(ScanSettingsWindow& window) {
    if (onScanSettings) onScanSettings(window);
    return NextDialogAnswer("Scan Settings");
}

void ScriptedViews::RunIgnoreList(IgnoreListDialog& dialog) {
    Record(std::string("[dialog] ") + kIgnoreListTitle + ": " + std::to_string(dialog.size()) +
           " entries");
    if (onIgnoreList) onIgnoreList(dialog);
}

void ScriptedViews::ShowSummary(const SummaryTexts& summary) {
    lastSummary = summary;
    std::string text;
    for (const auto& [label, value] : summary.left) text += " " + label + " " + value + ";";
    for (const auto& [label, value] : summary.right) text += " " + label + " " + value + ";";
    Record(std::string("[dialog] ") + kSummaryTitle + ":" + text);
}

void ScriptedViews::ShowObjectDetails(const ObjectDetails& details) {
    lastDetails = details;
    Record(std::string("[dialog] ") + kObjectDetailsTitle + ": " + details.vendor + " | " +
           details.category + " | " + details.objectType + " | " + details.danger + " | " +
           details.location + " | " + OneLine(details.description));
}

void ScriptedViews::ShowAbout(std::string_view aboutTitle, std::string_view address) {
    Record("[dialog] " + std::string(aboutTitle) + ": " + std::string(address));
}

bool ScriptedViews::AskWithItems(std::string_view dialogTitle, std::string_view prompt,
                                 std::string_view items) {
    Record("[dialog] " + std::string(dialogTitle) + ": " + OneLine(prompt) + " " + OneLine(items));
    return NextDialogAnswer(std::string(dialogTitle));
}

void ScriptedViews::SetLoadingStatus(std::string_view text) {
    loadingTexts.emplace_back(text);
    if (recordWindow) Record("[loading] " + std::string(text));
}

}  // namespace tolvane

namespace tolvane {

void ScriptedViews::RunAdvancedScan(AdvancedScan& scan) {
    Record(std::string("[dialog] ") + kAdvancedScanTitle + ": " +
           std::to_string(scan.rows().size()) + " scripts");
    scan.Scan();
    for (const AdvancedScan::Row& row : scan.rows())
        Record("[script] " + row.vendor + "\t" + row.status);
}

}  // namespace tolvane
