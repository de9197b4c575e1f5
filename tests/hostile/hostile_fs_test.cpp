// Hostile machines: the prefix belongs to an unprivileged user (nobody), its
// programs act as attackers (the steps run as that user in a child process)
// and Tolvane's code runs as root, as it does on a rescue system. Whatever
// the machine's files, links, registry and names say, no change reaches
// outside the machine's folder, and a root-only folder of the host beside it
// stays exactly as it was.
//
// Each case prints what was tried and what happened (ctest -V shows them);
// the races print their tries and escapes.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backup/backup_archive.h"
#include "backup/backup_test_support.h"
#include "backup/restore.h"
#include "base/codepage.h"
#include "discovery/open_machine.h"
#include "machine/machine.h"
#include "removal/object_remover.h"
#include "removal/removal_flow.h"
#include "removal/removal_test_support.h"
#include "script/script_test_support.h"
#include "settings/settings_store.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::ReadHostFile;

namespace fs = std::filesystem;
using testing::AddZipEntry;

constexpr int kRaceTries = 200;

void HostWrite(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

void Record(const std::string& tried, const std::string& happened) {
    std::printf("containment | %s | %s\n", tried.c_str(), happened.c_str());
}

// Everything below a folder: relative name -> mode and content.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        struct stat st;
        if (lstat(it->path().c_str(), &st) != 0) continue;
        std::string what = std::to_string(st.st_mode) + ":" + std::to_string(st.st_uid);
        if (S_ISREG(st.st_mode)) what += ":" + ReadHostFile(it->path());
        entries[fs::relative(it->path(), root).string()] = what;
    }
    return entries;
}

// Makes the link again where it is gone; false when it could not (the
// swapper races the attacker).
bool PutLinkBack(const fs::path& target, const std::string& link) {
    struct stat st;
    return lstat(link.c_str(), &st) == 0 || symlink(target.c_str(), link.c_str()) == 0;
}

class HostileMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: Tolvane runs as root, the attacker as nobody";
        const passwd* nobody = getpwnam("nobody");
        if (!nobody) GTEST_SKIP() << "no user nobody on this machine";
        uid_ = nobody->pw_uid;
        gid_ = nobody->pw_gid;
        chmod(rootOnly_.c_str(), 0700);
        HostWrite(rootOnly_ / "secret.txt", "root only");
        fs::create_directory(rootOnly_ / "sub");
        HostWrite(rootOnly_ / "sub" / "deep.txt", "root only deep");
        HostWrite(rootOnly_ / "hosts", "127.0.0.1 bad.example\n");
        chmod((rootOnly_ / "hosts").c_str(), 0600);
        before_ = Snapshot(rootOnly_);
        prefix_.AddDrive('z', "/");
        machine_ = prefix_.Open();
    }
    void TearDown() override { machine_.reset(); }

    // The machine's folder and all in it becomes the attacker's.
    void GiveToNobody() const {
        EXPECT_EQ(lchown(prefix_.path().c_str(), uid_, gid_), 0);
        for (const auto& entry : fs::recursive_directory_iterator(prefix_.path()))
            EXPECT_EQ(lchown(entry.path().c_str(), uid_, gid_), 0) << entry.path();
    }

    // Runs the attacker's steps as nobody in a child process; true when
    // they all succeeded.
    bool AsNobody(const std::function<bool()>& steps) const {
        pid_t child = fork();
        if (child == 0) _exit(BecomeNobody() && steps() ? 0 : 1);
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    // A second process of the attacker that swaps each pair of host paths
    // (renameat2 RENAME_EXCHANGE) over and over until StopSwapping().
    void StartSwapping(std::vector<std::pair<std::string, std::string>> pairs) {
        swapper_ = fork();
        if (swapper_ == 0) {
            if (!BecomeNobody()) _exit(1);
            for (;;) {
                for (const auto& [a, b] : pairs)
                    renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
            }
        }
    }
    void StopSwapping() {
        if (swapper_ <= 0) return;
        kill(swapper_, SIGKILL);
        waitpid(swapper_, nullptr, 0);
        swapper_ = 0;
    }

    bool RootOnlyUntouched() const { return Snapshot(rootOnly_) == before_; }
    void ExpectRootOnlyUntouched(const std::string& tried) const {
        EXPECT_EQ(Snapshot(rootOnly_), before_) << tried;
    }

    // The root-only folder as the machine names it through Z:.
    std::string ZPath(const std::string& below = "") const {
        std::string path = "Z:";
        for (const auto& part : rootOnly_.relative_path()) path += "\\" + part.string();
        return below.empty() ? path : path + "\\" + below;
    }
    std::string Host(const std::string& relative) const { return prefix_.Host(relative); }

    // C:\Q\NAME: a backup archive of one file copy for C:\Back\one.txt.
    void WriteArchive(const std::string& name, const std::string& content) const {
        prefix_.MakeFolder("C:\\Q");
        zipFile zip = zipOpen64(Host("drive_c/Q/" + name).c_str(), APPEND_STATUS_CREATE);
        ASSERT_NE(zip, nullptr);
        AddZipEntry(zip, "1", content);
        AddZipEntry(zip, "Config.ini",
                    "[TYPE:FILE]\r\r\n[NAME:1]\r\r\n[PATH:C:\\Back\\one.txt]\r\r\n");
        ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
    }

    testing::TempPrefix prefix_;
    std::unique_ptr<Machine> machine_;
    testing::TempFolder rootOnlyFolder_{"tolvane-rootonly"};
    const fs::path rootOnly_ = rootOnlyFolder_.path();
    std::map<std::string, std::string> before_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    pid_t swapper_ = 0;

  private:
    bool BecomeNobody() const {
        return setgroups(0, nullptr) == 0 && setresgid(gid_, gid_, gid_) == 0 &&
               setresuid(uid_, uid_, uid_) == 0;
    }
};

// --- Confinement ---

TEST_F(HostileMachine, DefinitionsScriptsAndTheStartUpQueueChangeNothingOutside) {
    GiveToNobody();
    ObjectRemover remover(*machine_);
    std::string content;
    EXPECT_TRUE(machine_->files().ReadWholeFile(ZPath("secret.txt"), &content));
    EXPECT_EQ(content, "root only");  // scans still read through every drive
    EXPECT_FALSE(remover.RemoveFile(ZPath("secret.txt")));
    EXPECT_FALSE(remover.RemoveFolder(ZPath("sub")));
    EXPECT_TRUE(remover.FailedDeletions().empty());  // never queued for the next start
    EXPECT_EQ(remover.OutsideMachine(),
              (std::vector<std::string>{ZPath("secret.txt"), ZPath("sub")}));
    ExpectRootOnlyUntouched("definition naming Z:");
    Record("definition FILE " + ZPath("secret.txt") + " and DIR " + ZPath("sub") +
               " (a root-only folder)",
           "read by the scan; removal refused (access denied), reported as outside the machine, "
           "not queued");

    tolvane::testing::RecordingView view;
    ScriptHost host(*machine_, view);
    ASSERT_TRUE(host.StartEngine());
    auto js = [](const std::string& path) {
        std::string quoted = "\"";
        for (char c : path) quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return quoted + "\"";
    };
    prefix_.WriteFile("C:\\a.txt", "a");
    EXPECT_EQ(host.RunScript("DeleteFile(" + js(ZPath("secret.txt")) + "); DeleteDir(" +
                             js(ZPath("sub")) + "); CopyFile(" + js("C:\\a.txt") + ", " +
                             js(ZPath("secret.txt")) + "); RenameFile(" + js("C:\\a.txt") + ", " +
                             js(ZPath("planted.txt")) + ");"),
              ScriptOutcome::Completed);
    ExpectRootOnlyUntouched("script.db natives on Z:");
    EXPECT_EQ(prefix_.ReadFile("C:\\a.txt"), "a");
    Record(
        "script: DeleteFile, DeleteDir, CopyFile onto, RenameFile into the root-only folder on Z:",
        "each refused, nothing changed");

    SettingsStore settings(machine_->registry());
    settings.WriteStartUpDeleteQueue({ZPath("secret.txt"), ZPath("sub\\deep.txt")});
    tolvane::testing::TestView removalView;
    RemovalFlow flow(*machine_, settings, remover, removalView);
    flow.ProcessStartUpDeletions();
    ExpectRootOnlyUntouched("-b with StartUpDelete0=Z:...");
    Record("start-up queue StartUpDelete0=" + ZPath("secret.txt") + ", then -b",
           "both deletions refused, nothing changed");
}

