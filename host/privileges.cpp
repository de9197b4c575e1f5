#include "host/privileges.h"

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
    gid_t folderGid = 0;
};

struct Account {
    std::string name;
    std::string home;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// The machine's owner as the header describes; nullopt when the path is no
// folder.
std::optional<Owner> FindMachineOwner(const std::string& machinePath) {
    std::optional<std::string> real = CanonicalPath(machinePath);
    if (!real) return std::nullopt;
    std::string path = *real;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    Owner owner{st.st_uid, st.st_gid};
    // The canonical path holds no links: each folder above it is what it says.
    while (owner.uid == 0 && path.size() > 1) {
        size_t slash = path.rfind('/');
        path.resize(slash == 0 ? 1 : slash);
        if (path == "/" || stat(path.c_str(), &st) != 0) break;
        if (st.st_uid != 0) owner = {st.st_uid, st.st_gid};
    }
    return owner;
}

std::optional<Account> LookUpAccount(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    Account account{found->pw_name, found->pw_dir ? found->pw_dir : "", found->pw_gid, {}};
    int count = 64;
    account.groups.resize(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, found->pw_gid, account.groups.data(), &count) < 0) {
        account.groups.resize(static_cast<size_t>(count));
        getgrouplist(found->pw_name, found->pw_gid, account.groups.data(), &count);
    }
    account.groups.resize(static_cast<size_t>(count));
    return account;
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
    if (setgroups(account.groups.size(), account.groups.data()) != 0) return fail("groups");
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
    *privileges = Privileges{};
    privileges->uid = geteuid();
    privileges->userName = CurrentUserName();
    if (geteuid() != 0) return true;
    std::optional<Owner> owner = FindMachineOwner(machinePath);
    if (!owner || owner->uid == 0) {
        privileges->runAs = RunAs::RootOnRootMachine;
        return true;
    }
    std::optional<Account> account = LookUpAccount(owner->uid);
    if (!account) {
        // An owner the system has no account for: its own id and the folder's
        // group, never root's group.
        if (owner->folderGid == 0) {
            *error = "the machine's owner (uid " + std::to_string(owner->uid) +
                     ") has no account and its folder belongs to root's group";
            return false;
        }
        account =
            Account{"uid " + std::to_string(owner->uid), "", owner->folderGid, {owner->folderGid}};
    }
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
