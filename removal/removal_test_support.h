// Test support for removal and backup: a results list of plain rows and a
// view that answers from a script and records what it was shown.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "removal/object_rows.h"
#include "removal/removal_view.h"
#include "testing/fake_wineserver.h"

namespace tolvane::testing {

struct TestRow {
    ObjectType type = ObjectType::File;
    std::string text;
    bool checked = true;
    bool backupMark = false;
};

class TestRows : public ObjectRows {
  public:
    std::vector<TestRow> rows;
    void Add(ObjectType type, std::string text, bool checked = true) {
        rows.push_back({type, std::move(text), checked, false});
    }
    size_t RowCount() const override { return rows.size(); }
    bool IsRowChecked(size_t row) const override { return rows[row].checked; }
    void SetRowChecked(size_t row, bool checked) override { rows[row].checked = checked; }
    ObjectType RowType(size_t row) const override { return rows[row].type; }
    std::string RowText(size_t row) const override { return rows[row].text; }
    bool RowBackupMark(size_t row) const override { return rows[row].backupMark; }
    void SetRowBackupMark(size_t row, bool marked) override { rows[row].backupMark = marked; }
    void RemoveRow(size_t row) override { rows.erase(rows.begin() + row); }
};

// Answers message boxes from `answers` in order (the box's first button when
// the script has run out); the dialogs from their own fields.
class TestView : public RemovalView {
  public:
    struct Shown {
        std::string caption;
        std::string text;
    };
    std::deque<PromptAnswer> answers;
    std::vector<Shown> messages;
    bool removeAtNextStart = true;
    std::vector<std::string> unableItems;  // what the dialog listed, each time
    std::deque<std::string> savePaths;     // empty: Cancel
    std::deque<std::string> openPaths;
    std::vector<ArchiveDialog> dialogs;
    bool busy = false;
    int progressHigh = -1;
    int progress = 0;

    PromptAnswer Ask(const Prompt& prompt) override {
        messages.push_back({prompt.caption, prompt.text});
        if (!answers.empty()) {
            PromptAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        return prompt.buttons == PromptButtons::YesNo ? PromptAnswer::Yes : PromptAnswer::Ok;
    }
    bool AskRemoveAtNextStart(std::string_view, std::string_view, std::string_view items) override {
        unableItems.emplace_back(items);
        return removeAtNextStart;
    }
    bool AskSaveArchive(const ArchiveDialog& dialog, std::string* path) override {
        dialogs.push_back(dialog);
        if (savePaths.empty()) return false;
        *path = savePaths.front();
        savePaths.pop_front();
        return true;
    }
    bool AskOpenArchive(const ArchiveDialog& dialog, std::string* path) override {
        dialogs.push_back(dialog);
        if (openPaths.empty()) return false;
        *path = openPaths.front();
        openPaths.pop_front();
        return true;
    }
    void SetBusy(bool b) override { busy = b; }
    void SetProgressRange(int, int high) override { progressHigh = high; }
    void SetProgressPosition(int position) override { progress = position; }

    std::string LastText() const { return messages.empty() ? "" : messages.back().text; }
};

}  // namespace tolvane::testing
