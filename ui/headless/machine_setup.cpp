// Opening the machine and the first start's installation of the shipped
// databases.
#include <unistd.h>

#include <iostream>

#include "app/application.h"
#include "discovery/open_machine.h"
#include "discovery/shipped_data.h"
#include "machine/machine.h"
#include "scan/scan_log.h"
#include "settings/settings_store.h"
#include "ui/headless/headless.h"

namespace tolvane {

std::unique_ptr<Machine> OpenHeadlessMachine(const HeadlessOptions& options, std::ostream& err,
                                             Privileges* privileges) {
    std::string path = options.machinePath.empty() ? DefaultPrefixPath() : options.machinePath;
    OwnedMachine opened = OpenMachineAsOwner(path, options.machineOptions);
    *privileges = opened.privileges;
    if (!opened.machine) {
        err << "tolvane: " << opened.error << "\n";
        // The default prefix is only a guess: say how to name the machine.
        if (options.machinePath.empty())
            err << "tolvane: name the machine with --machine PREFIX (a Wine prefix, or the "
                   "folder of a Windows installation); tolvane --list-machines lists the "
                   "machines found\n";
        return nullptr;
    }
    if (!opened.machine->Description().empty())
        err << "tolvane: " << opened.machine->Description() << "\n";
    return std::move(opened.machine);
}

bool InstallShippedFiles(Machine& machine, std::ostream& err) {
    const std::string shipped = ShippedDataFolder();
    const std::string folder = SettingsStore::ApplicationFolder();
    for (const std::string& name : InstallShippedDatabases(machine, shipped))
        err << "tolvane: could not install " << name << " into " << folder << "\n";
    Application::InstallLauncher(machine, shipped);
    return machine.files().PathFileExists(folder + "database.db");
}

}  // namespace tolvane
