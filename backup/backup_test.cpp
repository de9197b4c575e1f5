// Backup archives and their restore on real temporary prefixes: what goes
// in comes back byte for byte and value for value, and archives from
// elsewhere cannot reach outside the work folder.
#include <gtest/gtest.h>
#include <minizip/zip.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "backup/archive_reader.h"
#include "backup/archive_writer.h"
#include "backup/backup_archive.h"
#include "backup/backup_test_support.h"
#include "backup/restore.h"
#include "host/host_files.h"
#include "removal/object_remover.h"
#include "removal/removal_test_support.h"
#include "testing/registry_values.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::QueryRegistryValue;
using testing::SetRegistryValue;
using testing::TempPrefix;
using testing::TestRows;
using testing::TestView;

std::string Read(const Machine& machine, const std::string& path) {
    std::string content;
    EXPECT_TRUE(machine.files().ReadWholeFile(path, &content)) << path;
    return content;
}

// The entry names of an archive as the system's unzip lists them.
std::vector<std::string> UnzipList(const std::string& hostPath) {
    std::vector<std::string> names;
    FILE* pipe = popen(("unzip -Z1 '" + hostPath + "' 2>&1").c_str(), "r");
    if (!pipe) return names;
    char line[4096];
    while (fgets(line, sizeof line, pipe)) {
        std::string name(line);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        names.push_back(name);
    }
    EXPECT_EQ(pclose(pipe), 0);
    return names;
}

// One entry's bytes as the system's unzip gives them.
std::string UnzipEntry(const std::string& hostPath, const std::string& name) {
    std::string content;
    FILE* pipe = popen(("unzip -p '" + hostPath + "' '" + name + "'").c_str(), "r");
    if (!pipe) return content;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        content.append(buffer, got);
    EXPECT_EQ(pclose(pipe), 0) << name;
    return content;
}

struct Fixture {
    TempPrefix prefix;
    std::unique_ptr<Machine> machine = prefix.Open();
    TestView view;
    BackupArchive backup{*machine, view};
    const std::string archive = "C:\\Program Files\\Tolvane\\Quarantine\\TolvaneBackup.zip";

    std::string Host(const std::string& windowsPath) const {
        return *machine->files().ToHostPath(windowsPath);
    }
};

