// ScriptedViews: every view interface answered from a script and recorded
// as text, for the headless front end and the tests. Message boxes, file
// dialogs, the folder chooser and the settings dialogs take the next
// scripted answer; with none left they take the default (and say so).
// TaskQueueUiThread is the user-interface thread of such a face: the worker
// queues its messages and waits, the main thread runs them. Posted tasks do
// not wake the main thread: it takes them at its loop's next turn.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/views/check_list.h"
#include "app/views/details.h"
#include "app/views/main_window_view.h"
#include "app/views/ui_thread.h"
#include "app/views/views.h"

namespace tolvane {

class TaskQueueUiThread : public UiThread {
  public:
    void Send(const std::function<void()>& task) override;
    void Post(std::function<void()> task) override;

    // On the user-interface thread: runs queued tasks, waiting for more,
    // until done() holds (checked between tasks) with nothing queued.
    void RunUntil(const std::function<bool()>& done);
    // Runs what is queued now without waiting.
    void RunPending();
    // From now on Send returns at once without running its task (a face
    // that is going away); waiting senders are released.
    void Close();

  private:
    struct Sent {
        const std::function<void()>* task;
        bool done = false;
    };
    bool RunOne(std::unique_lock<std::mutex>& lock);
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Sent*> sent_;
    std::deque<std::function<void()>> posted_;
    bool closed_ = false;
};

class ScriptedViews : public MainWindowView,
                      public Prompter,
                      public FileDialogView,
                      public FolderChooserView,
                      public DialogView,
                      public LoadingView,
                      public CheckListObserver {
  public:
    // What the views answer.
    enum class Fallback { Default, Yes, No };
    struct Script {
        std::deque<std::string> answers;  // "yes", "no", "ok", "cancel", ...
        Fallback fallback = Fallback::Default;
        std::deque<std::string> saveAs;  // paths the save dialogs take
        std::deque<std::string> open;    // paths the open dialogs take
        // The folder chooser's selection; none keeps the given selection.
        std::optional<std::vector<std::string>> folders;
    };
    Script script;
    // Set when a scripted answer was not a button of the box it met (ok on
    // a Yes/No box): names the answer and the box. From then on every box
    // takes the answer that goes no further (Cancel, else No) and the file
    // dialogs cancel; the face ends its run.
    std::string refusal;
    // What the save dialog checks of a chosen path, as the window's dialog
    // does: its folder must exist, and an existing file is replaced only
    // after a scripted yes (or --yes) to the replace question. Unset: no
    // checks.
    std::function<bool(const std::string& path)> folderExists;
    std::function<bool(const std::string& path)> fileExists;

    // Called with every recorded line (the headless face prints them).
    std::function<void(const std::string& line)> echo;
    // Called with every text the window shows (counters, status line).
    std::function<void(ControlId control, const std::string& text)> onText;
    // Actions a test or command runs inside a dialog before it closes.
    std::function<void(GeneralSettingsWindow&)> onGeneralSettings;
    std::function<void(ScanSettingsWindow&)> onScanSettings;
    std::function<void(IgnoreListDialog&)> onIgnoreList;

    // Every line recorded so far, and whether to record window updates
    // (titles, texts, enabling, progress) as well.
    std::vector<std::string> lines;
    bool recordWindow = false;

    // The main window's state as last set.
    std::string title;
    bool ended = false;
    int progress = 0;
    std::string ControlText(ControlId id) const;
    bool ControlEnabled(ControlId id) const;
    // How often each control's text was written.
    int TextWrites(ControlId id) const;
    std::vector<std::string> StatusHistory() const { return statusHistory_; }
    std::vector<std::string> ProgressHistory() const { return progressHistory_; }
    // Answers that were never asked for.
    std::vector<std::string> UnusedAnswers() const {
        return {script.answers.begin(), script.answers.end()};
    }
    // The messages shown, as "caption|text".
    std::vector<std::string> messages;
    std::vector<std::string> loadingTexts;
    std::optional<SummaryTexts> lastSummary;
    std::optional<ObjectDetails> lastDetails;

    // MainWindowView
    void SetTitle(std::string_view title) override;
    void SetControlText(ControlId control, std::string_view text) override;
    void EnableControl(ControlId control, bool enabled) override;
    void EnableMenuItem(MainCommand command, bool enabled) override;
    void SetProgressRange(int low, int high) override;
    void SetProgressPosition(int position) override;
    void SetBusy(bool busy) override;
    void EndWindow() override;
    // Prompter
    PromptAnswer Ask(const Prompt& prompt) override;
    // FileDialogView
    bool AskSaveFile(const FileDialogOptions& options, std::string* path) override;
    bool AskOpenFile(const FileDialogOptions& options, std::string* path) override;
    // Takes the next --open path as the open dialog does.
    bool AskHostOpenFile(const FileDialogOptions& options, std::string* path) override {
        return AskOpenFile(options, path);
    }
    // FolderChooserView
    bool RunFolderChooser(FolderChooser& chooser, std::string_view title,
                          std::string_view prompt) override;
    // DialogView
    bool RunGeneralSettings(GeneralSettingsWindow& window) override;
    bool RunScanSettings(ScanSettingsWindow& window) override;
    void RunIgnoreList(IgnoreListDialog& dialog) override;
    void ShowSummary(const SummaryTexts& summary) override;
    void ShowObjectDetails(const ObjectDetails& details) override;
    void ShowAbout(std::string_view title, std::string_view address) override;
    bool AskWithItems(std::string_view title, std::string_view prompt,
                      std::string_view items) override;
    // Lists the scripts, presses Scan and lists their statuses.
    void RunAdvancedScan(AdvancedScan& scan) override;
    // LoadingView
    void ShowLoading() override {}
    void SetLoadingStatus(std::string_view text) override;
    void CloseLoading() override {}
    // CheckListObserver (the results list, when attached)
    void OnRowsReset() override {}
    void OnRowInserted(size_t) override {}
    void OnRowRemoved(size_t) override {}
    void OnRowChanged(size_t) override {}

  private:
    void Record(const std::string& line);
    bool AskReplace(const std::string& path);
    // The next answer for a box with these buttons and default; *note says
    // where it came from when it was not scripted.
    // box names the box in a refusal.
    PromptAnswer NextAnswer(PromptButtons buttons, PromptAnswer defaultAnswer,
                            const std::string& box, std::string* note);
    bool NextDialogAnswer(const std::string& what);

    std::vector<std::pair<ControlId, std::string>> texts_;
    std::vector<std::pair<ControlId, bool>> enabled_;
    std::vector<std::pair<ControlId, int>> writes_;
    std::vector<std::string> statusHistory_;
    std::vector<std::string> progressHistory_;
};

}  // namespace tolvane
