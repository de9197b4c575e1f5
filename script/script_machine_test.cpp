#include "script/script_machine.h"

#include <gtest/gtest.h>

#include "machine/machine.h"
#include "testing/temp_prefix.h"

namespace tolvane::script_machine {
namespace {

using testing::TempPrefix;
using Texts = std::vector<std::string>;

TEST(ScriptMachineTest, RegistryWorkByFullRootNames) {
    TempPrefix prefix;
    std::unique_ptr<Machine> machine = prefix.Open();
    Registry& registry = machine->registry();
    RegKey key;
    ASSERT_EQ(registry.CreateKey(Registry::Root(RootKey::CurrentUser), "Software\\T\\Sub",
                                 KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    registry.CloseKey(key);

    EXPECT_FALSE(WriteStringValue(registry, "HKCU", "Software\\T", "v", "x"));
    EXPECT_FALSE(WriteStringValue(registry, "HKEY_CURRENT_USER", "Software\\None", "v", "x"));
    EXPECT_TRUE(WriteStringValue(registry, "HKEY_CURRENT_USER", "Software\\T", "v", "a%20b"));
    EXPECT_EQ(ReadValue(registry, "HKEY_CURRENT_USER", "Software\\T", "v"), "a b");
    EXPECT_EQ(ListKey(registry, "HKEY_CURRENT_USER", "Software\\T", KeyListing::Values),
              Texts{"v"});
    EXPECT_EQ(ListKey(registry, "HKEY_CURRENT_USER", "Software\\T", KeyListing::SubKeys),
              Texts{"Sub"});
    EXPECT_EQ(ListKey(registry, "HKEY_CURRENT_USER", "Software\\None", KeyListing::SubKeys),
              Texts{});

    DeleteValue(registry, "HKEY_CURRENT_USER", "Software\\T", "v");
    EXPECT_EQ(ReadValue(registry, "HKEY_CURRENT_USER", "Software\\T", "v"), "");
    DeleteKeyTree(registry, "HKEY_CURRENT_USER", "\\\\");  // the root itself: refused
    EXPECT_EQ(ListKey(registry, "HKEY_CURRENT_USER", "Software\\T", KeyListing::SubKeys),
              Texts{"Sub"});
    DeleteKeyTree(registry, "HKEY_CURRENT_USER", "Software\\T");
    EXPECT_FALSE(registry.OpenKey(Registry::Root(RootKey::CurrentUser), "Software\\T", KEY_READ,
                                  &key) == ERROR_SUCCESS);
    EXPECT_FALSE(RootKeyFromName("hkey_current_user"));
}

TEST(ScriptMachineTest, FileWorkAndAStopThatEndsTheReading) {
    TempPrefix prefix;
    std::unique_ptr<Machine> machine = prefix.Open();
    FileSystem& files = machine->files();
    std::string big(70000, 'a');
    big.replace(65530, 12, "needle-split");  // across the read pieces
    prefix.WriteFile("C:\\t\\big.bin", big);
    prefix.MakeFolder("C:\\t\\sub");

    EXPECT_EQ(FileSizeOf(files, "C:\\t\\big.bin"), 70000u);
    EXPECT_EQ(FilesInFolder(files, "C:\\t"), Texts{"C:\\t\\big.bin"});
    EXPECT_TRUE(FileContains(files, "C:\\t\\big.bin", "needle-split", [] { return false; }));
    EXPECT_FALSE(FileContains(files, "C:\\t\\big.bin", "needle-split", [] { return true; }));

    ASSERT_TRUE(files.SetFileAttributes("C:\\t\\big.bin", FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(RenameFileClearingAttributes(files, "C:\\t\\big.bin", "C:\\t\\b.bin"));
    ASSERT_TRUE(files.SetFileAttributes("C:\\t\\b.bin", FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(DeleteFileClearingAttributes(files, "C:\\t\\b.bin"));
    DeleteFolderTree(files, "C:\\t", [] { return false; });
    EXPECT_FALSE(files.PathFileExists("C:\\t"));
}

}  // namespace
}  // namespace tolvane::script_machine
