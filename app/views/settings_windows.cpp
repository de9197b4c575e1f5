#include "app/views/settings_windows.h"

#include "app/views/folder_chooser.h"
#include "app/views/views.h"
#include "machine/file_system.h"
#include "settings/host_settings.h"
#include "settings/settings_store.h"

namespace tolvane {

GeneralSettingsWindow::GeneralSettingsWindow(SettingsContext context) : context_(context) {}

void GeneralSettingsWindow::Open() {
    runAtStartUp_ = context_.store.ReadInt(setting::kAtStartUp) != 0;
    removeAfterScan_ = context_.store.ReadInt(setting::kRemoveAfterScan) != 0;
    int mode = context_.store.ReadInt(setting::kStartUpScanMode);
    startUpChoice_ = (mode >= kSmartScan && mode <= kNone) ? mode : kNoChoice;
    updateServer_ = openedUpdateServer_ = HostUpdateServer().value;
}

void GeneralSettingsWindow::ClickRunAtStartUp(bool checked) {
    if (checked && !context_.files.PathFileExists(SettingsStore::ProgramPath())) {
        if (context_.messages)
            context_.messages->Ask(
                {"Tolvane", kNoLauncherMessage, PromptButtons::Ok, PromptIcon::Information});
        return;
    }
    runAtStartUp_ = checked;
    context_.store.WriteInt(setting::kAtStartUp, checked ? 1 : 0);
    if (checked)
        context_.store.WriteRunEntry(SettingsStore::ProgramPath());
    else
        context_.store.RemoveRunEntry();
}

void GeneralSettingsWindow::ClickRemoveAfterScan(bool checked) {
    removeAfterScan_ = checked;
    context_.store.WriteInt(setting::kRemoveAfterScan, checked ? 1 : 0);
}

void GeneralSettingsWindow::ChooseStartUp(int choice) {
    startUpChoice_ = (choice >= kSmartScan && choice <= kNone) ? choice : kNoChoice;
}

void GeneralSettingsWindow::ClickChange() {
    RunScanSettings(context_);
}

void GeneralSettingsWindow::ClickChoose() {
    EditCustomScanFolders(context_);
}

void GeneralSettingsWindow::Ok() {
    context_.store.WriteInt(setting::kRemoveAfterScan, removeAfterScan_ ? 1 : 0);
    context_.store.WriteInt(setting::kAtStartUp, runAtStartUp_ ? 1 : 0);
    context_.store.WriteInt(setting::kStartUpScanMode, startUpChoice_);
    if (updateServer_ == openedUpdateServer_) return;
    const OwnFileState written = WriteUserHostSetting("UpdateServer", updateServer_);
    if (written != OwnFileState::Usable && context_.messages)
        context_.messages->Ask({"Tolvane",
                                "The update server could not be saved in " +
                                    UserHostSettingsPath() + ": " +
                                    std::string(OwnFileStateReason(written)) + ".",
                                PromptButtons::Ok, PromptIcon::Information});
}

namespace {

const char* const kScanBoxSettings[ScanSettingsWindow::kBoxCount] = {
    setting::kCustScanActive, setting::kCustScanRegistry, setting::kCustScanDeep,
    setting::kCustScanDrives, setting::kCustScanIeFav,    setting::kCustScanHosts,
};

}  // namespace

const char* ScanSettingsWindow::BoxText(int box) {
    static const char* const texts[kBoxCount] = {
        "Scan active processes",
        "Scan registry",
        "Deep scan registry",
        "Scan selected drives + folders",
        "Scan IE Favorites for banned URLS",
        "Scan Hosts file",
    };
    return box >= 0 && box < kBoxCount ? texts[box] : "";
}

ScanSettingsWindow::ScanSettingsWindow(SettingsContext context) : context_(context) {}

void ScanSettingsWindow::Open() {
    for (int box = 0; box < kBoxCount; ++box)
        boxes_[box] = context_.store.ReadInt(kScanBoxSettings[box]) != 0;
}

void ScanSettingsWindow::SetChecked(int box, bool checked) {
    if (box >= 0 && box < kBoxCount) boxes_[box] = checked;
}

void ScanSettingsWindow::ClickChoose() {
    EditCustomScanFolders(context_);
}

void ScanSettingsWindow::Ok() {
    for (int box : {kActive, kRegistry, kDeep, kIeFav, kHosts, kDrives})
        context_.store.WriteInt(kScanBoxSettings[box], boxes_[box] ? 1 : 0);
}

bool RunGeneralSettings(SettingsContext context) {
    GeneralSettingsWindow window(context);
    window.Open();
    if (!context.dialogs.RunGeneralSettings(window)) return false;
    window.Ok();
    return true;
}

bool RunScanSettings(SettingsContext context) {
    ScanSettingsWindow window(context);
    window.Open();
    if (!context.dialogs.RunScanSettings(window)) return false;
    window.Ok();
    return true;
}

bool EditFolderList(const char* listPrefix, const FileSystem& files, SettingsStore& store,
                    FolderChooserView& chooserView) {
    FolderChooser chooser(files, store.ReadFolderList(listPrefix));
    if (!chooserView.RunFolderChooser(chooser, kFolderChooserTitle, kFolderChooserPrompt))
        return false;
    store.WriteFolderList(listPrefix, chooser.CheckedPaths());
    return true;
}

bool EditCustomScanFolders(SettingsContext context) {
    return EditFolderList(kCustomScanFolderList, context.files, context.store, context.chooser);
}

}  // namespace tolvane
