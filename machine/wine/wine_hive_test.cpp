#include "machine/wine/wine_hive.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

// A small file in the shape Wine writes, with each kind of line it uses.
const char kWineText[] =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Software\\\\Classes\\\\Wow6432Node\\\\CLSID] 1796740557\n"
    "#time=1dd87216fed8f36\n"
    "#link\n"
    "\"SymbolicLinkValue\"=hex(6):5c,00,52,00,65,00,67,00,69,00,73,00,74,00,72,00,79,\\\n"
    "  00,5c,00,4d,00\n"
    "\n"
    "[Software\\\\T\\[e\\]st] 1796742643\n"
    "#time=1dd87264b350930\n"
    "#class=\"My \\\"class\\\"\"\n"
    "#unknown=kept\n"
    "@=\"C:\\\\windows\\\\system32\\\\x.dll\"\n"
    "\"b\"=dword:00000005\n"
    "\"B_\"=\"x\"\n"
    "\"BA\"=\"x\"\n"
    "\"bin\"=hex:\n"
    "\"ctl\\1a\\0015\\a\\e\"=\"\\x00e99\\xe9x\\1\\2\\t\"\n"
    "\"ex\"=str(2):\"%USERPROFILE%\\\\x\"\n"
    "\"ms\"=str(7):\"a\\0b\\0\"\n"
    "\"prop\"=hex(ffff0007):01,02\n"
    "\"q\"=hex(b):05,00,00,00,00,00,00,00\n"
    "\"\\xe4\"=\"x\"\n"
    "\n"
    "[Software\\\\T\\[e\\]st\\\\sub_] 1796742643\n"
    "#time=1dd87264b293380\n";

std::u16string U(const char16_t* s) {
    return s;
}

TEST(WineHiveFormat, ReadsEveryKindOfLineAndWritesItBackUnchanged) {
    WineHive hive;
    std::vector<std::string> problems;
    hive.Parse(kWineText, "user.reg", &problems);
    EXPECT_TRUE(problems.empty()) << problems[0];
    EXPECT_EQ(hive.relativeTo(), "REGISTRY\\User\\S-1-5-21-0-0-0-1000");
    EXPECT_EQ(hive.Serialize(true), kWineText);
    // Written anew, block by block, the text is the same: the writer formats
    // as Wine does.
    EXPECT_EQ(hive.Serialize(false), kWineText);

    HiveKey* key = hive.Find(u"software\\T[E]ST");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->name, U(u"T[e]st"));
    EXPECT_TRUE(key->hasClass);
    EXPECT_EQ(key->className, U(u"My \"class\""));
    EXPECT_EQ(key->modified, 0x1dd87264b350930ULL);

    const HiveValue* def = key->FindValue(u"");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->type, REG_SZ);
    EXPECT_EQ(BytesToUtf16(def->data), std::u16string(u"C:\\windows\\system32\\x.dll") + u'\0');

    const HiveValue* ctl =
        key->FindValue(std::u16string(u"ctl\x01"
                                      u"a\x01"
                                      u"5\a\x1b"));
    ASSERT_NE(ctl, nullptr);
    EXPECT_EQ(BytesToUtf16(ctl->data), std::u16string(u"\x00e9"
                                                      u"9\x00e9x\x01\x02\t\0",
                                                      8));

    const HiveValue* ms = key->FindValue(u"MS");
    ASSERT_NE(ms, nullptr);
    EXPECT_EQ(ms->type, REG_MULTI_SZ);
    EXPECT_EQ(BytesToUtf16(ms->data), std::u16string(u"a\0b\0\0", 5));

    const HiveValue* prop = key->FindValue(u"prop");
    ASSERT_NE(prop, nullptr);
    EXPECT_EQ(prop->type, 0xffff0007u);
    EXPECT_EQ(prop->data, std::string("\x01\x02", 2));

    HiveKey* link = hive.Find(u"Software\\Classes\\Wow6432Node\\CLSID");
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(link->isLink);
    EXPECT_EQ(link->FindValue(u"SymbolicLinkValue")->data.size(), 22u);
}

