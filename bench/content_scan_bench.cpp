// The content check of a Drives & Folders scan, the engine as the program
// runs it, against references measured in the same run over the same files
// (each pair alternating, the best of three counting, the page cache warm):
//   1. Hashes and YARA rules (every file checked, YARA over every file as
//      yara does) against `yara -C -r -p 1` with the same compiled rules.
//      Goal: within 1.1x. The scan with the default YARA cap is printed.
//      `yara -p 2` is printed beside it: the scan reads on one thread.
//   2. SHA-256 digests only against `sha256sum` of every file. Goal: 1.2x.
//   3. Both against `cat` of every file (the reading floor): printed.
// The generated tree (kept in /tmp/tolvane-bench-content): PE-like files,
// scripts, documents and random data, and one file above the 64 MiB YARA
// cap (two from 1 GB); about 200 MB, or TOLVANE_BENCH_CONTENT_MB megabytes (2048 for the
// full size).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "definitions/yara_compiler.h"
#include "machine/machine.h"
#include "scan/scan_engine.h"
#include "settings/settings_store.h"
#include "testing/run_command.h"
#include "testing/temp_prefix.h"

namespace tolvane::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::ShellQuote;

// Rules shaped like public ones: a few text and hex strings and a condition
// on them, none of which the generated files hold.
std::string Rules(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        char hex[64];
        std::snprintf(hex, sizeof hex, "{ 4D 5A %02X ?? 00 %02X %02X }", i & 255, (i * 7) & 255,
                      (i * 13) & 255);
        text += "rule bench_" + std::to_string(i) + " {\n  strings:\n" +
                "    $a = \"tolvane-bench-marker-" + std::to_string(i) + "\" ascii wide\n" +
                "    $b = \"Stealer" + std::to_string(i * 31) + "Config\" nocase\n" +
                "    $c = " + hex + "\n  condition:\n    uint16(0) == 0x5A4D and 2 of them\n}\n";
    }
    return text;
}

void WriteRandom(const fs::path& path, size_t size, std::mt19937_64& random,
                 std::string_view head = {}) {
    std::string data(size, '\0');
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t word = random();
        std::memcpy(&data[i], &word, 8);
    }
    std::copy(head.begin(), head.end(), data.begin());
    std::ofstream(path, std::ios::binary) << data;
}

void MakeTree(const fs::path& root, uint64_t megabytes) {
    if (fs::exists(root / ".complete")) {
        std::ifstream in(root / ".complete");
        uint64_t made = 0;
        if (in >> made && made == megabytes) return;
    }
    fs::remove_all(root);
    std::mt19937_64 random(42);
    const uint64_t total = megabytes << 20;
    uint64_t written = 0;
    // Files above the cap (one in the default tree, two from 1 GB), then a
    // mix of sizes from 4 KiB to 4 MiB.
    for (int i = 0; i < (megabytes >= 1024 ? 2 : 1) && written + (72u << 20) < total; ++i) {
        fs::create_directories(root / "large");
        WriteRandom(root / "large" / ("disk" + std::to_string(i) + ".bin"), 72u << 20, random);
        written += 72u << 20;
    }
    const char* kinds[] = {".exe", ".ps1", ".pdf", ".bin"};
    for (int n = 0; written < total; ++n) {
        fs::path folder = root / ("d" + std::to_string(n / 200));
        fs::create_directories(folder);
        size_t size = size_t{4096} << (random() % 11);
        const char* kind = kinds[n % 4];
        fs::path file = folder / ("f" + std::to_string(n) + kind);
        if (kind == std::string(".exe")) {
            WriteRandom(file, size, random, std::string_view("MZ\x90\0\x03\0\0\0", 8));
        } else if (kind == std::string(".ps1")) {
            std::string line = "$client = New-Object Net.WebClient; Write-Host 'line'\n";
            std::string text;
            while (text.size() < size) text += line;
            std::ofstream(file) << text;
        } else if (kind == std::string(".pdf")) {
            WriteRandom(file, size, random, "%PDF-1.7\n");
        } else {
            WriteRandom(file, size, random);
        }
        written += size;
    }
    std::ofstream(root / ".complete") << megabytes;
}

