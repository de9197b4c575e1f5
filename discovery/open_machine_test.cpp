#include "discovery/open_machine.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "testing/as_nobody.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::TempPrefix;

TEST(OpenMachineTest, OpensOnlyMachineFolders) {
    TempPrefix prefix;
    std::string error;
    EXPECT_EQ(OpenMachine(prefix.Host("drive_c/windows"), &error), nullptr);
    EXPECT_NE(error.find("not a Wine prefix"), std::string::npos);
    EXPECT_EQ(OpenMachine(prefix.Host("nothing"), &error), nullptr);
    EXPECT_FALSE(error.empty());

    auto machine = OpenMachine(prefix.path() + "/", &error);
    ASSERT_NE(machine, nullptr) << error;
    EXPECT_EQ(machine->PrefixPath(), std::filesystem::canonical(prefix.path()).string());

    const char* oldPrefix = getenv("WINEPREFIX");
    const char* oldHome = getenv("HOME");
    std::string savedPrefix = oldPrefix ? oldPrefix : "", savedHome = oldHome ? oldHome : "";
    setenv("WINEPREFIX", "/some/prefix", 1);
    EXPECT_EQ(DefaultPrefixPath(), "/some/prefix");
    unsetenv("WINEPREFIX");
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(DefaultPrefixPath(), "/home/someone/.wine");
    if (oldPrefix) setenv("WINEPREFIX", savedPrefix.c_str(), 1);
    if (oldHome) setenv("HOME", savedHome.c_str(), 1);
}

// Run as root on a link to root's own machine, swapped for a link to
// another user's machine once whose machine it is was decided: that other
// machine is not opened with root's rights.
TEST(OpenMachineTest, AFolderSwappedAfterItsOwnerWasTakenIsRefused) {
    SKIP_UNLESS_ROOT();
    TempPrefix root, nobodys;
    testing::GiveToNobody(nobodys.path());
    const std::string link = root.path() + "-link";
    ASSERT_EQ(symlink(root.path().c_str(), link.c_str()), 0);
    // In a child: had the rights followed the swap, they could not be undone.
    pid_t pid = fork();
    if (pid == 0) {
        OwnedMachine opened = OpenMachineAsOwner(link, {}, [&] {
            unlink(link.c_str());
            if (symlink(nobodys.path().c_str(), link.c_str()) != 0) _exit(2);
        });
        _exit(!opened.machine && opened.privileges.runAs == RunAs::RootOnRootMachine &&
                      opened.error.find("changed while it was being opened") != std::string::npos
                  ? 0
                  : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Unswapped, the link opens the machine it names.
    unlink(link.c_str());
    ASSERT_EQ(symlink(root.path().c_str(), link.c_str()), 0);
    OwnedMachine opened = OpenMachineAsOwner(link, {});
    unlink(link.c_str());
    ASSERT_NE(opened.machine, nullptr) << opened.error;
    EXPECT_EQ(opened.privileges.runAs, RunAs::RootOnRootMachine);
}

}  // namespace
}  // namespace tolvane
