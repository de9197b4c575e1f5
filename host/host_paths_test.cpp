#include "host/host_paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "host/held_path.h"
#include "testing/temp_folder.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

TEST(HostPaths, CanonicalPathResolvesLinksAndDots) {
    const testing::TempFolder temp("tolvane-paths");
    const fs::path& root = temp.path();
    fs::create_directories(root / "real" / "sub");
    fs::create_directory_symlink(root / "real", root / "link");
    const std::string real = fs::canonical(root / "real").string();
    EXPECT_EQ(CanonicalPath((root / "link" / "sub" / "..").string()), real);
    EXPECT_EQ(CanonicalPath((root / "missing").string()), std::nullopt);
}

// Windows' rule on the host's UTF-8 names: the exact spelling first, then
// any case under code page 1252 (so "É" matches "é", which ASCII folding
// would miss); links are entries, not followed.
TEST(HostPaths, FindEntryNoCaseTakesTheExactNameFirstAndFoldsCodePage1252) {
    const testing::TempFolder temp("tolvane-nocase");
    const fs::path& root = temp.path();
    fs::create_directory(root / "Config");
    fs::create_directory(root / "config");
    std::ofstream(root / "\xc3\x89T\xc3\x89.TXT") << "x";  // "ÉTÉ.TXT"
    fs::create_symlink("/nonexistent", root / "Dangling");
    UniqueFd folder(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(folder.valid());

    std::string found;
    ASSERT_TRUE(FindEntryNoCase(folder.get(), "config", &found));
    EXPECT_EQ(found, "config");
    ASSERT_TRUE(FindEntryNoCase(folder.get(), "Config", &found));
    EXPECT_EQ(found, "Config");
    ASSERT_TRUE(FindEntryNoCase(folder.get(), "CONFIG", &found));
    EXPECT_TRUE(found == "Config" || found == "config");
    ASSERT_TRUE(FindEntryNoCase(folder.get(), "\xe9t\xe9.txt", &found));  // "été.txt" in 1252
    EXPECT_EQ(found, "\xc3\x89T\xc3\x89.TXT");
    ASSERT_TRUE(FindEntryNoCase(folder.get(), "dangling", &found));
    EXPECT_EQ(found, "Dangling");
    for (const char* absent : {"missing", ".", "..", ""})
        EXPECT_FALSE(FindEntryNoCase(folder.get(), absent, &found)) << absent;
}

}  // namespace
}  // namespace tolvane
