// Finding this user's Windows machines: the Wine prefixes that Wine itself,
// winetricks, Steam's Proton, Lutris, Bottles, PlayOnLinux and Heroic keep,
// and Windows installations on mounted disks.
//
// Where each kind is looked for (home = the user's home folder):
//   wine         $WINEPREFIX, then ~/.wine
//   winetricks   every folder in $XDG_DATA_HOME/wineprefixes (~/.local/share)
//   proton       steamapps/compatdata/*/pfx in every library folder that a
//                Steam installation's libraryfolders.vdf lists (and in the
//                installation itself); native, Flatpak and Snap Steam
//   lutris       the `game: prefix:` of each game file (*.yml) under
//                ~/.config/lutris/games and ~/.local/share/lutris/games
//   bottles      every bottle of ~/.local/share/bottles/bottles (and Flatpak's)
//   playonlinux  every folder in ~/.PlayOnLinux/wineprefix
//   heroic       the "winePrefix" of Heroic's GamesConfig/*.json and
//                config.json, and the prefixes in ~/Games/Heroic/Prefixes
//   windows      a mount point (or any folder given) holding
//                Windows\System32\config\SOFTWARE and SYSTEM, names compared
//                without regard to case
// A folder found twice (a link, two sources naming it) is listed once, under
// the first source in the order above. Folders that do not exist are not
// listed. A folder that a tool keeps as a prefix but that has neither
// drive_c nor dosdevices, or no system.reg, is listed as damaged with the
// reason, so that a scan of every machine can report it.
//
// A home is its owner's to fill with links, so a machine found through it
// (every kind but $WINEPREFIX and the mount points) that is not that owner's
// (nor, for a user other than root, the running user's own) is listed with
// notOpened set and never probed: a planted ~/.wine must not lead root into
// another owner's machine. A link reports where it leads; a target the
// running user may not look at is given as "not readable", not named.
//
// Only reads; never follows a configuration file's contents anywhere but to
// test whether a folder exists. Errors are values: an unreadable or malformed
// configuration file is skipped. Thread-compatible (no shared state).
#pragma once

#include <string>
#include <vector>

namespace tolvane {

enum class MachineKind { Wine, Winetricks, Proton, Lutris, Bottles, PlayOnLinux, Heroic, Windows };

// "wine", "winetricks", "proton", "lutris", "bottles", "playonlinux",
// "heroic", "windows".
const char* MachineKindName(MachineKind kind);

struct FoundMachine {
    std::string path;  // the prefix (or installation) folder, as found
    MachineKind kind = MachineKind::Wine;
    std::string foundIn;  // "$WINEPREFIX", or the file or folder that named it
    std::string damage;   // empty when the folder looks whole; else why not
    // Where path leads when it is a link or is listed only; "not readable"
    // when the running user may not look there. "" otherwise.
    std::string linkTarget;
    // Why the machine is listed but must not be opened ("owned by NAME",
    // "not readable"); "" when it may be.
    std::string notOpened;
};

// Where to look. FromEnvironment() fills it for the running user ($HOME or
// the password database, $WINEPREFIX, $XDG_DATA_HOME, $XDG_CONFIG_HOME, and
// the NTFS file systems of /proc/self/mounts).
struct DiscoveryPlaces {
    std::string home;
    std::string winePrefix;                   // $WINEPREFIX ("" when unset)
    std::string xdgDataHome;                  // "" means home/.local/share
    std::string xdgConfigHome;                // "" means home/.config
    std::vector<std::string> windowsFolders;  // mount points to test for Windows
    static DiscoveryPlaces FromEnvironment();
};

std::vector<FoundMachine> FindMachines(const DiscoveryPlaces& places);

// The library folders a Steam libraryfolders.vdf lists: the "path" of each
// numbered entry (current format) or the numbered entries' values (the old
// format). Malformed text gives what was read before the fault.
std::vector<std::string> SteamLibraryFolders(const std::string& vdfText);

}  // namespace tolvane
