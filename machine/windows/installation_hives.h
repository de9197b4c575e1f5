// Where the registry of a Windows installation lies: the hive files below
// its folder (Windows\System32\config, each profile's NTUSER.DAT and
// UsrClass.dat) and where each appears in the registry.
//
// Found without regard to the case of names (NTFS through ntfs-3g shows
// either spelling) and without following any link: every folder is reached
// from a descriptor of the installation folder one component at a time
// (held_path.h), so a junction or link the disk holds leads nowhere.
// HKEY_LOCAL_MACHINE gets SOFTWARE and SYSTEM (changeable) and SAM,
// SECURITY, COMPONENTS and DRIVERS when present (read only). HKEY_USERS gets
// .DEFAULT and every profile of ProfileList whose NTUSER.DAT exists, under
// its SID, with <SID>_Classes from its UsrClass.dat. CurrentControlSet is the
// control set SYSTEM\Select names as Current (else Default, else 1), as
// Windows picks it at boot.
//
// The current user (HKEY_CURRENT_USER, HKEY_CLASSES_ROOT's user half, the
// shell folders) is one profile of a person's account (a SID starting
// S-1-5-21-): the one asked for by its folder name or SID; else the only
// one; else the one used last, as ProfileList records it in each profile's
// LocalProfileLoadTimeHigh/Low (the time Windows last loaded the profile).
// File times are never asked: a removal or restore writes NTUSER.DAT, and the
// current user would change with each. A profile without a load time counts
// as loaded never; among equals the first in ProfileList wins.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane {

struct HiveLocation {
    std::string folder;  // below the installation folder, '/'-separated, as on disk
    std::string name;    // the hive's entry in that folder, as on disk
    bool readOnly = false;
    bool present() const { return !name.empty(); }
};

struct InstallationHives {
    std::string root;  // the installation folder (host path, canonical)
    struct Mounted {
        std::string keyName;  // "SOFTWARE", "SYSTEM", ...
        HiveLocation hive;
    };
    std::vector<Mounted> machine;  // HKEY_LOCAL_MACHINE's keys
    HiveLocation defaultUser;      // HKEY_USERS\.DEFAULT
    unsigned controlSet = 1;
    struct Profile {
        std::string sid;
        std::string userName;     // the profile folder's name
        std::string profilePath;  // as ProfileList records it (Windows path)
        HiveLocation user;        // NTUSER.DAT
        HiveLocation classes;     // UsrClass.dat (may be absent)
        uint64_t loadTime = 0;    // LocalProfileLoadTime as a FILETIME; 0: none recorded
    };
    std::vector<Profile> profiles;
    int currentUser = -1;  // index into profiles; -1: none
    // What was found but not used, and why: a hive or profile folder that is
    // a link, a pipe or otherwise not what it should be ("The user profile
    // C:\Users\bob (S-1-5-21-...) is not used: Users/bob/NTUSER.DAT is a
    // link, which Tolvane never follows inside an installation.").
    std::vector<std::string> problems;
};

// Finds the hives of the installation at folder. `user` names the current
// user (folder name or SID; empty: chosen as described above). False with
// *error set when it is no Windows installation (saying what was found in
// the way when its config folder, SOFTWARE or SYSTEM is there but a link or
// no folder or plain file) or the user is unknown.
bool FindInstallationHives(const std::string& folder, const std::string& user,
                           InstallationHives* hives, std::string* error);

}  // namespace tolvane
