#include "machine/wine/runner_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "host/sha256.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;
using testing::TempPrefix;

// A builtin DLL as Wine writes it: the marker after the DOS header.
const std::string kBuiltin =
    std::string("MZ\x90\0", 4) + std::string(60, '\0') + "Wine builtin DLL" + std::string(200, 'k');

void Write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// A Proton install beside the prefix: files/lib/wine/x86_64-windows, named
// by the prefix's config_info as Proton writes it.
struct ProtonFixture {
    TempPrefix prefix;
    TempFolder steam{"tolvane-runner"};
    fs::path files = steam.path() / "Proton 8.0" / "files";
    ProtonFixture() {
        fs::permissions(steam.path(), fs::perms(0755));
        Write(files / "lib/wine/x86_64-windows/kernel32.dll", kBuiltin);
        Write(files / "lib/wine/dxvk/x86_64-windows/d3d11.dll", "dxvk bytes");
        NameRunner(files.string());
    }
    void NameRunner(const std::string& filesFolder) const {
        Write(prefix.path() + "/config_info",
              "8.0-105\n" + filesFolder + "/share/fonts/\n" + filesFolder + "/lib/wine/\n");
    }
    RunnerSearch Search() const {
        RunnerSearch search = RunnerSearchFor(prefix.path());
        search.path.clear();  // the host's own wine is not this test's runner
        return search;
    }
};

TEST(RunnerFilesTest, KnowsTheRunnersOwnBytesOnlyUnderTheirOwnName) {
    ProtonFixture fixture;
    RunnerFiles runner(FindRunnerFolders(fixture.Search()));
    std::string digest = Sha256Hex(kBuiltin);
    EXPECT_TRUE(runner.Contains("KERNEL32.dll", kBuiltin.size(), digest));
    EXPECT_TRUE(runner.Contains("d3d11.dll", 10, Sha256Hex("dxvk bytes")));
    // The marker with other bytes of the same size is not Wine's.
    std::string copied = kBuiltin;
    copied.back() = 'X';
    EXPECT_FALSE(runner.Contains("kernel32.dll", copied.size(), Sha256Hex(copied)));
    EXPECT_FALSE(runner.Contains("stealer.dll", kBuiltin.size(), digest));
}

TEST(RunnerFilesTest, RefusesRunnerFoldersThePrefixControls) {
    ProtonFixture fixture;
    // A runner the prefix itself holds, a link to it, a folder everyone may
    // write: none vouches for anything.
    Write(fs::path(fixture.prefix.path()) / "drive_c/fake/files/lib/wine/evil.dll", kBuiltin);
    fixture.NameRunner(fixture.prefix.path() + "/drive_c/fake/files");
    EXPECT_TRUE(FindRunnerFolders(fixture.Search()).empty());
    fs::create_directory_symlink(fixture.prefix.path() + "/drive_c/fake",
                                 fixture.steam.path() / "link");
    fixture.NameRunner((fixture.steam.path() / "link/files").string());
    EXPECT_TRUE(FindRunnerFolders(fixture.Search()).empty());
    fixture.NameRunner(fixture.files.string());
    fs::permissions(fixture.steam.path(), fs::perms(0777));
    EXPECT_TRUE(FindRunnerFolders(fixture.Search()).empty());
    // A link inside a trusted runner folder does not make a prefix file its own.
    fs::permissions(fixture.steam.path(), fs::perms(0755));
    Write(fs::path(fixture.prefix.path()) / "drive_c/evil.exe", "stolen");
    fs::create_symlink(fixture.prefix.path() + "/drive_c/evil.exe",
                       fixture.files / "lib/wine/x86_64-windows/evil.exe");
    RunnerFiles runner(FindRunnerFolders(fixture.Search()));
    EXPECT_FALSE(runner.Contains("evil.exe", 6, Sha256Hex("stolen")));
}

TEST(RunnerFilesTest, FindsTheWineOnPathAndLutrisRunner) {
    TempPrefix prefix;
    TempFolder host{"tolvane-runner"};
    fs::permissions(host.path(), fs::perms(0755));
    Write(host.path() / "usr/bin/wine", "#!/bin/sh\n");
    Write(host.path() / "usr/lib/x86_64-linux-gnu/wine/x86_64-windows/user32.dll", "user32");
    Write(host.path() / "home/.local/share/lutris/runners/wine/lutris-8/lib64/wine/gdi32.dll",
          "gdi");
    Write(host.path() / "home/.config/lutris/games/game-1.yml",
          "game:\n  exe: x.exe\n  prefix: '" + prefix.path() + "'\nwine:\n  version: lutris-8\n");
    RunnerSearch search = RunnerSearchFor(prefix.path());
    search.path = "/nowhere:" + (host.path() / "usr/bin").string();
    search.ownerHome = (host.path() / "home").string();
    RunnerFiles runner(FindRunnerFolders(search));
    EXPECT_TRUE(runner.Contains("user32.dll", 6, Sha256Hex("user32")));
    EXPECT_TRUE(runner.Contains("gdi32.dll", 3, Sha256Hex("gdi")));
}

}  // namespace
}  // namespace tolvane
