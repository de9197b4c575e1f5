// tolvane-db as its users run it: the shipped database dumped as JSON, the
// exit codes, and lookups against a temporary prefix.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "testing/as_nobody.h"
#include "testing/run_command.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::ReadHostFile;

struct Result {
    int exitCode = -1;
    std::string out;
};

using testing::ShellQuote;

Result RunTool(const std::vector<std::string>& args) {
    std::string command = ShellQuote(TOLVANE_DB_TOOL);
    for (const std::string& arg : args) command += " " + ShellQuote(arg);
    Result result;
    result.exitCode = testing::RunCommand(command + " 2>/dev/null", &result.out);
    return result;
}

// Standard error too, for the messages.
Result RunToolWithErrors(const std::vector<std::string>& args) {
    std::string command = ShellQuote(TOLVANE_DB_TOOL);
    for (const std::string& arg : args) command += " " + ShellQuote(arg);
    Result result;
    result.exitCode = testing::RunCommand(command + " 2>&1", &result.out);
    return result;
}

const std::string kDatabase = std::string(TOLVANE_BUILD_ROOT) + "/data/database.db";
const std::string kMarkup = std::string(TOLVANE_SOURCE_ROOT) + "/data/definitions.xml";

TEST(TolvaneDb, DumpJsonListsEveryDefinitionInDocumentOrder) {
    // The names as the markup file writes them, found without our parser.
    std::string markup = ReadHostFile(kMarkup);
    std::vector<std::string> names;
    std::regex sw("<SW NAME=\"([^\"]*)\"");
    // Names from hash-list comments hold '<', '>' and '&', written as entities.
    const std::pair<std::string, std::string> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (std::sregex_iterator it(markup.begin(), markup.end(), sw), end; it != end; ++it) {
        std::string name = (*it)[1];
        for (const auto& [entity, text] : entities)
            for (size_t at = name.find(entity); at != std::string::npos;
                 at = name.find(entity, at + text.size()))
                name.replace(at, entity.size(), text);
        names.push_back(name);
    }
    ASSERT_GE(names.size(), 25u);

    Result r = RunTool({"dump", kDatabase, "--json"});
    ASSERT_EQ(r.exitCode, 0);
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(r.out);
    EXPECT_EQ(j["version"], "1.0.12");
    EXPECT_EQ(j["date"], "2026-12-01");
    ASSERT_EQ(j["definitions"].size(), names.size());
    const std::vector<std::string> fields = {
        "name",        "description",     "category",     "url",
        "directories", "files",           "registryKeys", "registryValues",
        "hostEntries", "fileExpressions", "found",        "danger"};
    size_t registryEntries = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const auto& d = j["definitions"][i];
        EXPECT_EQ(d["name"], names[i]);
        std::vector<std::string> keys;
        for (auto it = d.begin(); it != d.end(); ++it) keys.push_back(it.key());
        EXPECT_EQ(keys, fields) << names[i];
        EXPECT_EQ(d["found"], false);
        registryEntries += d["registryKeys"].size() + d["registryValues"].size();
    }
    EXPECT_EQ(j["registryEntryCount"], registryEntries);

    const auto& drifter = j["definitions"][2];
    EXPECT_EQ(drifter["name"], "StartPage Drifter");
    EXPECT_EQ(drifter["registryValues"][0]["keyPath"],
              "Software\\Microsoft\\Internet Explorer\\Main");
    EXPECT_EQ(drifter["registryValues"][0]["valueName"], "Start Page");
    EXPECT_EQ(drifter["registryValues"][0]["dataPattern"], "drifter-search.example");
    EXPECT_EQ(drifter["hostEntries"][0]["host"], "www.drifter-search.example");
    EXPECT_EQ(j["definitions"][5]["description"], "No description available");
    // Without a machine the placeholders stay as written.
    EXPECT_EQ(j["definitions"][0]["files"][1]["path"], "%system%\\vgzhook.dll");
    EXPECT_EQ(j["definitions"][0]["files"][1]["size"], 24576);
}