TEST(Backup, TwoFilesAndAKeyGiveExactlyFourEntries) {
    Fixture f;
    f.prefix.WriteFile("C:\\Bad\\one.exe", "first file");
    f.prefix.WriteFile("C:\\Bad\\two.dll", "second file");
    Registry& registry = f.machine->registry();
    SetRegistryValue(registry, RootKey::CurrentUser, "Software\\BadVendor\\Sub", "Count", REG_DWORD,
                     std::string("\xff\0\0\0", 4));
    SetRegistryValue(registry, RootKey::LocalMachine, "Software\\BadVendor", "", REG_SZ, "machine");
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Bad\\one.exe");
    rows.Add(ObjectType::HostFileItem, "ads.example", false);
    rows.Add(ObjectType::File, "C:\\Bad\\two.dll");
    rows.Add(ObjectType::RegistryKey, "Software\\BadVendor");
    f.view.savePaths = {f.archive};

    EXPECT_TRUE(f.backup.MarkCheckedForBackup(rows));
    EXPECT_EQ(f.view.LastText(), "Backup created sucessfullly");
    ASSERT_EQ(f.view.dialogs.size(), 1u);
    EXPECT_EQ(f.view.dialogs[0].initialPath, f.archive);
    EXPECT_FALSE(rows.rows[1].backupMark);
    EXPECT_EQ(UnzipList(f.Host(f.archive)),
              (std::vector<std::string>{"1", "2", "Config.ini", "regbackup.reg"}));

    // The staged copies (the malware itself) leave the disk with the work
    // folder once the archive holds them.
    const std::string work = f.backup.WorkFolder();
    EXPECT_FALSE(f.machine->files().PathFileExists(work));
    EXPECT_EQ(UnzipEntry(f.Host(f.archive), "Config.ini"),
              "[TYPE:FILE]\r\r\n[NAME:1]\r\r\n[PATH:C:\\Bad\\one.exe]\r\r\n"
              "[TYPE:FILE]\r\r\n[NAME:2]\r\r\n[PATH:C:\\Bad\\two.dll]\r\r\n");
    EXPECT_EQ(UnzipEntry(f.Host(f.archive), "1"), "first file");
    EXPECT_EQ(UnzipEntry(f.Host(f.archive), "regbackup.reg"),
              "REGEDIT4\r\n"
              "[HKEY_CURRENT_USER\\Software\\BadVendor]\r\n"
              "\r\n[HKEY_CURRENT_USER\\Software\\BadVendor\\Sub]\r\n"
              "\"Count\" = dword:000000ff\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\BadVendor]\r\n"
              "@ = \"machine\"\r\n");

    // The next backup numbers from 1 again, leaves out what is unchecked and
    // never sees the first backup's copies.
    rows.rows[0].checked = false;
    rows.rows[3].checked = false;
    f.view.savePaths = {"C:\\Program Files\\Tolvane\\Quarantine\\second"};
    EXPECT_TRUE(f.backup.MarkCheckedForBackup(rows));
    EXPECT_EQ(UnzipList(f.Host("C:\\Program Files\\Tolvane\\Quarantine\\second.zip")),
              (std::vector<std::string>{"1", "Config.ini", "regbackup.reg"}));
    EXPECT_EQ(UnzipEntry(f.Host("C:\\Program Files\\Tolvane\\Quarantine\\second.zip"), "1"),
              "second file");
    EXPECT_FALSE(f.machine->files().PathFileExists(work));

    // An archive that cannot be written (a folder stands under its name)
    // leaves no staged copy either.
    f.prefix.MakeFolder("C:\\Program Files\\Tolvane\\Quarantine\\taken.zip");
    f.view.savePaths = {"C:\\Program Files\\Tolvane\\Quarantine\\taken.zip"};
    EXPECT_FALSE(f.backup.MarkCheckedForBackup(rows));
    EXPECT_EQ(f.view.LastText(),
              "The backup archive could not be written. Nothing was saved.\n"
              "C:\\Program Files\\Tolvane\\Quarantine\\taken.zip could not be written whole.");
    EXPECT_FALSE(f.machine->files().PathFileExists(work));
}

TEST(Backup, NothingCheckedCancelAndAMissingFolder) {
    Fixture f;
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\x.txt", false);
    EXPECT_FALSE(f.backup.MarkCheckedForBackup(rows));
    EXPECT_EQ(f.view.LastText(), "No objects selected to backup");
    EXPECT_TRUE(f.view.dialogs.empty());

    rows.rows[0].checked = true;
    f.view.messages.clear();
    EXPECT_FALSE(f.backup.MarkCheckedForBackup(rows));  // the dialog is cancelled
    EXPECT_TRUE(f.view.messages.empty());

    f.view.savePaths = {"C:\\No such folder\\b.zip"};
    EXPECT_FALSE(f.backup.MarkCheckedForBackup(rows));
    EXPECT_EQ(f.view.LastText(),
              "The backup archive could not be written. Nothing was saved.\n"
              "The folder C:\\No such folder does not exist.");
}