TEST(WineHiveFormat, KeepsNamesInWinesOrder) {
    WineHive hive;
    hive.Parse("WINE REGISTRY Version 2\n", "x.reg", nullptr);
    HiveKey& root = hive.root();
    for (const char16_t* name : {u"Z", u"BA", u"b", u"\x00e4", u"B_", u"a"})
        root.SetValue(name, REG_SZ, Utf16ToBytes(std::u16string(u"\0", 1)));
    std::vector<std::u16string> names;
    for (const HiveValue& v : root.Values()) names.push_back(v.name);
    // Lower-case folding puts '_' (0x5F) before letters; shorter names first.
    std::vector<std::u16string> expected = {u"a", u"b", u"B_", u"BA", u"Z", u"\x00e4"};
    EXPECT_EQ(names, expected);
    root.SetValue(u"ba", REG_DWORD, std::string(4, '\0'));
    EXPECT_EQ(root.Values().size(), 6u);
    EXPECT_EQ(root.FindValue(u"bA")->name, U(u"BA"));  // case as created
    EXPECT_EQ(root.FindValue(u"bA")->type, REG_DWORD);
}

TEST(WineHiveFormat, WritesChangedKeysAsWineDoes) {
    WineHive hive;
    hive.Parse(kWineText, "user.reg", nullptr);
    HiveKey* key = hive.Find(u"Software\\T[e]st\\sub_");
    ASSERT_NE(key, nullptr);
    std::string longData;
    for (int i = 0; i < 50; ++i) longData += static_cast<char>(i);
    key->SetValue(u"FilterData", REG_BINARY, longData);
    key->SetValue(u"n", REG_DWORD, std::string("\x2a\0\0\0", 4));
    key->SetValue(u"odd", REG_SZ, "abc");  // not terminated UTF-16: written as hex
    key->Touch(0x1dd87264b293380ULL);
    std::string text = hive.Serialize();
    EXPECT_NE(text.find("[Software\\\\T\\[e\\]st\\\\sub_] 1796742643\n#time=1dd87264b293380\n"
                        "\"FilterData\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,"
                        "11,12,13,\\\n"
                        "  14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,"
                        "2b,2c,\\\n"
                        "  2d,2e,2f,30,31\n"
                        "\"n\"=dword:0000002a\n"
                        "\"odd\"=hex(1):61,62,63\n"),
              std::string::npos)
        << text;
    // The blocks of other keys keep their text.
    EXPECT_EQ(text.substr(0, text.find("[Software\\\\T\\[e\\]st\\\\sub_]")),
              std::string(kWineText).substr(
                  0, std::string(kWineText).find("[Software\\\\T\\[e\\]st\\\\sub_]")));

    WineHive again;
    std::vector<std::string> problems;
    again.Parse(text, "user.reg", &problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(again.Find(u"Software\\T[e]st\\sub_")->FindValue(u"filterdata")->data, longData);
    EXPECT_EQ(again.Serialize(false), text);
}

TEST(WineHiveFormat, EscapesRoundTrip) {
    // Every unit a name or string may hold survives writing and reading.
    std::u16string all;
    for (char16_t c = 1; c < 0x200; ++c) all += c;
    all +=
        u"\x20ac"
        u"a\x20ac"
        u"5\\\"[]";
    WineHive hive;
    hive.Parse("WINE REGISTRY Version 2\n", "x.reg", nullptr);
    HiveKey* key = hive.root().AddSubkey(u"K[\x00e9]" + all.substr(95, 20), 0);
    key->SetValue(all, REG_SZ, Utf16ToBytes(all + u'\0'));
    key->SetValue(u"multi", REG_MULTI_SZ,
                  Utf16ToBytes(std::u16string(u"0\0"
                                              u"01\0\0",
                                              6)));
    std::string text = hive.Serialize();
    EXPECT_NE(text.find("\\x20aca\\x20ac5"), std::string::npos) << text;

    WineHive back;
    std::vector<std::string> problems;
    back.Parse(text, "x.reg", &problems);
    ASSERT_TRUE(problems.empty()) << problems[0];
    ASSERT_EQ(back.root().Subkeys().size(), 1u);
    HiveKey& k = *back.root().Subkeys()[0];
    EXPECT_EQ(k.name, key->name);
    ASSERT_EQ(k.Values().size(), 2u);
    EXPECT_EQ(k.FindValue(all)->name, all);
    EXPECT_EQ(BytesToUtf16(k.FindValue(all)->data), all + u'\0');
    EXPECT_EQ(BytesToUtf16(k.FindValue(u"multi")->data), std::u16string(u"0\0"
                                                                        u"01\0\0",
                                                                        6));
    EXPECT_EQ(back.Serialize(false), text);
}

TEST(WineHiveFormat, ReportsDamagedLinesAndKeepsTheRest) {
    const char text[] =
        "WINE REGISTRY Version 2\n"                      // 1
        ";; All keys relative to REGISTRY\\\\Machine\n"  // 2
        "\n"                                             // 3
        "[Software\\\\Good] 1796740557\n"                // 4
        "\"a\"=\"fine\"\n"                               // 5
        "\"b\"=\"no closing quote\n"                     // 6
        "\"c\"=\"bad \\q escape\"\n"                     // 7
        "\"d\"=blob:0102\n"                              // 8
        "\"e\"=hex:01,02,\\\n"                           // 9
        "  03\n"                                         // 10
        "\"f\"=dword:zz\n"                               // 11
        "\n"                                             // 12
        "[Software\\\\Broken 1796740557\n"               // 13
        "\"g\"=\"lost\"\n"                               // 14
        "\n"                                             // 15
        "[Software\\\\Last] 1796740557\n"                // 16
        "\"h\"=hex:01,\\\n";                             // 17
    WineHive hive;
    std::vector<std::string> problems;
    hive.Parse(text, "/p/system.reg", &problems);
    ASSERT_EQ(problems.size(), 6u);
    EXPECT_EQ(problems[0].rfind("/p/system.reg:6: truncated line", 0), 0u) << problems[0];
    EXPECT_EQ(problems[1], "/p/system.reg:7: bad escape \"\\q\"");
    EXPECT_EQ(problems[2], "/p/system.reg:8: unknown value type \"blob:\"");
    EXPECT_EQ(problems[3], "/p/system.reg:11: bad dword data");
    EXPECT_EQ(problems[4].rfind("/p/system.reg:13: malformed key line", 0), 0u) << problems[4];
    EXPECT_EQ(problems[5].rfind("/p/system.reg:17: truncated line", 0), 0u) << problems[5];

    HiveKey* good = hive.Find(u"Software\\Good");
    ASSERT_NE(good, nullptr);
    EXPECT_NE(good->FindValue(u"a"), nullptr);
    EXPECT_EQ(good->FindValue(u"e")->data, std::string("\x01\x02\x03", 3));
    EXPECT_EQ(good->Values().size(), 2u);
    EXPECT_NE(hive.Find(u"Software\\Last"), nullptr);

    problems.clear();
    hive.Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\x]\n", "/p/user.reg", &problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("/p/user.reg:1: not a Wine registry file", 0), 0u);
}

