#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "platform/machine.h"
#include "platform/registry.h"
#include "platform/testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::TempPrefix;

// Runs the program; *out gets its standard output. Returns the exit status.
int RunTolvane(const std::string& arguments, std::string* out) {
    std::string command = std::string(TOLVANE_PROGRAM) + " " + arguments + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    size_t n;
    out->clear();
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out->append(buffer, n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadHost(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(HeadlessScan, InstallsTheDatabaseScansAndPrintsRowsCountersAndLog) {
    TempPrefix prefix;
    {
        auto machine = prefix.Open();
        RegKey key;
        ASSERT_EQ(machine->registry().CreateKey(Registry::Root(RootKey::LocalMachine),
                                                "Software\\Gossamer", KEY_ALL_ACCESS, &key),
                  ERROR_SUCCESS);
    }
    const std::string machineArg = "--headless --machine '" + prefix.path() + "'";
    std::string out;
    ASSERT_EQ(RunTolvane(machineArg + " --json scan registry", &out), 0);
    nlohmann::json doc = nlohmann::json::parse(out);
    ASSERT_EQ(doc["rows"].size(), 1u) << out;
    EXPECT_EQ(doc["rows"][0]["vendor"], "Gossamer Tracker");
    EXPECT_EQ(doc["rows"][0]["type"], "Registry Key");
    EXPECT_EQ(doc["rows"][0]["object"], "Software\\Gossamer");
    EXPECT_EQ(doc["counters"]["registryKeysRecognised"], 1);
    EXPECT_EQ(doc["counters"].size(), 9u);
    std::string log = ReadHost(doc["logHostPath"].get<std::string>());
    EXPECT_EQ(log.rfind("Starting Scanning (REgistry Scan Mode)\n1) Gossamer Tracker\n", 0), 0u);
    EXPECT_TRUE(std::filesystem::exists(prefix.Host("drive_c/Program Files/Tolvane/database.db")));

    ASSERT_EQ(RunTolvane(machineArg + " scan registry", &out), 0);
    EXPECT_EQ(out.rfind("Gossamer Tracker\tRegistry Key\tSpyware\tSoftware\\Gossamer\tMedium\n", 0),
              0u)
        << out;
    EXPECT_NE(out.find("\nregistryKeysRecognised: 1\n"), std::string::npos);
    EXPECT_NE(out.find("\nLog: C:\\Program Files\\Tolvane\\Logs\\TolvaneLog "), std::string::npos);

    // An installed database is never replaced, not even a damaged one.
    std::ofstream(prefix.Host("drive_c/Program Files/Tolvane/database.db")) << "damaged";
    EXPECT_EQ(RunTolvane(machineArg + " scan registry", &out), 1);
    EXPECT_EQ(ReadHost(prefix.Host("drive_c/Program Files/Tolvane/database.db")), "damaged");

    EXPECT_EQ(RunTolvane(machineArg + " scan everything", &out), 2);
}

}  // namespace
}  // namespace tolvane
