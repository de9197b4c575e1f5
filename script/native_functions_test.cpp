#include "script/native_functions.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "machine/machine.h"
#include "machine/wine/proc_process_table.h"
#include "scan/percent_decode.h"
#include "script/script_test_support.h"
#include "testing/registry_values.h"

namespace tolvane {
namespace {

using testing::FakeWindowsProgram;
using testing::ScriptFixture;
using Texts = std::vector<std::string>;

class NativeFunctionsTest : public ::testing::Test {
  protected:
    Registry& registry() { return f.machine->registry(); }
    FileSystem& files() { return f.machine->files(); }
    void SetString(RootKey root, const std::string& path, const std::string& name,
                   const std::string& data, uint32_t type = REG_SZ) {
        testing::SetRegistryValue(registry(), root, path, name, type, data);
    }
    void MakeKey(RootKey root, const std::string& path) {
        testing::MakeRegistryKey(registry(), root, path);
    }
    bool KeyExists(RootKey root, const std::string& path) {
        return testing::RegistryKeyExists(registry(), root, path);
    }
    std::string Content(const std::string& path) {
        std::string content;
        files().ReadWholeFile(path, &content);
        return content;
    }
    // Runs `expression` and returns what doit showed of String(expression).
    std::string Eval(const std::string& expression) {
        Texts texts = f.Run("doit(String(" + expression + "))");
        return texts.size() == 1 ? texts[0] : "<script ended>";
    }

