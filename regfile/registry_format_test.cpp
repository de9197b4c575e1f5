// The registry text format, its importer and the tree deletion, over real
// prefixes: what a backup writes must come back value for value.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "base/codepage.h"
#include "machine/registry_tree.h"
#include "machine/wine/wine_hive.h"
#include "regfile/registry_export.h"
#include "regfile/registry_import.h"
#include "testing/registry_values.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::CreateRegistryKey;
using testing::QueryRegistryValue;
using testing::RegistryKeyExists;
using testing::TempPrefix;

std::string Bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

TEST(RegistryFormat, ValueLinesByType) {
    EXPECT_EQ(FormatRegistryValueLine("Count", REG_DWORD, Bytes({0xff, 0, 0, 0})),
              "\"Count\" = dword:000000ff\r\n");
    EXPECT_EQ(FormatRegistryValueLine("", REG_SZ, std::string("about:blank\0", 12)),
              "@ = \"about:blank\"\r\n");

    std::string binary;
    for (int i = 0; i < 25; ++i) binary += static_cast<char>(i);
    std::string expected = "\"Blob\" = hex:";
    for (int i = 0; i < 22; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x,", i);
        expected += pair;
    }
    expected += "\\\r\n16,17,18,\r\n";
    EXPECT_EQ(FormatRegistryValueLine("Blob", REG_BINARY, binary), expected);
    // No continuation mark after a last byte at index 21.
    EXPECT_EQ(FormatRegistryData(REG_BINARY, binary.substr(0, 22)),
              "hex:" + expected.substr(13, 22 * 3) + "\r\n");

    EXPECT_EQ(FormatRegistryData(REG_EXPAND_SZ, std::string("%a%\0", 4)),
              "hex(2):25,61,25,00,\r\n");
    EXPECT_EQ(FormatRegistryData(REG_RESOURCE_REQUIREMENTS_LIST, "\x01"), "hex(a):01,\r\n");
    EXPECT_EQ(FormatRegistryData(REG_BINARY, ""), "hex:\r\n");
    // Escaped as the registry editor escapes, so the importer gets them back.
    EXPECT_EQ(FormatRegistryValueLine("na\"me\\x", REG_SZ, std::string("C:\\dir\\\0", 8)),
              "\"na\\\"me\\\\x\" = \"C:\\\\dir\\\\\"\r\n");
    // Bytes after the terminator would be lost between quotes.
    EXPECT_EQ(FormatRegistryData(REG_SZ, std::string("a\0b\0", 4)), "hex(1):61,00,62,00,\r\n");
}

TEST(RegistryFormat, HeaderFollowsTheWindowsVersion) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    Registry& registry = machine->registry();
    const std::string nt = "Software\\Microsoft\\Windows NT\\CurrentVersion";
    RegKey key = CreateRegistryKey(registry, RootKey::LocalMachine, nt);
    ASSERT_EQ(registry.SetValue(key, "CurrentVersion", REG_SZ, "5.1"), ERROR_SUCCESS);
    EXPECT_EQ(RegistryFileHeader(registry), "Windows Registry Editor Version 5.00");
    ASSERT_EQ(registry.SetValue(key, "CurrentVersion", REG_SZ, "6.1"), ERROR_SUCCESS);
    EXPECT_EQ(RegistryFileHeader(registry), "REGEDIT4");
    // Wine's own version setting wins over the recorded one.
    RegKey wine = CreateRegistryKey(registry, RootKey::CurrentUser, "Software\\Wine");
    ASSERT_EQ(registry.SetValue(wine, "Version", REG_SZ, "win98"), ERROR_SUCCESS);
    ASSERT_EQ(registry.SetValue(key, "CurrentVersion", REG_SZ, "5.0"), ERROR_SUCCESS);
    EXPECT_EQ(RegistryFileHeader(registry), "REGEDIT4");
    ASSERT_EQ(registry.SetValue(wine, "Version", REG_SZ, "winxp"), ERROR_SUCCESS);
    EXPECT_EQ(RegistryFileHeader(registry), "Windows Registry Editor Version 5.00");
}