// Path expressions and entries with conditions: shown by dump, and tried
// by match as the scan tries them.
TEST(TolvaneDb, DumpAndMatchShowExpressionsAndConditions) {
    testing::TempPrefix scratch;
    std::ofstream(scratch.Host("x.xml"))
        << "<NA VERSION=\"1\" DATE=\"d\"><SW NAME=\"Dropper\"><CATEGORY NAME=\"Trojan\"/>"
           "<EXPRESSIONS><EXPRESSION FOR=\"file\" MATCH=\"\\\\dl_[0-9]{2}\\.exe$\" "
           "EXCEPT=\"\\\\temp\\\\\"/><EXPRESSION FOR=\"regvalue\" "
           "MATCH=\"^Software\\\\Run\\\\ntkd[0-9]+$\"/></EXPRESSIONS>"
           "<CONDITIONAL><FILE NAME=\"a.dll\"><ANY><IF HOW=\"contains\" TEXT=\"\\x\\\"/>"
           "<IF HOW=\"contains\" TEXT=\"\\y\\\"/></ANY><UNLESS><IF HOW=\"startswith\" "
           "TEXT=\"C:\\ok\"/></UNLESS></FILE></CONDITIONAL></SW></NA>";
    ASSERT_EQ(RunTool({"pack", scratch.Host("x.xml"), scratch.Host("x.db")}).exitCode, 0);
    Result r = RunTool({"dump", scratch.Host("x.db"), "--json"});
    ASSERT_EQ(r.exitCode, 0);
    const auto d = nlohmann::ordered_json::parse(r.out)["definitions"][0];
    EXPECT_EQ(d["fileExpressions"],
              nlohmann::ordered_json::parse(
                  R"([{"expression":"\\\\dl_[0-9]{2}\\.exe$","exclusion":"\\\\temp\\\\"}])"));
    EXPECT_EQ(d["registryValues"][0]["byExpression"], true);
    EXPECT_EQ(d["files"][0]["anywhere"], true);
    EXPECT_EQ(d["files"][0]["conditions"], nlohmann::ordered_json::parse(R"({"all":[[
                  {"on":"path","how":"contains","text":"\\x\\"},
                  {"on":"path","how":"contains","text":"\\y\\"}]],
                  "unless":[[[{"on":"path","how":"startswith","text":"C:\\ok"}]]]})"));
    r = RunTool({"dump", scratch.Host("x.db")});
    EXPECT_NE(r.out.find("EXPRESSION \\\\dl_[0-9]{2}\\.exe$ except \\\\temp\\\\\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("FILE a.dll anywhere if any(path contains \"\\x\\\" | path contains "
                         "\"\\y\\\") unless path startswith \"C:\\ok\"\n"),
              std::string::npos)
        << r.out;

    const std::string expression = "\\\\dl_[0-9]{2}\\.exe$";
    EXPECT_EQ(RunTool({"match", "--expression", expression, "C:\\a\\DL_12.exe"}).out, "true\n");
    EXPECT_EQ(RunTool({"match", "--expression", expression, "--except", "\\\\temp\\\\",
                       "C:\\temp\\dl_12.exe"})
                  .out,
              "false\n");
    EXPECT_EQ(RunTool({"match", "--expression", "(", "x"}).exitCode, 1);
    const std::string onData =
        "<IF ON=\"data\" HOW=\"endswith\" TEXT=\".exe\"/><UNLESS><IF HOW=\"startswith\" "
        "TEXT=\"\\Software\\ok\"/></UNLESS>";
    EXPECT_EQ(RunTool({"match", "--conditions", onData, "\\Software\\Run\\a", "C:\\X.EXE"}).out,
              "true\n");
    EXPECT_EQ(RunTool({"match", "--conditions", onData, "\\Software\\ok\\a", "C:\\X.EXE"}).out,
              "false\n");
    EXPECT_EQ(RunTool({"match", "--conditions", onData, "\\Software\\Run\\a", "C:\\x.dll"}).out,
              "false\n");
    // A condition the program does not know drops the entry: no answer.
    EXPECT_EQ(RunTool({"match", "--conditions", "<IF HOW=\"sparkles\" TEXT=\"x\"/>", "a"}).exitCode,
              1);
}

