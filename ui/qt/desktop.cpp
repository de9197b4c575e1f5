#include "ui/qt/desktop.h"

#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>

#include "app/command_line.h"
#include "discovery/machine_discovery.h"
#include "discovery/open_machine.h"
#include "discovery/shipped_data.h"
#include "machine/machine.h"
#include "ui/qt/desktop_session.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/main_window.h"
#include "ui/qt/message_boxes.h"

namespace tolvane {
namespace {

bool Set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

std::string StartMachinePath(const DesktopOptions& options) {
    if (!options.machinePath.empty()) return options.machinePath;
    const std::string path = DefaultPrefixPath();
    std::error_code error;
    if (std::filesystem::exists(path, error)) return path;
    for (const FoundMachine& found : FindMachines(DiscoveryPlaces::FromEnvironment()))
        if (found.kind != MachineKind::Windows && found.damage.empty() && found.notOpened.empty())
            return found.path;
    return path;
}

bool DesktopAvailable() {
    if (Set("DISPLAY") || Set("WAYLAND_DISPLAY")) return true;
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (!platform || !*platform) return false;
    std::string name(platform);
    return name.rfind("xcb", 0) != 0 && name.rfind("wayland", 0) != 0;
}

void ShowStartFailure(int& argc, char** argv, const std::string& text) {
    if (!DesktopAvailable()) return;
    // Started from a desktop launcher, the terminal is nowhere to be seen:
    // the message goes into a box as well.
    std::unique_ptr<QApplication> own;
    if (!QApplication::instance()) {
        own = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationName("Tolvane");
    }
    ApplyDesktopLook();
    QtMessageBoxes(nullptr).Ask({"Error", text, PromptButtons::Ok, PromptIcon::Error});
}

int RunDesktop(int& argc, char** argv, const DesktopOptions& options, std::string* error) {
    if (!DesktopAvailable()) {
        if (error) *error = kNoDisplayMessage;
        return 2;
    }
    // The display is reached first, with the rights the user started the
    // program with; root's rights go before anything of the machine opens.
    // (A caller that already runs Qt, as the GUI tests do, keeps its own.)
    std::unique_ptr<QApplication> application;
    if (!QApplication::instance()) {
        application = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationName("Tolvane");
    }
    QApplication::setQuitOnLastWindowClosed(false);
    const std::string path = StartMachinePath(options);
    OwnedMachine opened = OpenMachineAsOwner(path, options.machineOptions);
    if (opened.rightsFailed) {
        if (error) *error = "tolvane: " + opened.error;
        return 1;
    }
    if (!opened.machine) {
        if (error) *error = "tolvane: " + opened.error;
        ShowStartFailure(argc, argv, opened.error);
        return 1;
    }
    std::unique_ptr<Machine> machine = std::move(opened.machine);

    DesktopSessionOptions session;
    session.commandLine =
        WindowsCommandLine(options.arguments, {"--machine", "--user", "--drive", "--definitions"});
    session.shippedDataFolder =
        options.shippedDataFolder.empty() ? ShippedDataFolder() : options.shippedDataFolder;
    char cwd[4096];
    session.hostWorkingFolder = getcwd(cwd, sizeof cwd) ? cwd : "";
    session.rightsNote = PrivilegesNote(opened.privileges);
    session.machineOptions = options.machineOptions;
    session.definitionsFile = options.definitionsFile;
    DesktopSession desktop(*machine, session);
    StartResult started = desktop.Start();
    if (started == StartResult::AlreadyRunning) return 1;
    int status = desktop.Exec();
    return started == StartResult::Failed ? 1 : status;
}

}  // namespace tolvane