TEST(WineHiveFormat, KeysWithoutValuesAndDuplicates) {
    // Wine writes a block for keys that have values or no subkeys; a key
    // listed twice is merged.
    const char text[] =
        "WINE REGISTRY Version 2\n"
        "\n"
        "[A\\\\B] 100\n"
        "\"x\"=\"1\"\n"
        "\n"
        "[a\\\\b] 100\n"
        "\"y\"=\"2\"\n";
    WineHive hive;
    std::vector<std::string> problems;
    hive.Parse(text, "x.reg", &problems);
    EXPECT_TRUE(problems.empty());
    HiveKey* b = hive.Find(u"A\\B");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->Values().size(), 2u);
    std::string out = hive.Serialize();
    EXPECT_EQ(out.find("[a\\\\b]"), std::string::npos);
    EXPECT_NE(out.find("[A\\\\B] 100\n#time="), std::string::npos);

    // Deleting the only subkey makes A a leaf, which Wine writes.
    hive.Find(u"A")->DeleteSubkey(u"b");
    out = hive.Serialize();
    EXPECT_NE(out.find("\n[A] 100\n"), std::string::npos) << out;
}

TEST(WineHiveFormat, ValuesLeftAsTextReadAsTheyWouldBeAtOnce) {
    const char text[] =
        "WINE REGISTRY Version 2\n"  // 1
        "[Plain] 100\n"              // 2
        "#time=1d000000000000\n"     // 3
        "\"a\"=\"1\"\n"              // 4
        "\"b\"=dword:zz\n"           // 5
        "[Comment] 100\n"            // 6
        "\"a\"=\"1\"\n"              // 7
        "#class=\"late\"\n"          // 8
        "[Cut] 100\n"                // 9
        "\"a\"=hex:01,\\\n"          // 10: the next line is taken as its bytes
        "[Swallowed] 100\n"          // 11
        "\"s\"=\"2\"\n"              // 12: still a value of Cut
        "[Ended] 100\n"              // 13
        "\"a\"=hex:01,\\\n"          // 14: continued by the blank line
        "\n"                         // 15
        "\"b\"=\"2\"\n"              // 16
        "[Twice] 100\n"              // 17
        "\"x\"=\"1\"\n"              // 18
        "[Twice] 100\n"              // 19
        "\"y\"=\"2\"\n"              // 20
        "[Twice] 100\n"              // 21
        "\"z\"=\"3\"\n";             // 22
    WineHive hive;
    hive.Parse(std::string(text), "x.reg");
    ASSERT_NE(hive.Find(u"Plain"), nullptr);
    EXPECT_TRUE(hive.Find(u"Plain")->ValuesPending());
    EXPECT_EQ(hive.Find(u"Comment")->className, U(u"late"));
    EXPECT_EQ(hive.Find(u"Swallowed"), nullptr);
    EXPECT_EQ(hive.Find(u"Cut")->Values().size(), 1u);
    EXPECT_NE(hive.Find(u"Cut")->FindValue(u"s"), nullptr);
    EXPECT_EQ(hive.Find(u"Ended")->FindValue(u"a")->data, "\x01");
    EXPECT_EQ(hive.Find(u"Ended")->Values().size(), 2u);
    // Problems in line order, whichever key was read first.
    EXPECT_EQ(hive.Problems(),
              (std::vector<std::string>{"x.reg:5: bad dword data", "x.reg:11: bad hex data"}));
    EXPECT_EQ(hive.Find(u"Plain")->Values().size(), 1u);
    // A key given three times keeps the values of all three when saved.
    EXPECT_EQ(hive.Find(u"Twice")->Values().size(), 3u);
    WineHive again;
    again.Parse(hive.Serialize(true), "again.reg");
    EXPECT_EQ(again.Find(u"Twice")->Values().size(), 3u);
}

