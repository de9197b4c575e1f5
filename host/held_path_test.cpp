#include "host/held_path.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "testing/temp_folder.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

// Both walks (openat2, and one openat per component) reach what lies below
// the folder and refuse every link and every way out of it.
TEST(HeldPath, WalksRefuseLinksAndWaysOut) {
    const testing::TempFolder folder("tolvane-held");
    const fs::path& root = folder.path();
    fs::create_directories(root / "in" / "a");
    std::ofstream(root / "in" / "a" / "f.txt") << "f";
    fs::create_directory_symlink(root / "in" / "a", root / "in" / "link");
    fs::create_symlink(root / "in" / "a" / "f.txt", root / "in" / "a" / "flink");
    UniqueFd in(open((root / "in").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(in.valid());
    for (auto walk : {&OpenBeneath, &OpenBeneathWithoutOpenat2}) {
        UniqueFd file(walk(in.get(), "a/f.txt", O_RDONLY, 0));
        EXPECT_TRUE(file.valid());
        UniqueFd folder(walk(in.get(), "", O_RDONLY | O_DIRECTORY, 0));
        EXPECT_TRUE(folder.valid());
        for (const char* refused : {"link/f.txt", "link", "a/flink"}) {
            errno = 0;
            UniqueFd fd(walk(in.get(), refused, O_RDONLY, 0));
            EXPECT_FALSE(fd.valid()) << refused;
            EXPECT_EQ(errno, ELOOP) << refused;
        }
        UniqueFd dirLink(walk(in.get(), "link", O_RDONLY | O_DIRECTORY, 0));
        EXPECT_FALSE(dirLink.valid());
        EXPECT_EQ(errno, ELOOP);
        UniqueFd out(walk(in.get(), "a/../../in/a/f.txt", O_RDONLY, 0));
        EXPECT_FALSE(out.valid());
    }
}

}  // namespace
}  // namespace tolvane
