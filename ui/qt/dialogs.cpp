#include "ui/qt/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QLabel>

#include "ui/qt/about_dialog.h"
#include "ui/qt/advanced_scan_dialog.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"
#include "ui/qt/folder_chooser_dialog.h"
#include "ui/qt/general_settings_dialog.h"
#include "ui/qt/ignore_list_dialog.h"
#include "ui/qt/items_question_dialog.h"
#include "ui/qt/loading_splash.h"
#include "ui/qt/machine_chooser_dialog.h"
#include "ui/qt/machine_file_dialog.h"
#include "ui/qt/main_window.h"
#include "ui/qt/object_details_dialog.h"
#include "ui/qt/qt_text.h"
#include "ui/qt/scan_settings_dialog.h"
#include "ui/qt/startup_entries_dialog.h"
#include "ui/qt/summary_dialog.h"

namespace tolvane {

QtDialogs::QtDialogs(const FileSystem& files, Prompter& messages,
                     std::function<void(const std::string&)> openAddress)
    : files_(&files), messages_(messages), openAddress_(std::move(openAddress)) {}

QtDialogs::~QtDialogs() {
    delete splash_;
}

bool QtDialogs::RunGeneralSettings(GeneralSettingsWindow& window) {
    return RunGeneralSettingsDialog(parent_, window);
}

bool QtDialogs::RunScanSettings(ScanSettingsWindow& window) {
    return RunScanSettingsDialog(parent_, window);
}

void QtDialogs::RunIgnoreList(IgnoreListDialog& model) {
    RunIgnoreListDialog(parent_, model, *this, messages_);
}

void QtDialogs::ShowSummary(const SummaryTexts& summary) {
    RunSummaryDialog(parent_, summary);
}

void QtDialogs::ShowObjectDetails(const ObjectDetails& details) {
    RunObjectDetailsDialog(parent_, details);
}

void QtDialogs::ShowAbout(std::string_view title, std::string_view address) {
    RunAboutDialog(parent_, title, address, openAddress_);
}

bool QtDialogs::AskWithItems(std::string_view title, std::string_view prompt,
                             std::string_view items) {
    return RunItemsQuestionDialog(parent_, title, prompt, items);
}

void QtDialogs::RunAdvancedScan(AdvancedScan& scan) {
    RunAdvancedScanDialog(parent_, scan);
}

bool QtDialogs::AskFile(const FileDialogOptions& options, bool save, std::string* path) {
    MachineFileDialog dialog(DialogOwner(parent_), *files_, messages_, options, save);
    if (DialogDriver::Instance().Exec(dialog) != QDialog::Accepted || dialog.chosen().empty())
        return false;
    *path = dialog.chosen();
    return true;
}

bool QtDialogs::AskSaveFile(const FileDialogOptions& options, std::string* path) {
    return AskFile(options, true, path);
}

bool QtDialogs::AskOpenFile(const FileDialogOptions& options, std::string* path) {
    return AskFile(options, false, path);
}

void QtDialogs::RunStartupEntries(StartupEntriesWindow& window) {
    RunStartupEntriesDialog(parent_, window);
}

// Qt's own dialog rather than the desktop's, so that it runs through the
// DialogDriver like every other dialog of the window.
bool QtDialogs::AskHostOpenFile(const FileDialogOptions& options, std::string* hostPath) {
    QFileDialog dialog(DialogOwner(parent_), ToQt(options.title));
    dialog.setObjectName("HostFileDialog");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    QStringList filters;
    // "Text (*.x)|*.x|...||": the texts are every other part.
    const QStringList parts = ToQt(options.filter).split('|', Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < parts.size(); i += 2) filters << parts[i];
    if (!filters.empty()) dialog.setNameFilters(filters);
    if (!options.initialPath.empty())
        dialog.selectFile(QFile::decodeName(options.initialPath.c_str()));
    ApplyDialogLook(&dialog);
    if (DialogDriver::Instance().Exec(dialog) != QDialog::Accepted ||
        dialog.selectedFiles().isEmpty())
        return false;
    *hostPath = QFile::encodeName(dialog.selectedFiles().front()).toStdString();
    return !hostPath->empty();
}

bool QtDialogs::RunFolderChooser(FolderChooser& chooser, std::string_view title,
                                 std::string_view prompt) {
    return RunFolderChooserDialog(parent_, chooser, title, prompt);
}

bool QtDialogs::RunMachineChooser(MachineChooser& chooser) {
    return RunMachineChooserDialog(parent_, chooser);
}

void QtDialogs::ShowLoading() {
    if (splash_) return;
    QWidget* splash = MakeLoadingSplash(&splashStatus_);
    splash_ = splash;
    splash->show();
    QApplication::processEvents();
}

void QtDialogs::SetLoadingStatus(std::string_view text) {
    loadingTexts.emplace_back(text);
    if (!splash_) return;
    splashStatus_->setText(ToQt(text));
    splash_->repaint();
    if (DialogDriver::Instance().onShown) DialogDriver::Instance().onShown(splash_, "Loading");
    QApplication::processEvents();
}

void QtDialogs::CloseLoading() {
    delete splash_;
    splash_ = nullptr;
    splashStatus_ = nullptr;
}

}  // namespace tolvane
