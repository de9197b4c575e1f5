#include "machine/wine/proc_process_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "machine/wine/wine_prefix.h"
#include "testing/fake_windows_program.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::ChildProcess;
using testing::TempPrefix;

// The machine's snapshot of pid, waiting a little for the child to exec.
bool FindProcess(ProcessTable& table, pid_t pid, std::string_view exeTail, ProcessSnapshot* found) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::vector<ProcessSnapshot> processes;
        if (!table.List(&processes)) return false;
        for (const auto& p : processes) {
            if (p.pid == static_cast<uint32_t>(pid) && p.exePath.size() >= exeTail.size() &&
                p.exePath.compare(p.exePath.size() - exeTail.size(), exeTail.size(), exeTail) ==
                    0) {
                *found = p;
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(ProcProcessTableTest, ListsAndTerminatesAProgramOfThePrefix) {
    TempPrefix prefix;
    std::string error;
    auto machine = OpenWinePrefix(prefix.path(), &error);
    ASSERT_NE(machine, nullptr) << error;

    // The prefix spelt another way (trailing slash) is still this prefix.
    ChildProcess bad({"/bin/bash", "-c", "exec -a 'C:\\Program Files\\Bad\\bad.exe ' sleep 60"},
                     {"PATH=/usr/bin:/bin", "WINEPREFIX=" + prefix.path() + "/"});
    ChildProcess other({"/bin/bash", "-c", "exec -a 'C:\\windows\\other.exe' sleep 60"},
                       {"PATH=/usr/bin:/bin", "WINEPREFIX=/tmp/another-prefix"});
    ASSERT_GT(bad.pid(), 0);
    ASSERT_GT(other.pid(), 0);

    ProcessSnapshot snapshot;
    ASSERT_TRUE(FindProcess(machine->processes(), bad.pid(), "bad.exe", &snapshot));
    EXPECT_EQ(snapshot.exePath, "C:\\Program Files\\Bad\\bad.exe");  // blanks trimmed
    EXPECT_EQ(snapshot.parentPid, static_cast<uint32_t>(getpid()));
    ASSERT_FALSE(snapshot.modules.empty());
    EXPECT_EQ(snapshot.modules.front(), snapshot.exePath);
    EXPECT_FALSE(snapshot.hostFiles.empty());  // sleep and its libraries

    // The other prefix's program, once it runs as other.exe, is not listed.
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::ifstream cmdline("/proc/" + std::to_string(other.pid()) + "/cmdline");
        std::string argv0;
        std::getline(cmdline, argv0, '\0');
        if (argv0.find("other.exe") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<ProcessSnapshot> all;
    ASSERT_TRUE(machine->processes().List(&all));
    for (const auto& p : all) EXPECT_NE(p.pid, static_cast<uint32_t>(other.pid()));
    EXPECT_FALSE(machine->processes().Terminate(static_cast<uint32_t>(other.pid())));

    ASSERT_TRUE(machine->processes().Terminate(snapshot.pid));
    EXPECT_TRUE(bad.Reap());
    std::vector<ProcessSnapshot> processes;
    ASSERT_TRUE(machine->processes().List(&processes));
    for (const auto& p : processes) EXPECT_NE(p.pid, snapshot.pid);
    EXPECT_FALSE(machine->processes().Terminate(snapshot.pid));
}

TEST(ProcProcessTableTest, MapsAProgramInsideTheDriveBackToItsWindowsPath) {
    TempPrefix prefix;
    prefix.MakeFolder("C:\\Tools");
    const std::string exe = prefix.Host("drive_c/Tools/Sleeper.exe");
    std::filesystem::copy_file("/bin/sleep", exe);
    std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
    std::string error;
    auto machine = OpenWinePrefix(prefix.path(), &error);
    ASSERT_NE(machine, nullptr) << error;

    ChildProcess sleeper({exe, "60"}, {"WINEPREFIX=" + prefix.path()});
    ASSERT_GT(sleeper.pid(), 0);
    ProcessSnapshot snapshot;
    ASSERT_TRUE(FindProcess(machine->processes(), sleeper.pid(), "Sleeper.exe", &snapshot));
    EXPECT_EQ(snapshot.exePath, "C:\\Tools\\Sleeper.exe");
    ASSERT_FALSE(snapshot.modules.empty());
    EXPECT_EQ(snapshot.modules.front(), "C:\\Tools\\Sleeper.exe");
    EXPECT_EQ(std::count(snapshot.modules.begin(), snapshot.modules.end(), snapshot.exePath), 1);

    // Windows refuses to delete a program that runs.
    EXPECT_FALSE(machine->files().DeleteFile("c:\\tools\\sleeper.exe"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(machine->processes().Terminate(snapshot.pid));
    sleeper.Reap();
    EXPECT_TRUE(machine->files().DeleteFile("c:\\tools\\sleeper.exe"));
}

TEST(ProcProcessTableTest, AWineProgramWithoutWineprefixRunsInHomeDotWine) {
    TempPrefix prefix;
    std::string error;
    auto machine = OpenWinePrefix(prefix.path(), &error);
    ASSERT_NE(machine, nullptr) << error;
    // A home whose .wine is this prefix.
    std::filesystem::create_directory(prefix.Host("home"));
    std::filesystem::create_directory_symlink(prefix.path(), prefix.Host("home/.wine"));

    ChildProcess wine({"/bin/bash", "-c", "exec -a 'C:\\windows\\notepad.exe' sleep 60"},
                      {"HOME=" + prefix.Host("home")});
    ChildProcess plain({"/bin/sleep", "60"}, {"HOME=" + prefix.Host("home")});
    ProcessSnapshot snapshot;
    ASSERT_TRUE(FindProcess(machine->processes(), wine.pid(), "notepad.exe", &snapshot));
    std::vector<ProcessSnapshot> all;
    ASSERT_TRUE(machine->processes().List(&all));
    for (const auto& p : all)
        EXPECT_NE(p.pid, static_cast<uint32_t>(plain.pid()));  // no Wine program
}

// Stopping a prefix's wineserver ends all its programs at once, while a
// scan or the removal may be reading their /proc files: a file opened just
// before its process was reaped fails to read (ESRCH). A folder laid out as
// /proc stands in for that moment: a directory where a file should be opens
// and then fails to read. Such processes are left out; the listing goes on,
// neither throws nor fails, and lists the programs whose files read.
TEST(ProcProcessTableTest, ProgramsWhoseFilesFailToReadAreLeftOut) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    const std::string proc = prefix.Host("fake-proc");
    const std::string environ =
        std::string("HOME=/root\0WINEPREFIX=", 22) + prefix.path() + std::string(1, '\0');
    const std::string maps = "7f00-7f01 r-xp 00000000 fe:00 12 " +
                             prefix.Host("drive_c/windows/x y.dll") +
                             "\n7f01-7f02 r--p 00000000 00:00 0 [heap]\n";
    auto process = [&](const std::string& pid, const std::string& cmdline) {
        std::filesystem::create_directories(proc + "/" + pid);
        std::ofstream(proc + "/" + pid + "/environ", std::ios::binary) << environ;
        std::ofstream(proc + "/" + pid + "/cmdline", std::ios::binary) << cmdline;
        std::ofstream(proc + "/" + pid + "/stat") << pid << " (a b) S 77 1 1 0";
        std::ofstream(proc + "/" + pid + "/maps") << maps;
    };
    auto unreadable = [&](const std::string& pid, const std::string& file) {
        std::filesystem::remove(proc + "/" + pid + "/" + file);
        std::filesystem::create_directory(proc + "/" + pid + "/" + file);
    };
    process("4101", std::string("C:\\windows\\gone1.exe\0", 21));
    unreadable("4101", "cmdline");
    process("4102", std::string("C:\\windows\\gone2.exe\0", 21));
    unreadable("4102", "maps");
    process("4103", std::string("C:\\windows\\gone3.exe\0", 21));
    unreadable("4103", "environ");
    process("4104", std::string("C:\\windows\\stays.exe\0-n\0", 24));
    process("4105", std::string("C:\\windows\\gone4.exe\0", 21));
    unreadable("4105", "stat");
    std::filesystem::create_directories(proc + "/self");

    auto table = MakeProcProcessTable(prefix.path(), machine->files(), proc);
    std::vector<ProcessSnapshot> processes;
    bool listed = false;
    ASSERT_NO_THROW(listed = table->List(&processes));
    ASSERT_TRUE(listed);
    ASSERT_EQ(processes.size(), 2u);
    // An unreadable stat costs only the parent.
    EXPECT_EQ(processes[0].pid, 4104u);
    EXPECT_EQ(processes[0].exePath, "C:\\windows\\stays.exe");
    EXPECT_EQ(processes[0].parentPid, 77u);
    EXPECT_EQ(processes[0].modules,
              (std::vector<std::string>{"C:\\windows\\stays.exe", "C:\\windows\\x y.dll"}));
    EXPECT_EQ(processes[1].pid, 4105u);
    EXPECT_EQ(processes[1].parentPid, 0u);
    EXPECT_FALSE(table->IsMapped(prefix.Host("drive_c/windows/gone.dll")));
    EXPECT_TRUE(table->IsMapped(prefix.Host("drive_c/windows/x y.dll")));
}

}  // namespace
}  // namespace tolvane
