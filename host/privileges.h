// Whose rights Tolvane uses on a machine. The Windows programs of a machine
// control its files, links and registry; run as root, Tolvane must not lend
// them root's rights. So:
// - run as root on a machine another user owns, Tolvane becomes that user
//   for good before it opens anything of the machine: the owner's
//   supplementary groups, then its group, then its user id (in that order,
//   as each step needs the rights the next one gives up), and then it checks
//   that root cannot be taken back;
// - run as root on a machine root owns, it stays root, and what protects the
//   host is that changes are allowed only below the machine's folder;
// - any other user runs as themself.
//
// The machine's owner is the owner of its folder, read from a descriptor of
// the folder (fstat), never from its path resolved a second time. When that
// is root but a folder above it belongs to another user (who could rename it
// away and put a folder of their own in its place), the machine is that
// user's (the nearest such folder's owner, found by ".." from the
// descriptor). An owner with an account gets exactly that account's groups
// (initgroups); one the system has no account for runs with group nogroup
// (65534) and no supplementary groups, whatever group its folder has.
//
// Process-wide and final: glibc changes the ids of every thread. Call it
// once, before the machine is opened; when it fails the program must stop.
// It also points HOME, USER, LOGNAME and XDG_RUNTIME_DIR at the new user, so
// that programs Tolvane starts (Wine) and its per-user files follow.
#pragma once

#include <string>

namespace tolvane {

enum class RunAs {
    OwnUser,            // not started as root: nothing changed
    MachineOwner,       // started as root; now the machine's owner
    RootOnRootMachine,  // root on a machine root owns: changes confined to it
};

struct Privileges {
    RunAs runAs = RunAs::OwnUser;
    unsigned uid = 0;
    std::string userName;  // the user Tolvane runs as ("uid N" when it has no name)
};

// Takes on the rights described above for the machine at machinePath (a host
// folder; a path that is no folder changes nothing, opening it fails later).
// False and *error when the user could not be changed or root could be
// taken back.
bool TakeMachineOwnersRights(const std::string& machinePath, Privileges* privileges,
                             std::string* error);
// The same for the machine folder open as folderFd (a descriptor that is no
// folder, or -1, changes nothing). A caller that opens the machine by path
// afterwards checks that the folder it opened is this one.
bool TakeMachineOwnersRightsAt(int folderFd, Privileges* privileges, std::string* error);

// The user-facing line saying which rule applies; "" for OwnUser.
std::string PrivilegesNote(const Privileges& privileges);

// The running user's name ("uid N" without one).
std::string CurrentUserName();

}  // namespace tolvane