TEST(TolvaneDb, PackUnpackRoundTripAndFailures) {
    testing::TempPrefix scratch;  // a fresh folder to write into
    const std::string db = scratch.Host("copy.db");
    const std::string xml = scratch.Host("copy.xml");
    EXPECT_EQ(RunTool({"pack", kMarkup, db}).exitCode, 0);
    EXPECT_EQ(RunTool({"unpack", db, xml}).exitCode, 0);
    EXPECT_EQ(ReadHostFile(xml), ReadHostFile(kMarkup));
    EXPECT_EQ(RunTool({"unpack", db}).out, ReadHostFile(kMarkup));

    std::ofstream(scratch.Host("big.xml")) << std::string(5242881, ' ');
    EXPECT_EQ(RunTool({"pack", scratch.Host("big.xml"), scratch.Host("big.db")}).exitCode, 1);
    std::ofstream(scratch.Host("bad.xml")) << "<NA><SW></NA>";
    EXPECT_EQ(RunTool({"pack", scratch.Host("bad.xml"), scratch.Host("bad.db")}).exitCode, 0);
    EXPECT_EQ(RunTool({"dump", scratch.Host("bad.db")}).exitCode, 1);
    EXPECT_EQ(RunTool({"dump", scratch.Host("missing.db")}).exitCode, 1);
    EXPECT_EQ(RunTool({"unpack", xml}).exitCode, 1);  // markup is no container
}

