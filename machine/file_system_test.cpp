#include "machine/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::ReadHostFile;

using testing::TempPrefix;

std::vector<std::string> FindNames(const FileSystem& files, const std::string& pattern) {
    std::vector<std::string> names;
    FindHandle handle;
    FindData data;
    if (!files.FindFirstFile(pattern, &handle, &data)) return names;
    do {
        names.push_back(data.name);
    } while (handle.Next(&data));
    EXPECT_EQ(FileSystem::LastError(), ERROR_NO_MORE_FILES);
    return names;
}

class FileSystemTest : public ::testing::Test {
  protected:
    TempPrefix prefix;
    FileSystem files{prefix.path()};
};

TEST_F(FileSystemTest, ResolvesPathsWithoutRegardToCaseAndKeepsTheCaseOnDisk) {
    prefix.WriteFile("C:\\Program Files\\Acme\\Tool.EXE", "x");
    auto host = files.ToHostPath("c:/PROGRAM files\\acme\\tool.exe");
    ASSERT_TRUE(host);
    EXPECT_EQ(*host, std::filesystem::canonical(prefix.path()).string() +
                         "/drive_c/Program Files/Acme/Tool.EXE");
    EXPECT_TRUE(files.PathFileExists("C:\\PROGRAM FILES\\ACME\\TOOL.EXE"));

    // The missing tail is appended as written.
    host = files.ToHostPath("C:\\program files\\Acme\\New\\Sub.txt");
    ASSERT_TRUE(host);
    EXPECT_NE(host->find("/drive_c/Program Files/Acme/New/Sub.txt"), std::string::npos);

    // An exact match wins over another spelling in the same folder.
    prefix.WriteFile("C:\\Case\\readme", "lower");
    prefix.WriteFile("C:\\Case\\README", "upper");
    std::string content;
    ASSERT_TRUE(files.ReadWholeFile("C:\\Case\\README", &content));
    EXPECT_EQ(content, "upper");
    ASSERT_TRUE(files.ReadWholeFile("C:\\case\\readme", &content));
    EXPECT_EQ(content, "lower");

    // 1252 names are UTF-8 on the host, matched across case.
    prefix.WriteFile("C:\\caf\xe9.txt", "accent");
    EXPECT_TRUE(std::filesystem::exists(prefix.Host("drive_c/caf\xc3\xa9.txt")));
    ASSERT_TRUE(files.ReadWholeFile("C:\\CAF\xc9.TXT", &content));
    EXPECT_EQ(content, "accent");
    EXPECT_EQ(FindNames(files, "C:\\caf*"), std::vector<std::string>{"caf\xe9.txt"});
}

TEST_F(FileSystemTest, DotDotStopsAtTheDriveRoot) {
    EXPECT_EQ(FileSystem::NormalizePath("c:/a/../b"), "c:\\b");
    EXPECT_EQ(FileSystem::NormalizePath("C:\\..\\..\\windows\\.\\\\system32\\"),
              "C:\\windows\\system32");
    EXPECT_EQ(FileSystem::NormalizePath("C:\\a\\..\\.."), "C:\\");

    prefix.WriteFile("C:\\windows\\win.ini", "[windows]");
    std::string content;
    ASSERT_TRUE(files.ReadWholeFile("C:\\..\\..\\..\\windows\\win.ini", &content));
    EXPECT_EQ(content, "[windows]");
    auto host = files.ToHostPath("C:\\..\\..\\..\\..\\system.reg");
    ASSERT_TRUE(host);
    EXPECT_NE(host->find("/drive_c/system.reg"), std::string::npos);
    EXPECT_FALSE(files.PathFileExists("C:\\..\\system.reg"));
}