TEST(RegistryFormat, TreeExportWritesTheKeysOwnValuesThenEachSubkey) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    Registry& registry = machine->registry();
    RegKey top = CreateRegistryKey(registry, RootKey::CurrentUser, "Software\\Vendor\\Thing");
    registry.SetValue(top, "", REG_SZ, "top");
    RegKey a = CreateRegistryKey(registry, RootKey::CurrentUser, "Software\\Vendor\\Thing\\A");
    registry.SetValue(a, "Count", REG_DWORD, Bytes({0xff, 0, 0, 0}));
    CreateRegistryKey(registry, RootKey::CurrentUser, "Software\\Vendor\\Thing\\A\\Deep");

    std::string out;
    ExportRegistryTree(registry, "HKEY_CURRENT_USER", "Software\\Vendor\\Thing", &out);
    EXPECT_EQ(out,
              "[HKEY_CURRENT_USER\\Software\\Vendor\\Thing]\r\n"
              "@ = \"top\"\r\n"
              "\r\n[HKEY_CURRENT_USER\\Software\\Vendor\\Thing\\A]\r\n"
              "\"Count\" = dword:000000ff\r\n"
              "\r\n[HKEY_CURRENT_USER\\Software\\Vendor\\Thing\\A\\Deep]\r\n");

    std::string none;
    ExportRegistryTree(registry, "HKEY_LOCAL_MACHINE", "Software\\Vendor\\Thing", &none);
    ExportRegistryValue(registry, RootKey::LocalMachine, "Software\\Vendor\\Thing", "", &none,
                        "HKEY_LOCAL_MACHINE\\Software\\Vendor\\Thing");
    EXPECT_EQ(none, "");

    std::string value;
    ExportRegistryValue(registry, RootKey::CurrentUser, "Software\\Vendor\\Thing\\A", "Count",
                        &value, "HKEY_CURRENT_USER\\Software\\Vendor\\Thing\\A");
    EXPECT_EQ(value,
              "\r\n[HKEY_CURRENT_USER\\Software\\Vendor\\Thing\\A]\r\n"
              "\"Count\" = dword:000000ff\r\n");
}

