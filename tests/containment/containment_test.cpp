// Containment: whatever a definition, a script, a backup archive or a link
// planted inside a drive says, Tolvane changes nothing outside the machine's
// own folder (not even through Z:, which only reads reach), and no change
// follows a link.
//
// The machine is shaped as Wine makes it, with Z: covering the host's "/",
// so that a path leading out of C: still lies on a drive and only the rules
// under test keep it out. Beside the prefix lies an "outside" folder of the
// host; C:\Linked is a link to it, C:\Bad\victim.lnk a link to a file in it
// and C:\Tree\sub a link to it inside a folder tree.
//
// Each case prints what was tried and what happened (ctest -V shows them).
#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "backup/backup_test_support.h"
#include "backup/restore.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "machine/machine.h"
#include "removal/object_remover.h"
#include "scan/detected_object.h"
#include "scan/scan_engine.h"
#include "script/script_test_support.h"
#include "settings/settings_store.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::ReadHostFile;

namespace fs = std::filesystem;

void HostWrite(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

class Containment : public ::testing::Test {
  protected:
    void SetUp() override {
        outside_ = outsideFolder_.path();
        HostWrite(outside_ / "victim.txt", "outside");
        HostWrite(outside_ / "deep" / "victim.txt", "outside deep");
        prefix_.AddDrive('z', "/");
        prefix_.MakeFolder("C:\\Bad");
        prefix_.MakeFolder("C:\\Tree");
        prefix_.WriteFile("C:\\Tree\\inner.txt", "inner");
        prefix_.WriteFile("C:\\a.txt", "a");
        fs::create_directory_symlink(outside_, prefix_.Host("drive_c/Linked"));
        fs::create_symlink(outside_ / "victim.txt", prefix_.Host("drive_c/Bad/victim.lnk"));
        fs::create_directory_symlink(outside_, prefix_.Host("drive_c/Tree/sub"));
        machine_ = prefix_.Open();
    }
    void TearDown() override { machine_.reset(); }

    // The outside folder as it was made: nothing deleted, nothing added,
    // nothing changed.
    void ExpectOutsideUntouched(const std::string& tried) {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(outside_))
            names.push_back(fs::relative(entry.path(), outside_).string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"deep", "deep/victim.txt", "victim.txt"}))
            << tried;
        EXPECT_EQ(ReadHostFile(outside_ / "victim.txt"), "outside") << tried;
        EXPECT_EQ(ReadHostFile(outside_ / "deep" / "victim.txt"), "outside deep") << tried;
    }

    static void Record(const std::string& tried, const std::string& happened) {
        std::printf("containment | %s | %s\n", tried.c_str(), happened.c_str());
    }

    bool Exists(const std::string& relative) const {
        std::error_code error;
        return fs::symlink_status(prefix_.Host(relative), error).type() != fs::file_type::not_found;
    }

    // Climbs from C:\ to the host's "/" and down to the outside folder.
    std::string ClimbToOutside() const {
        std::string path = "C:";
        for (int i = 0; i < 12; ++i) path += "\\..";
        for (const auto& part : outside_.relative_path()) path += "\\" + part.string();
        return path;
    }

    testing::TempPrefix prefix_;
    testing::TempFolder outsideFolder_{"tolvane-outside"};
    fs::path outside_;
    std::unique_ptr<Machine> machine_;
};

TEST_F(Containment, DefinitionPathsWithDotDotStayOnTheirDrive) {
    const std::string climb = ClimbToOutside();
    const std::string text =
        "<NA VERSION=\"1\" DATE=\"1\">\r\n<SW NAME=\"Climber\">\r\n"
        "<CATEGORY NAME=\"Adware\"/>\r\n<DIRECTORIES><DIR NAME=\"%windir%\\..\\..\\..\\" +
        climb.substr(3) + "\\deep\"/></DIRECTORIES>\r\n<FILES><FILE PATH=\"" + climb +
        "\\victim.txt\"/></FILES>\r\n</SW>\r\n</NA>\r\n";
    ThreatDatabase database;
    ASSERT_TRUE(LoadDefinitionsFromText(text, PlaceholderFolders{}, &database));
    ASSERT_EQ(database.definitions().size(), 1u);
    const ThreatDefinition& definition = *database.definitions()[0];
    ASSERT_EQ(definition.files.size(), 1u);
    ASSERT_EQ(definition.directories.size(), 1u);
    ObjectRemover remover(*machine_);
    bool file = remover.RemoveFile(definition.files[0].path);
    remover.RemoveFolder(definition.directories[0].path);
    EXPECT_FALSE(file);
    ExpectOutsideUntouched("definition with ..");
    Record("definition FILE PATH " + climb + "\\victim.txt and DIR %windir%\\..\\..\\..\\...",
           "\"..\" stops at C:\\ (" + FileSystem::NormalizePath(definition.files[0].path) +
               "): file missing on C:, removal " + (file ? "succeeded" : "failed") +
               ", outside untouched");
}

