#include "host/replacement_temp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/held_path.h"
#include "testing/temp_folder.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

bool WriteText(int fd, const std::string& text) {
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

size_t EntryCount(const fs::path& folder) {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

class ReplaceFileAtTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(root() / "hosts") << "old";
        folder_.Reset(open(root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(folder_.valid());
    }
    const fs::path& root() const { return temp_.path(); }

    testing::TempFolder temp_{"tolvane-replace"};
    UniqueFd folder_;
};

TEST_F(ReplaceFileAtTest, ReplacesWithModeAndLeavesNoTemporary) {
    // A temporary a killed writer left behind is taken over.
    std::ofstream(root() / ".hosts.tolvane-tmp") << "torn half of an earlier write";
    ASSERT_TRUE(
        ReplaceFileAt(folder_.get(), "hosts", 0640, [](int fd) { return WriteText(fd, "new"); }));
    EXPECT_EQ(testing::ReadHostFile(root() / "hosts"), "new");
    struct stat st;
    ASSERT_EQ(stat((root() / "hosts").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(EntryCount(root()), 1u);

    ASSERT_TRUE(
        ReplaceFileAt(folder_.get(), "made", 0600, [](int fd) { return WriteText(fd, "first"); }));
    EXPECT_EQ(testing::ReadHostFile(root() / "made"), "first");
}

// A writer or a last check that fails leaves the original as it was and no
// temporary; errno says why (EIO when the step said nothing).
TEST_F(ReplaceFileAtTest, AFailedStepLeavesTheOriginalAndNoTemporary) {
    auto halfThenFail = [](int fd) { return WriteText(fd, "half"), false; };
    errno = 0;
    EXPECT_FALSE(ReplaceFileAt(folder_.get(), "hosts", 0644, halfThenFail));
    EXPECT_EQ(errno, EIO);
    auto noSpace = [](int fd) { return WriteText(fd, "half"), errno = ENOSPC, false; };
    EXPECT_FALSE(ReplaceFileAt(folder_.get(), "hosts", 0644, noSpace));
    EXPECT_EQ(errno, ENOSPC);
    bool written = false;
    EXPECT_FALSE(ReplaceFileAt(
        folder_.get(), "hosts", 0644, [&](int fd) { return written = WriteText(fd, "new"); },
        [] { return false; }));
    EXPECT_TRUE(written);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(testing::ReadHostFile(root() / "hosts"), "old");
    EXPECT_EQ(EntryCount(root()), 1u);

    // Bad names and a temporary that is a link change nothing.
    EXPECT_FALSE(ReplaceFileAt(folder_.get(), "a/b", 0644, [](int) { return true; }));
    EXPECT_EQ(errno, EINVAL);
    std::ofstream(root() / "elsewhere") << "keep";
    fs::create_symlink(root() / "elsewhere", root() / ".hosts.tolvane-tmp");
    EXPECT_FALSE(
        ReplaceFileAt(folder_.get(), "hosts", 0644, [](int fd) { return WriteText(fd, "new"); }));
    EXPECT_EQ(testing::ReadHostFile(root() / "hosts"), "old");
    EXPECT_EQ(testing::ReadHostFile(root() / "elsewhere"), "keep");
}

}  // namespace
}  // namespace tolvane