TEST(WineHiveFormat, KeysLeftAsTextReadAsTheyWouldBeLineByLine) {
    std::string deep = "Deep";
    for (int i = 0; i < 520; ++i) deep += "\\\\d";
    const std::string text =
        "WINE REGISTRY Version 2\n"  // 1
        "#arch=win64\n"              // 2
        "\n"                         // 3
        "[] 100\n"                   // 4: the root's own block
        "@=\"root\"\n"               // 5
        "\n"                         // 6
        "[A\\\\B\\\\C] 200\n"        // 7: makes A and B as parents
        "\"c\"=\"[not a key]\"\n"    // 8
        "[A\\\\\\\\B\\\\] 300\n"     // 9: empty names: B's block
        "\"b\"=dword:zz\n"           // 10
        "[A\\\\B\\\\Bad\\q] 400\n"   // 11: below keys that exist
        "\"lost\"=\"1\"\n"           // 12
        "[A\\x5cG] 500\n"            // 13: another separator
        "[a\\\\b\\\\c] 600\n"        // 14: C again, merged
        "\"d\"=\"2\"\n"              // 15
        "[Deep] 700\n"               // 16
        "[" +
        deep +
        "] 800\n"                        // 17: too deep
        "[Time\\\\Less]\n"               // 18
        "\r\n"                           // 19
        "[Huge] 99999999999999999999\n"  // 20: no clock gives that time
        "[Z] 900\r\n"                    // 21
        "\"z\"=\"1\"\r\n";               // 22
    WineHive hive, lines;
    hive.Parse(text, "x.reg");
    lines.ParseLineByLine(text, "x.reg");
    // Asked for deepest first, read no further than asked.
    HiveKey* c = hive.Find(u"A\\B\\C");
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(hive.Find(u"Deep")->SubkeysPending());
    EXPECT_EQ(c->Values().size(), 2u);
    EXPECT_EQ(hive.Find(u"A")->modified, c->modified);  // made for C's line
    EXPECT_NE(hive.Find(u"A\\G"), nullptr);
    EXPECT_EQ(hive.root().Values().size(), 1u);
    EXPECT_EQ(hive.Find(u"A\\B\\Bad"), nullptr);
    EXPECT_EQ(hive.Problems(),
              (std::vector<std::string>{"x.reg:10: bad dword data",
                                        "x.reg:11: malformed key line: bad escape \"\\q\"",
                                        "x.reg:17: key path deeper than 512 keys"}));
    EXPECT_EQ(hive.Problems(), lines.Problems());
    EXPECT_EQ(hive.Serialize(true), lines.Serialize(true));
    EXPECT_EQ(hive.Find(u"Deep")->Subkeys().size(), 0u);
    EXPECT_NE(hive.Serialize(false).find("\n[Huge] "), std::string::npos);
}

