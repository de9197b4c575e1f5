// DesktopSession: the desktop program, on one machine at a time. It builds
// the Qt views (main window, message boxes, dialogs), starts the Application
// on them (loading splash, definitions, title) through a MachineSession,
// which File > "Open Machine..." re-opens on another machine, connects the update flows (the
// silent start-up query and the Update window), acts on -s or -b on the
// first tick 100 ms after the window is up, and lets a running scan's
// worker finish before it goes.
#pragma once

#include <QObject>
#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "discovery/machine_discovery.h"
#include "machine/machine.h"
#include "update/update_client.h"

namespace tolvane {

class Machine;
class MachineSession;
class MainWindow;
class PostingUpdateSink;
class QtDialogs;
class QtMessageBoxes;
class QtUiThread;

struct DesktopSessionOptions {
    std::string commandLine;        // the Windows command line (for -s and -b)
    std::string shippedDataFolder;  // host folder with database.db and script.db
    std::string hostWorkingFolder;  // where Ignorelist.txt is looked for
    bool splashPauses = true;       // the splash's pauses (off in tests)
    ScanSourceFactory scanSource;   // none: the ScanEngine
    bool connectUpdates = true;     // the update library (off: "not available")
    std::string rightsNote;         // whose rights the program runs with (status line)
    MachineOptions machineOptions;  // --user, --drive: kept for every machine opened later
    std::string definitionsFile;    // the user's own database (--definitions, File menu)
    // Update signing keys trusted besides the program's own (tests only:
    // the program's main never sets it, and nothing of the machine can).
    std::vector<std::string> extraUpdateKeys;
    // The machines "Open Machine..." lists (tests); none: this user's.
    std::function<std::vector<FoundMachine>()> findMachines;
};

class DesktopSession : public QObject, public UpdateHost {
    Q_OBJECT
  public:
    DesktopSession(Machine& machine, DesktopSessionOptions options);
    ~DesktopSession() override;

    // Starts the application; on Running the window is shown and the first
    // tick is due in 100 ms.
    StartResult Start();
    // Runs the event loop until the window has ended; the exit status.
    int Exec();
    // Lets a running scan's worker end (the window keeps handling its
    // messages meanwhile).
    void Shutdown();

    MainWindow& window() { return *window_; }
    QtDialogs& dialogs() { return *dialogs_; }
    Application& app();
    MainController& controller() { return app().controller(); }
    // The machine open now (the one started on until another is opened).
    Machine& machine();
    UpdateClient& updates() { return *updates_; }
    bool firstTickDone() const { return firstTickDone_; }

    // UpdateHost: the update flows' questions and the new definitions.
    PromptAnswer Ask(const Prompt& prompt) override;
    void DefinitionsInstalled() override;

  private:
    void ReloadDefinitions();
    // The update library on the machine open now (again after a re-open).
    void ConnectUpdateService();
    void MachineReopened(Application& app);

    Machine& machine_;
    DesktopSessionOptions options_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<QtMessageBoxes> messages_;
    std::unique_ptr<QtDialogs> dialogs_;
    std::unique_ptr<QtUiThread> ui_;
    std::unique_ptr<UpdateService> updateService_;  // before the client, which uses it
    std::unique_ptr<UpdateClient> updates_;
    std::unique_ptr<PostingUpdateSink> mainSink_;
    std::unique_ptr<MachineSession> machines_;
    bool firstTickDone_ = false;
    bool reloadPending_ = false;
    bool shutDown_ = false;
    bool controllerBuilt_ = false;
};

}  // namespace tolvane