TEST_F(FileSystemTest, NeverFollowsALinkOutOfTheDrives) {
    std::filesystem::create_directory_symlink("/etc", prefix.Host("drive_c/etclink"));
    EXPECT_FALSE(files.ToHostPath("C:\\etclink\\hostname"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    std::string content;
    EXPECT_FALSE(files.ReadWholeFile("C:\\etclink\\passwd", &content));
    FindHandle handle;
    FindData data;
    EXPECT_FALSE(files.FindFirstFile("C:\\etclink\\*", &handle, &data));

    // Nor is a file created through a dangling link.
    const std::string outside = prefix.Host("outside-the-drives.txt");
    std::filesystem::create_symlink(outside, prefix.Host("drive_c/dangling.txt"));
    File file;
    EXPECT_FALSE(files.OpenFile("C:\\dangling.txt", FileOpenMode::Write, &file));
    EXPECT_FALSE(files.OpenFile("C:\\dangling.txt", FileOpenMode::Append, &file));
    EXPECT_FALSE(files.WriteWholeFileAtomic("C:\\dangling.txt", "x"));
    EXPECT_FALSE(
        files.CopyFile("C:\\windows\\system32\\drivers\\etc\\hosts", "C:\\dangling.txt", false));
    EXPECT_FALSE(std::filesystem::exists(outside));

    // Once a drive covers the target, the link is an ordinary path.
    prefix.AddDrive('z', "/");
    EXPECT_TRUE(files.ToHostPath("C:\\etclink\\hostname"));
}

TEST_F(FileSystemTest, DrivesComeFromDosdevices) {
    EXPECT_EQ(files.LogicalDrives(), std::vector<std::string>{"C:\\"});
    EXPECT_FALSE(files.ToHostPath("D:\\x"));

    std::filesystem::create_directory(prefix.Host("cdrom"));
    prefix.AddDrive('d', prefix.Host("cdrom"));
    prefix.AddDrive('z', "/");
    prefix.AddDrive('x', prefix.Host("missing"));  // a dangling link is no drive
    ASSERT_EQ(symlink("/dev/null", prefix.Host("dosdevices/com1").c_str()), 0);
    EXPECT_EQ(files.LogicalDrives(), (std::vector<std::string>{"C:\\", "D:\\", "Z:\\"}));

    // Host paths map back through the longest drive folder.
    std::string root = std::filesystem::canonical(prefix.path()).string();
    EXPECT_EQ(files.ToWindowsPath(root + "/drive_c/windows/notepad.exe"),
              "C:\\windows\\notepad.exe");
    EXPECT_EQ(files.ToWindowsPath(root + "/cdrom"), "D:\\");
    EXPECT_EQ(files.ToWindowsPath("/usr/lib/wine/x.dll"), "Z:\\usr\\lib\\wine\\x.dll");

    // Without dosdevices/ the machine has only C: = drive_c/.
    prefix.RemoveDosDevices();
    EXPECT_EQ(files.LogicalDrives(), std::vector<std::string>{"C:\\"});
    EXPECT_EQ(files.ToWindowsPath("/usr/lib/wine/x.dll"), "/usr/lib/wine/x.dll");
    EXPECT_TRUE(files.PathFileExists("C:\\windows\\system32\\drivers\\etc\\hosts"));
}

TEST_F(FileSystemTest, FindWalksAFolderWithPatterns) {
    prefix.WriteFile("C:\\dir\\b.txt", "bb");
    prefix.WriteFile("C:\\dir\\A.TXT", "a");
    prefix.WriteFile("C:\\dir\\noext", "");
    prefix.WriteFile("C:\\dir\\a1.log", "");
    prefix.MakeFolder("C:\\dir\\sub");

    EXPECT_EQ(FindNames(files, "C:\\dir\\*.*"),
              (std::vector<std::string>{".", "..", "A.TXT", "a1.log", "b.txt", "noext", "sub"}));
    EXPECT_EQ(FindNames(files, "C:\\DIR\\*"), FindNames(files, "C:\\dir\\*.*"));
    EXPECT_EQ(FindNames(files, "C:\\dir\\*.txt"), (std::vector<std::string>{"A.TXT", "b.txt"}));
    EXPECT_EQ(FindNames(files, "C:\\dir\\?.txt"), (std::vector<std::string>{"A.TXT", "b.txt"}));
    EXPECT_EQ(FindNames(files, "C:\\dir\\a?.*"), (std::vector<std::string>{"a1.log"}));
    EXPECT_EQ(FindNames(files, "C:\\dir\\noext.*"), (std::vector<std::string>{"noext"}));
    EXPECT_EQ(FindNames(files, "C:\\dir\\B.TXT"), (std::vector<std::string>{"b.txt"}));

    FindHandle handle;
    FindData data;
    ASSERT_TRUE(files.FindFirstFile("C:\\dir\\*", &handle, &data));
    EXPECT_EQ(data.name, ".");
    EXPECT_TRUE(data.attributes & FILE_ATTRIBUTE_DIRECTORY);
    while (data.name != "b.txt") ASSERT_TRUE(handle.Next(&data));
    EXPECT_EQ(data.size, 2u);
    EXPECT_FALSE(data.attributes & FILE_ATTRIBUTE_DIRECTORY);
    while (data.name != "sub") ASSERT_TRUE(handle.Next(&data));
    EXPECT_TRUE(data.attributes & FILE_ATTRIBUTE_DIRECTORY);

    // A drive's root has no "." and "..".
    std::vector<std::string> root = FindNames(files, "C:\\*.*");
    EXPECT_EQ(root.front(), "dir");

    EXPECT_FALSE(files.FindFirstFile("C:\\dir\\*.none", &handle, &data));
    EXPECT_EQ(FileSystem::LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(files.FindFirstFile("C:\\nowhere\\*.*", &handle, &data));
    EXPECT_EQ(FileSystem::LastError(), ERROR_PATH_NOT_FOUND);
}

TEST(FilePatternTest, MatchesLikeFindFirstFile) {
    EXPECT_TRUE(FileSystem::MatchFilePattern("*.*", "noext"));
    EXPECT_TRUE(FileSystem::MatchFilePattern("*bad*.dll", "MyBadLib.DLL"));
    EXPECT_TRUE(FileSystem::MatchFilePattern("a*b*c", "aXbYbZc"));
    EXPECT_FALSE(FileSystem::MatchFilePattern("a*b*c", "aXbYbZ"));
    EXPECT_FALSE(FileSystem::MatchFilePattern("?.txt", "ab.txt"));
    EXPECT_FALSE(FileSystem::MatchFilePattern("*.txt", "a.txt.bak"));
}

TEST_F(FileSystemTest, RefusesWhatWindowsRefusesEvenToRoot) {
    prefix.WriteFile("C:\\ro\\locked.txt", "keep");
    prefix.WriteFile("C:\\ro\\other.txt", "other");
    ASSERT_TRUE(files.SetFileAttributes("C:\\ro\\locked.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(files.GetFileAttributes("C:\\ro\\locked.txt") & FILE_ATTRIBUTE_READONLY);

    EXPECT_FALSE(files.DeleteFile("C:\\ro\\locked.txt"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(files.WriteWholeFileAtomic("C:\\ro\\locked.txt", "new"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(files.CopyFile("C:\\ro\\other.txt", "C:\\ro\\locked.txt", false));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    File file;
    EXPECT_FALSE(files.OpenFile("C:\\ro\\locked.txt", FileOpenMode::Write, &file));
    EXPECT_EQ(ReadHostFile(prefix.Host("drive_c/ro/locked.txt")), "keep");

    ASSERT_TRUE(files.SetFileAttributes("C:\\ro\\locked.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(files.GetFileAttributes("C:\\ro\\locked.txt") & FILE_ATTRIBUTE_READONLY);

    // A folder without write bits keeps its files.
    chmod(prefix.Host("drive_c/ro").c_str(), 0555);
    EXPECT_FALSE(files.DeleteFile("C:\\ro\\other.txt"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(files.WriteWholeFileAtomic("C:\\ro\\other.txt", "new"));
    EXPECT_FALSE(files.MoveFile("C:\\ro\\other.txt", "C:\\moved.txt"));
    EXPECT_TRUE(files.PathFileExists("C:\\ro\\other.txt"));
    chmod(prefix.Host("drive_c/ro").c_str(), 0755);
    EXPECT_TRUE(files.DeleteFile("C:\\ro\\other.txt"));
    EXPECT_FALSE(files.PathFileExists("C:\\ro\\other.txt"));
}

TEST_F(FileSystemTest, RefusesToDeleteAFileARunningProgramHasMapped) {
    prefix.WriteFile("C:\\Program Files\\Bad\\bad.dll", "MZ");
    std::string mapped = *files.ToHostPath("C:\\Program Files\\Bad\\bad.dll");
    std::vector<std::string> asked;
    files.SetInUseCheck([&](const std::string& host) {
        asked.push_back(host);
        return host == mapped;
    });
    EXPECT_FALSE(files.DeleteFile("c:\\program files\\bad\\BAD.DLL"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(files.MoveFile("C:\\Program Files\\Bad\\bad.dll", "C:\\bad.dll"));
    EXPECT_TRUE(files.PathFileExists("C:\\Program Files\\Bad\\bad.dll"));
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.front(), mapped);

    files.SetInUseCheck([](const std::string&) { return false; });
    EXPECT_TRUE(files.DeleteFile("C:\\Program Files\\Bad\\bad.dll"));
}

TEST_F(FileSystemTest, AtomicWriteLeavesTheOldContentUntilTheRename) {
    prefix.WriteFile("C:\\windows\\system32\\drivers\\etc\\hosts", "127.0.0.1 localhost\r\n");
    const std::string hosts = "C:\\windows\\system32\\drivers\\etc\\hosts";
    const std::string hostPath = *files.ToHostPath(hosts);
    chmod(hostPath.c_str(), 0640);

    std::string tempSeen;
    files.SetBeforeRenameHookForTesting([&](const std::string& temp) {
        tempSeen = temp;
        EXPECT_EQ(ReadHostFile(temp), "0.0.0.0 ads.example\r\n");
        EXPECT_EQ(ReadHostFile(hostPath), "127.0.0.1 localhost\r\n");
        return false;  // the program dies here
    });
    EXPECT_FALSE(files.WriteWholeFileAtomic(hosts, "0.0.0.0 ads.example\r\n"));
    EXPECT_EQ(ReadHostFile(hostPath), "127.0.0.1 localhost\r\n");
    EXPECT_EQ(std::filesystem::path(tempSeen).parent_path(),
              std::filesystem::path(hostPath).parent_path());
    EXPECT_FALSE(std::filesystem::exists(tempSeen));

    files.SetBeforeRenameHookForTesting(nullptr);
    ASSERT_TRUE(files.WriteWholeFileAtomic(hosts, "0.0.0.0 ads.example\r\n"));
    EXPECT_EQ(ReadHostFile(hostPath), "0.0.0.0 ads.example\r\n");
    struct stat st;
    ASSERT_EQ(stat(hostPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the file's mode survives
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(
                                std::filesystem::path(hostPath).parent_path()),
                            std::filesystem::directory_iterator()),
              1);  // no temporary file left beside it

    EXPECT_FALSE(files.WriteWholeFileAtomic("C:\\no\\such\\folder\\x.txt", "x"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FileSystemTest, AReplacingMoveSwapsTheContentInOneStepAndRefusesWhatMoveFileExWould) {
    prefix.WriteFile("C:\\a\\old.zip", "old");
    prefix.WriteFile("C:\\a\\old.zip.part", "new");
    EXPECT_TRUE(files.MoveFileReplacing("C:\\a\\old.zip.part", "C:\\A\\OLD.ZIP"));
    EXPECT_EQ(prefix.ReadFile("C:\\a\\old.zip"), "new");
    EXPECT_FALSE(files.PathFileExists("C:\\a\\old.zip.part"));
    // A missing target is an ordinary move.
    prefix.WriteFile("C:\\a\\x.part", "x");
    EXPECT_TRUE(files.MoveFileReplacing("C:\\a\\x.part", "C:\\a\\x.zip"));
    EXPECT_EQ(prefix.ReadFile("C:\\a\\x.zip"), "x");

    prefix.WriteFile("C:\\a\\y.part", "y");
    ASSERT_TRUE(files.SetFileAttributes("C:\\a\\x.zip", FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(files.MoveFileReplacing("C:\\a\\y.part", "C:\\a\\x.zip"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(prefix.ReadFile("C:\\a\\x.zip"), "x");
    ASSERT_TRUE(files.CreateDirectory("C:\\a\\dir"));
    EXPECT_FALSE(files.MoveFileReplacing("C:\\a\\y.part", "C:\\a\\dir"));
    EXPECT_FALSE(files.MoveFileReplacing("C:\\a\\dir", "C:\\a\\z"));
    EXPECT_FALSE(files.MoveFileReplacing("C:\\a\\missing", "C:\\a\\z"));
    EXPECT_FALSE(files.MoveFileReplacing("C:\\a\\y.part", "C:\\no\\such\\z"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(prefix.ReadFile("C:\\a\\y.part"), "y");
}

TEST_F(FileSystemTest, CopiesMovesAndRemoves) {
    prefix.WriteFile("C:\\a\\one.txt", "1");
    EXPECT_TRUE(files.CopyFile("C:\\A\\ONE.TXT", "C:\\a\\two.txt", true));
    EXPECT_FALSE(files.CopyFile("C:\\a\\one.txt", "C:\\a\\two.txt", true));
    EXPECT_EQ(FileSystem::LastError(), ERROR_FILE_EXISTS);
    EXPECT_TRUE(files.CopyFile("C:\\a\\one.txt", "C:\\a\\two.txt", false));
    FileTime w1 = 0, w2 = 0;
    ASSERT_TRUE(files.GetFileTimes("C:\\a\\one.txt", nullptr, nullptr, &w1));
    ASSERT_TRUE(files.GetFileTimes("C:\\a\\two.txt", nullptr, nullptr, &w2));
    EXPECT_EQ(w1 / 10000000, w2 / 10000000);  // CopyFileA keeps the write time

    EXPECT_FALSE(files.MoveFile("C:\\a\\one.txt", "C:\\a\\TWO.txt"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(files.MoveFile("C:\\a\\one.txt", "C:\\a\\three.txt"));
    EXPECT_FALSE(files.PathFileExists("C:\\a\\one.txt"));
    // A change of case only is a rename, not a clash.
    EXPECT_TRUE(files.MoveFile("C:\\a\\three.txt", "C:\\a\\Three.txt"));
    EXPECT_TRUE(std::filesystem::exists(prefix.Host("drive_c/a/Three.txt")));

    EXPECT_TRUE(files.CreateDirectory("C:\\a\\sub"));
    EXPECT_FALSE(files.CreateDirectory("C:\\A\\SUB"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(files.CreateDirectory("C:\\x\\y\\z"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(files.RemoveDirectory("C:\\a"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(files.DeleteFile("C:\\a\\sub"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(files.RemoveDirectory("C:\\a\\SUB"));
    EXPECT_FALSE(files.RemoveDirectory("C:\\"));
    EXPECT_FALSE(files.DeleteFile("C:\\a\\missing.txt"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(files.DeleteFile("C:\\missing\\x.txt"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FileSystemTest, MakesAFolderPathLevelByLevelButNotThroughAFile) {
    EXPECT_TRUE(files.CreateFolderPath("C:/deep\\er/../er\\still\\"));
    EXPECT_TRUE(files.IsFolder("C:\\DEEP\\ER\\STILL"));
    EXPECT_TRUE(files.CreateFolderPath("C:\\deep\\er"));  // there already
    EXPECT_TRUE(files.CreateFolderPath("C:\\"));
    prefix.WriteFile("C:\\deep\\file", "x");
    EXPECT_FALSE(files.IsFolder("C:\\deep\\file"));
    EXPECT_FALSE(files.IsFolder("C:\\deep\\missing"));
    EXPECT_FALSE(files.CreateFolderPath("C:\\deep\\file\\below"));
    EXPECT_FALSE(files.CreateFolderPath("C:\\deep\\file"));
    EXPECT_FALSE(files.CreateFolderPath("Q:\\no\\drive"));
}

TEST_F(FileSystemTest, OpenFilesReadWriteAndTellTheirSize) {
    File file;
    ASSERT_TRUE(files.OpenFile("C:\\log.txt", FileOpenMode::Write, &file));
    EXPECT_TRUE(file.Write("Starting Scanning"));
    file.Close();
    ASSERT_TRUE(files.OpenFile("C:\\LOG.TXT", FileOpenMode::Append, &file));
    EXPECT_TRUE(file.Write("\n"));
    EXPECT_TRUE(file.Flush());
    file.Close();
    uint64_t size = 0;
    ASSERT_TRUE(files.GetFileSize("C:\\log.txt", &size));
    EXPECT_EQ(size, 18u);

    ASSERT_TRUE(files.OpenFile("C:\\log.txt", FileOpenMode::Read, &file));
    char buffer[64];
    size_t read = 0;
    ASSERT_TRUE(file.Read(buffer, sizeof buffer, &read));
    EXPECT_EQ(std::string(buffer, read), "Starting Scanning\n");
    File moved = std::move(file);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(moved.IsOpen());

    EXPECT_FALSE(files.OpenFile("C:\\absent.txt", FileOpenMode::Read, &file));
    EXPECT_EQ(FileSystem::LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(files.OpenFile("C:\\windows", FileOpenMode::Read, &file));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
}

TEST_F(FileSystemTest, AttributesAndTimes) {
    prefix.WriteFile("C:\\.hidden", "");
    EXPECT_TRUE(files.GetFileAttributes("C:\\.hidden") & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(files.GetFileAttributes("C:\\windows"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(files.GetFileAttributes("C:\\windows\\system32\\drivers\\etc\\hosts"),
              FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(files.GetFileAttributes("C:\\nothing"), INVALID_FILE_ATTRIBUTES);

    FileTime when = UnixToFileTime(1700000000);
    EXPECT_EQ(when, 133444736000000000ULL);
    EXPECT_EQ(FileTimeToUnix(when), 1700000000);
    ASSERT_TRUE(files.SetFileTimes("C:\\.hidden", 0, when));
    FileTime write = 0;
    ASSERT_TRUE(files.GetFileTimes("C:\\.hidden", nullptr, nullptr, &write));
    EXPECT_EQ(write, when);
}

// What a find over one folder gave: success, the error otherwise, every
// entry whole.
struct Listing {
    bool found = false;
    long error = ERROR_SUCCESS;
    std::vector<FindData> entries;
};

bool SameEntry(const FindData& a, const FindData& b) {
    return a.name == b.name && a.attributes == b.attributes && a.size == b.size &&
           a.creationTime == b.creationTime && a.lastAccessTime == b.lastAccessTime &&
           a.lastWriteTime == b.lastWriteTime;
}

bool operator==(const Listing& a, const Listing& b) {
    return a.found == b.found && a.error == b.error &&
           std::equal(a.entries.begin(), a.entries.end(), b.entries.begin(), b.entries.end(),
                      SameEntry);
}

std::ostream& operator<<(std::ostream& out, const Listing& listing) {
    if (!listing.found) return out << "nothing (error " << listing.error << ")";
    for (const FindData& data : listing.entries)
        out << data.name << " attributes " << data.attributes << " size " << data.size << "; ";
    return out;
}

Listing Collect(FindHandle& handle, FindData data, bool found) {
    Listing listing;
    listing.found = found;
    if (!found) {
        listing.error = FileSystem::LastError();
        return listing;
    }
    do {
        listing.entries.push_back(data);
    } while (handle.Next(&data));
    return listing;
}

// A Types listing, each entry with the size its handle reads for it.
Listing CollectTyped(FindHandle& handle, FindData data, bool found) {
    if (!found) return Collect(handle, data, false);
    Listing listing;
    listing.found = true;
    do {
        uint64_t size = 7;
        EXPECT_TRUE(handle.EntrySize(&size)) << data.name;
        data.size = size;
        listing.entries.push_back(data);
    } while (handle.Next(&data));
    return listing;
}

// What a Types listing reads of a Full one: all but the read-only bit and
// the times, which only links and entries of unknown type carry.
Listing Typed(Listing full) {
    for (FindData& data : full.entries) {
        if (data.attributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        data.attributes &= ~FILE_ATTRIBUTE_READONLY;
        data.creationTime = data.lastAccessTime = data.lastWriteTime = 0;
    }
    return full;
}

Listing ListPath(const FileSystem& files, const std::string& pattern,
                 FindDetail detail = FindDetail::Full) {
    FindHandle handle;
    FindData data;
    bool found = files.FindFirstFile(pattern, &handle, &data, detail);
    return detail == FindDetail::Types ? CollectTyped(handle, data, found)
                                       : Collect(handle, data, found);
}

Listing ListIn(const FileSystem& files, const FindHandle& parent, const FindData& entry,
               const std::string& pattern, FindDetail detail = FindDetail::Full) {
    FindHandle handle;
    FindData data;
    bool found = files.FindFirstFileIn(parent, entry, pattern, &handle, &data, detail);
    return detail == FindDetail::Types ? CollectTyped(handle, data, found)
                                       : Collect(handle, data, found);
}

std::string Named(const Listing& listing, std::string_view name, uint32_t* attributes,
                  uint64_t* size = nullptr) {
    for (const FindData& data : listing.entries) {
        if (data.name != name) continue;
        *attributes = data.attributes;
        if (size) *size = data.size;
        return data.name;
    }
    return {};
}

TEST_F(FileSystemTest, FindInASubfolderGivesWhatFindOverItsWholePathGives) {
    prefix.WriteFile("C:\\top\\Sub\\a.txt", "abc");
    prefix.WriteFile("C:\\top\\Sub\\ro.txt", "12345");
    prefix.WriteFile("C:\\top\\Sub\\.hidden", "");
    prefix.MakeFolder("C:\\top\\Sub\\Nested");
    chmod(prefix.Host("drive_c/top/Sub/ro.txt").c_str(), 0444);
    prefix.WriteFile("C:\\top\\sub\\b.txt", "b");  // the same name in another case
    prefix.WriteFile("C:\\top\\file.txt", "f");
    namespace fs = std::filesystem;
    fs::create_directory_symlink(prefix.Host("drive_c/top/Sub"), prefix.Host("drive_c/top/link"));
    fs::create_directories(prefix.Host("outside"));
    std::ofstream(prefix.Host("outside/secret.txt")) << "s";
    fs::create_directory_symlink(prefix.Host("outside"), prefix.Host("drive_c/top/out"));
    fs::create_symlink(prefix.Host("drive_c/missing"), prefix.Host("drive_c/top/dangling"));
    // Names Windows cannot hold: a character outside the code page and a
    // backslash; each reads under its own mapped name.
    fs::create_directories(prefix.Host("drive_c/top/\xe6\x97\xa5"));
    std::ofstream(prefix.Host("drive_c/top/\xe6\x97\xa5/x.txt")) << "x";
    // And invalid UTF-8 that a plain conversion would read as "A", the name
    // of the real "A" beside it.
    fs::create_directories(prefix.Host("drive_c/top/\xc1\x81"));
    std::ofstream(prefix.Host("drive_c/top/\xc1\x81/z.txt")) << "z";
    prefix.WriteFile("C:\\top\\A\\w.txt", "w");
    fs::create_directories(prefix.Host("drive_c/top/a\\b"));
    std::ofstream(prefix.Host("drive_c/top/a\\b/y.txt")) << "y";

    // Every field alike, and a Types listing (the walks') alike in all it
    // reads, its sizes read on demand included, from a parent listed either way.
    std::map<std::string, Listing> byName;
    for (FindDetail detail : {FindDetail::Full, FindDetail::Types}) {
        FindHandle top;
        FindData entry;
        ASSERT_TRUE(files.FindFirstFile("C:\\top\\*.*", &top, &entry, detail));
        do {
            for (const char* pattern : {"*.*", "*.txt"}) {
                Listing fast = ListIn(files, top, entry, pattern, detail);
                Listing whole = ListPath(files, "C:\\top\\" + entry.name + "\\" + pattern);
                Listing wholeTyped =
                    ListPath(files, "C:\\top\\" + entry.name + "\\" + pattern, FindDetail::Types);
                if (detail == FindDetail::Types) {
                    EXPECT_EQ(fast, Typed(whole)) << entry.name << "\\" << pattern;
                    EXPECT_EQ(wholeTyped, Typed(whole)) << entry.name << "\\" << pattern;
                } else {
                    EXPECT_EQ(fast, whole) << entry.name << "\\" << pattern;
                }
                if (detail == FindDetail::Full && std::string_view(pattern) == "*.*")
                    byName[entry.name] = fast;
            }
        } while (top.Next(&entry));
    }
    EXPECT_EQ(byName.size(), 12u);  // ".", "..", and the ten entries, each under its own name

    // And the whole-path results are the right ones, not only equal.
    uint32_t attributes = 0;
    uint64_t size = 0;
    const Listing& sub = byName["Sub"];
    ASSERT_EQ(Named(sub, "ro.txt", &attributes, &size), "ro.txt");
    EXPECT_EQ(attributes, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(size, 5u);
    ASSERT_EQ(Named(sub, ".hidden", &attributes), ".hidden");
    EXPECT_EQ(attributes, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    ASSERT_EQ(Named(sub, "Nested", &attributes), "Nested");
    EXPECT_EQ(attributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(sub.entries.size(), 6u);
    EXPECT_EQ(byName["sub"].entries.size(), 3u);
    EXPECT_EQ(byName["sub"].entries.back().name, "b.txt");
    EXPECT_EQ(byName["link"].entries.size(), 6u);  // a link inside the drive lists its target
    EXPECT_FALSE(byName["out"].found);
    EXPECT_EQ(byName["out"].error, ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(byName["file.txt"].found);
    EXPECT_FALSE(byName["dangling"].found);
    EXPECT_EQ(byName.count("?"), 0u);
    EXPECT_EQ(byName.count("a\\b"), 0u);
    ASSERT_EQ(byName["\xa4"
                     "E6\xa4"
                     "97\xa4"
                     "A5"]
                  .entries.size(),
              3u);
    EXPECT_EQ(byName["\xa4"
                     "E6\xa4"
                     "97\xa4"
                     "A5"]
                  .entries.back()
                  .name,
              "x.txt");
    ASSERT_EQ(byName["a\xa4"
                     "5Cb"]
                  .entries.size(),
              3u);
    EXPECT_EQ(byName["a\xa4"
                     "5Cb"]
                  .entries.back()
                  .name,
              "y.txt");
    ASSERT_EQ(byName["\xa4"
                     "C1\xa4"
                     "81"]
                  .entries.size(),
              3u);
    EXPECT_EQ(byName["\xa4"
                     "C1\xa4"
                     "81"]
                  .entries.back()
                  .name,
              "z.txt");
    ASSERT_EQ(byName["A"].entries.size(), 3u);
    EXPECT_EQ(byName["A"].entries.back().name, "w.txt");

    // The entries themselves: links are reparse points with their target's
    // attributes, or their own when they lead nowhere.
    Listing listed = ListPath(files, "C:\\top\\*");
    EXPECT_EQ(ListPath(files, "C:\\top\\*", FindDetail::Types), Typed(listed));
    ASSERT_EQ(Named(listed, "link", &attributes), "link");
    EXPECT_EQ(attributes, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    ASSERT_EQ(Named(listed, "dangling", &attributes), "dangling");
    EXPECT_EQ(attributes, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT);
    ASSERT_EQ(Named(listed, "Sub", &attributes), "Sub");
    EXPECT_EQ(attributes, FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FileSystemTest, FindInAFolderSwappedForALinkAfterTheListingChecksWhereItLeads) {
    prefix.WriteFile("C:\\top\\victim\\a.txt", "a");
    std::filesystem::create_directories(prefix.Host("outside"));
    std::ofstream(prefix.Host("outside/secret.txt")) << "s";
    FindHandle top;
    FindData entry;
    ASSERT_TRUE(files.FindFirstFile("C:\\top\\victim", &top, &entry));
    ASSERT_TRUE(entry.attributes & FILE_ATTRIBUTE_DIRECTORY);
    std::filesystem::remove_all(prefix.Host("drive_c/top/victim"));
    std::filesystem::create_directory_symlink(prefix.Host("outside"),
                                              prefix.Host("drive_c/top/victim"));
    Listing listing = ListIn(files, top, entry, "*.*");
    EXPECT_FALSE(listing.found) << listing;
    EXPECT_EQ(listing.error, ERROR_PATH_NOT_FOUND);

    // Inside the drive the link is followed, as for a whole path.
    std::filesystem::remove(prefix.Host("drive_c/top/victim"));
    prefix.WriteFile("C:\\elsewhere\\b.txt", "b");
    std::filesystem::create_directory_symlink(prefix.Host("drive_c/elsewhere"),
                                              prefix.Host("drive_c/top/victim"));
    listing = ListIn(files, top, entry, "*.txt");
    ASSERT_TRUE(listing.found);
    ASSERT_EQ(listing.entries.size(), 1u);
    EXPECT_EQ(listing.entries[0].name, "b.txt");
}

TEST(TempPathTest, FollowsTheMachinesTempVariable) {
    TempPrefix prefix;
    FileSystem files(prefix.path());
    EXPECT_EQ(files.TempPath(), "C:\\windows\\temp\\");
    files.SetTempFolderSource([] { return std::string("C:\\users\\root\\Temp"); });
    EXPECT_EQ(files.TempPath(), "C:\\users\\root\\Temp\\");
}

}  // namespace
}  // namespace tolvane
