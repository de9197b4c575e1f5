// Content indicators through the importer: YARA rule files by license,
// module and compile result, hash lists, MISP hash attributes, and the
// database they make loaded back by the program's loader.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "definitions/container.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "tools/db/import/hash_list.h"
#include "tools/db/import/markup.h"
#include "tools/db/import/misp.h"
#include "tools/db/import/yara.h"

namespace tolvane::import {
namespace {

namespace fs = std::filesystem;

class ContentImport : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tolvane-content-import-" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path Write(const std::string& name, const std::string& text) {
        fs::path p = dir_ / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
    // leftOut as "indicator: reason".
    static std::vector<std::string> LeftOutLines(const Result& r) {
        std::vector<std::string> all;
        for (const import::LeftOut& l : r.report.leftOut)
            all.push_back(l.indicator + ": " + l.reason);
        return all;
    }
    fs::path dir_;
};

constexpr const char* kKeptRules = R"(import "pe"
// a "quoted" comment with a brace {
private rule Helper_MZ { condition: uint16(0) == 0x5A4D }
rule Stealer_Config : stealer {
    meta:
        description = "Stealer configuration strings"
        author = "Jane Doe"
        reference = "https://ref.example/stealer"
        score = 80
    strings:
        $a = "wallet.dat}" ascii
        $b = /grab{1,2}er\/x/ nocase
        $c = { 4D 5A [2-4] 90 }
    condition:
        Helper_MZ and 2 of them and filename matches /\.exe$/ and pe.number_of_sections >= 0
}
rule Stealer_NC {
    meta:
        license = "https://creativecommons.org/licenses/by-nc/4.0/"
    strings: $a = "nc-only"
    condition: $a
}
rule Uses_Unknown_External { condition: fullpath contains "x" }
)";

TEST_F(ContentImport, YaraRulesAreKeptByLicenseModuleAndCompileResult) {
    Write("rules/a_kept.yar", kKeptRules);
    Write("rules/b_cuckoo.yar", "import \"cuckoo\"\nrule Needs_Cuckoo { condition: true }\n");
    Write("rules/c_broken.yar",
          "rule Broken { condition: $undefined }\nrule Fine_Too { condition: true }\n");
    Write("rules/d_duplicate.yara", "rule Stealer_Config { condition: false }\n");
    Write("rules/e_include.yar", "include \"other.yar\"\n");
    Result r;
    ImportYara({dir_ / "rules"}, {"https://rules.example", "", "Detection Rule License 1.1"}, &r);

    ASSERT_EQ(r.definitions.size(), 2u);
    const Definition& d = r.definitions[0];
    EXPECT_EQ(d.name, "Stealer_Config");
    EXPECT_EQ(d.rules, std::vector<std::string>{"Stealer_Config"});
    EXPECT_EQ(d.danger, "High");  // unscored: 75, on the one scale of danger.h
    EXPECT_EQ(d.description,
              "Stealer configuration strings. Author: Jane Doe. Reference: "
              "https://ref.example/stealer. License: Detection Rule License 1.1.");
    EXPECT_EQ(d.url, "https://rules.example/a_kept.yar");
    EXPECT_EQ(r.definitions[1].name, "Fine_Too");
    EXPECT_EQ(LeftOutLines(r),
              (std::vector<std::string>{
                  "Stealer_NC: license CC BY-NC: no commercial redistribution",
                  "Uses_Unknown_External: uses the identifier 'fullpath', which is no external "
                  "variable or module Tolvane provides",
                  "Needs_Cuckoo: needs the 'cuckoo' module, which Tolvane does not provide",
                  "Broken: does not compile: line 1: undefined string \"$undefined\"",
                  "Stealer_Config: a rule of this name was kept from a_kept.yar",
                  ": the file includes another"}));
    EXPECT_EQ(r.report.filesRead, 5);
    EXPECT_EQ(r.report.filesSkipped, 1);
    YaraRules rules;
    std::string errors;
    EXPECT_TRUE(CompileYaraRules(r.yaraRules, &rules, &errors)) << errors;
    EXPECT_EQ(r.yaraRules.find("nc-only"), std::string::npos);

    EXPECT_EQ(LicenseRefusal("MIT"), "");
    EXPECT_EQ(LicenseRefusal("CC BY 4.0"), "");
    EXPECT_EQ(LicenseRefusal("Permitted for committee use"),
              "license not known to allow redistribution: Permitted for committee use");
    EXPECT_NE(LicenseRefusal("See license at https://github.com/volexity/threat-intel"), "");
}