// Files, folders with their trees (two of them holding files of the same
// names), keys and values with awkward names: all removed, all restored.
TEST(Restore, BringsBackFilesFoldersKeysAndValuesExactly) {
    Fixture f;
    std::string binary;
    for (int i = 0; i < 300; ++i) binary += static_cast<char>(i * 7);
    f.prefix.WriteFile("C:\\Program Files\\Bad\\bad.exe", binary);
    f.prefix.WriteFile("C:\\Program Files\\Bad\\Plugins\\a.txt", "plugin a");
    f.prefix.WriteFile("C:\\Program Files\\Bad\\Plugins\\Deep\\b.txt", "deep b");
    f.prefix.MakeFolder("C:\\Program Files\\Bad\\Empty");
    f.prefix.WriteFile("C:\\Other\\Plugins\\a.txt", "other a");
    f.prefix.WriteFile("C:\\users\\root\\Temp\\1", "a file named like a copy");
    Registry& registry = f.machine->registry();
    SetRegistryValue(registry, RootKey::CurrentUser, "Software\\Bad", "na\"me\\x", REG_SZ,
                     std::string("C:\\dir\\ \"q\"\0", 13));
    SetRegistryValue(registry, RootKey::CurrentUser, "Software\\Bad\\Sub", "Bin", REG_BINARY,
                     binary);
    SetRegistryValue(registry, RootKey::LocalMachine, "Software\\Run", "bad", REG_EXPAND_SZ,
                     std::string("%TEMP%\\bad.exe\0", 15));
    SetRegistryValue(registry, RootKey::LocalMachine, "Software\\Run", "keep", REG_SZ, "k");

    TestRows rows;
    rows.Add(ObjectType::Folder, "C:\\Program Files\\Bad");
    rows.Add(ObjectType::Folder, "C:\\Other\\Plugins");
    rows.Add(ObjectType::File, "C:\\users\\root\\Temp\\1");
    rows.Add(ObjectType::RegistryKey, "Software\\Bad");
    rows.Add(ObjectType::RegistryValue, "Software\\Run\\bad");
    f.view.savePaths = {f.archive};
    ASSERT_TRUE(f.backup.MarkCheckedForBackup(rows));
    std::vector<std::string> entries = UnzipList(f.Host(f.archive));
    EXPECT_NE(std::find(entries.begin(), entries.end(), "1/Plugins/Deep/b.txt"), entries.end());
    EXPECT_NE(std::find(entries.begin(), entries.end(), "1/Empty/"), entries.end());
    EXPECT_NE(std::find(entries.begin(), entries.end(), "2/a.txt"), entries.end());

    ObjectRemover remover(*f.machine);
    for (const auto& row : rows.rows) remover.RemoveObject(row.type, row.text);
    ASSERT_FALSE(f.machine->files().PathFileExists("C:\\Program Files\\Bad"));
    ASSERT_FALSE(f.machine->files().PathFileExists("C:\\Other\\Plugins"));
    uint32_t type = 0;
    std::string data;
    ASSERT_FALSE(QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\Bad", "na\"me\\x",
                                    &type, &data));

    f.view.openPaths = {f.archive};
    RestoreBackup(*f.machine, f.view);
    EXPECT_EQ(Read(*f.machine, "C:\\Program Files\\Bad\\bad.exe"), binary);
    EXPECT_EQ(Read(*f.machine, "C:\\Program Files\\Bad\\Plugins\\a.txt"), "plugin a");
    EXPECT_EQ(Read(*f.machine, "C:\\Program Files\\Bad\\Plugins\\Deep\\b.txt"), "deep b");
    EXPECT_TRUE(f.machine->files().PathFileExists("C:\\Program Files\\Bad\\Empty"));
    EXPECT_EQ(Read(*f.machine, "C:\\Other\\Plugins\\a.txt"), "other a");
    EXPECT_EQ(Read(*f.machine, "C:\\users\\root\\Temp\\1"), "a file named like a copy");
    ASSERT_TRUE(QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\Bad", "na\"me\\x",
                                   &type, &data));
    EXPECT_EQ(data, std::string("C:\\dir\\ \"q\"\0", 13));
    ASSERT_TRUE(QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\Bad\\Sub", "Bin",
                                   &type, &data));
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(data, binary);
    ASSERT_TRUE(
        QueryRegistryValue(registry, RootKey::LocalMachine, "Software\\Run", "bad", &type, &data));
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(data, std::string("%TEMP%\\bad.exe\0", 15));
    EXPECT_FALSE(f.machine->files().PathFileExists(RestoreWorkFolder(*f.machine)));

    // Restoring again replaces nothing that is there.
    f.prefix.WriteFile("C:\\Program Files\\Bad\\bad.exe", "newer");
    RestoreReport again = RestoreArchive(*f.machine, f.archive);
    EXPECT_EQ(Read(*f.machine, "C:\\Program Files\\Bad\\bad.exe"), "newer");
    EXPECT_TRUE(again.manifestRead);
}

