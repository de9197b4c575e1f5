// QtDialogs: every dialog of the desktop program except the main window
// and the message boxes: General Settings, Scan Settings, the Ignore List,
// Summary, Object Details, About, "Unable to remove items", the Advanced BHO
// Scanning Option window, the Start-up Entries window, the save and open
// file dialogs (of the machine, and of this computer), the folder
// chooser, the loading splash and "Open Machine". Each dialog is modal,
// lives only inside the call that shows it, and is run through the
// DialogDriver under an objectName tests can address:
//   "GeneralSettings", "ScanSettings", "IgnoreList", "Summary",
//   "ObjectDetails", "About", "ItemsQuestion", "AdvancedScan", "StartupEntries",
//   "SaveFileDialog", "OpenFileDialog", "HostFileDialog", "FolderChooser",
//   "OpenMachine".
// Each dialog has its own file (general_settings_dialog.h, ...,
// machine_file_dialog.h); this class hands the views' calls to them.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>

#include "app/views/machine_chooser.h"
#include "app/views/views.h"

class QLabel;

namespace tolvane {

class FileSystem;

class QtDialogs : public DialogView,
                  public FileDialogView,
                  public FolderChooserView,
                  public LoadingView,
                  public MachineChooserView {
  public:
    // files: the machine's drives; messages: the boxes the dialogs raise;
    // openAddress opens the About box's link.
    QtDialogs(const FileSystem& files, Prompter& messages,
              std::function<void(const std::string& address)> openAddress);
    ~QtDialogs() override;
    void SetParent(QWidget* parent) { parent_ = parent; }
    // The drives the file dialogs show, after another machine was opened.
    void SetFiles(const FileSystem& files) { files_ = &files; }

    // DialogView
    bool RunGeneralSettings(GeneralSettingsWindow& window) override;
    bool RunScanSettings(ScanSettingsWindow& window) override;
    void RunIgnoreList(IgnoreListDialog& dialog) override;
    void ShowSummary(const SummaryTexts& summary) override;
    void ShowObjectDetails(const ObjectDetails& details) override;
    void ShowAbout(std::string_view title, std::string_view address) override;
    bool AskWithItems(std::string_view title, std::string_view prompt,
                      std::string_view items) override;
    void RunAdvancedScan(AdvancedScan& scan) override;
    void RunStartupEntries(StartupEntriesWindow& window) override;
    // FileDialogView
    bool AskSaveFile(const FileDialogOptions& options, std::string* path) override;
    bool AskOpenFile(const FileDialogOptions& options, std::string* path) override;
    // A file of this computer ("HostFileDialog").
    bool AskHostOpenFile(const FileDialogOptions& options, std::string* hostPath) override;
    // FolderChooserView
    bool RunFolderChooser(FolderChooser& chooser, std::string_view title,
                          std::string_view prompt) override;
    // LoadingView
    void ShowLoading() override;
    void SetLoadingStatus(std::string_view text) override;
    void CloseLoading() override;
    // MachineChooserView
    bool RunMachineChooser(MachineChooser& chooser) override;
    // The splash while it is up (tests).
    QWidget* LoadingWindow() const { return splash_; }
    // Every status text the splash showed.
    std::vector<std::string> loadingTexts;

  private:
    bool AskFile(const FileDialogOptions& options, bool save, std::string* path);

    const FileSystem* files_;
    Prompter& messages_;
    std::function<void(const std::string&)> openAddress_;
    QWidget* parent_ = nullptr;
    QPointer<QWidget> splash_;
    QLabel* splashStatus_ = nullptr;
};

}  // namespace tolvane
