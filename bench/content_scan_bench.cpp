// The content check of a Drives & Folders scan, the engine as the program
// runs it, against references measured in the same run over the same files
// (each pair alternating, the best of three counting, the page cache warm):
//   1. The shipped database (its YARA rules and digests, loaded as a start
//      loads them; the load counts on our side) with YARA over every file as
//      yara does, against `yara -C -r -p N` with the same compiled rules and
//      N the content check's own thread count. Goal: within 1.1x. The scan
//      with the default YARA cap is printed beside it.
//      The same rules without the digests are printed too: what the
//      digests cost.
//   2. 500 generated rules and one SHA-256 against yara -p 1 and -p N:
//      printed.
//   3. SHA-256 digests only against `sha256sum` of every file. Goal: 1.2x.
//   4. Both against `cat` of every file (the reading floor): printed.
//   5. MD5, SHA-1 and SHA-256 digests and the 500 rules against yara:
//      printed.
//   6. How long a stop takes while YARA is inside a 64 MiB file with the
//      shipped rules, from RequestStop until the scan has returned. Goal:
//      within 100 ms.
// Each figure comes with the processor time of both sides (all threads of
// the scan, the commands' children): on a machine others share, the wall
// time says how much of it they left, the processor time what each did.
// The generated tree (kept in /tmp/tolvane-bench-content): PE-like files,
// scripts, documents and random data, and one file above the 64 MiB YARA
// cap (two from 1 GB); about 200 MB, or TOLVANE_BENCH_CONTENT_MB megabytes (2048 for the
// full size).
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

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
    // The stamp names the size and the layout: a tree an older layout made
    // (two large files and a few small ones) is made again.
    constexpr int kLayout = 2;
    if (fs::exists(root / ".complete")) {
        std::ifstream in(root / ".complete");
        uint64_t made = 0;
        int layout = 0;
        if (in >> made >> layout && made == megabytes && layout == kLayout) return;
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
    std::ofstream(root / ".complete") << megabytes << ' ' << kLayout;
}

// Wall time, and the processor time of this process (all its threads) and
// of the commands it ran: on a shared machine the wall time says how much
// the others let us run, the processor time how much work each side did.
struct Timing {
    double wall = 1e30;
    double cpu = 1e30;
    void Best(const Timing& other) {
        wall = std::min(wall, other.wall);
        cpu = std::min(cpu, other.cpu);
    }
};

