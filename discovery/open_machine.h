// Opening a machine: the back-end is chosen here from what its folder holds,
// and nothing above this layer asks which one it got.
//
// Every face opens the machine it works on, at start and when the user
// chooses another, through OpenMachineAsOwner: the owner's rights first
// (host/privileges.h), then the machine. Errors are values.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/privileges.h"
#include "machine/machine.h"

namespace tolvane {

// $WINEPREFIX, else ~/.wine.
std::string DefaultPrefixPath();

// Opens the machine at path: a Windows installation (it holds
// Windows\System32\config\SOFTWARE and SYSTEM) with options' user and drives,
// else a Wine prefix (it holds drive_c/ or dosdevices/). nullptr and *error
// set when it is neither or cannot be opened.
std::unique_ptr<Machine> OpenMachine(const std::string& path, const MachineOptions& options,
                                     std::string* error);
std::unique_ptr<Machine> OpenMachine(const std::string& path, std::string* error);

// The registry of the machine at path alone, chosen as OpenMachine chooses
// (user: as MachineOptions::user); a folder that is no Windows installation
// is taken for a prefix's hive files. nullptr and *error set when the
// installation's hives cannot be found.
std::unique_ptr<Registry> OpenMachineRegistry(const std::string& path, const std::string& user,
                                              std::string* error);

struct OwnedMachine {
    std::unique_ptr<Machine> machine;  // nullptr: error says why
    // Whose rights the program runs with now.
    Privileges privileges;
    // The owner's rights could not be taken, perhaps halfway: the program
    // must stop, whatever it ran on before.
    bool rightsFailed = false;
    std::string error;
};

// Takes on the rights of the owner of the machine at path, then opens it as
// OpenMachine does. Process-wide and final (see host/privileges.h): every
// start and re-open of a machine goes through here. Whose machine it is is
// read from a descriptor of its folder, and a machine whose folder is then
// no longer that one is refused (error says so). beforeOpen (tests) runs
// between the two, where a swap of the folder would happen.
OwnedMachine OpenMachineAsOwner(const std::string& path, const MachineOptions& options,
                                const std::function<void()>& beforeOpen = nullptr);

// The owner's rights for a tool that works on a machine's folder by path
// (the registry tool, the demo maker): whose folder it is is read from a
// descriptor, and path is that folder's canonical spelling, checked to be
// the very folder the rights were taken for (no link left in it to swap).
// A path that is no folder yet changes nothing and is given back as it is.
struct OwnedFolder {
    std::string path;  // "" when refused: error says why
    Privileges privileges;
    bool rightsFailed = false;  // as OwnedMachine::rightsFailed
    std::string error;
};
OwnedFolder TakeFolderOwnersRights(const std::string& path);

// The registry of the machine at path (as OpenMachineRegistry) with its
// owner's rights, taken as TakeFolderOwnersRights takes them.
struct OwnedRegistry {
    std::unique_ptr<Registry> registry;  // nullptr: error says why
    Privileges privileges;
    bool rightsFailed = false;
    std::string error;
};
OwnedRegistry OpenMachineRegistryAsOwner(const std::string& path, const std::string& user);

}  // namespace tolvane