double Seconds(const std::function<void()>& step) {
    auto start = Clock::now();
    step();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Shell(const std::string& command) {
    return Seconds([&] {
        std::string out;
        int status = testing::RunCommand(command + " >/dev/null 2>&1", &out);
        if (status != 0) std::printf("(%s ended with %d)\n", command.c_str(), status);
    });
}

// One Drives & Folders scan of D: = the tree with the database's content.
double EngineScan(Machine& machine, ThreatDatabase& database, uint64_t yaraCap, uint64_t* bytes) {
    SettingsStore settings(machine.registry());
    settings.WriteInt(setting::kLastScanMode, static_cast<int32_t>(ScanMode::DrivesAndFolders));
    settings.WriteInt(setting::kScanDrivesNum, 1);
    settings.WriteString(std::string(kDrivesAndFoldersList) + "1", "D:\\");
    ScanEngine engine(machine, database);
    ContentLimits limits;
    limits.everyFile = true;
    limits.yaraCap = yaraCap;
    engine.SetContentLimits(limits);
    double seconds = Seconds([&] { engine.RunScan(); });
    *bytes = engine.ContentPhaseCounts().bytes.load();
    return seconds;
}

void Report(const char* what, double ours, const char* other, double theirs, double goal) {
    std::printf("%s: tolvane %.3f s, %s %.3f s, ratio %.2f", what, ours, other, theirs,
                ours / theirs);
    if (goal > 0) std::printf(" (goal <= %.1f)", goal);
    std::printf("\n");
    std::fflush(stdout);
}

int Main() {
    const char* sizeText = std::getenv("TOLVANE_BENCH_CONTENT_MB");
    const uint64_t megabytes = sizeText ? std::strtoull(sizeText, nullptr, 10) : 200;
    const fs::path tree = "/tmp/tolvane-bench-content";
    MakeTree(tree, megabytes);
    const std::string files = "find " + ShellQuote(tree.string()) + " -type f -print0 | xargs -0 ";

    testing::TempPrefix prefix;
    prefix.AddDrive('d', tree.string());
    std::unique_ptr<Machine> machine = prefix.Open();
    ThreatDatabase database;
    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine->shell());
    LoadDefinitionsFromText("<NA><SW NAME=\"Bench\"><CATEGORY NAME=\"Trojan\"/></SW></NA>", folders,
                            &database);
    std::string errors;
    YaraRules rules;
    if (!CompileYaraRules(Rules(500), &rules, &errors)) {
        std::printf("rules did not compile: %s\n", errors.c_str());
        return 1;
    }
    const std::string compiled = (fs::temp_directory_path() / "tolvane-bench-rules.yarc").string();
    SaveYaraRules(rules.get(), compiled);
    std::unordered_map<std::string, size_t> owners;
    for (int i = 0; i < 500; ++i) owners["bench_" + std::to_string(i)] = 0;
    database.content().SetRules(std::move(rules), owners);
    database.content().AddDigest(DigestKind::Sha256, std::string(32, '\x01'), 0);

    const double cat = Shell(files + "cat");  // warms the page cache too
    // Against yara, YARA runs over every file as yara does; the scan with
    // the default cap (files above it by digest only) is printed beside.
    const uint64_t defaultCap = ContentLimits().yaraCap;
    double ours = 1e30, capped = 1e30, yara1 = 1e30, yara2 = 1e30, catBest = cat;
    uint64_t bytes = 0;
    for (int run = 0; run < 3; ++run) {
        capped = std::min(capped, EngineScan(*machine, database, defaultCap, &bytes));
        ours = std::min(ours, EngineScan(*machine, database, UINT64_MAX, &bytes));
        yara1 = std::min(yara1, Shell("yara -C -r -p 1 " + ShellQuote(compiled) + " " +
                                      ShellQuote(tree.string())));
        yara2 = std::min(yara2, Shell("yara -C -r -p 2 " + ShellQuote(compiled) + " " +
                                      ShellQuote(tree.string())));
        catBest = std::min(catBest, Shell(files + "cat"));
    }
    std::printf("tree: %llu MB, %.1f MB read by the content check\n",
                static_cast<unsigned long long>(megabytes), bytes / 1048576.0);
    Report("hashes and YARA (500 rules)", ours, "yara -p 1", yara1, 1.1);
    Report("hashes and YARA (500 rules)", ours, "yara -p 2", yara2, 0);
    Report("hashes and YARA (500 rules)", ours, "cat", catBest, 0);
    Report("hashes and YARA, default 64 MiB cap", capped, "cat", catBest, 0);

    database.content().SetRules(nullptr, {});
    double hashes = 1e30, sha = 1e30;
    for (int run = 0; run < 3; ++run) {
        hashes = std::min(hashes, EngineScan(*machine, database, defaultCap, &bytes));
        sha = std::min(sha, Shell(files + "sha256sum"));
    }
    Report("SHA-256 only", hashes, "sha256sum", sha, 1.2);
    Report("SHA-256 only", hashes, "cat", catBest, 0);
    return 0;
}

}  // namespace
}  // namespace tolvane::bench

int main() {
    return tolvane::bench::Main();
}