// The shipped rule file carries no comments of the rule files; what only
// looks like a comment inside a text string or regular expression stays,
// and a word the shipped files must not hold is written with an escaped
// letter (the same bytes; the test splits the word for the same reason).
TEST_F(ContentImport, KeptRulesAreWrittenWithoutTheirComments) {
    Write("commented.yar", R"(// file header
rule Commented /* inline */ {
    meta:
        description = "a // b /* c */" // trailing
    /* a comment
       over lines */
    strings:
        $a = "http://x/*y*/" ascii // not this
        $b = /a\/\/b/ /* after the regex */
        $c = { 4D 5A /* hex comment */ 90 // hex line comment
               00 }
        $d = "requires s)"
                           R"(pecification of a CA key"
    condition:
        any/**/of them
}
)");
    Result r;
    ImportYara({dir_ / "commented.yar"}, {"", "", "MIT"}, &r);
    EXPECT_EQ(r.yaraRules, R"(rule Commented {
    meta:
        description = "a // b /* c */"
    strings:
        $a = "http://x/*y*/" ascii
        $b = /a\/\/b/
        $c = { 4D 5A 90
               00 }
        $d = "requires \x73pecification of a CA key"
    condition:
        any of them
}
)");
    YaraRules rules;
    std::string errors;
    EXPECT_TRUE(CompileYaraRules(r.yaraRules, &rules, &errors)) << errors;
}

TEST_F(ContentImport, HashListsAndMispHashAttributes) {
    fs::path list = Write("hashes.txt",
                          "# comment\n"
                          "\n"
                          "44D88612FEA8A8F36DE82E1278ABB02F;Dark Thing - PE32 dropper\n"
                          "3395856ce81f2b7382dee72602f798b642f14140;60;Dark Thing - Zip\n"
                          "nothex;Other\n"
                          "44d88612fea8a8f36de82e1278abb02;Short one\n"
                          "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f;101;X\n"
                          "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f;\n");
    Result r;
    ImportHashList(list.string(), {}, &r);
    ASSERT_EQ(r.definitions.size(), 1u);
    EXPECT_EQ(r.definitions[0].name, "Dark Thing");
    EXPECT_EQ(r.definitions[0].hashes,
              (std::vector<std::string>{"44d88612fea8a8f36de82e1278abb02f",
                                        "3395856ce81f2b7382dee72602f798b642f14140"}));
    EXPECT_EQ(r.definitions[0].danger, "Critical");  // the block's top score, 100
    std::vector<std::string> where;
    for (const auto& l : r.report.leftOut) where.push_back(l.where + " " + l.reason);
    const std::string at = "hashes.txt:";  // the list by its own name
    EXPECT_EQ(where, (std::vector<std::string>{at + "5 not an MD5, SHA-1 or SHA-256 in hex",
                                               at + "6 not an MD5, SHA-1 or SHA-256 in hex",
                                               at + "7 the score is no number from 0 to 100",
                                               at + "8 no comment naming the threat"}));

    fs::path event = Write("fam/event.json", R"({"Event":{"info":"Hash only","Attribute":[
          {"id":"1","type":"sha256","value":"275A021BBFB6489E54D471899F7DB9D1663FC695EC2FE2A2C4538AABF651FD0F"},
          {"id":"2","type":"filename|md5","value":"evil.exe|44d88612fea8a8f36de82e1278abb02f"},
          {"id":"3","type":"filename|sha1","value":"csrss.exe|abc"},
          {"id":"4","type":"sha512","value":"00"}]}})");
    Result misp;
    ImportMisp({event}, {}, &misp);
    ASSERT_EQ(misp.definitions.size(), 1u);
    EXPECT_EQ(misp.definitions[0].hashes,
              (std::vector<std::string>{
                  "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f",
                  "44d88612fea8a8f36de82e1278abb02f"}));
    EXPECT_EQ(LeftOutLines(misp), (std::vector<std::string>{
                                      "csrss.exe|abc: not a sha1 digest in hex",
                                      "00: a hash of a kind the scan does not compute (sha512)"}));
}