TEST(TolvaneDb, UsageAndHelp) {
    EXPECT_EQ(RunTool({}).exitCode, 2);
    EXPECT_EQ(RunTool({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(RunTool({"pack", "only-one"}).exitCode, 2);
    EXPECT_EQ(RunTool({"dump", kDatabase, "--bogus"}).exitCode, 2);
    EXPECT_EQ(RunTool({"lookup", kDatabase, "--file", "C:\\x"}).exitCode, 2);  // no machine
    for (const char* command :
         {"pack", "unpack", "dump", "match", "lookup", "keygen", "sign", "verify"}) {
        Result r = RunTool({command, "--help"});
        EXPECT_EQ(r.exitCode, 0) << command;
        EXPECT_NE(r.out.find(std::string("tolvane-db ") + command), std::string::npos);
    }
    EXPECT_EQ(RunTool({"--help"}).exitCode, 0);
}

TEST(TolvaneDb, KeygenSignVerify) {
    testing::TempPrefix scratch;
    const std::string key = scratch.Host("private.pem"), pub = scratch.Host("public.pem");
    const std::string description = scratch.Host("update.txt");
    ASSERT_EQ(RunTool({"keygen", key, pub}).exitCode, 0);
    struct stat info {};
    ASSERT_EQ(stat(key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::string privateKey = ReadHostFile(key);
    EXPECT_EQ(RunTool({"keygen", key, scratch.Host("other.pem")}).exitCode, 1);
    EXPECT_EQ(ReadHostFile(key), privateKey);  // never overwritten

    std::ofstream(description, std::ios::binary) << "tolvane-update 1\nversion: 16\n";
    ASSERT_EQ(RunTool({"sign", key, description}).exitCode, 0);
    EXPECT_EQ(RunTool({"verify", description, "--key", pub}).out.substr(0, 5), "valid");
    EXPECT_EQ(RunTool({"verify", description}).exitCode, 1);  // not a key of the program
    // A second key's signature added: both verify.
    const std::string key2 = scratch.Host("p2.pem"), pub2 = scratch.Host("q2.pem");
    ASSERT_EQ(RunTool({"keygen", key2, pub2}).exitCode, 0);
    ASSERT_EQ(RunTool({"sign", key2, description, "--append"}).exitCode, 0);
    EXPECT_EQ(RunTool({"verify", description, "--key", pub}).exitCode, 0);
    EXPECT_EQ(RunTool({"verify", description, "--key", pub2}).exitCode, 0);
    // One byte more and neither does.
    std::ofstream(description, std::ios::binary | std::ios::app) << " ";
    EXPECT_EQ(RunTool({"verify", description, "--key", pub}).exitCode, 1);
    EXPECT_EQ(RunTool({"sign", pub, description}).exitCode, 1);  // a public key cannot sign
}

TEST(TolvaneDb, MatchAndLookup) {
    EXPECT_EQ(RunTool({"match", "c:\\windows\\*.exe", "C:/WINDOWS/X.EXE"}).out, "true\n");
    EXPECT_EQ(RunTool({"match", "c:\\windows\\*.exe", "C:\\windows\\a\\x.exe"}).out, "false\n");

    testing::TempPrefix prefix;
    prefix.WriteFile("C:\\windows\\system32\\vgzhook.dll", std::string(24576, 'v'));
    prefix.MakeFolder("C:\\Program Files\\Velvet Gazer");
    auto lookup = [&](const char* kind, const char* path) {
        return RunTool({"lookup", kDatabase, "--machine", prefix.path(), kind, path});
    };
    Result r = lookup("--file", "C:\\windows\\system32\\vgzhook.dll");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Velvet Gazer\n");
    EXPECT_EQ(lookup("--file", "C:\\windows\\system32\\other.dll").out, "none\n");
    EXPECT_EQ(lookup("--folder", "C:\\Program Files\\Velvet Gazer").out, "Velvet Gazer\n");
    EXPECT_EQ(lookup("--folder", "C:\\Program Files\\Hollow Compass").out, "none\n");  // absent

    Result dump = RunTool({"dump", kDatabase, "--machine", prefix.path(), "--json"});
    ASSERT_EQ(dump.exitCode, 0);
    auto j = nlohmann::json::parse(dump.out);
    EXPECT_EQ(j["definitions"][0]["files"][1]["path"], "C:\\windows\\system32\\vgzhook.dll");
    EXPECT_EQ(RunTool({"dump", kDatabase, "--machine", prefix.Host("no-such-prefix")}).exitCode, 1);
}

// Run as root on nobody's prefix, lookup and dump read it with nobody's
// rights: a file in a folder only root may enter is not seen, while the
// database, root's own, is still read.
TEST(TolvaneDb, MachineCommandsReadAsTheMachinesOwner) {
    SKIP_UNLESS_ROOT();
    testing::TempPrefix prefix;
    prefix.WriteFile("C:\\windows\\system32\\vgzhook.dll", std::string(24576, 'v'));
    testing::GiveToNobody(prefix.path());
    const std::string rootOnly = prefix.Host("drive_c/windows/system32");
    ASSERT_EQ(chown(rootOnly.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(rootOnly.c_str(), 0700), 0);
    Result r = RunTool({"lookup", kDatabase, "--machine", prefix.path(), "--file",
                        "C:\\windows\\system32\\vgzhook.dll"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "none\n");
    EXPECT_EQ(RunTool({"dump", kDatabase, "--machine", prefix.path(), "--json"}).exitCode, 0);
}

// Every file tolvane-db reads given as a pipe (no writer: reading it would
// wait for ever), as /dev/zero (endless), as a folder or as a sparse file
// above the cap: each is refused with a message naming it, nothing waits,
// and nothing reads without end.
TEST(TolvaneDb, InputsThatAreNoPlainFilesAreRefusedWithAMessage) {
    testing::TempFolder folderOfTest;
    auto at = [&](const char* name) { return (folderOfTest.path() / name).string(); };
    const std::string fifo = at("pipe"), folder = at("folder"), huge = at("huge"),
                      file = at("file.txt"), out = at("out");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    { std::ofstream(huge, std::ios::binary); }
    ASSERT_EQ(truncate(huge.c_str(), off_t{300} << 20), 0);
    std::ofstream(file, std::ios::binary) << "x";
    const std::string key = at("k.pem"), pub = at("q.pem");
    ASSERT_EQ(RunTool({"keygen", key, pub}).exitCode, 0);
    int tried = 0;
    for (const std::string& bad : {fifo, std::string("/dev/zero"), folder, huge}) {
        const std::vector<std::vector<std::string>> commands = {
            {"import", "--misp", bad, "-o", out},
            {"import", "--filename-iocs", bad, "-o", out},
            {"import", "--misp", file, "--include", bad, "-o", out},
            {"import", "--misp", file, "--clean", bad, "-o", out},
            {"verify", file, "--key", bad},
            {"sign", bad, file},
            {"sign", key, bad},
            {"pack", bad, out},
            {"unpack", bad},
            {"dump", bad},
            {"dump", "--scripts", bad},
        };
        for (const auto& command : commands) {
            Result r = RunToolWithErrors(command);
            ++tried;
            EXPECT_NE(r.out.find(bad + ": "), std::string::npos) << command[0] << ": " << r.out;
            EXPECT_TRUE(r.out.find("it is not a plain file") != std::string::npos ||
                        r.out.find("it is larger than ") != std::string::npos)
                << command[0] << " " << bad << ": " << r.out;
            // A source that cannot be read is skipped and reported; the others fail.
            if (command[1] != "--misp" && command[1] != "--filename-iocs") {
                EXPECT_EQ(r.exitCode, 1) << command[0] << " " << bad;
            }
        }
        // The signature beside the file.
        std::filesystem::remove_all(file + ".sig");
        ASSERT_EQ(symlink(bad.c_str(), (file + ".sig").c_str()), 0);
        Result r = RunToolWithErrors({"verify", file, "--key", pub});
        ++tried;
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.out.find("the signature is missing: cannot read " + file + ".sig: it is"),
                  std::string::npos)
            << r.out;
    }
    EXPECT_EQ(tried, 48);
}

// A file beside the signed one that is not a signature file is kept as it
// stands: --append adds to a signature file, it never replaces another.
TEST(TolvaneDb, SignAppendRefusesAFileThatIsNoSignatureFile) {
    testing::TempFolder folderOfTest;
    auto at = [&](const char* name) { return (folderOfTest.path() / name).string(); };
    const std::string key = at("k.pem"), pub = at("q.pem"), file = at("update.txt");
    ASSERT_EQ(RunTool({"keygen", key, pub}).exitCode, 0);
    std::ofstream(file, std::ios::binary) << "tolvane-update 1\nversion: 16\n";
    std::ofstream(file + ".sig", std::ios::binary) << "my notes, not a signature\n";
    Result r = RunToolWithErrors({"sign", key, file, "--append"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find(file + ".sig is not a signature file"), std::string::npos) << r.out;
    EXPECT_EQ(ReadHostFile(file + ".sig"), "my notes, not a signature\n");
}

// The build packs the kept YARA rules compiled: the shipped database loads
// them with libyara's loader alone (the definitions library holds no
// compiler call), beside the digests.
TEST(TolvaneDb, ShippedDatabaseCarriesItsRulesCompiled) {
    std::string stored = ReadHostFile(kDatabase);
    ThreatDatabase db;
    LoadReport report;
    ASSERT_TRUE(LoadDefinitionsFromContainer(stored, {}, &db, &report, RulesSource::Vouched));
    EXPECT_EQ(report.rulesNote, "");
    ASSERT_NE(db.content().Rules(), nullptr);
    EXPECT_GT(db.content().RuleCount(), 1000u);
    EXPECT_GT(db.content().DigestCount(), 3000u);
    std::printf("shipped: %zu rules, %zu digests, %zu bytes\n", db.content().RuleCount(),
                db.content().DigestCount(), stored.size());
}

}  // namespace
}  // namespace tolvane