TEST_F(HostileMachine, HostsLogsAndArchivesOutsideAreRefused) {
    // The Windows folder named on Z: makes the hosts files the root-only ones.
    RegKey key;
    ASSERT_EQ(machine_->registry().CreateKey(Registry::Root(RootKey::LocalMachine),
                                             "Software\\Microsoft\\Windows NT\\CurrentVersion",
                                             KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(machine_->registry().SetValue(key, "SystemRoot", REG_SZ, ZPath()), ERROR_SUCCESS);
    GiveToNobody();
    std::unique_ptr<Machine> machine = prefix_.Open();
    ObjectRemover remover(*machine);
    EXPECT_FALSE(remover.RemoveHostsEntry("bad.example"));
    ExpectRootOnlyUntouched("SystemRoot on Z:");
    Record("SystemRoot=" + ZPath() + ": hosts rewrite of " + ZPath("hosts"),
           "refused, root-only hosts unchanged");

    // Logs through a link, an archive saved on Z:.
    ASSERT_TRUE(AsNobody([&] {
        fs::create_directories(Host("drive_c/Program Files/Tolvane"));
        return symlink(rootOnly_.c_str(), Host("drive_c/Program Files/Tolvane/Logs").c_str()) == 0;
    }));
    File log;
    EXPECT_FALSE(machine->files().OpenFile("C:\\Program Files\\Tolvane\\Logs\\TolvaneLog1",
                                           FileOpenMode::Write, &log));
    tolvane::testing::TestView view;
    tolvane::testing::TestRows rows;
    prefix_.WriteFile("C:\\bad\\evil.exe", "MZ");
    rows.Add(ObjectType::File, "C:\\bad\\evil.exe");
    view.savePaths = {ZPath("TolvaneBackup.zip")};
    BackupArchive backup(*machine, view);
    EXPECT_FALSE(backup.MarkCheckedForBackup(rows));
    ExpectRootOnlyUntouched("log and archive");
    Record("Logs -> root-only folder; archive saved as " + ZPath("TolvaneBackup.zip"),
           "log not opened, archive refused, nothing written");
}

TEST_F(HostileMachine, WorkFoldersOutsideOrBehindLinksAreRefused) {
    prefix_.WriteFile("C:\\bad\\evil.exe", "MZ");
    WriteArchive("plain.zip", "copy");
    // %TEMP%\TolvaneBackup and %TEMP%\TolvanBK made links to root-only folders.
    fs::create_directory(rootOnly_ / "sub" / "bk");
    before_ = Snapshot(rootOnly_);
    GiveToNobody();
    ASSERT_TRUE(AsNobody([&] {
        return symlink(rootOnly_.c_str(), Host("drive_c/users/root/Temp/TolvaneBackup").c_str()) ==
                   0 &&
               symlink((rootOnly_ / "sub").c_str(),
                       Host("drive_c/users/root/Temp/TolvanBK").c_str()) == 0;
    }));
    auto run = [&](const std::string& tried) {
        tolvane::testing::TestView view;
        tolvane::testing::TestRows rows;
        rows.Add(ObjectType::File, "C:\\bad\\evil.exe");
        view.savePaths = {"C:\\Q\\backup.zip"};
        BackupArchive backup(*machine_, view);
        EXPECT_FALSE(backup.MarkCheckedForBackup(rows)) << tried;
        RestoreReport report = RestoreArchive(*machine_, "C:\\Q\\plain.zip");
        EXPECT_FALSE(report.manifestRead) << tried;
        EXPECT_EQ(report.restored, 0u) << tried;
        EXPECT_FALSE(prefix_.ReadFile("C:\\Back\\one.txt") == "copy") << tried;
        ExpectRootOnlyUntouched(tried);
    };
    run("work folders as links");
    Record("%TEMP%\\TolvaneBackup and %TEMP%\\TolvanBK links to root-only folders",
           "backup and restore refused, link targets untouched");

    // %TEMP% itself outside drive_c.
    RegKey key;
    ASSERT_EQ(machine_->registry().CreateKey(Registry::Root(RootKey::CurrentUser), "Environment",
                                             KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(machine_->registry().SetValue(key, "TEMP", REG_SZ, ZPath("sub")), ERROR_SUCCESS);
    machine_ = prefix_.Open();
    run("TEMP on Z:");
    Record("TEMP=" + ZPath("sub") + " (outside drive_c)",
           "backup and restore refused (outside the machine), nothing written there");
}

// --- Backup copies ---

bool ArchiveHolds(const std::string& archive, const std::string& text, size_t* entries) {
    unzFile unz = unzOpen64(archive.c_str());
    if (!unz) return false;
    bool found = false;
    *entries = 0;
    for (int rc = unzGoToFirstFile(unz); rc == UNZ_OK; rc = unzGoToNextFile(unz)) {
        ++*entries;
        if (unzOpenCurrentFile(unz) != UNZ_OK) continue;
        std::string content;
        char buffer[4096];
        int n;
        while ((n = unzReadCurrentFile(unz, buffer, sizeof buffer)) > 0) content.append(buffer, n);
        unzCloseCurrentFile(unz);
        found = found || content.find(text) != std::string::npos;
    }
    unzClose(unz);
    return found;
}

TEST_F(HostileMachine, BackupCopiesAreNeverSetUidAndNeverFollowLinks) {
    prefix_.WriteFile("C:\\bad\\evil.exe", "MZ evil");
    prefix_.MakeFolder("C:\\badtree\\inner");
    prefix_.WriteFile("C:\\badtree\\inner\\x.dll", "MZ x");
    prefix_.MakeFolder("C:\\Q");
    GiveToNobody();
    ASSERT_TRUE(AsNobody([&] {
        return chmod(Host("drive_c/bad/evil.exe").c_str(), 04755) == 0 &&
               symlink((rootOnly_ / "secret.txt").c_str(),
                       Host("drive_c/bad/secret.lnk").c_str()) == 0 &&
               symlink(rootOnly_.c_str(), Host("drive_c/badtree/rootlink").c_str()) == 0 &&
               symlink((rootOnly_ / "secret.txt").c_str(),
                       Host("drive_c/badtree/inner/file.lnk").c_str()) == 0;
    }));
    tolvane::testing::TestView view;
    tolvane::testing::TestRows rows;
    rows.Add(ObjectType::File, "C:\\bad\\evil.exe");
    rows.Add(ObjectType::File, "C:\\bad\\secret.lnk");
    rows.Add(ObjectType::Folder, "C:\\badtree");
    view.savePaths = {"C:\\Q\\backup.zip"};
    BackupArchive backup(*machine_, view);
    ASSERT_TRUE(backup.MarkCheckedForBackup(rows));

    // The staged copies leave the disk with their folder once archived.
    EXPECT_FALSE(fs::exists(Host("drive_c/users/root/Temp/TolvaneBackup")));
    size_t entries = 0;
    EXPECT_FALSE(ArchiveHolds(Host("drive_c/Q/backup.zip"), "root only", &entries));
    EXPECT_GE(entries, 3u);
    ExpectRootOnlyUntouched("backup");
    Record(
        "backup of evil.exe (mode 4755), a file link and a folder holding links to root-only "
        "files",
        "copies staged without set-user-ID and removed once archived; links neither followed "
        "nor saved; the archive holds no root-only byte");
}

// --- Names Windows cannot hold ---

TEST_F(HostileMachine, NamesWindowsCannotHoldActOnTheirOwnEntryOnly) {
    prefix_.WriteFile("C:\\users\\alice\\Documents\\thesis.doc", "years of work");
    prefix_.MakeFolder("C:\\detected");
    prefix_.MakeFolder("C:\\odd");
    GiveToNobody();
    const std::vector<std::string> odd = {"q?.exe",
                                          "p|ipe.exe",
                                          std::string("ctl\x01.exe"),
                                          "\xff\xfe.exe",
                                          "\xe4\xb8\xad.exe",
                                          "bad\".dll",
                                          "a\\b.txt",
                                          "a\xc2\xa4"
                                          "5Cb.txt"};
    ASSERT_TRUE(AsNobody([&] {
        bool ok = true;
        HostWrite(Host("drive_c/detected/..\\..\\users\\alice\\Documents\\thesis.doc"), "bait");
        for (const std::string& name : odd) {
            HostWrite(Host("drive_c/odd/" + name), name);
            ok = ok && fs::exists(Host("drive_c/odd/" + name));
        }
        return ok;
    }));

    ObjectRemover remover(*machine_);
    remover.SetAfterUnregister([] {});
    EXPECT_TRUE(remover.RemoveFolder("C:\\detected"));
    EXPECT_EQ(prefix_.ReadFile("C:\\users\\alice\\Documents\\thesis.doc"), "years of work");
    EXPECT_FALSE(fs::exists(Host("drive_c/detected")));
    Record("a file named ..\\..\\users\\alice\\Documents\\thesis.doc inside a detected folder",
           "that entry deleted with its folder; the real Documents\\thesis.doc kept");

    // Each odd name lists under its own mapping, and deleting by that name
    // deletes that entry and no other.
    FindHandle handle;
    FindData found;
    std::vector<std::string> listed;
    ASSERT_TRUE(machine_->files().FindFirstFile("C:\\odd\\*", &handle, &found));
    do {
        if (found.name != "." && found.name != "..") listed.push_back(found.name);
    } while (handle.Next(&found));
    ASSERT_EQ(listed.size(), odd.size());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
    for (const std::string& name : odd) {
        std::string shown = HostNameToWindows(name);
        EXPECT_EQ(shown.find_first_of("\\/\"*?|<>:\x01"), std::string::npos) << shown;
        EXPECT_TRUE(std::find(listed.begin(), listed.end(), shown) != listed.end()) << shown;
        EXPECT_TRUE(remover.RemoveFile("C:\\odd\\" + shown)) << shown;
        EXPECT_FALSE(fs::exists(Host("drive_c/odd/" + name))) << shown;
    }
    EXPECT_TRUE(fs::is_empty(Host("drive_c/odd")));
    EXPECT_TRUE(remover.FailedDeletions().empty());
    // regsvr32 got the mapped name: no quote splits its command line.
    for (const auto& argv : prefix_.Launches())
        for (size_t i = 1; i + 1 < argv.size(); ++i)
            EXPECT_EQ(argv[i].find('"'), std::string::npos);
    Record(
        "files named with ?, |, a control character, bytes outside the code page, a quote, a "
        "backslash, and one spelled like a mapped name",
        "each listed under its own name, deleted by it, no other entry touched");
}

// --- Races: a second process swaps what is being changed for a link ---

TEST_F(HostileMachine, FolderRemovalRaceNeverDeletesOutside) {
    const std::string victim = Host("drive_c/victim"), bait = Host("drive_c/bait");
    GiveToNobody();
    int escapes = 0;
    for (int attempt = 0; attempt < kRaceTries; ++attempt) {
        if (attempt == 0) {
            // The bait links, made by the attacker, live on between tries.
            ASSERT_TRUE(AsNobody([&] {
                return symlink(rootOnly_.c_str(), bait.c_str()) == 0 &&
                       fs::create_directories(victim + "/sub") &&
                       symlink(rootOnly_.c_str(), (victim + "/subbait").c_str()) == 0;
            }));
            StartSwapping({{victim, bait}, {victim + "/sub", victim + "/subbait"}});
        }
        // The attacker puts back a victim tree where the removal left none
        // (as nobody: what the swapper redirects cannot lead it outside).
        AsNobody([&] {
            PutLinkBack(rootOnly_, bait);
            PutLinkBack(rootOnly_, victim + "/subbait");
            std::error_code error;
            fs::create_directories(victim + "/sub", error);
            HostWrite(victim + "/sub/f.txt", "x");
            HostWrite(victim + "/secret.txt", "x");
            return true;
        });
        ObjectRemover remover(*machine_);
        remover.RemoveFolder("C:\\victim");
        if (!RootOnlyUntouched()) {
            ++escapes;
            break;
        }
    }
    StopSwapping();
    std::printf("race | folder removal with the tree swapped for a link | %d tries | %d escapes\n",
                kRaceTries, escapes);
    EXPECT_EQ(escapes, 0);
    ExpectRootOnlyUntouched("folder removal race");
}

// The machine given is a link the attacker flips between root's own prefix
// and hers while root opens it (the window, the terminal and tolvane-reg or
// tolvane-demo): the rights taken must be those of the prefix then worked
// on, so a file the opener writes there is never root's in her prefix.
TEST_F(HostileMachine, OwnerRaceOnAFlippedMachineLinkNeverLeavesRootInTheUsersPrefix) {
    GiveToNobody();
    testing::TempPrefix roots;
    testing::TempFolder links("tolvane-links");
    const std::string link = (links.path() / "machine").string();
    const std::string other = (links.path() / "other").string();
    ASSERT_EQ(symlink(roots.path().c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink(prefix_.path().c_str(), other.c_str()), 0);
    ASSERT_EQ(lchown(links.path().c_str(), uid_, gid_), 0);
    ASSERT_EQ(lchown(link.c_str(), uid_, gid_), 0);
    ASSERT_EQ(lchown(other.c_str(), uid_, gid_), 0);
    const std::string probe = "/drive_c/tolvane-probe.txt";
    // Each opener writes the probe as it would write the machine's files.
    const std::vector<std::pair<std::string, std::function<bool()>>> openers = {
        {"OpenMachineAsOwner",
         [&] {
             OwnedMachine opened = OpenMachineAsOwner(link, {});
             return opened.machine &&
                    opened.machine->files().WriteWholeFileAtomic("C:\\tolvane-probe.txt", "x");
         }},
        {"TakeFolderOwnersRights (tolvane-reg, tolvane-demo)", [&] {
             OwnedFolder owned = TakeFolderOwnersRights(link);
             if (owned.path.empty()) return false;
             int fd = open((owned.path + probe).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW, 0644);
             return fd >= 0 && close(fd) == 0;
         }}};
    StartSwapping({{link, other}});
    for (const auto& [opener, openAndWrite] : openers) {
        int wins = 0, inUsers = 0, inRoots = 0;
        for (int attempt = 0; attempt < kRaceTries; ++attempt) {
            pid_t child = fork();
            if (child == 0) _exit(openAndWrite() ? 0 : 1);
            waitpid(child, nullptr, 0);
            struct stat st;
            if (lstat((prefix_.path() + probe).c_str(), &st) == 0) {
                ++inUsers;
                wins += st.st_uid == 0 ? 1 : 0;
                unlink((prefix_.path() + probe).c_str());
            }
            if (lstat((roots.path() + probe).c_str(), &st) == 0) {
                ++inRoots;
                wins += st.st_uid != 0 ? 1 : 0;
                unlink((roots.path() + probe).c_str());
            }
        }
        std::printf(
            "race | %s on a link flipped between root's and nobody's prefix | %d tries | "
            "%d written in nobody's, %d in root's | %d wins\n",
            opener.c_str(), kRaceTries, inUsers, inRoots, wins);
        EXPECT_EQ(wins, 0) << opener;
    }
    StopSwapping();
}

TEST_F(HostileMachine, HostsRewriteRaceNeverWritesOutside) {
    const std::string drivers = Host("drive_c/windows/system32/drivers");
    const std::string etc = drivers + "/etc", etcBait = drivers + "/etcbait";
    GiveToNobody();
    ASSERT_TRUE(AsNobody([&] {
        return symlink(rootOnly_.c_str(), etcBait.c_str()) == 0 &&
               symlink((rootOnly_ / "hosts").c_str(), (etc + "/hostsbait").c_str()) == 0;
    }));
    ObjectRemover remover(*machine_);
    remover.SetHostsFiles({"C:\\windows\\system32\\drivers\\etc\\hosts"});
    StartSwapping({{etc, etcBait}, {etc + "/hosts", etc + "/hostsbait"}});
    int escapes = 0;
    for (int attempt = 0; attempt < kRaceTries && escapes == 0; ++attempt) {
        // The attacker writes the entry back into the real etc folder, under
        // whichever name the swapper left it.
        AsNobody([&] {
            for (const std::string& folder : {etc, etcBait})
                HostWrite(folder + "/hosts", "127.0.0.1 localhost\n127.0.0.1 bad.example\n");
            return true;
        });
        remover.RemoveHostsEntry("bad.example");
        if (!RootOnlyUntouched()) ++escapes;
    }
    StopSwapping();
    std::printf(
        "race | hosts rewrite with etc and hosts swapped for links | %d tries | %d escapes\n",
        kRaceTries, escapes);
    EXPECT_EQ(escapes, 0);
    ExpectRootOnlyUntouched("hosts rewrite race");
}

TEST_F(HostileMachine, RestoreRaceNeverWritesOutside) {
    WriteArchive("a.zip", "restored");
    const std::string temp = Host("drive_c/users/root/Temp");
    const std::string back = Host("drive_c/Back");
    prefix_.MakeFolder("C:\\Back");
    GiveToNobody();
    ASSERT_TRUE(AsNobody([&] {
        return symlink(rootOnly_.c_str(), (temp + "/bkbait").c_str()) == 0 &&
               symlink(rootOnly_.c_str(), Host("drive_c/backbait").c_str()) == 0;
    }));
    StartSwapping({{temp + "/TolvanBK", temp + "/bkbait"}, {back, Host("drive_c/backbait")}});
    int escapes = 0, restored = 0;
    for (int attempt = 0; attempt < kRaceTries && escapes == 0; ++attempt) {
        AsNobody([&] {
            unlink((back + "/one.txt").c_str());
            unlink(Host("drive_c/backbait/one.txt").c_str());
            return true;
        });
        RestoreReport report = RestoreArchive(*machine_, "C:\\Q\\a.zip");
        restored += static_cast<int>(report.restored);
        if (!RootOnlyUntouched()) ++escapes;
    }
    StopSwapping();
    std::printf(
        "race | restore with the work folder and the target swapped for links | %d tries | "
        "%d escapes | %d restored\n",
        kRaceTries, escapes, restored);
    EXPECT_EQ(escapes, 0);
    ExpectRootOnlyUntouched("restore race");
}

}  // namespace
}  // namespace tolvane
