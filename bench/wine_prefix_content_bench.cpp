// A fresh `wine wineboot -i` prefix's Drives & Folders scan of C: with the
// content check on (every file, digests and a few YARA rules): the time, the
// files and bytes read, and the share of the bytes passed over as Wine's own
// (the same bytes as the runner's copy: machine/wine/runner_files.h).
// The prefix is made once in /tmp/tolvane-bench-wine and kept, or taken from
// $TOLVANE_BENCH_WINE_PREFIX. Without Wine it says so and ends.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unordered_map>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "definitions/yara_compiler.h"
#include "discovery/open_machine.h"
#include "machine/machine.h"
#include "scan/scan_engine.h"
#include "settings/settings_store.h"
#include "testing/run_command.h"

namespace tolvane::bench {
namespace {

namespace fs = std::filesystem;
using testing::ShellQuote;

constexpr char kRules[] =
    "rule bench_stealer { strings: $a = \"tolvane-bench-stealer\" ascii wide condition: $a }\n"
    "rule bench_pe { strings: $b = { 4D 5A 90 00 03 00 00 00 04 00 00 00 FF FF 00 00 B8 00 00 00 "
    "00 00 00 00 40 00 00 00 54 6F 6C 76 } condition: $b at 0 }\n";

std::string Prefix() {
    if (const char* given = std::getenv("TOLVANE_BENCH_WINE_PREFIX")) return given;
    const std::string prefix = "/tmp/tolvane-bench-wine";
    if (fs::exists(prefix + "/system.reg")) return prefix;
    std::string env = "WINEPREFIX=" + ShellQuote(prefix) + " WINEDEBUG=-all ";
    testing::RunCommand(env + "timeout 600 wine wineboot -i >/dev/null 2>&1; " + env +
                        "wineserver -w");
    return fs::exists(prefix + "/system.reg") ? prefix : "";
}

int Main() {
    if (testing::RunCommand("command -v wine >/dev/null") != 0) {
        std::printf("Wine is not installed: nothing measured\n");
        return 0;
    }
    const std::string prefix = Prefix();
    std::string error;
    std::unique_ptr<Machine> machine = prefix.empty() ? nullptr : OpenMachine(prefix, &error);
    if (!machine) {
        std::printf("no prefix made: %s\n", error.c_str());
        return 1;
    }
    ThreatDatabase database;
    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine->shell());
    LoadDefinitionsFromText("<NA><SW NAME=\"Bench\"><CATEGORY NAME=\"Trojan\"/></SW></NA>", folders,
                            &database);
    YaraRules rules;
    if (!CompileYaraRules(kRules, &rules, &error)) {
        std::printf("rules did not compile: %s\n", error.c_str());
        return 1;
    }
    database.content().SetRules(std::move(rules), {{"bench_stealer", 0}, {"bench_pe", 0}});
    database.content().AddDigest(DigestKind::Sha256, std::string(32, '\x01'), 0);

    SettingsStore settings(machine->registry());
    settings.WriteInt(setting::kLastScanMode, static_cast<int32_t>(ScanMode::DrivesAndFolders));
    settings.WriteInt(setting::kScanDrivesNum, 1);
    settings.WriteString(std::string(kDrivesAndFoldersList) + "1", "C:\\");
    ContentLimits limits;
    limits.everyFile = true;
    for (int run = 1; run <= 2; ++run) {
        ScanEngine engine(*machine, database);
        engine.SetContentLimits(limits);
        auto start = std::chrono::steady_clock::now();
        engine.RunScan();
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const ContentCounts& counts = engine.ContentPhaseCounts();
        const uint64_t bytes = counts.bytes.load(), own = counts.platformBytes.load();
        std::printf(
            "run %d (%s): %.2f s, %llu files checked, %.1f MB read, %llu rows; Wine's own: "
            "%llu files, %.1f MB, %.1f%% of the bytes read\n",
            run, run == 1 ? "runner digests computed" : "runner digests known", seconds,
            static_cast<unsigned long long>(counts.checked.load()), bytes / 1048576.0,
            static_cast<unsigned long long>(engine.Results().listedObjects.size()),
            static_cast<unsigned long long>(
                counts.skipped[static_cast<size_t>(ContentSkip::PlatformOwn)].load()),
            own / 1048576.0, bytes ? 100.0 * static_cast<double>(own) / bytes : 0.0);
    }
    return 0;
}

}  // namespace
}  // namespace tolvane::bench

int main() {
    return tolvane::bench::Main();
}