// Every kind of value survives export, deletion and import unchanged,
// among them names and texts holding backslashes and double quotes.
TEST(RegistryFormat, ExportAndImportRoundTripExactly) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    Registry& registry = machine->registry();
    const std::string path = "Software\\Vendor\\Round";
    std::string big(3000, 'x');
    struct Value {
        std::string name;
        uint32_t type;
        std::string data;
    } values[] = {
        {"", REG_SZ, std::string("default\0", 8)},
        {"na\"me\\x", REG_SZ, std::string("say \"hi\" C:\\dir\\\0", 18)},
        {"Trailing\\", REG_SZ, std::string("\\\\server\\share\\\0", 16)},
        {"Count", REG_DWORD, Bytes({0x78, 0x56, 0x34, 0x12})},
        {"Blob", REG_BINARY, big},
        {"Expand", REG_EXPAND_SZ, std::string("%TEMP%\\x\0", 9)},
        {"Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
        {"Quad", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
        {"Short dword", REG_DWORD, Bytes({1, 2})},
        {"Empty", REG_BINARY, ""},
    };
    RegKey key = CreateRegistryKey(registry, RootKey::LocalMachine, path);
    for (const Value& v : values) ASSERT_EQ(registry.SetValue(key, v.name, v.type, v.data), 0);
    CreateRegistryKey(registry, RootKey::LocalMachine, path + "\\Empty sub");

    std::string text = RegistryFileHeader(registry) + "\r\n";
    ExportRegistryTree(registry, "HKEY_LOCAL_MACHINE", path, &text);
    ASSERT_EQ(DeleteRegistryTree(registry, Registry::Root(RootKey::LocalMachine), path), 0);
    ASSERT_FALSE(RegistryKeyExists(registry, RootKey::LocalMachine, path));

    RegistryImportReport report;
    ASSERT_TRUE(ImportRegistryText(registry, text, &report));
    EXPECT_TRUE(report.escaped);
    EXPECT_EQ(report.failed, 0u);
    EXPECT_EQ(report.skippedLines, 0u);
    EXPECT_TRUE(RegistryKeyExists(registry, RootKey::LocalMachine, path + "\\Empty sub"));
    for (const Value& v : values) {
        uint32_t type = 0;
        std::string data;
        ASSERT_TRUE(QueryRegistryValue(registry, RootKey::LocalMachine, path, v.name, &type, &data))
            << v.name;
        EXPECT_EQ(type, v.type) << v.name;
        EXPECT_EQ(data, v.data) << v.name;
    }
}

TEST(RegistryFormat, ImporterReadsUnescapedFilesAndOtherSpacing) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    Registry& registry = machine->registry();
    // As older exports wrote them: nothing escaped, CR CR LF line ends.
    std::string text =
        "REGEDIT4\r\r\n\r\r\n[HKEY_CURRENT_USER\\Software\\Old]\r\r\n"
        "\"Path\" = \"C:\\Program Files\\x\\\"\r\r\n"
        "\"q\"uote\" = \"a \"b\" c\"\r\r\n"
        "\"Bin\"=hex:01,02,\\\r\r\n  03\r\r\n"
        "\r\nError\r\n";
    RegistryImportReport report;
    ASSERT_TRUE(ImportRegistryText(registry, text, &report));
    EXPECT_FALSE(report.escaped);
    EXPECT_EQ(report.skippedLines, 1u);  // the "Error" line
    uint32_t type = 0;
    std::string data;
    ASSERT_TRUE(
        QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\Old", "Path", &type, &data));
    EXPECT_EQ(data, std::string("C:\\Program Files\\x\\\0", 20));
    ASSERT_TRUE(QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\Old", "q\"uote",
                                   &type, &data));
    EXPECT_EQ(data, std::string("a \"b\" c\0", 8));
    ASSERT_TRUE(
        QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\Old", "Bin", &type, &data));
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(data, Bytes({1, 2, 3}));

    EXPECT_FALSE(ImportRegistryText(registry, "[HKEY_CURRENT_USER\\Software\\NoHeader]\r\n"));
    EXPECT_FALSE(RegistryKeyExists(registry, RootKey::CurrentUser, "Software\\NoHeader"));
}

// As the registry editor exports: UTF-16LE with a byte-order mark, string
// data in hex as UTF-16LE. 8-bit files hold it in the code page, whichever
// header they carry (our backups are 8-bit under either header).
TEST(RegistryFormat, RegFilesAsWindowsWritesThemImportUnchanged) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    Registry& registry = machine->registry();
    const std::string windows =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\RT]\r\n"
        "\"Dw\"=dword:000000ff\r\n"
        "\"Expand\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,3b,00,78,00,00,00\r\n"
        "\"Multi\"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,63,00,61,00,66,\\\r\n"
        "  00,e9,00,00,00,00,00\r\n"
        "\"Caf\xe9\"=\"C:\\\\dir\\\\ \\\"q\\\" \x80\"\r\n\r\n";
    RegistryImportReport report;
    ASSERT_TRUE(
        ImportRegistryText(registry, "\xFF\xFE" + Utf16ToBytes(Cp1252ToUtf16(windows)), &report));
    EXPECT_EQ(report.failed + report.skippedLines, 0u);
    uint32_t type = 0;
    std::string data;
    ASSERT_TRUE(
        QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\RT", "Expand", &type, &data));
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(data, std::string("%PATH%;x\0", 9));
    ASSERT_TRUE(
        QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\RT", "Multi", &type, &data));
    EXPECT_EQ(data, std::string("one\0two\0caf\xe9\0\0", 14));
    ASSERT_TRUE(QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\RT", "Caf\xe9", &type,
                                   &data));
    EXPECT_EQ(data, std::string("C:\\dir\\ \"q\" \x80\0", 14));
    ASSERT_TRUE(
        QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\RT", "Dw", &type, &data));
    EXPECT_EQ(data, Bytes({0xff, 0, 0, 0}));

    for (const char* header : {"REGEDIT4", "Windows Registry Editor Version 5.00"}) {
        ASSERT_TRUE(ImportRegistryText(registry, std::string(header) +
                                                     "\r\n\r\n[HKEY_CURRENT_USER\\Software\\RT]\r\n"
                                                     "\"Ansi\"=hex(2):25,50,25,3b,e9,00\r\n"
                                                     // a continuation mark before an empty line
                                                     "\"Bin\"=hex:01,02,\\\r\n\r\n"
                                                     "\"After\"=\"x\"\r\n"));
        ASSERT_TRUE(QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\RT", "Ansi",
                                       &type, &data));
        EXPECT_EQ(data, std::string("%P%;\xe9\0", 6)) << header;
        ASSERT_TRUE(QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\RT", "Bin", &type,
                                       &data));
        EXPECT_EQ(data, Bytes({1, 2}));
        EXPECT_TRUE(QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\RT", "After",
                                       &type, &data));
    }
}

