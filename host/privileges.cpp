#include "host/privileges.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "host/host_paths.h"

namespace tolvane {
namespace {

struct Owner {
    uid_t uid = 0;
};

struct Account {
    std::string name;
    std::string home;
    gid_t gid = 0;
    bool known = true;  // false: an owner the system has no account for
};

// The group of an owner the system has no account for: no group of the
// host's, whatever group its folder has.
constexpr gid_t kNoGroup = 65534;

// Whose the folder open as folderFd is, as the header describes; the folders
// above it are reached by ".." from the descriptor, so a link or rename of
// its path after it was opened changes nothing. nullopt when it is no folder.
std::optional<Owner> FindMachineOwner(int folderFd) {
    struct stat st, top;
    if (folderFd < 0 || fstat(folderFd, &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    if (stat("/", &top) != 0) return std::nullopt;
    Owner owner{st.st_uid};
    int at = dup(folderFd);
    while (owner.uid == 0 && at >= 0 && !(st.st_dev == top.st_dev && st.st_ino == top.st_ino)) {
        int parent = openat(at, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(at);
        at = parent;
        if (at < 0 || fstat(at, &st) != 0) break;
        if (st.st_dev == top.st_dev && st.st_ino == top.st_ino) break;  // "/" is root's
        if (st.st_uid != 0) owner = {st.st_uid};
    }
    if (at >= 0) close(at);
    return owner;
}

std::optional<Account> LookUpAccount(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return Account{found->pw_name, found->pw_dir ? found->pw_dir : "", found->pw_gid, true};
}

// True when no id of the process is root's any more and none can be had
// back.
bool RootIsGone(uid_t uid, gid_t gid) {
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0) return false;
    if (ruid != uid || euid != uid || suid != uid) return false;
    if (rgid != gid || egid != gid || sgid != gid) return false;
    if (setresuid(0, 0, 0) == 0 || setresgid(0, 0, 0) == 0) return false;
    gid_t none[1] = {0};
    return setgroups(1, none) != 0;
}

void PointEnvironmentAt(uid_t uid, const Account& account) {
    if (!account.home.empty()) {  // an account the system knows
        setenv("USER", account.name.c_str(), 1);
        setenv("LOGNAME", account.name.c_str(), 1);
        setenv("HOME", account.home.c_str(), 1);
    }
    // The session folder of the new user when it has one; root's is no use.
    std::string runtime = "/run/user/" + std::to_string(uid);
    struct stat st;
    if (stat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid)
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}

bool BecomeUser(uid_t uid, const Account& account, std::string* error) {
    auto fail = [&](const char* step) {
        *error =
            std::string("could not give up root's rights (") + step + "): " + std::strerror(errno);
        return false;
    };
    // The account's own groups, exactly; an owner without one gets none.
    int groups =
        account.known ? initgroups(account.name.c_str(), account.gid) : setgroups(0, nullptr);
    if (groups != 0) return fail("groups");
    if (setresgid(account.gid, account.gid, account.gid) != 0) return fail("group");
    if (setresuid(uid, uid, uid) != 0) return fail("user");
    if (!RootIsGone(uid, account.gid)) {
        *error = "root's rights could be taken back after changing to " + account.name;
        return false;
    }
    PointEnvironmentAt(uid, account);
    return true;
}

}  // namespace

std::string CurrentUserName() {
    std::optional<Account> account = LookUpAccount(geteuid());
    return account ? account->name : "uid " + std::to_string(geteuid());
}

bool TakeMachineOwnersRights(const std::string& machinePath, Privileges* privileges,
                             std::string* error) {
    int fd = open(machinePath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool taken = TakeMachineOwnersRightsAt(fd, privileges, error);
    if (fd >= 0) close(fd);
    return taken;
}

bool TakeMachineOwnersRightsAt(int folderFd, Privileges* privileges, std::string* error) {
    *privileges = Privileges{};
    privileges->uid = geteuid();
    privileges->userName = CurrentUserName();
    if (geteuid() != 0) return true;
    std::optional<Owner> owner = FindMachineOwner(folderFd);
    if (!owner || owner->uid == 0) {
        privileges->runAs = RunAs::RootOnRootMachine;
        return true;
    }
    std::optional<Account> account = LookUpAccount(owner->uid);
    // An owner the system has no account for: its own id, and no group of
    // the host's (its folder's group may be one that opens other doors).
    if (!account) account = Account{"uid " + std::to_string(owner->uid), "", kNoGroup, false};
    if (!BecomeUser(owner->uid, *account, error)) return false;
    privileges->runAs = RunAs::MachineOwner;
    privileges->uid = owner->uid;
    privileges->userName = account->name;
    return true;
}

std::string PrivilegesNote(const Privileges& privileges) {
    switch (privileges.runAs) {
        case RunAs::MachineOwner:
            return "Running as " + privileges.userName +
                   ", the owner of the machine: root's rights were given up.";
        case RunAs::RootOnRootMachine:
            return "Running as root on a machine root owns: changes stay inside the machine's "
                   "folder.";
        case RunAs::OwnUser:
            break;
    }
    return "";
}

}  // namespace tolvane
