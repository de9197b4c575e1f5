#include "app/machine_session.h"

#include <utility>

#include "app/views/machine_chooser.h"
#include "app/views/ui_thread.h"
#include "app/views/views.h"
#include "base/prompt.h"
#include "discovery/open_machine.h"
#include "machine/machine.h"

namespace tolvane {

MachineSession::MachineSession(ApplicationViews views, MachineChooserView& chooser,
                               ApplicationOptions options)
    : views_(views),
      chooser_(chooser),
      options_(std::move(options)),
      self_(std::make_shared<MachineSession*>(this)) {
    options_.flows.openMachine = [this] { ChooseMachine(); };
    options_.flows.useDefinitionsFile = [this] { ChooseDefinitionsFile(); };
}

MachineSession::~MachineSession() {
    *self_ = nullptr;
    app_.reset();  // before the machine it works on
}

StartResult MachineSession::Start(Machine& machine) {
    machine_ = &machine;
    app_ = std::make_unique<Application>(machine, views_, options_);
    StartResult result = app_->Start();
    if (result == StartResult::Running) NameMachineInStatus();
    // What belongs to the program's start only.
    options_.flows.silentUpdateQuery = nullptr;
    return result;
}

void MachineSession::ChooseMachine() {
    if (!app_ || app_->controller().RefuseWhileScanning()) return;
    MachineChooser chooser(
        findMachines ? findMachines() : FindMachines(DiscoveryPlaces::FromEnvironment()),
        machine_->PrefixPath());
    if (!chooser_.RunMachineChooser(chooser)) return;
    if (std::string refusal = chooser.Refusal(); !refusal.empty()) {
        views_.controller.messages.Ask(
            {kOpenFailureCaption, refusal, PromptButtons::Ok, PromptIcon::Error});
        return;
    }
    const std::string path = chooser.ChosenPath();
    if (path.empty() || SameFolderPath(path, machine_->PrefixPath())) return;
    std::weak_ptr<MachineSession*> self = self_;
    views_.controller.ui.Post([self, path] {
        if (auto session = self.lock(); session && *session) (*session)->Reopen(path);
    });
}

void MachineSession::ChooseDefinitionsFile() {
    if (!app_ || app_->controller().RefuseWhileScanning()) return;
    FileDialogOptions dialog;
    dialog.title = kUseDefinitionsTitle;
    dialog.filter = kDefinitionsFileFilter;
    dialog.initialPath = options_.definitionsFile;
    std::string path, error;
    if (!views_.controller.files.AskHostOpenFile(dialog, &path) || path.empty()) return;
    if (!app_->UseDefinitionsFile(path, &error)) {
        views_.controller.messages.Ask(
            {kOpenFailureCaption, error, PromptButtons::Ok, PromptIcon::Error});
        return;
    }
    options_.definitionsFile = path;
    NameMachineInStatus();
}

std::unique_ptr<Machine> MachineSession::OpenChosen(const std::string& path, bool* rightsGivenUp,
                                                    std::string* why) {
    OwnedMachine opened = OpenMachineAsOwner(path, machineOptions);
    // Failing to take the rights may have given them up halfway.
    *rightsGivenUp = opened.rightsFailed || opened.privileges.runAs == RunAs::MachineOwner;
    // Once root is given up a later call changes nothing: the note stays.
    if (!opened.rightsFailed && opened.privileges.runAs != RunAs::OwnUser)
        options_.rightsNote = PrivilegesNote(opened.privileges);
    *why = opened.error;
    return std::move(opened.machine);
}

bool MachineSession::Reopen(const std::string& path) {
    if (!app_ || app_->controller().WindowEnded()) return false;
    if (SameFolderPath(path, machine_->PrefixPath())) return true;
    if (app_->controller().RefuseWhileScanning()) return false;
    bool rightsGivenUp = false;
    std::string why;
    std::unique_ptr<Machine> opened = OpenChosen(path, &rightsGivenUp, &why);
    if (!opened) {
        views_.controller.messages.Ask(
            {kOpenFailureCaption, why, PromptButtons::Ok, PromptIcon::Error});
        if (rightsGivenUp) app_->controller().EndWindow();
        return false;
    }
    // The new application is the session's while it starts (its flows ask
    // the session for it); another copy on the machine gives the old one back.
    std::unique_ptr<Application> previous =
        std::exchange(app_, std::make_unique<Application>(*opened, views_, options_));
    Machine* previousMachine = std::exchange(machine_, opened.get());
    StartResult result = app_->Start();
    if (result == StartResult::AlreadyRunning) {
        app_ = std::move(previous);
        machine_ = previousMachine;
        return false;
    }
    if (reopened) reopened(*app_);
    if (result == StartResult::Running) {
        // The window still shows the previous machine's last scan.
        app_->controller().ClearScanDisplay();
        NameMachineInStatus();
    }
    previous.reset();
    ownedMachine_ = std::move(opened);  // the old one only after its application
    return result == StartResult::Running;
}

void MachineSession::NameMachineInStatus() {
    std::string status = kMachineStatusPrefix + machine_->PrefixPath();
    for (const std::string& note : app_->Notes()) status += "  " + note;
    app_->controller().SetStatusText(status);
}

}  // namespace tolvane
