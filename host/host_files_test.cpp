#include "host/host_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "testing/temp_folder.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

std::string Content(const fs::path& path) {
    std::string content;
    ReadOwnFile(path.string(), &content);
    return content;
}

TEST(ReplaceHostFile, ReplacesALinkInsteadOfWritingThroughIt) {
    const testing::TempFolder temp("tolvane-hostfile");
    const fs::path& folder = temp.path();
    std::ofstream(folder / "elsewhere") << "keep";
    fs::create_symlink(folder / "elsewhere", folder / "out.txt");

    ASSERT_TRUE(ReplaceHostFile((folder / "out.txt").string(), "new", 0600));
    EXPECT_FALSE(fs::is_symlink(folder / "out.txt"));
    EXPECT_EQ(Content(folder / "out.txt"), "new");
    EXPECT_EQ(Content(folder / "elsewhere"), "keep");
    struct stat st;
    ASSERT_EQ(stat((folder / "out.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);

    EXPECT_FALSE(ReplaceHostFile((folder / "missing" / "x").string(), "y"));
    EXPECT_EQ(errno, ENOENT);
}

// A temporary another user left under the name is never made the new file
// (it would then be theirs): the write fails and the original stays.
TEST(ReplaceOwnFile, RefusesAnotherUsersLeftoverTemporary) {
    const testing::TempFolder temp("tolvane-ownfile");
    const fs::path& folder = temp.path();
    ASSERT_EQ(ReplaceOwnFile((folder / "ignore.txt").string(), "old"), OwnFileState::Usable);
    std::ofstream(folder / ".ignore.txt.tolvane-tmp") << "theirs";
    if (chown((folder / ".ignore.txt.tolvane-tmp").c_str(), 65534, 65534) != 0)
        GTEST_SKIP() << "giving a file to another user needs root";

    EXPECT_EQ(ReplaceOwnFile((folder / "ignore.txt").string(), "new"), OwnFileState::Failed);
    EXPECT_EQ(Content(folder / "ignore.txt"), "old");
}

}  // namespace
}  // namespace tolvane