double CpuSeconds() {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        struct rusage usage {};
        getrusage(who, &usage);
        total += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

Timing Measure(const std::function<void()>& step) {
    const double cpu = CpuSeconds();
    auto start = Clock::now();
    step();
    return {std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds() - cpu};
}

Timing Shell(const std::string& command) {
    return Measure([&] {
        std::string out;
        int status = testing::RunCommand(command + " >/dev/null 2>&1", &out);
        if (status != 0) std::printf("(%s ended with %d)\n", command.c_str(), status);
    });
}

// A Drives & Folders scan of `drive` set up in the machine's settings,
// with every file read and YARA over files up to `yaraCap`.
void SetUpScan(Machine& machine, ScanEngine& engine, const char* drive, uint64_t yaraCap) {
    SettingsStore settings(machine.registry());
    settings.WriteInt(setting::kLastScanMode, static_cast<int32_t>(ScanMode::DrivesAndFolders));
    settings.WriteInt(setting::kScanDrivesNum, 1);
    settings.WriteString(std::string(kDrivesAndFoldersList) + "1", drive);
    ContentLimits limits;
    limits.everyFile = true;
    limits.yaraCap = yaraCap;
    engine.SetContentLimits(limits);
}

// One scan of D: = the tree with the database's content.
Timing EngineScan(Machine& machine, ThreatDatabase& database, uint64_t yaraCap, uint64_t* bytes) {
    ScanEngine engine(machine, database);
    SetUpScan(machine, engine, "D:\\", yaraCap);
    Timing timing = Measure([&] { engine.RunScan(); });
    *bytes = engine.ContentPhaseCounts().bytes.load();
    return timing;
}

void Report(const std::string& what, const Timing& ours, const std::string& other,
            const Timing& theirs, double goal) {
    std::printf("%s: tolvane %.3f s, %s %.3f s, ratio %.2f", what.c_str(), ours.wall, other.c_str(),
                theirs.wall, ours.wall / theirs.wall);
    if (goal > 0) std::printf(" (goal <= %.1f)", goal);
    std::printf("; processor time %.3f s against %.3f s, ratio %.2f\n", ours.cpu, theirs.cpu,
                ours.cpu / theirs.cpu);
    std::fflush(stdout);
}

// The shipped database as a start loads it (its compiled rules vouched for).
bool LoadShipped(const PlaceholderFolders& folders, ThreatDatabase* database, Timing* load) {
    std::ifstream in(TOLVANE_SHIPPED_DATABASE, std::ios::binary);
    std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LoadReport report;
    bool loaded = false;
    *load = Measure([&] {
        loaded =
            LoadDefinitionsFromContainer(stored, folders, database, &report, RulesSource::Vouched);
    });
    const ContentIndicators& content = database->content();
    if (!loaded || !content.Rules()) {
        std::printf("the shipped database %s did not load with its rules (%s)\n",
                    TOLVANE_SHIPPED_DATABASE, report.rulesNote.c_str());
        return false;
    }
    std::printf(
        "shipped database: %zu rules, %zu digests (MD5 %s, SHA-1 %s, SHA-256 %s), "
        "loaded in %.3f s\n",
        content.RuleCount(), content.DigestCount(),
        content.HasDigests(DigestKind::Md5) ? "yes" : "no",
        content.HasDigests(DigestKind::Sha1) ? "yes" : "no",
        content.HasDigests(DigestKind::Sha256) ? "yes" : "no", load->wall);
    return true;
}

// From RequestStop until the scan has returned, while YARA is inside a
// 64 MiB file with the shipped rules, 50 ms after it went in: five tries.
void StopLatency(ThreatDatabase& shipped) {
    const fs::path folder = "/tmp/tolvane-bench-stop";
    fs::create_directories(folder);
    const fs::path file = folder / "large.exe";
    if (!fs::exists(file) || fs::file_size(file) != (64u << 20)) {
        std::mt19937_64 random(7);
        WriteRandom(file, 64u << 20, random, std::string_view("MZ\x90\0\x03\0\0\0", 8));
    }
    testing::TempPrefix prefix;
    prefix.AddDrive('e', folder.string());
    std::unique_ptr<Machine> machine = prefix.Open();
    std::vector<double> took;
    for (int run = 0; run < 5; ++run) {
        ScanEngine engine(*machine, shipped);
        SetUpScan(*machine, engine, "E:\\", ContentLimits().yaraCap);
        if (!engine.Start()) return;
        while (engine.ContentChecksInYara() == 0 && engine.WorkerRunning())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto start = Clock::now();
        engine.RequestStop();
        engine.Wait();
        const auto stopped =
            engine.ContentPhaseCounts().skipped[static_cast<size_t>(ContentSkip::Stopped)].load();
        if (stopped != 1) {
            std::printf("stop inside a 64 MiB file: YARA was done before the stop\n");
            continue;
        }
        took.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    if (took.empty()) return;
    std::sort(took.begin(), took.end());
    std::printf(
        "stop inside a 64 MiB file (shipped rules): %.1f ms median, %.1f ms at most of %zu "
        "(goal <= 100 ms)\n",
        took[took.size() / 2], took.back(), took.size());
}

int Main() {
    const char* sizeText = std::getenv("TOLVANE_BENCH_CONTENT_MB");
    const uint64_t megabytes = sizeText ? std::strtoull(sizeText, nullptr, 10) : 200;
    const fs::path tree = "/tmp/tolvane-bench-content";
    MakeTree(tree, megabytes);
    const std::string files = "find " + ShellQuote(tree.string()) + " -type f -print0 | xargs -0 ";
    const std::string threads = std::to_string(ContentPool::DefaultThreads());
    const std::string yaraN = "yara -p " + threads;

    testing::TempPrefix prefix;
    prefix.AddDrive('d', tree.string());
    std::unique_ptr<Machine> machine = prefix.Open();
    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine->shell());
    ThreatDatabase shipped;
    Timing load;
    if (!LoadShipped(folders, &shipped, &load)) return 1;
    const std::string shippedCompiled =
        (fs::temp_directory_path() / "tolvane-bench-shipped.yarc").string();
    SaveYaraRules(shipped.content().Rules(), shippedCompiled);
    const auto yara = [&](const std::string& compiled, const std::string& count) {
        return Shell("yara -C -r -p " + count + " " + ShellQuote(compiled) + " " +
                     ShellQuote(tree.string()));
    };

    Timing catBest = Shell(files + "cat");  // warms the page cache too
    // Against yara, YARA runs over every file as yara does; the scan with
    // the default cap (files above it by digest only) is printed beside.
    const uint64_t defaultCap = ContentLimits().yaraCap;
    uint64_t bytes = 0;
    {
        // Where the extra over yara goes: the same rules without the
        // digests (the SHA-256 that tells Wine's own files is still taken).
        ThreatDatabase rulesOnly;
        LoadDefinitionsFromText("<NA><SW NAME=\"Bench\"><CATEGORY NAME=\"Trojan\"/></SW></NA>",
                                folders, &rulesOnly);
        std::string member, problem;
        YaraRules copy;
        if (!EncodeCompiledRules(shipped.content().Rules(), &member) ||
            !DecodeCompiledRules(member, &copy, &problem))
            return 1;
        rulesOnly.content().SetRules(std::move(copy), {});
        Timing ours, capped, noDigests, theirs;
        for (int run = 0; run < 3; ++run) {
            ours.Best(EngineScan(*machine, shipped, UINT64_MAX, &bytes));
            capped.Best(EngineScan(*machine, shipped, defaultCap, &bytes));
            noDigests.Best(EngineScan(*machine, rulesOnly, UINT64_MAX, &bytes));
            theirs.Best(yara(shippedCompiled, threads));
            catBest.Best(Shell(files + "cat"));
        }
        std::printf("tree: %llu MB, %.1f MB read by the content check, %s content threads\n",
                    static_cast<unsigned long long>(megabytes), bytes / 1048576.0, threads.c_str());
        const Timing started{ours.wall + load.wall, ours.cpu + load.cpu};
        Report("shipped rules and digests, load and scan", started, yaraN, theirs, 1.1);
        Report("shipped rules and digests, scan only", ours, yaraN, theirs, 0);
        Report("shipped rules, no digests, scan only", noDigests, yaraN, theirs, 0);
        Report("shipped rules and digests", ours, "cat", catBest, 0);
        Report("shipped rules and digests, default 64 MiB cap", capped, "cat", catBest, 0);
    }

    ThreatDatabase database;
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
    Timing ours, yara1, yaraMany;
    for (int run = 0; run < 3; ++run) {
        ours.Best(EngineScan(*machine, database, UINT64_MAX, &bytes));
        yara1.Best(yara(compiled, "1"));
        yaraMany.Best(yara(compiled, threads));
    }
    Report("SHA-256 and YARA (500 rules)", ours, "yara -p 1", yara1, 0);
    Report("SHA-256 and YARA (500 rules)", ours, yaraN, yaraMany, 0);

    database.content().SetRules(nullptr, {});
    Timing hashes, sha;
    for (int run = 0; run < 3; ++run) {
        hashes.Best(EngineScan(*machine, database, defaultCap, &bytes));
        sha.Best(Shell(files + "sha256sum"));
    }
    Report("SHA-256 only", hashes, "sha256sum", sha, 1.2);
    Report("SHA-256 only", hashes, "cat", catBest, 0);

    // Digests of all three kinds: each file is hashed three times besides
    // YARA's pass.
    if (!CompileYaraRules(Rules(500), &rules, &errors)) return 1;
    database.content().SetRules(std::move(rules), owners);
    database.content().AddDigest(DigestKind::Md5, std::string(16, '\x01'), 0);
    database.content().AddDigest(DigestKind::Sha1, std::string(20, '\x01'), 0);
    Timing three;
    for (int run = 0; run < 3; ++run)
        three.Best(EngineScan(*machine, database, UINT64_MAX, &bytes));
    Report("MD5, SHA-1, SHA-256 and YARA (500 rules)", three, yaraN, yaraMany, 0);

    StopLatency(shipped);
    return 0;
}

}  // namespace
}  // namespace tolvane::bench

int main() {
    return tolvane::bench::Main();
}
