// Opening the machine and the first start's installation of the shipped
// databases.
#include <unistd.h>

#include <iostream>

#include "app/application.h"
#include "discovery/shipped_data.h"
#include "host/privileges.h"
#include "machine/machine.h"
#include "scan/scan_log.h"
#include "settings/settings_store.h"
#include "ui/headless/headless.h"

namespace tolvane {

std::unique_ptr<Machine> OpenHeadlessMachine(const HeadlessOptions& options, std::ostream& err,
                                             Privileges* privileges) {
    std::string path =
        options.machinePath.empty() ? Machine::DefaultPrefixPath() : options.machinePath;
    std::string error;
    if (!TakeMachineOwnersRights(path, privileges, &error)) {
        err << "tolvane: " << error << "\n";
        return nullptr;
    }
    std::unique_ptr<Machine> machine = Machine::Open(path, options.machineOptions, &error);
    if (!machine) err << "tolvane: " << error << "\n";
    if (machine && machine->IsWindowsInstallation())
        err << "tolvane: " << machine->Description() << "\n";
    return machine;
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
