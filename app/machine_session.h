// MachineSession: the window's program on one machine at a time. Start()
// starts the Application on the machine the program was started on; the File
// menu's "Open Machine..." (ChooseMachine) lists the Windows machines of this
// user (ui/machine_chooser.h) and re-opens the program on the chosen one the
// way start-up opens one: OpenMachineAsOwner (discovery/open_machine.h)
// with the start's --user and --drive, then a new Application on it (its
// one-copy lock, the shipped databases, the definitions behind the splash,
// the title). The status line then names the machine open ("Machine: " and its folder, before the
// notes).
//
// Choices of ours:
// - While a scan worker runs the command is refused with the window's
//   message for it (kBusyScanningMessage) before anything is listed.
// - Choosing the machine open now changes nothing.
// - A machine that cannot be opened is said as a start on it says it
//   (caption "Error" and the reason; another copy of the program on it:
//   "Application is already running!!"), and the machine open now stays
//   open with its results. Only when root's rights were given up for the
//   chosen machine and it then cannot be opened does the window end, as
//   the rights the open machine was used with are gone for good.
// - The re-open runs after the command that chose it has returned
//   (UiThread::Post), so the old controller is never deleted under its own
//   call. The -s and -b switches and the silent update query belong to the
//   program's start only.
//
// - File > "Use Definitions File..." (ChooseDefinitionsFile) asks for a
//   file of this computer and loads it (Application::UseDefinitionsFile);
//   a machine opened later uses it too, until the program ends. A file that
//   is not a definitions database is said (caption "Error") and the
//   definitions in use stay.
//
// Threads: the user-interface thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "discovery/machine_discovery.h"
#include "machine/machine.h"

namespace tolvane {

class MachineChooserView;

inline constexpr const char* kOpenFailureCaption = "Error";
inline constexpr const char* kMachineStatusPrefix = "Machine: ";
inline constexpr const char* kUseDefinitionsTitle = "Use Definitions File";
inline constexpr const char* kDefinitionsFileFilter =
    "Definitions databases (*.db)|*.db|All files (*)|*||";

class MachineSession {
  public:
    // views: the window's; chooser: the Open Machine dialog; options: those
    // of the program's start (ApplicationOptions).
    MachineSession(ApplicationViews views, MachineChooserView& chooser, ApplicationOptions options);
    ~MachineSession();
    MachineSession(const MachineSession&) = delete;
    MachineSession& operator=(const MachineSession&) = delete;

    // The start on the machine the program was started on (the caller's,
    // which must outlive the session).
    StartResult Start(Machine& machine);
    // The File menu's "Open Machine...".
    void ChooseMachine();
    // The File menu's "Use Definitions File...".
    void ChooseDefinitionsFile();
    // Re-opens the program on the machine folder path at once; true when it
    // now runs there (or already did).
    bool Reopen(const std::string& path);

    // The machine and the application open now (after Start).
    Machine& machine() { return *machine_; }
    Application& app() { return *app_; }
    bool started() const { return app_ != nullptr; }

    // The machines of this user; empty: discovery over the running user's
    // places (DiscoveryPlaces::FromEnvironment), as `--list-machines` does.
    std::function<std::vector<FoundMachine>()> findMachines;
    // How every machine chosen later is opened: the --user and --drive the
    // program was started with.
    MachineOptions machineOptions;
    // After a re-open, before the old Application goes: the face attaches
    // its window to the new controller.
    std::function<void(Application& app)> reopened;

  private:
    std::unique_ptr<Machine> OpenChosen(const std::string& path, bool* rightsGivenUp,
                                        std::string* why);
    void NameMachineInStatus();

    ApplicationViews views_;
    MachineChooserView& chooser_;
    ApplicationOptions options_;
    Machine* machine_ = nullptr;
    std::unique_ptr<Machine> ownedMachine_;  // a machine the session opened
    std::unique_ptr<Application> app_;
    // Lets a posted re-open tell whether the session still exists.
    std::shared_ptr<MachineSession*> self_;
};

}  // namespace tolvane
