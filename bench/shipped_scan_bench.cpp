// A Smart Scan with the shipped definitions on a prefix made by
// `wine wineboot -i`, with the registry phase's pause set to 0, against the
// same scan with the demo definitions alone (measured in the same run).
// Prints the time (goal: under 2 s), the ratio, and what the pause costs as
// users run the scan (the default pause against none; goal: at most 0.5 s).
//
//   shipped_scan_bench [PREFIX]
// Without PREFIX a prefix is made in a temporary folder (Wine needed) and
// removed at the end. The scan only reads the prefix.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "discovery/open_machine.h"
#include "machine/machine.h"
#include "scan/scan_engine.h"
#include "settings/settings_store.h"
#include "testing/run_command.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Markup(const char* name) {
    std::ifstream in(std::string(TOLVANE_SOURCE_ROOT) + "/data/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The fastest of `rounds` Smart Scans, in milliseconds, and its counters.
double SmartScan(Machine& machine, ThreatDatabase& db, int rounds, int* scanned,
                 bool defaultPause = false) {
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        ScanEngine engine(machine, db);
        if (!defaultPause) engine.SetRegistryKeyPause(std::chrono::milliseconds(0));
        auto start = Clock::now();
        engine.RunScan();
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        best = std::min(best, ms);
        *scanned = engine.Results().counters.objectsScanned;
        if (!engine.Results().listedObjects.empty())
            std::printf("note: the scan listed %zu objects\n",
                        engine.Results().listedObjects.size());
    }
    return best;
}

int Run(std::string prefix) {
    bool made = false;
    if (prefix.empty()) {
        char pattern[] = "/tmp/tolvane-scan-bench-XXXXXX";
        if (!mkdtemp(pattern)) return std::printf("no temporary folder\n"), 1;
        prefix = pattern;
        made = true;
        std::string out;
        std::string env = "WINEPREFIX=" + testing::ShellQuote(prefix) + " WINEDEBUG=-all ";
        if (testing::RunCommand(
                "timeout 300 sh -c " +
                    testing::ShellQuote(env + "wine wineboot -i; " + env + "wineserver -w") +
                    " >/dev/null 2>&1",
                &out) != 0 ||
            !fs::exists(prefix + "/system.reg")) {
            fs::remove_all(prefix);
            return std::printf("wine wineboot -i failed: Wine is needed (or give a PREFIX)\n"), 1;
        }
    }
    std::string error;
    auto machine = OpenMachine(prefix, &error);
    if (!machine)
        return std::printf("%s is no Wine prefix: %s\n", prefix.c_str(), error.c_str()), 1;
    SettingsStore settings(machine->registry());
    settings.WriteInt(setting::kLastScanMode, static_cast<int>(ScanMode::Smart));
    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine->shell());
    ThreatDatabase shipped, demo;
    if (!LoadDefinitionsFromText(Markup("definitions.xml"), folders, &shipped) ||
        !LoadDefinitionsFromText(Markup("demo_threats.xml"), folders, &demo))
        return std::printf("cannot load data/definitions.xml or data/demo_threats.xml\n"), 1;
    int shippedScanned = 0, demoScanned = 0;
    double demoMs = SmartScan(*machine, demo, 5, &demoScanned);
    double shippedMs = SmartScan(*machine, shipped, 5, &shippedScanned);
    const size_t count = shipped.definitions().size();
    std::printf("smart scan of %s (pause 0):\n", prefix.c_str());
    std::printf("  shipped definitions: %zu, %.1f ms, %d objects scanned (goal < 2000 ms)\n", count,
                shippedMs, shippedScanned);
    std::printf("  demo definitions:    %zu, %.1f ms, %d objects scanned; ratio %.2f\n",
                demo.definitions().size(), demoMs, demoScanned, shippedMs / demoMs);
    int pausedScanned = 0;
    double pausedMs = SmartScan(*machine, shipped, 3, &pausedScanned, true);
    std::printf(
        "  as users run it (default pause): %.1f ms, the pause adds %.1f ms (goal <= 500)\n",
        pausedMs, pausedMs - shippedMs);
    if (made) fs::remove_all(prefix);
    return 0;
}

}  // namespace
}  // namespace tolvane

int main(int argc, char** argv) {
    return tolvane::Run(argc > 1 ? argv[1] : "");
}