TEST_F(Containment, RemovalDoesNotFollowLinksOffTheDrive) {
    ObjectRemover remover(*machine_);
    EXPECT_FALSE(remover.RemoveFile("C:\\Linked\\victim.txt"));
    ExpectOutsideUntouched("remove file through a linked folder");
    Record("removal: delete file C:\\Linked\\victim.txt (C:\\Linked -> outside folder)",
           "refused (access denied), outside file kept");

    EXPECT_TRUE(remover.RemoveFile("C:\\Bad\\victim.lnk"));
    EXPECT_FALSE(Exists("drive_c/Bad/victim.lnk"));
    ExpectOutsideUntouched("remove a file link");
    Record("removal: delete file C:\\Bad\\victim.lnk (a link to an outside file)",
           "the link is deleted, its target kept");

    EXPECT_TRUE(remover.RemoveFolder("C:\\Tree"));
    EXPECT_FALSE(Exists("drive_c/Tree"));
    ExpectOutsideUntouched("remove a tree holding a link");
    Record("removal: delete folder tree C:\\Tree holding sub -> outside folder",
           "tree and link deleted, nothing below the link touched");

    remover.RemoveFolder("C:\\Linked");
    EXPECT_FALSE(Exists("drive_c/Linked"));
    ExpectOutsideUntouched("remove a linked folder");
    Record("removal: delete folder tree C:\\Linked (itself a link to the outside folder)",
           "only the link is deleted");
}

TEST_F(Containment, HostsRewriteDoesNotFollowALinkOffTheDrive) {
    const std::string hosts = "drive_c/windows/system32/drivers/etc/hosts";
    HostWrite(outside_ / "hosts", "127.0.0.1 bad.example\r\n");
    fs::remove(prefix_.Host(hosts));
    fs::create_symlink(outside_ / "hosts", prefix_.Host(hosts));
    ObjectRemover remover(*machine_);
    EXPECT_FALSE(remover.RemoveHostsEntry("bad.example"));
    EXPECT_EQ(ReadHostFile(outside_ / "hosts"), "127.0.0.1 bad.example\r\n");
    fs::remove(outside_ / "hosts");
    ExpectOutsideUntouched("hosts link");
    Record("removal: hosts entry when C:\\windows\\system32\\drivers\\etc\\hosts -> outside file",
           "rewrite refused, outside file unchanged");
}