    ScriptFixture f;
};

TEST_F(NativeFunctionsTest, TableNamesAndDeclaredArgumentCountsInOrder) {
    const std::vector<std::pair<std::string, unsigned>> expected = {
        {"doit", 1},
        {"IsFileExists", 1},
        {"GetFileSize", 1},
        {"DeleteFile", 1},
        {"RenameFile", 2},
        {"GetFilesInDir", 1},
        {"IsPathExists", 1},
        {"CopyFile", 2},
        {"GetModifiedDate", 1},
        {"GetCreatedDate", 1},
        {"DeleteDir", 1},
        {"GetRunningProcesses", 1},
        {"IsIERunning", 0},
        {"GetProcessModules", 1},
        {"IsBHOExists", 1},
        {"IsFileOnStartup", 1},
        {"GetStartupFilePathWithKey", 1},
        {"GetBHOClsid", 1},
        {"GetBHOFile", 1},
        {"GetFileFromClsid", 1},
        {"IsClsidExists", 1},
        {"DeleteRegKey", 2},
        {"DeleteRegValue", 3},
        {"GetRegValue", 3},
        {"DeleteBHO", 1},
        {"GetBHOList", 0},
        {"KillProcess", 1},
        {"SetRegValue", 4},
        {"GetRegValuesInKey", 2},
        {"MessageBox", 3},
        {"IsContentInFile", 2},
        {"GetRegSubKeys", 2}};
    std::vector<NativeFunctionInfo> table = NativeFunctionList();
    ASSERT_EQ(table.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(table[i].name, expected[i].first);
        EXPECT_EQ(table[i].args, expected[i].second);
        // The engine sees the same declared count.
        EXPECT_EQ(Eval(expected[i].first + ".length"), std::to_string(expected[i].second));
    }
}

TEST_F(NativeFunctionsTest, EveryStringArgumentMustBeAStringValue) {
    // Each call passes one argument of the wrong type (or too few); the
    // script must end there. The same call with strings must go on.
    const std::vector<std::pair<std::string, std::string>> calls = {
        {"IsFileExists(1)", "IsFileExists('C:')"},
        {"GetFileSize(true)", "GetFileSize('C:\\\\x')"},
        {"DeleteFile({})", "DeleteFile('C:\\\\x')"},
        {"RenameFile(1, 'C:\\\\y')", "RenameFile('C:\\\\x', 1)"},
        {"GetFilesInDir(null)", "GetFilesInDir('C:\\\\x')"},
        {"IsPathExists()", "IsPathExists('C:')"},
        {"CopyFile('C:\\\\x')", "CopyFile('C:\\\\x', 2)"},
        {"GetModifiedDate(1)", "GetCreatedDate('x')"},
        {"DeleteDir(1)", "DeleteDir('C:\\\\nothing')"},
        {"GetProcessModules(1)", "IsBHOExists('x')"},
        {"IsFileOnStartup(1)", "GetStartupFilePathWithKey('x')"},
        {"GetFileFromClsid(1)", "GetFileFromClsid('{x}')"},
        {"DeleteRegKey('HKEY_CURRENT_USER')",
         "DeleteRegKey('HKEY_CURRENT_USER', 'Software\\\\None')"},
        {"DeleteRegValue('HKEY_CURRENT_USER', 'Software', 1)",
         "DeleteRegValue('HKEY_CURRENT_USER', 'Software', 'none')"},
        {"KillProcess()", "KillProcess('none.exe')"},
        {"SetRegValue('HKEY_CURRENT_USER', 'Software', 'n')",
         "SetRegValue('HKEY_CURRENT_USER', 'Software\\\\None', 'n', 'd')"},
        {"GetRegValuesInKey(1, 'Software')", "GetRegValuesInKey('HKEY_USERS', 'x')"},
        {"IsContentInFile(1, 'x')", "IsContentInFile('C:\\\\x', 'x')"},
        {"GetRegSubKeys('HKEY_USERS', [])", "GetRegSubKeys('HKEY_USERS', '')"},
    };
    for (const auto& [rejected, accepted] : calls) {
        EXPECT_EQ(f.Run(rejected + "; doit('after')"), Texts{}) << rejected;
        EXPECT_EQ(f.Run(accepted + "; doit('after')"), Texts{"after"}) << accepted;
    }
}

TEST_F(NativeFunctionsTest, ScriptPercentDecodeRules) {
    EXPECT_EQ(PercentDecode("a%20b%4"), "a b4");
    EXPECT_EQ(PercentDecode("trailing%"), "trailing");
    EXPECT_EQ(PercentDecode("%41%6a%6A+x"), "Ajj+x");
    EXPECT_EQ(PercentDecode("%%41"), "%41");  // the byte after a dropped % is copied as it is
    EXPECT_EQ(PercentDecode("%zz%4g"), "zz4g");
    EXPECT_EQ(PercentDecode(std::string("ab\0%41", 6)), "ab");
    EXPECT_EQ(PercentDecode(""), "");
}

TEST_F(NativeFunctionsTest, GetRegValueDecodesAndGivesEmptyTextForMissingData) {
    SetString(RootKey::CurrentUser, "Software\\T", "v", std::string("a%20b%4\0", 8));
    SetString(RootKey::CurrentUser, "Software\\T", "lone", std::string("end%\0", 5));
    SetString(RootKey::CurrentUser, "Software\\T", "dword", std::string("AB\0\0", 4), REG_DWORD);
    SetString(RootKey::CurrentUser, "Software\\T", "long", std::string(1100, 'x') + '\0');
    EXPECT_EQ(Eval("GetRegValue('HKEY_CURRENT_USER', 'Software\\\\T', 'v')"), "a b4");
    EXPECT_EQ(Eval("GetRegValue('HKEY_CURRENT_USER', 'Software\\\\T', 'lone')"), "end");
    EXPECT_EQ(Eval("GetRegValue('HKEY_CURRENT_USER', 'Software\\\\T', 'dword')"), "AB");
    EXPECT_EQ(Eval("GetRegValue('HKEY_CURRENT_USER', 'Software\\\\T', 'long')"), "");
    EXPECT_EQ(Eval("typeof GetRegValue('HKEY_CURRENT_USER', 'Software\\\\Missing', 'v')"),
              "string");
    EXPECT_EQ(Eval("GetRegValue('HKEY_CURRENT_USER', 'Software\\\\Missing', 'v').length"), "0");
    EXPECT_EQ(Eval("GetRegValue('HKCU', 'Software\\\\T', 'v')"), "");  // not a root name
    EXPECT_EQ(Eval("GetRegValue('hkey_current_user', 'Software\\\\T', 'v')"), "");
    EXPECT_EQ(Eval("GetRegValue('HKEY_CURRENT_USER', 'Software\\\\T')"), "<script ended>");
}

TEST_F(NativeFunctionsTest, GetRegValueEndsAtADecodedZeroByte) {
    SetString(RootKey::CurrentUser, "Software\\T", "z", std::string("x%00y\0", 6));
    EXPECT_EQ(Eval("GetRegValue('HKEY_CURRENT_USER', 'Software\\\\T', 'z').length"), "1");
}

TEST_F(NativeFunctionsTest, SetRegValueWritesOnlyIntoExistingKeys) {
    EXPECT_EQ(Eval("SetRegValue('HKEY_LOCAL_MACHINE', 'Software\\\\Nope', 'n', 'd')"), "false");
    EXPECT_FALSE(KeyExists(RootKey::LocalMachine, "Software\\Nope"));
    MakeKey(RootKey::LocalMachine, "Software\\Yes");
    EXPECT_EQ(Eval("SetRegValue('HKEY_LOCAL_MACHINE', 'Software\\\\Yes', 'n', 'data')"), "true");
    std::string value;
    EXPECT_TRUE(
        ReadRegistryString(registry(), RootKey::LocalMachine, "Software\\Yes", "n", &value));
    EXPECT_EQ(value, "data");
    EXPECT_EQ(Eval("SetRegValue('HKEY_LOCAL_MACHINE', 'Software\\\\Yes', 'n', 5)"),
              "<script ended>");
}

TEST_F(NativeFunctionsTest, DeleteRegKeyAndValueNeedTheFullRootNames) {
    MakeKey(RootKey::LocalMachine, "Software\\Bad\\Deep\\Deeper");
    SetString(RootKey::LocalMachine, "Software\\Bad", "keep", "1");
    f.Run("DeleteRegKey('HKLM', 'Software\\\\Bad')");
    EXPECT_TRUE(KeyExists(RootKey::LocalMachine, "Software\\Bad\\Deep\\Deeper"));
    f.Run("DeleteRegKey('HKEY_LOCAL_MACHINE', '')");  // never the root itself
    EXPECT_TRUE(KeyExists(RootKey::LocalMachine, "Software\\Bad"));
    EXPECT_EQ(f.Run("doit(String(DeleteRegKey('HKEY_LOCAL_MACHINE', 'Software\\\\Bad')))"),
              Texts{"undefined"});
    EXPECT_FALSE(KeyExists(RootKey::LocalMachine, "Software\\Bad"));
    EXPECT_TRUE(KeyExists(RootKey::LocalMachine, "Software"));

    SetString(RootKey::CurrentUser, "Software\\V", "a", "1");
    SetString(RootKey::CurrentUser, "Software\\V", "b", "2");
    f.Run("DeleteRegValue('HKEY_CURRENT_USER', 'Software\\\\V', 'a')");
    EXPECT_EQ(Eval("GetRegValuesInKey('HKEY_CURRENT_USER', 'Software\\\\V').join('|')"), "b");
}

TEST_F(NativeFunctionsTest, KeyListingsGiveArraysOfNames) {
    SetString(RootKey::CurrentUser, "Software\\L", "one", "1");
    SetString(RootKey::CurrentUser, "Software\\L", "Two", "2");
    MakeKey(RootKey::CurrentUser, "Software\\L\\sub1");
    MakeKey(RootKey::CurrentUser, "Software\\L\\Sub2");
    EXPECT_EQ(Eval("GetRegValuesInKey('HKEY_CURRENT_USER', 'Software\\\\L').join('|')"), "one|Two");
    EXPECT_EQ(Eval("GetRegSubKeys('HKEY_CURRENT_USER', 'Software\\\\L').join('|')"), "sub1|Sub2");
    EXPECT_EQ(Eval("Array.isArray(GetRegSubKeys('HKEY_CURRENT_USER', 'Software\\\\None'))"),
              "true");
    EXPECT_EQ(Eval("GetRegSubKeys('HKEY_CURRENT_USER', 'Software\\\\None').length"), "0");
    EXPECT_EQ(Eval("GetRegSubKeys('HKEY_DYN_DATA', 'x').length"), "0");
}

TEST_F(NativeFunctionsTest, BrowserHelperObjectsPerUserFirstAndTheirServerFiles) {
    const std::string bho = kBrowserHelperObjectsKey;
    MakeKey(RootKey::LocalMachine, bho + "\\{BBB}");
    MakeKey(RootKey::LocalMachine, bho + "\\{AAA}");
    MakeKey(RootKey::CurrentUser, bho + "\\{CCC}");
    EXPECT_EQ(Eval("GetBHOList().join('|')"), "{CCC}|{AAA}|{BBB}");
    SetString(RootKey::LocalMachine, "Software\\Classes\\CLSID\\{AAA}\\InprocServer32", "",
              "C:\\Program Files\\Bad\\bad.dll");
    EXPECT_EQ(Eval("GetFileFromClsid('{AAA}')"), "C:\\Program Files\\Bad\\bad.dll");
    EXPECT_EQ(Eval("GetFileFromClsid('{BBB}')"), "");
}

TEST_F(NativeFunctionsTest, FileFunctionsAndTheirResults) {
    f.prefix.WriteFile("C:\\t\\a.txt", "12345");
    f.prefix.WriteFile("C:\\t\\target.txt", "target");
    f.prefix.MakeFolder("C:\\t\\sub");
    EXPECT_EQ(Eval("IsFileExists('C:\\\\t\\\\a.txt') + ' ' + IsPathExists('C:\\\\t\\\\sub') + ' ' +"
                   " IsFileExists('C:\\\\t\\\\none')"),
              "true true false");
    EXPECT_EQ(Eval("GetFileSize('C:\\\\t\\\\a.txt') + GetFileSize('C:\\\\t\\\\none')"), "5");
    EXPECT_EQ(Eval("GetFilesInDir('C:\\\\t').join('|')"), "C:\\t\\a.txt|C:\\t\\target.txt");
    EXPECT_EQ(Eval("GetFilesInDir('C:\\\\t\\\\').join('|')"), "C:\\t\\a.txt|C:\\t\\target.txt");
    EXPECT_EQ(Eval("GetFilesInDir('C:\\\\nowhere').length"), "0");

    // CopyFile: false when the copy succeeded, true when it failed.
    EXPECT_EQ(Eval("CopyFile('C:\\\\t\\\\a.txt', 'C:\\\\t\\\\target.txt')"), "false");
    EXPECT_EQ(Content("C:\\t\\target.txt"), "12345");
    EXPECT_EQ(Eval("CopyFile('C:\\\\t\\\\none', 'C:\\\\t\\\\x.txt')"), "true");

    // RenameFile onto an existing file fails, leaves both, and the source
    // is no longer read-only.
    ASSERT_TRUE(files().SetFileAttributes("C:\\t\\a.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Eval("RenameFile('C:\\\\t\\\\a.txt', 'C:\\\\t\\\\target.txt')"), "false");
    EXPECT_TRUE(files().PathFileExists("C:\\t\\a.txt"));
    EXPECT_TRUE(files().PathFileExists("C:\\t\\target.txt"));
    EXPECT_FALSE(files().GetFileAttributes("C:\\t\\a.txt") & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Eval("RenameFile('C:\\\\t\\\\a.txt', 'C:\\\\t\\\\b.txt')"), "true");
    EXPECT_EQ(Content("C:\\t\\b.txt"), "12345");
    EXPECT_EQ(Eval("RenameFile('C:\\\\t\\\\b.txt')"), "<script ended>");

    // DeleteFile clears read-only first.
    ASSERT_TRUE(files().SetFileAttributes("C:\\t\\b.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Eval("DeleteFile('C:\\\\t\\\\b.txt') + ' ' + DeleteFile('C:\\\\t\\\\b.txt')"),
              "true false");
}

TEST_F(NativeFunctionsTest, DeleteDirRemovesTreesAndStopsAtAFileItCannotDelete) {
    f.prefix.WriteFile("C:\\bad\\x.exe", "x");
    f.prefix.WriteFile("C:\\bad\\.hidden\\y.dat", "y");
    f.prefix.WriteFile("C:\\bad\\deep\\er\\z.dat", "z");
    EXPECT_EQ(Eval("DeleteDir('C:\\\\bad')"), "undefined");
    EXPECT_FALSE(files().PathFileExists("C:\\bad\\deep"));
    EXPECT_FALSE(files().PathFileExists("C:\\bad\\x.exe"));
    // Entries starting with "." are skipped, so the folder stays.
    EXPECT_TRUE(files().PathFileExists("C:\\bad\\.hidden\\y.dat"));

    f.prefix.WriteFile("C:\\locked\\a\\keep.txt", "k");
    f.prefix.WriteFile("C:\\locked\\b.txt", "b");
    ASSERT_TRUE(files().SetFileAttributes("C:\\locked\\a\\keep.txt", FILE_ATTRIBUTE_READONLY));
    f.Run("DeleteDir('C:\\\\locked')");
    EXPECT_TRUE(files().PathFileExists("C:\\locked\\a\\keep.txt"));
    EXPECT_FALSE(files().PathFileExists("C:\\locked\\b.txt"));  // the parent's walk went on
    f.Run("DeleteDir('C:\\\\locked\\\\b.txt'); DeleteDir('C:\\\\none')");  // nothing to do
}

TEST_F(NativeFunctionsTest, DeleteDirRemovesLinksToFoldersWithoutFollowingThem) {
    f.prefix.WriteFile("C:\\keep\\important.txt", "mine");
    f.prefix.WriteFile("C:\\bad\\x.dat", "x");
    std::string bad = f.prefix.Host("drive_c/bad");
    std::filesystem::create_directory_symlink(f.prefix.Host("drive_c/keep"), bad + "/outside");
    std::filesystem::create_directory_symlink(bad, bad + "/loop");
    f.Run("DeleteDir('C:\\\\bad')");
    EXPECT_FALSE(files().PathFileExists("C:\\bad"));
    EXPECT_EQ(Content("C:\\keep\\important.txt"), "mine");
}

TEST_F(NativeFunctionsTest, IsContentInFileReadsZeroBytesAsSpaces) {
    f.prefix.WriteFile("C:\\c.bin", std::string("\0\0MZ\0evil marker\0", 18));
    std::string big(70000, 'a');
    big.replace(65530, 12, "needle-split");  // across the read pieces
    f.prefix.WriteFile("C:\\big.bin", big);
    f.prefix.WriteFile("C:\\empty.bin", "");
    EXPECT_EQ(Eval("IsContentInFile('C:\\\\c.bin', 'evil marker')"), "true");
    EXPECT_EQ(Eval("IsContentInFile('C:\\\\c.bin', 'MZ evil')"), "true");
    EXPECT_EQ(Eval("IsContentInFile('C:\\\\c.bin', 'Evil')"), "false");
    EXPECT_EQ(Eval("IsContentInFile('C:\\\\big.bin', 'needle-split')"), "true");
    EXPECT_EQ(
        Eval("IsContentInFile('C:\\\\c.bin', '') + ' ' + IsContentInFile('C:\\\\empty.bin', '')"),
        "true true");
    EXPECT_EQ(Eval("IsContentInFile('C:\\\\none.bin', '')"), "false");
    EXPECT_EQ(Eval("IsContentInFile('C:\\\\c.bin')"), "<script ended>");
}

TEST_F(NativeFunctionsTest, MessageBoxStyleMustBeAnIntegerAndDoitShowsOnlyStrings) {
    f.view.answers = {PromptAnswer::No};
    EXPECT_EQ(f.Run("doit(String(MessageBox('Remove it?', 'Bad Thing', 4)))"),
              (Texts{"Remove it?", "7"}));
    ASSERT_EQ(f.view.shown.size(), 2u);
    EXPECT_EQ(f.view.shown[0].caption, "Bad Thing");
    EXPECT_EQ(f.view.shown[0].buttons, PromptButtons::YesNo);
    EXPECT_EQ(f.view.shown[1].caption, kScriptApplicationName);
    EXPECT_EQ(f.view.shown[1].buttons, PromptButtons::Ok);
    EXPECT_EQ(f.view.shown[1].icon, PromptIcon::None);

    EXPECT_EQ(f.Run("MessageBox('a', 'b', '4'); doit('after')"), Texts{});
    EXPECT_EQ(f.Run("MessageBox('a', 'b'); doit('after')"), Texts{});
    EXPECT_EQ(f.Run("MessageBox('a', 'b', undefined); doit('after')"), Texts{});
    EXPECT_EQ(f.Run("MessageBox('a', 'b', 65536 + 0x31); doit('after')"), (Texts{"a", "after"}));
    EXPECT_EQ(f.view.shown[0].buttons, PromptButtons::OkCancel);
    EXPECT_EQ(f.view.shown[0].icon, PromptIcon::Warning);

    EXPECT_EQ(f.Run("doit(42); doit(null); doit('shown')"), Texts{"shown"});
    EXPECT_EQ(f.Run("doit(); doit('after')"), Texts{});
}

TEST_F(NativeFunctionsTest, MessageBoxStyleGivesButtonsIconAndDefaultAndAnswersWithTheButtonId) {
    using A = PromptAnswer;
    f.view.answers = {A::Abort, A::Retry, A::Ignore, A::Yes, A::No, A::Cancel, A::Ok};
    Texts texts = f.Run(
        "var ids = [];"
        "[0x212, 0x22, 0x2, 0x133, 0x4, 0x5, 0x340].forEach(function (style) {"
        "  ids.push(MessageBox('q', 'c', style)); });"
        "doit(ids.join())");
    ASSERT_EQ(texts.size(), 8u);
    EXPECT_EQ(texts.back(), "3,4,5,6,7,2,1");
    EXPECT_EQ(f.view.shown[0].buttons, PromptButtons::AbortRetryIgnore);
    EXPECT_EQ(f.view.shown[0].icon, PromptIcon::Error);
    EXPECT_EQ(f.view.shown[0].defaultButton, 2u);
    EXPECT_EQ(f.view.shown[1].icon, PromptIcon::Question);
    EXPECT_EQ(f.view.shown[3].buttons, PromptButtons::YesNoCancel);
    EXPECT_EQ(f.view.shown[3].icon, PromptIcon::Warning);
    EXPECT_EQ(f.view.shown[3].defaultButton, 1u);
    EXPECT_EQ(f.view.shown[5].buttons, PromptButtons::RetryCancel);
    EXPECT_EQ(f.view.shown[6].icon, PromptIcon::Information);
    // A default past the last button falls back on the first.
    EXPECT_EQ(DefaultAnswer(Prompt{"c", "q", PromptButtons::Ok, PromptIcon::None, 3}), A::Ok);
}

TEST_F(NativeFunctionsTest, FunctionsWithoutEffectOnlyCheckTheirArgument) {
    EXPECT_EQ(Eval("[GetModifiedDate('x'), IsIERunning(), GetBHOClsid(5), DeleteBHO('{A}'),"
                   " IsClsidExists('{A}')].map(String).join()"),
              "undefined,undefined,undefined,undefined,undefined");
    EXPECT_EQ(f.Run("GetBHOFile(1); doit('after')"), Texts{});
    EXPECT_EQ(f.Run("GetBHOClsid(); doit('after')"), Texts{});
    EXPECT_EQ(f.Run("IsIERunning(1, 2); doit('after')"), Texts{"after"});
}

TEST_F(NativeFunctionsTest, KillProcessEndsARunningProgramByItsFileName) {
    f.machine->SetProcessTable(MakeProcProcessTable(f.prefix.path(), files()));
    FakeWindowsProgram program(f.prefix.path(), "C:\\windows\\badtool.exe");
    ASSERT_GT(program.pid(), 0);
    EXPECT_EQ(Eval("GetRunningProcesses(1, 2).indexOf('C:\\\\windows\\\\badtool.exe') >= 0"),
              "true");
    EXPECT_EQ(Eval("KillProcess('D:\\\\Other\\\\notthere.exe')"), "false");
    EXPECT_EQ(Eval("KillProcess('X:\\\\Any Folder\\\\BadTool.EXE')"), "true");
    // KillProcess returns once the program is gone (a zombie counts as
    // gone): a script deletes its file next.
    EXPECT_EQ(Eval("GetRunningProcesses(1, 2).indexOf('C:\\\\windows\\\\badtool.exe') >= 0"),
              "false");
    EXPECT_EQ(Eval("KillProcess('C:\\\\windows\\\\badtool.exe')"), "false");
    EXPECT_TRUE(program.Ended());
    EXPECT_EQ(Eval("KillProcess(7)"), "<script ended>");
}

}  // namespace
}  // namespace tolvane
