#include "host/privileges.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "testing/as_nobody.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;
using testing::TempPrefix;

// Runs check in a child process that is still root when it starts; true
// when check returned true. The change of user cannot be undone, so it is
// tried in a child only.
bool InChild(const std::function<bool()>& check) {
    pid_t pid = fork();
    if (pid == 0) _exit(check() ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Privileges, RootBecomesTheMachinesOwnerForGoodAndStaysRootOnItsOwnMachine) {
    SKIP_UNLESS_ROOT();
    TempPrefix prefix;
    const std::string rootOnly = prefix.path() + "-secret";
    std::ofstream(rootOnly) << "root's";
    chmod(rootOnly.c_str(), 0600);

    // Root's own machine: root stays, and says the confinement applies.
    EXPECT_TRUE(InChild([&] {
        Privileges p;
        std::string error;
        return TakeMachineOwnersRights(prefix.path(), &p, &error) &&
               p.runAs == RunAs::RootOnRootMachine && geteuid() == 0 &&
               PrivilegesNote(p) ==
                   "Running as root on a machine root owns: changes stay inside the machine's "
                   "folder.";
    }));

    testing::GiveToNobody(prefix.path());
    // A folder root owns inside nobody's is nobody's too: nobody could swap it.
    const std::string inner = prefix.Host("drive_c/inner");
    fs::create_directory(inner);
    for (const std::string& machine : {prefix.path(), inner}) {
        SCOPED_TRACE(machine);
        EXPECT_TRUE(InChild([&] {
            Privileges p;
            std::string error;
            if (!TakeMachineOwnersRights(machine, &p, &error)) return false;
            uid_t r, e, s;
            getresuid(&r, &e, &s);
            gid_t groups[8];
            int count = getgroups(8, groups);
            bool rootGroup = false;
            for (int i = 0; i < count; ++i) rootGroup = rootGroup || groups[i] == 0;
            // What it makes in the machine is nobody's; root's file stays shut.
            const std::string made = prefix.Host("drive_c/made.txt");
            int fd = open(made.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            struct stat st;
            bool madeByNobody = fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == testing::NobodyUid();
            return p.runAs == RunAs::MachineOwner && p.userName == "nobody" &&
                   r == testing::NobodyUid() && e == r && s == r && getegid() != 0 && !rootGroup &&
                   madeByNobody && open(rootOnly.c_str(), O_RDONLY) < 0 && setuid(0) != 0 &&
                   seteuid(0) != 0 &&
                   std::string(getenv("HOME") ? getenv("HOME") : "") != "/root" &&
                   PrivilegesNote(p) ==
                       "Running as nobody, the owner of the machine: root's rights were given up.";
        }));
    }
    fs::remove(rootOnly);
}

// An owner the system has no account for gets no group of the host's: not
// the group its folder has (one that may open other doors), nor any other.
TEST(Privileges, AnOwnerWithoutAccountRunsWithNogroupAndNoOtherGroup) {
    SKIP_UNLESS_ROOT();
    const uid_t stranger = 54321;
    if (getpwuid(stranger)) GTEST_SKIP() << "uid 54321 has an account here";
    TempPrefix prefix;
    const gid_t folderGroup = 4;  // some group of the host's (adm on Debian)
    ASSERT_EQ(chown(prefix.path().c_str(), stranger, folderGroup), 0);
    EXPECT_TRUE(InChild([&] {
        Privileges p;
        std::string error;
        if (!TakeMachineOwnersRights(prefix.path(), &p, &error)) return false;
        gid_t r, e, s;
        getresgid(&r, &e, &s);
        return p.runAs == RunAs::MachineOwner && p.userName == "uid 54321" &&
               geteuid() == stranger && r == 65534 && e == r && s == r &&
               getgroups(0, nullptr) == 0;
    }));
}

}  // namespace
}  // namespace tolvane