TEST_F(Containment, ScriptArgumentsCannotReachOutside) {
    tolvane::testing::RecordingView view;
    ScriptHost host(*machine_, view);
    ASSERT_TRUE(host.StartEngine());
    auto run = [&](const std::string& call, const std::string& tried, const std::string& what) {
        view.shown.clear();
        EXPECT_EQ(host.RunScript("doit(String(" + call + "));"), ScriptOutcome::Completed) << call;
        std::string result = view.shown.empty() ? "?" : view.shown[0].text;
        ExpectOutsideUntouched(tried);
        Record("script " + tried, what + " (returned " + result + ")");
        return result;
    };
    auto js = [](const std::string& path) {
        std::string quoted = "\"";
        for (char c : path) quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return quoted + "\"";
    };
    const std::string climb = ClimbToOutside();

    EXPECT_EQ(run("DeleteFile(" + js(climb + "\\victim.txt") + ")",
                  "DeleteFile(C:\\..\\..\\...\\outside\\victim.txt)",
                  "\"..\" stops at C:\\, no such file"),
              "false");
    EXPECT_EQ(run("DeleteFile(" + js("C:\\Linked\\victim.txt") + ")",
                  "DeleteFile(C:\\Linked\\victim.txt) through a linked folder", "refused"),
              "false");
    EXPECT_EQ(run("DeleteFile(" + js("C:\\Bad\\victim.lnk") + ")",
                  "DeleteFile(C:\\Bad\\victim.lnk), a link to an outside file",
                  "the link deleted, target kept"),
              "true");
    run("DeleteDir(" + js("C:\\Tree") + ")", "DeleteDir(C:\\Tree) holding sub -> outside",
        "tree and link deleted, outside kept");
    EXPECT_FALSE(Exists("drive_c/Tree"));
    run("DeleteDir(" + js(climb) + ")", "DeleteDir(C:\\..\\..\\...\\outside)",
        "\"..\" stops at C:\\, no such folder");
    run("DeleteDir(" + js("C:\\Linked\\deep") + ")", "DeleteDir(C:\\Linked\\deep)",
        "every delete refused, outside kept");
    EXPECT_EQ(run("RenameFile(" + js("C:\\a.txt") + ", " + js("C:\\Linked\\planted.txt") + ")",
                  "RenameFile(C:\\a.txt, C:\\Linked\\planted.txt)", "refused"),
              "false");
    EXPECT_EQ(run("CopyFile(" + js("C:\\a.txt") + ", " + js("C:\\Linked\\copied.txt") + ")",
                  "CopyFile(C:\\a.txt, C:\\Linked\\copied.txt)", "refused (true means failed)"),
              "true");
    fs::create_symlink(outside_ / "victim.txt", prefix_.Host("drive_c/Bad/victim.lnk"));
    EXPECT_EQ(run("CopyFile(" + js("C:\\a.txt") + ", " + js("C:\\Bad\\victim.lnk") + ")",
                  "CopyFile over C:\\Bad\\victim.lnk, a link to an outside file",
                  "refused (true means failed)"),
              "true");
    EXPECT_EQ(prefix_.ReadFile("C:\\a.txt"), "a");
}

using testing::AddZipEntry;

TEST_F(Containment, HostileBackupArchiveRestoresNothingOutside) {
    const std::string climb = ClimbToOutside();
    std::string zOutside = "Z:";
    for (const auto& part : outside_.relative_path()) zOutside += "\\" + part.string();
    prefix_.MakeFolder("C:\\Q");
    const std::string archive = "C:\\Q\\hostile.zip";
    zipFile zip = zipOpen64(prefix_.Host("drive_c/Q/hostile.zip").c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    const std::string outsideName = outside_.filename().string();
    const std::vector<std::string> names = {
        "../../../../../../../../../../.." + outside_.string() + "/e1.txt",
        "..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\.." + outside_.string() + "\\e2.txt",
        outside_.string() + "/e3.txt",
        "Z:" + outside_.string() + "/e4.txt",
        "sub/../../../../../../../../../../../" + outside_.string() + "/e5.txt",
    };
    for (const std::string& name : names) AddZipEntry(zip, name, "entry");
    for (int i = 1; i <= 5; ++i) AddZipEntry(zip, std::to_string(i), "copy " + std::to_string(i));
    AddZipEntry(zip, "Config.ini",
                "[TYPE:FILE]\r\r\n[NAME:1]\r\r\n[PATH:" + zOutside + "\\planted1.txt]\r\r\n" +
                    "[TYPE:FILE]\r\r\n[NAME:2]\r\r\n[PATH:C:\\Linked\\planted2.txt]\r\r\n" +
                    "[TYPE:FILE]\r\r\n[NAME:3]\r\r\n[PATH:" + climb + "\\planted3.txt]\r\r\n" +
                    "[TYPE:FILE]\r\r\n[NAME:4]\r\r\n[PATH:C:\\Bad\\victim.lnk]\r\r\n" +
                    "[TYPE:FILE]\r\r\n[NAME:5]\r\r\n[PATH:\\\\server\\share\\planted5.txt]\r\r\n");
    ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);

    RestoreReport report = RestoreArchive(*machine_, archive);
    EXPECT_TRUE(report.manifestRead);
    EXPECT_EQ(report.entriesRefused, names.size());
    ExpectOutsideUntouched("hostile archive");
    // The one record that lands on C: is the climb, stopped at C:\.
    EXPECT_EQ(report.restored, 1u);
    EXPECT_EQ(prefix_.ReadFile(FileSystem::NormalizePath(climb + "\\planted3.txt")), "copy 3");
    EXPECT_EQ(ReadHostFile(outside_ / "victim.txt"), "outside");
    Record(
        "archive entries ../../..<outside>/e1.txt, ..\\..\\<outside>\\e2.txt, /<outside>/e3.txt, "
        "Z:/<outside>/e4.txt, sub/../../<outside>/e5.txt",
        std::to_string(report.entriesRefused) + " of 5 refused, none extracted");
    Record("manifest [PATH:Z:\\<outside>\\planted1.txt] (Z: = /)",
           "skipped: restores go only to drives inside the prefix");
    Record("manifest [PATH:C:\\Linked\\planted2.txt] (C:\\Linked -> outside)",
           "refused: the move does not follow a link off C:");
    Record(
        "manifest [PATH:C:\\..\\..\\...\\outside\\planted3.txt]",
        "\"..\" stops at C:\\: restored to " + FileSystem::NormalizePath(climb + "\\planted3.txt"));
    Record("manifest [PATH:C:\\Bad\\victim.lnk] (an existing link to an outside file)",
           "not replaced (restore never replaces), target unchanged");
    Record("manifest [PATH:\\\\server\\share\\planted5.txt]", "skipped: no drive path");
}