// A file listed before its folder must not keep the folder from coming back,
// and comes back with it without being counted as left behind.
TEST(Restore, AFolderComesBackWholeWhateverTheOrderOfItsRows) {
    Fixture f;
    f.prefix.WriteFile("C:\\Bad\\x.exe", "x");
    f.prefix.WriteFile("C:\\Bad\\y.txt", "y");
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Bad\\x.exe");
    rows.Add(ObjectType::Folder, "C:\\Bad");
    f.view.savePaths = {f.archive};
    ASSERT_TRUE(f.backup.MarkCheckedForBackup(rows));
    ObjectRemover remover(*f.machine);
    for (const auto& row : rows.rows) remover.RemoveObject(row.type, row.text);
    ASSERT_FALSE(f.machine->files().PathFileExists("C:\\Bad"));

    RestoreReport report = RestoreArchive(*f.machine, f.archive);
    EXPECT_EQ(Read(*f.machine, "C:\\Bad\\x.exe"), "x");
    EXPECT_EQ(Read(*f.machine, "C:\\Bad\\y.txt"), "y");
    EXPECT_EQ(restore_text::Summary(report),
              "Restored: 0 files, 1 folders, 0 registry keys and values, 0 hosts lines.");
}

TEST(Restore, HostsEntriesAreRemovedButNeverBackedUp) {
    Fixture f;
    const std::string hosts = "C:\\windows\\system32\\drivers\\etc\\hosts";
    f.prefix.WriteFile(hosts,
                       "127.0.0.1 localhost\r\n10.0.0.1 ads.bad.example\r\n"
                       "10.0.0.2 ads.bad.example.net\r\n");
    TestRows rows;
    rows.Add(ObjectType::HostFileItem, "ads.bad.example");
    f.view.savePaths = {f.archive};
    ASSERT_TRUE(f.backup.MarkCheckedForBackup(rows));
    ObjectRemover remover(*f.machine);
    remover.RemoveObject(ObjectType::HostFileItem, "ads.bad.example");
    ASSERT_EQ(Read(*f.machine, hosts), "127.0.0.1 localhost\r\n");
    // One of the lines came back by hand already: it is not doubled.
    f.prefix.WriteFile(hosts, "127.0.0.1 localhost\r\n10.0.0.2 ads.bad.example.net\r\n");

    RestoreReport report = RestoreArchive(*f.machine, f.archive);
    EXPECT_EQ(Read(*f.machine, hosts),
              "127.0.0.1 localhost\r\n10.0.0.2 ads.bad.example.net\r\n"
              "10.0.0.1 ads.bad.example\r\n");
    EXPECT_EQ(report.hostsLinesRestored, 1u);
    EXPECT_EQ(report.hostsLinesPresent, 1u);
    RestoreArchive(*f.machine, f.archive);  // and again: nothing doubled
    EXPECT_EQ(Read(*f.machine, hosts),
              "127.0.0.1 localhost\r\n10.0.0.2 ads.bad.example.net\r\n"
              "10.0.0.1 ads.bad.example\r\n");

    // An archive naming another file than a hosts file changes nothing.
    zipFile zip = zipOpen64(f.Host("C:\\crafted.zip").c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    testing::AddZipEntry(zip, "hostsbackup.ini",
                         "[FILE:C:\\windows\\win.ini]\r\n[LINE:planted]\r\n");
    ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
    report = RestoreArchive(*f.machine, "C:\\crafted.zip");
    EXPECT_FALSE(f.machine->files().PathFileExists("C:\\windows\\win.ini"));
    EXPECT_EQ(report.hostsLinesNotRestored, 1u);
}

// A hosts file planted as a link to a file only root may read: neither the
// backup, the removal nor a restore reads through it, and the archive is
// its owner's alone.
TEST(Backup, HostsLinkToARootOnlyFileIsNeverReadAndArchivesAre0600) {
    Fixture f;
    const std::string secret = f.prefix.path() + "-secret";
    {
        std::ofstream out(secret);
        out << "10.0.0.9 ads.bad.example secret-of-root\r\n";
    }
    chmod(secret.c_str(), 0600);
    f.prefix.AddDrive('z', "/");  // as Wine makes it: reads reach the whole host
    const std::string hosts = "C:\\windows\\system32\\drivers\\etc\\hosts";
    f.prefix.MakeFolder("C:\\windows\\system32\\drivers\\etc");
    f.prefix.WriteFile(hosts, "");
    const std::string hostsOnHost = f.Host(hosts);
    std::filesystem::remove(hostsOnHost);
    ASSERT_EQ(symlink(secret.c_str(), hostsOnHost.c_str()), 0);
    f.prefix.WriteFile("C:\\Bad\\one.exe", "first file");
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Bad\\one.exe");
    rows.Add(ObjectType::HostFileItem, "ads.bad.example");
    f.view.savePaths = {f.archive};

    ASSERT_TRUE(f.backup.MarkCheckedForBackup(rows));
    EXPECT_EQ(UnzipList(f.Host(f.archive)),
              (std::vector<std::string>{"1", "Config.ini", "regbackup.reg"}));
    struct stat st;
    ASSERT_EQ(stat(f.Host(f.archive).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ObjectRemover remover(*f.machine);
    remover.RemoveObject(ObjectType::HostFileItem, "ads.bad.example");
    EXPECT_TRUE(std::filesystem::is_symlink(hostsOnHost));
    EXPECT_EQ(testing::ReadHostFile(secret), "10.0.0.9 ads.bad.example secret-of-root\r\n");
    std::filesystem::remove(secret);
}

TEST(Restore, RestoreSaysNothing) {
    Fixture f;
    f.prefix.WriteFile("C:\\Bad\\a.exe", "a");
    f.prefix.WriteFile("C:\\Bad\\b.exe", "b");
    f.prefix.WriteFile("C:\\Gone\\c.txt", "c");
    f.prefix.WriteFile("C:\\windows\\system32\\drivers\\etc\\hosts",
                       "10.0.0.1 ads.bad.example\r\n");
    SetRegistryValue(f.machine->registry(), RootKey::CurrentUser, "Software\\Bad", "v", REG_SZ,
                     "x");
    SetRegistryValue(f.machine->registry(), RootKey::CurrentUser, "Software\\Bad\\Sub", "w", REG_SZ,
                     "y");
    SetRegistryValue(f.machine->registry(), RootKey::CurrentUser, "Software\\Run", "bad", REG_SZ,
                     "C:\\Bad\\a.exe");
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Bad\\a.exe");
    rows.Add(ObjectType::File, "C:\\Bad\\b.exe");
    rows.Add(ObjectType::Folder, "C:\\Gone");
    rows.Add(ObjectType::RegistryKey, "Software\\Bad");
    rows.Add(ObjectType::RegistryValue, "Software\\Run\\bad");
    rows.Add(ObjectType::HostFileItem, "ads.bad.example");
    f.view.savePaths = {f.archive};
    ASSERT_TRUE(f.backup.MarkCheckedForBackup(rows));
    ObjectRemover remover(*f.machine);
    for (const auto& row : rows.rows) remover.RemoveObject(row.type, row.text);
    f.prefix.WriteFile("C:\\Bad\\b.exe", "newer");  // occupied: not replaced

    f.view.messages.clear();
    f.view.openPaths = {f.archive};
    RestoreBackup(*f.machine, f.view);
    ASSERT_EQ(f.view.messages.size(), 1u);
    EXPECT_EQ(f.view.messages[0].caption, "Tolvane");
    // Each of the two registry rows counts once, whatever keys and values
    // it held.
    EXPECT_EQ(f.view.LastText(),
              "Restored: 1 files, 1 folders, 2 registry keys and values, 1 hosts lines.\n"
              "Not restored because they already exist: 1 files or folders, 0 hosts lines.");
    // A second restore finds everything there.
    f.view.openPaths = {f.archive};
    RestoreBackup(*f.machine, f.view);
    EXPECT_EQ(f.view.LastText(),
              "Restored: 0 files, 0 folders, 2 registry keys and values, 0 hosts lines.\n"
              "Not restored because they already exist: 3 files or folders, 1 hosts lines.");

    // An archive that cannot be opened says so.
    f.prefix.WriteFile("C:\\broken.zip", "no zip");
    f.view.openPaths = {"C:\\broken.zip"};
    RestoreBackup(*f.machine, f.view);
    EXPECT_EQ(f.view.messages.back().caption, "Error");
    EXPECT_EQ(f.view.LastText(), "The backup archive could not be opened. Nothing was restored.");
}

using testing::AddZipEntry;

TEST(Restore, HostileArchiveExtractsNothingOutsideTheWorkFolder) {
    Fixture f;
    f.prefix.MakeFolder("C:\\Program Files\\Tolvane\\Quarantine");
    const std::string hostile = "C:\\Program Files\\Tolvane\\Quarantine\\hostile.zip";
    zipFile zip = zipOpen64(f.Host(hostile).c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    AddZipEntry(zip, "../escaped.txt", "x");
    AddZipEntry(zip, "..\\..\\escaped2.txt", "x");
    AddZipEntry(zip, "a/../../escaped3.txt", "x");
    AddZipEntry(zip, "/tmp/tolvane-absolute-escape.txt", "x");
    AddZipEntry(zip, "C:\\drive-escape.txt", "x");
    AddZipEntry(zip, "1", "payload");
    AddZipEntry(zip, "Config.ini",
                "[NAME:..\\..\\..\\windows\\win.ini]\r\r\n[PATH:C:\\stolen.ini]\r\r\n"
                "[NAME:1]\r\r\n[PATH:relative\\path.txt]\r\r\n"
                "[NAME:1]\r\n[PATH:C:\\Landed\\ok.txt]\r\n");
    ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);

    const std::string work = RestoreWorkFolder(*f.machine);
    RestoreReport report = RestoreArchive(*f.machine, hostile);
    EXPECT_TRUE(report.archiveOpened);
    EXPECT_EQ(report.entriesRefused, 5u);
    namespace fs = std::filesystem;
    for (const auto& entry : fs::recursive_directory_iterator(f.prefix.path())) {
        std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find("escape"), std::string::npos) << entry.path();
    }
    EXPECT_FALSE(fs::exists("/tmp/tolvane-absolute-escape.txt"));
    EXPECT_FALSE(f.machine->files().PathFileExists("C:\\stolen.ini"));
    // The one sound record of a CR LF manifest is restored.
    EXPECT_EQ(Read(*f.machine, "C:\\Landed\\ok.txt"), "payload");
    EXPECT_EQ(report.restored, 1u);
}

TEST(Restore, RefusedWhileTheWineServerOwnsTheRegistry) {
    Fixture f;
    f.view.openPaths = {f.archive};
    {
        testing::FakeWineServer server(f.prefix.path());
        RestoreBackup(*f.machine, f.view);
    }
    EXPECT_TRUE(f.view.dialogs.empty());
    ASSERT_EQ(f.view.messages.size(), 1u);
    EXPECT_EQ(f.view.messages[0].caption, "Error");
}

TEST(Restore, FlatLayoutFolderCopiesGoBackIntoTheirFolder) {
    Fixture f;
    f.prefix.MakeFolder("C:\\Program Files\\Tolvane\\Quarantine");
    const std::string old = "C:\\Program Files\\Tolvane\\Quarantine\\old.zip";
    zipFile zip = zipOpen64(f.Host(old).c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    AddZipEntry(zip, "1", "file one");
    AddZipEntry(zip, "helper.dll", "from the folder");
    AddZipEntry(zip, "Config.ini",
                "[TYPE:FILE]\r\r\n[NAME:1]\r\r\n[PATH:C:\\Bad\\one.txt]\r\r\n"
                "[TYPE:FILE]\r\r\n[NAME:2]\r\r\n[PATH:C:\\Bad\\Folder]\r\r\n");
    ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
    RestoreReport report = RestoreArchive(*f.machine, old);
    EXPECT_EQ(Read(*f.machine, "C:\\Bad\\one.txt"), "file one");
    EXPECT_EQ(Read(*f.machine, "C:\\Bad\\Folder\\helper.dll"), "from the folder");
    EXPECT_EQ(report.restored, 2u);
}

TEST(ArchiveWriter, RelativeNamesAndAnEarlierArchiveKeptUntilTheNewOneIsWhole) {
    Fixture f;
    f.prefix.WriteFile("C:\\Arc\\sub\\x.txt", "x");
    f.prefix.WriteFile("C:\\Arc\\old.zip", "an earlier archive");
    FileSystem& files = f.machine->files();
    {
        ArchiveWriter writer(files);
        ASSERT_TRUE(writer.Open("C:\\Arc\\old.zip"));
        EXPECT_TRUE(writer.AddFile("sub\\x.txt", false));
        EXPECT_TRUE(writer.AddFile("C:\\Arc\\sub\\x.txt", true));
        EXPECT_FALSE(writer.AddFile("..\\x.txt", false));
        EXPECT_FALSE(writer.AddFile("C:\\Elsewhere\\x.txt", false));
        EXPECT_FALSE(writer.AddFileAs("C:\\Arc\\sub\\x.txt", "../x.txt"));
        EXPECT_EQ(Read(*f.machine, "C:\\Arc\\old.zip"), "an earlier archive");
        // Abandoned without Close: the earlier archive stays.
    }
    EXPECT_EQ(Read(*f.machine, "C:\\Arc\\old.zip"), "an earlier archive");
    EXPECT_FALSE(files.PathFileExists("C:\\Arc\\old.zip.part"));

    ArchiveWriter writer(files);
    ASSERT_TRUE(writer.Open("C:\\Arc\\old.zip"));
    EXPECT_TRUE(writer.AddFolder("C:\\Arc\\sub", false));
    EXPECT_TRUE(writer.Close());
    EXPECT_EQ(writer.FilesAdded(), 1u);
    EXPECT_EQ(UnzipList(f.Host("C:\\Arc\\old.zip")), std::vector<std::string>{"sub/x.txt"});

    ArchiveReader reader(files);
    ASSERT_TRUE(reader.Open("C:\\Arc\\old.zip"));
    EXPECT_FALSE(reader.SetOutputFolder("C:\\Arc\\sub\\x.txt"));
    ASSERT_TRUE(reader.SetOutputFolder("C:\\Out\\Deep"));
    ASSERT_TRUE(reader.ExtractAll(true));
    EXPECT_EQ(Read(*f.machine, "C:\\Out\\Deep\\x.txt"), "x");
}

// Files may grow only to a limit while it lives, as on a nearly full disk.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

  private:
    rlimit saved_{};
};

TEST(Restore, WhatDoesNotFitFailsCleanly) {
    Fixture f;
    std::string big(400 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
    f.prefix.WriteFile("C:\\Bad\\small.txt", "small");
    f.prefix.WriteFile("C:\\Bad\\big.bin", big);
    f.prefix.WriteFile("C:\\Program Files\\Tolvane\\Quarantine\\keep.zip", "earlier");
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Bad\\small.txt");
    rows.Add(ObjectType::File, "C:\\Bad\\big.bin");
    f.view.savePaths = {f.archive};
    ASSERT_TRUE(f.backup.MarkCheckedForBackup(rows));

    {
        // The archive cannot be written: the earlier one stays whole.
        FileSizeLimit limit(64 * 1024);
        f.view.savePaths = {"C:\\Program Files\\Tolvane\\Quarantine\\keep.zip"};
        EXPECT_FALSE(f.backup.MarkCheckedForBackup(rows));
    }
    EXPECT_EQ(f.view.LastText(),
              "The backup archive could not be written. Nothing was saved.\n"
              "C:\\Program Files\\Tolvane\\Quarantine\\keep.zip could not be written whole.");
    EXPECT_EQ(Read(*f.machine, "C:\\Program Files\\Tolvane\\Quarantine\\keep.zip"), "earlier");
    EXPECT_FALSE(
        f.machine->files().PathFileExists("C:\\Program Files\\Tolvane\\Quarantine\\keep.zip.part"));

    ObjectRemover remover(*f.machine);
    remover.RemoveFolder("C:\\Bad");
    RestoreReport report;
    {
        FileSizeLimit limit(64 * 1024);
        report = RestoreArchive(*f.machine, f.archive);
    }
    EXPECT_FALSE(report.extractedAll);
    EXPECT_EQ(Read(*f.machine, "C:\\Bad\\small.txt"), "small");
    EXPECT_FALSE(f.machine->files().PathFileExists("C:\\Bad\\big.bin"));  // no torn copy
    report = RestoreArchive(*f.machine, f.archive);
    EXPECT_TRUE(report.extractedAll);
    EXPECT_EQ(Read(*f.machine, "C:\\Bad\\big.bin"), big);
}

// A crafted archive that unpacks to far more than it holds (here 64 MiB of
// zeros in about 64 KiB) stops the restore before the disk fills: the
// partial work folder is deleted, nothing is restored, and the user is told.
TEST(Restore, AnArchiveBombStopsAndLeavesNoWorkFolder) {
    Fixture f;
    const std::string bomb = "C:\\Program Files\\Tolvane\\Quarantine\\bomb.zip";
    f.prefix.MakeFolder("C:\\Program Files\\Tolvane\\Quarantine");
    zipFile zip = zipOpen64(f.Host(bomb).c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    AddZipEntry(zip, "Config.ini", "[NAME:1]\r\r\n[PATH:C:\\Landed\\bomb.bin]\r\r\n");
    ASSERT_EQ(zipOpenNewFileInZip(zip, "1", nullptr, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                  Z_BEST_COMPRESSION),
              ZIP_OK);
    const std::string zeros(1 << 20, '\0');
    for (int i = 0; i < 64; ++i)
        zipWriteInFileInZip(zip, zeros.data(), static_cast<unsigned>(zeros.size()));
    zipCloseFileInZip(zip);
    ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
    ASSERT_LT(std::filesystem::file_size(f.Host(bomb)), 1u << 20);

    f.view.openPaths = {bomb};
    RestoreBackup(*f.machine, f.view);
    EXPECT_EQ(f.view.LastText(), kRestoreStoppedForRatio);
    EXPECT_FALSE(f.machine->files().PathFileExists(RestoreWorkFolder(*f.machine)));
    EXPECT_FALSE(f.machine->files().PathFileExists("C:\\Landed"));

    // The space limit stops the same way, before a byte past it is written.
    ArchiveReader reader(f.machine->files());
    ASSERT_TRUE(reader.Open(bomb));
    ASSERT_TRUE(reader.SetOutputFolder("C:\\Out"));
    reader.SetLimits(1 << 20, 0);
    EXPECT_FALSE(reader.ExtractAll(false));
    EXPECT_EQ(reader.Stopped(), ArchiveReader::Stop::Space);
    EXPECT_FALSE(f.machine->files().PathFileExists("C:\\Out\\1"));
    EXPECT_TRUE(FreeBytes(f.prefix.path()).value_or(0) > 0);
}

}  // namespace
}  // namespace tolvane