TEST(WineHiveFormat, KeyPathsDeeperThanWindowsAllowsAreRefused) {
    // Such a path would make a tree too deep for the code that walks it.
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += i ? "\\\\a" : "a";
    WineHive hive;
    hive.Parse("WINE REGISTRY Version 2\n[Before] 1\n[" + deep + "] 1\n\"x\"=\"y\"\n[After] 1\n",
               "x.reg");
    ASSERT_EQ(hive.Problems().size(), 1u);
    EXPECT_EQ(hive.Problems()[0], "x.reg:3: key path deeper than 512 keys");
    EXPECT_NE(hive.Find(u"Before"), nullptr);
    EXPECT_NE(hive.Find(u"After"), nullptr);
    EXPECT_EQ(hive.Find(u"a"), nullptr);
}

TEST(WineHiveFormat, DamagedTextNeverBreaksTheReader) {
    // Cut and flipped copies of a good file: every one loads something, the
    // same problems as read line by line, and what it wrote back reads again
    // as the same tree.
    std::string good = kWineText;
    uint32_t seed = 12345;
    auto next = [&seed]() { return seed = seed * 1103515245u + 12345u; };
    const char kNasty[] = "\\\"[]\n,:x0(";
    for (int round = 0; round < 2000; ++round) {
        std::string text = good.substr(0, next() % (good.size() + 1));
        for (int flips = next() % 4; flips > 0 && !text.empty(); --flips)
            text[next() % text.size()] = kNasty[next() % (sizeof kNasty - 1)];
        WineHive hive, lines;
        std::vector<std::string> problems;
        hive.Parse(text, "x.reg", &problems);
        lines.ParseLineByLine(text, "x.reg");
        ASSERT_EQ(lines.Problems(), problems) << text;
        std::string written = hive.Serialize(false);
        WineHive again;
        std::vector<std::string> againProblems;
        again.Parse(written, "x.reg", &againProblems);
        if (!problems.empty()) continue;
        ASSERT_TRUE(againProblems.empty()) << text << "\n----\n" << written;
        ASSERT_EQ(again.Serialize(false), written) << text;
    }
}

}  // namespace
}  // namespace tolvane