TEST_F(Containment, RestoreWorkFolderBehindALinkWritesNothingOutside) {
    // %TEMP% (C:\users\root\Temp) replaced by a link to the outside folder:
    // the restore's work folder would lie outside C:.
    const std::string temp = "drive_c/users/root/Temp";
    fs::remove_all(prefix_.Host(temp));
    fs::create_directory_symlink(outside_, prefix_.Host(temp));
    prefix_.MakeFolder("C:\\Q");
    zipFile zip = zipOpen64(prefix_.Host("drive_c/Q/plain.zip").c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    AddZipEntry(zip, "1", "copy");
    AddZipEntry(zip, "Config.ini", "[TYPE:FILE]\r\r\n[NAME:1]\r\r\n[PATH:C:\\Back\\one.txt]\r\r\n");
    ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
    RestoreReport report = RestoreArchive(*machine_, "C:\\Q\\plain.zip");
    EXPECT_FALSE(report.manifestRead);
    EXPECT_EQ(report.restored, 0u);
    ExpectOutsideUntouched("work folder behind a link");
    Record("restore with %TEMP% = C:\\users\\root\\Temp -> outside folder",
           "work folder not made, nothing extracted or restored");
}

// A link planted where a definition names a file is the link whichever scan
// meets it: the Smart Scan's look-up of the named path and the Files scan's
// walk give the same row, the link's, and its removal (backup first) deletes
// the link and leaves the file it leads to alone. Without Z: the Files scan
// walks C: only, and the link leads off every drive: nothing of the host
// file is read, so a size only that file has (sized.lnk's definition) meets
// nothing (a link off the drive that Z: covers is removed as a link:
// RemovalDoesNotFollowLinksOffTheDrive).
TEST_F(Containment, ALinkAtAFileADefinitionNamesIsOneRowInEveryScan) {
    fs::remove(prefix_.Host("dosdevices/z:"));
    fs::create_symlink(outside_ / "victim.txt", prefix_.Host("drive_c/Bad/sized.lnk"));
    ThreatDatabase database;
    ASSERT_TRUE(
        LoadDefinitionsFromText("<NA><SW NAME=\"Spy\"><FILES><FILE PATH=\"C:\\Bad\\victim.lnk\"/>"
                                "<FILE PATH=\"C:\\Bad\\sized.lnk\" SIZE=\"7\"/></FILES></SW></NA>",
                                PlaceholderFolders::FromShell(machine_->shell()), &database));
    std::vector<std::string> rows[2];
    const ScanMode modes[2] = {ScanMode::Smart, ScanMode::Files};
    for (int scan = 0; scan < 2; ++scan) {
        SettingsStore(machine_->registry())
            .WriteInt(setting::kLastScanMode, static_cast<int32_t>(modes[scan]));
        ScanEngine engine(*machine_, database);
        engine.SetRegistryKeyPause(std::chrono::milliseconds(0));
        engine.RunScan();
        for (DetectedObject* object : engine.Results().listedObjects)
            rows[scan].push_back(std::string(ObjectTypeText(object->type)) + " " +
                                 object->objectText);
    }
    EXPECT_EQ(rows[0], std::vector<std::string>{"File C:\\Bad\\victim.lnk"});
    EXPECT_EQ(rows[1], rows[0]);

    testing::TestRows removal;
    removal.Add(ObjectType::File, "C:\\Bad\\victim.lnk");
    SettingsStore settings(machine_->registry());
    ObjectRemover remover(*machine_);
    testing::RemovalWithBackup flow(*machine_, settings, remover, removal);
    ASSERT_TRUE(flow.flow.RunRemoval(removal, false));
    EXPECT_EQ(removal.RowCount(), 0u);
    EXPECT_FALSE(Exists("drive_c/Bad/victim.lnk"));
    EXPECT_TRUE(Exists("drive_c/Bad/sized.lnk"));
    ExpectOutsideUntouched("scan and removal of a link a definition names");
    // The backup leaves a link out, as it does every link: no entry holds
    // the host file's bytes.
    const std::string archive =
        machine_->files().ToHostPath(BackupArchive::DefaultArchivePath()).value_or("");
    if (unzFile zip = unzOpen64(archive.c_str())) {
        for (int at = unzGoToFirstFile(zip); at == UNZ_OK; at = unzGoToNextFile(zip)) {
            char bytes[64] = {};
            ASSERT_EQ(unzOpenCurrentFile(zip), UNZ_OK);
            EXPECT_EQ(
                std::string(bytes, std::max(0, unzReadCurrentFile(zip, bytes, 63))).find("outside"),
                std::string::npos);
            unzCloseCurrentFile(zip);
        }
        unzClose(zip);
    }
    Record(
        "Smart and Files scan of C:\\Bad\\victim.lnk and sized.lnk (links off every drive, "
        "sized.lnk's definition with the outside file's size), then Remove with backup",
        "one row each, victim.lnk's; the link deleted, not backed up; the outside file kept");
}

TEST_F(Containment, ChangesThroughALinkOffTheDriveAreRefusedReadsAreNot) {
    FileSystem& files = machine_->files();
    std::string content;
    EXPECT_TRUE(files.ReadWholeFile("C:\\Linked\\victim.txt", &content));
    EXPECT_EQ(content, "outside");
    FindHandle handle;
    FindData found;
    EXPECT_TRUE(files.FindFirstFile("C:\\Linked\\*.txt", &handle, &found));
    EXPECT_FALSE(files.WriteWholeFileAtomic("C:\\Linked\\victim.txt", "changed"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(files.WriteWholeFileAtomic("C:\\Bad\\victim.lnk", "changed"));
    File file;
    EXPECT_FALSE(files.OpenFile("C:\\Linked\\new.txt", FileOpenMode::Write, &file));
    EXPECT_FALSE(files.OpenFile("C:\\Bad\\victim.lnk", FileOpenMode::Append, &file));
    EXPECT_TRUE(files.OpenFile("C:\\Bad\\victim.lnk", FileOpenMode::Read, &file));
    file.Close();
    EXPECT_FALSE(files.CreateDirectory("C:\\Linked\\made"));
    EXPECT_FALSE(files.SetFileAttributes("C:\\Linked\\victim.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(files.SetFileTimes("C:\\Bad\\victim.lnk", 0, UnixToFileTime(1000)));
    EXPECT_FALSE(files.MoveFile("C:\\Linked\\victim.txt", "C:\\taken.txt"));
    EXPECT_FALSE(files.MoveFileReplacing("C:\\a.txt", "C:\\Linked\\victim.txt"));
    EXPECT_FALSE(files.RemoveDirectory("C:\\Linked\\deep"));
    ExpectOutsideUntouched("machine layer");
    // The same outside folder named through Z:, the drive that covers it,
    // lies outside the machine's folder: read, never changed.
    std::string zOutside = "Z:";
    for (const auto& part : outside_.relative_path()) zOutside += "\\" + part.string();
    EXPECT_TRUE(files.ReadWholeFile(zOutside + "\\victim.txt", &content));
    EXPECT_FALSE(files.WriteWholeFileAtomic(zOutside + "\\z.txt", "through Z:"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(FileSystem::LastRefusalWasOutside());
    EXPECT_FALSE(files.DeleteFile(zOutside + "\\victim.txt"));
    EXPECT_TRUE(FileSystem::LastRefusalWasOutside());
    ExpectOutsideUntouched("through Z:");
    Record(
        "machine layer: write, open for writing, create folder, set attributes or times, "
        "move from or to, remove folder through C:\\Linked or C:\\Bad\\victim.lnk",
        "each refused with access denied; reads and finds through the link work");
    Record("machine layer: write and delete through Z:\\<outside> (Z: = /)",
           "refused with access denied as outside the machine; reads through Z: work");
}

}  // namespace
}  // namespace tolvane