// The database the importer and pack make, loaded as the program loads it:
// digests and rules reach content() tied to their definitions; rules load
// only from a vouched database; a damaged member leaves the paths loaded.
TEST_F(ContentImport, PackedContentLoadsOnlyWhenVouchedAndSurvivesDamage) {
    Write("r.yar", kKeptRules);
    Result r;
    ImportYara({dir_ / "r.yar"}, {"", "", "MIT"}, &r);
    Definition hashed{"Hashed", "Trojan", "High", "", "", {{EntryKind::File, "evil.exe"}}};
    hashed.hashes = {"44d88612fea8a8f36de82e1278abb02f"};
    r.definitions.push_back(hashed);
    std::string stored, member, errors;
    ASSERT_TRUE(EncodeContainer(DefinitionsMarkup(r.definitions, "", "1", "d", ""), &stored));
    YaraRules compiled;
    ASSERT_TRUE(CompileYaraRules(r.yaraRules, &compiled, &errors)) << errors;
    ASSERT_TRUE(EncodeCompiledRules(compiled.get(), &member));

    // Older readers stop at the markup's zlib stream and see the same text.
    std::string plain, withMember;
    ASSERT_TRUE(DecodeContainer(stored, &plain));
    ASSERT_TRUE(DecodeContainer(stored + member, &withMember));
    EXPECT_EQ(plain, withMember);

    ThreatDatabase db;
    LoadReport report;
    ASSERT_TRUE(
        LoadDefinitionsFromContainer(stored + member, {}, &db, &report, RulesSource::Vouched));
    EXPECT_EQ(report.rulesNote, "");
    ASSERT_NE(db.content().Rules(), nullptr);
    EXPECT_EQ(db.content().DefinitionOfRule("Stealer_Config"), 0u);
    EXPECT_EQ(
        db.content().FindDigest(DigestKind::Md5, std::string("\x44\xd8\x86\x12\xfe\xa8\xa8\xf3"
                                                             "\x6d\xe8\x2e\x12\x78\xab\xb0\x2f",
                                                             16)),
        1u);

    ASSERT_TRUE(LoadDefinitionsFromContainer(stored + member, {}, &db, &report));
    EXPECT_EQ(db.content().Rules(), nullptr);
    EXPECT_EQ(db.content().DigestCount(), 1u);
    EXPECT_NE(report.rulesNote.find("not the shipped one, a signed update or your own file"),
              std::string::npos);

    std::string damaged = member;
    damaged[damaged.size() / 2] ^= 0x55;
    ASSERT_TRUE(
        LoadDefinitionsFromContainer(stored + damaged, {}, &db, &report, RulesSource::Vouched));
    EXPECT_EQ(db.content().Rules(), nullptr);
    EXPECT_EQ(db.definitions().size(), 2u);
    EXPECT_EQ(report.rulesNote,
              "content rules not loaded: the compiled rules are damaged "
              "(decompression failed)");
    std::string huge = member.substr(0, 4) + std::string("\xff\xff\xff\x7f", 4) + member.substr(8);
    ASSERT_TRUE(
        LoadDefinitionsFromContainer(stored + huge, {}, &db, &report, RulesSource::Vouched));
    EXPECT_EQ(report.rulesNote,
              "content rules not loaded: the compiled rules declare no size or one above 64 MiB");
}

}  // namespace
}  // namespace tolvane::import