TEST(RegistryFormat, ImporterDeletesValuesAndSurvivesDamagedFiles) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    Registry& registry = machine->registry();
    RegKey key = CreateRegistryKey(registry, RootKey::CurrentUser, "Software\\Imp");
    registry.SetValue(key, "gone", REG_SZ, "x");
    RegistryImportReport report;
    ASSERT_TRUE(ImportRegistryText(registry,
                                   "Windows Registry Editor Version 5.00\r\n\r\n"
                                   "[HKCU\\Software\\Imp]\r\n\"gone\"=-\r\n"
                                   "\"list\"=hex(a):01,02\r\n\"n\"=DWORD:ff\r\n"
                                   "\"bad\"=dword:123456789\r\n\"worse\"=hex:zz\r\n"
                                   "[NoRoot\\X]\r\n\"lost\"=\"x\"\r\n",
                                   &report));
    uint32_t type = 0;
    std::string data;
    EXPECT_FALSE(
        QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\Imp", "gone", &type, &data));
    ASSERT_TRUE(
        QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\Imp", "list", &type, &data));
    EXPECT_EQ(type, REG_RESOURCE_REQUIREMENTS_LIST);
    ASSERT_TRUE(
        QueryRegistryValue(registry, RootKey::CurrentUser, "Software\\Imp", "n", &type, &data));
    EXPECT_EQ(data, Bytes({0xff, 0, 0, 0}));
    EXPECT_EQ(report.skippedLines, 4u);  // bad, worse, the unknown root and its value

    // Garbage after a header changes nothing it cannot read and never stops
    // the program.
    uint32_t seed = 12345;
    for (int round = 0; round < 200; ++round) {
        std::string text = "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Fuzz]\r\n";
        for (int i = 0; i < 200; ++i) {
            seed = seed * 1103515245u + 12345u;
            const char alphabet[] = "\"@=\\[]:,-hexdword()0123456789abcdef \r\n\t\x80\xff";
            text += alphabet[(seed >> 16) % (sizeof alphabet - 1)];
        }
        ImportRegistryText(registry, text);
    }
    EXPECT_TRUE(RegistryKeyExists(registry, RootKey::CurrentUser, "Software\\Fuzz"));
}

TEST(DeleteRegistryTree, DeletesDeepTreesAndKeepsAKeyWithAnUndeletableSubkeyWhole) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    Registry& registry = machine->registry();
    CreateRegistryKey(registry, RootKey::LocalMachine, "Software\\Gone\\A\\B\\C");
    CreateRegistryKey(registry, RootKey::LocalMachine, "Software\\Gone\\D");
    EXPECT_EQ(DeleteRegistryTree(registry, Registry::Root(RootKey::LocalMachine), "Software\\Gone"),
              ERROR_SUCCESS);
    EXPECT_FALSE(RegistryKeyExists(registry, RootKey::LocalMachine, "Software\\Gone"));
    EXPECT_EQ(DeleteRegistryTree(registry, Registry::Root(RootKey::LocalMachine), "Software\\Gone"),
              ERROR_FILE_NOT_FOUND);
    EXPECT_NE(DeleteRegistryTree(registry, Registry::Root(RootKey::LocalMachine), ""), 0);

    // A class key whose first subkey lives in the user's hive, which the host
    // keeps read-only: the walk stops there and nothing of the key goes.
    CreateRegistryKey(registry, RootKey::LocalMachine, "Software\\Classes\\Bad.Thing\\Second");
    CreateRegistryKey(registry, RootKey::CurrentUser, "Software\\Classes\\Bad.Thing\\First");
    ASSERT_EQ(chmod(prefix.Host("user.reg").c_str(), 0444), 0);
    EXPECT_NE(DeleteRegistryTree(registry, Registry::Root(RootKey::ClassesRoot), "Bad.Thing"), 0);
    EXPECT_TRUE(RegistryKeyExists(registry, RootKey::ClassesRoot, "Bad.Thing\\First"));
    EXPECT_TRUE(
        RegistryKeyExists(registry, RootKey::LocalMachine, "Software\\Classes\\Bad.Thing\\Second"));
    chmod(prefix.Host("user.reg").c_str(), 0644);
}

}  // namespace
}  // namespace tolvane
