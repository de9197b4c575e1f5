// How fast the scan engine walks files and registry, against references
// measured in the same run.
//
//   1. Files mode over a generated tree (default 200,000 files in 20,000
//      folders) on drive C: of a temporary prefix, with a generated database
//      (default 20,000 definitions, each with file, folder and registry
//      entries), against `find DIR >/dev/null` over the same tree (names
//      only: find stats nothing), goal within 1.1x, and against
//      `find DIR -printf '%s %p\n' >/dev/null` (a stat per entry).
//   2. Stop latency: a Files scan of that tree stopped at a random moment;
//      the time from the request until the worker has ended, median of
//      several stops. Goal: under 100 ms.
//   3. Deep registry scan of HKEY_CLASSES_ROOT's CLSID, TypeLib and Interface
//      keys: keys per second. The hive is a Wine-made prefix's when one is
//      given (--wine-prefix DIR), else a generated one of as many CLSID keys.
//      And the registry-key phase with the pause set to 0 against the
//      specified 10 ms per definition: the work must be a small part of it.
//
// Usage: scan_bench [--files N] [--folders N] [--definitions N] [--stops N]
//                   [--runs N] [--wine-prefix DIR] [--tree DIR]
// The Files scan and find run --runs times each (default 2, alternating);
// the best of each counts, for the clock and for processor time.
// --tree keeps the generated tree in DIR (made when DIR lacks it; DIR's
// .complete marks it whole) and scans it as drive D:, so that repeated runs
// skip making it; sizes then are those it was made with.
// Quick run: scan_bench --files 20000 --folders 2000 --definitions 2000
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_timing.h"
#include "bench/bench_tree.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "discovery/open_machine.h"
#include "machine/machine.h"
#include "scan/scan_engine.h"
#include "settings/settings_store.h"
#include "testing/temp_prefix.h"

namespace fs = std::filesystem;
using tolvane::ScanEngine;
using tolvane::bench::Clock;
using tolvane::bench::MakeTree;
using tolvane::bench::Seconds;

namespace {

struct Options {
    int files = 200000;
    int folders = 20000;
    int definitions = 20000;
    int stops = 7;
    int runs = 2;
    std::string winePrefix;
    std::string tree;
};

// Definitions in the shipped style: bare file names, full paths with
// placeholders, a few wildcard patterns, folders and registry entries.
std::string MakeDefinitions(int count) {
    std::string markup = "<NA VERSION=\"1\" DATE=\"bench\">";
    auto add = [&markup](std::initializer_list<std::string_view> parts) {
        for (std::string_view part : parts) markup.append(part);
    };
    for (int i = 0; i < count; ++i) {
        std::string n = std::to_string(i);
        add({"<SW NAME=\"Threat ", n, "\"><CATEGORY NAME=\"Adware\"/>"});
        add({"<DIRECTORIES><DIR NAME=\"%programfiles%\\Threat", n, "\"/></DIRECTORIES>"});
        add({"<FILES><FILE NAME=\"spy", n, ".exe\"/>"});
        add({"<FILE PATH=\"%system%\\thr", n, ".dll\" SIZE=\"1234\"/>"});
        if (i % 50 == 0) add({"<FILE NAME=\"*\\*\\*\\*\\*\\spy*", n, ".exe\"/>"});
        if (i % 100 == 0)
            add({"<FILE NAME=\"*\\tree\\d?\\f?\\spy?.exe\"/><FILE NAME=\"*\\*\\*\\spy?.exe\"/>"});
        add({"</FILES><REGKEYS><REGKEY NAME=\"Software\\Threat", n, "\"/></REGKEYS>"});
        add({"<REGVALUES><REGVALUE NAME=\"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\T", n,
             "\"/></REGVALUES>"});
        add({"<DANGER NAME=\"Low\"/></SW>"});
    }
    markup += "</NA>";
    return markup;
}

// CLSID keys with an InprocServer32 subkey and two values each, as Wine
// registers its classes.
void AppendClasses(const std::string& systemReg, int count) {
    std::ofstream out(systemReg, std::ios::app);
    char guid[64];
    for (int i = 0; i < count; ++i) {
        std::snprintf(guid, sizeof guid, "{%08X-0000-4000-8000-%012d}", i, i);
        out << "\n[Software\\\\Classes\\\\CLSID\\\\" << guid
            << "] 1796740557\n#time=1dd87216fed8f36\n@=\"Class " << i << "\"\n";
        out << "\n[Software\\\\Classes\\\\CLSID\\\\" << guid
            << "\\\\InprocServer32] "
               "1796740557\n#time=1dd87216fed8f36\n@=\"C:\\\\windows\\\\system32\\\\c"
            << i << ".dll\"\n\"ThreadingModel\"=\"Both\"\n";
    }
}

class NullObserver : public tolvane::ScanObserver {
  public:
    void OnScanProgress(tolvane::ScanProgress, tolvane::DetectedObject*) override {}
    void OnScanPhase(int) override {}
};

// Processor time (user and system) used so far by this process or by its
// ended children: steadier than the clock on a shared machine.
double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Timing {
    double wall = 0;
    double cpu = 0;
};

// find over folder: names only, or with a stat per entry (sizes printed).
Timing TimeFind(const std::string& folder, bool sizes) {
    std::string command =
        "find '" + folder + "'" + (sizes ? " -printf '%s %p\\n'" : "") + " >/dev/null";
    double cpu = CpuSeconds(RUSAGE_CHILDREN);
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0) std::cerr << "find failed\n";
    return {Seconds(Clock::now() - start), CpuSeconds(RUSAGE_CHILDREN) - cpu};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--files")
            options.files = std::atoi(argv[i + 1]);
        else if (arg == "--folders")
            options.folders = std::atoi(argv[i + 1]);
        else if (arg == "--definitions")
            options.definitions = std::atoi(argv[i + 1]);
        else if (arg == "--stops")
            options.stops = std::atoi(argv[i + 1]);
        else if (arg == "--runs")
            options.runs = std::max(1, std::atoi(argv[i + 1]));
        else if (arg == "--wine-prefix")
            options.winePrefix = argv[i + 1];
        else if (arg == "--tree")
            options.tree = argv[i + 1];
        else {
            std::cerr << "unknown option " << arg << "\n";
            return 2;
        }
    }

    tolvane::testing::TempPrefix prefix;
    std::cout << "tree: " << options.files << " files in " << options.folders << " folders; "
              << options.definitions << " definitions\n";
    // The tree: on drive C: of the prefix, or kept in --tree DIR (drive D:)
    // for later runs.
    fs::path tree =
        options.tree.empty() ? fs::path(prefix.Host("drive_c/tree")) : fs::path(options.tree);
    if (!fs::exists(tree / ".complete")) {
        auto made = Clock::now();
        MakeTree(tree, options.folders, options.files);
        std::ofstream(tree / ".complete") << "";
        std::printf("tree made in %.1f s\n", Seconds(Clock::now() - made));
        std::fflush(stdout);
    }
    if (!options.tree.empty()) prefix.AddDrive('d', fs::absolute(tree).string());
    int classes = options.winePrefix.empty() ? 5000 : 0;
    if (classes) AppendClasses(prefix.Host("system.reg"), classes);

    auto machine = prefix.Open();
    tolvane::ThreatDatabase database;
    if (!tolvane::LoadDefinitionsFromText(MakeDefinitions(options.definitions),
                                          tolvane::PlaceholderFolders::FromShell(machine->shell()),
                                          &database)) {
        std::cerr << "definitions did not load\n";
        return 1;
    }
    tolvane::SettingsStore settings(machine->registry());
    NullObserver observer;
    ScanEngine engine(*machine, database);
    engine.SetObserver(&observer);
    engine.SetRegistryKeyPause(std::chrono::milliseconds(0));

    // 1. Files mode against find (the best run of each counts: both then
    // read from a warm cache).
    settings.WriteInt(tolvane::setting::kLastScanMode, static_cast<int>(tolvane::ScanMode::Files));
    double scan = 1e9, scanCpu = 1e9;
    Timing names{1e9, 1e9}, sized{1e9, 1e9};
    auto findBoth = [&](bool sizes, Timing* best) {
        Timing found = TimeFind(prefix.Host("drive_c"), sizes);
        if (!options.tree.empty()) {
            Timing more = TimeFind(fs::absolute(tree).string(), sizes);
            found.wall += more.wall;
            found.cpu += more.cpu;
        }
        best->wall = std::min(best->wall, found.wall);
        best->cpu = std::min(best->cpu, found.cpu);
    };
    for (int run = 0; run < options.runs; ++run) {
        findBoth(false, &names);
        findBoth(true, &sized);
        double cpu = CpuSeconds(RUSAGE_SELF);
        auto start = Clock::now();
        engine.RunScan();
        scan = std::min(scan, Seconds(Clock::now() - start));
        scanCpu = std::min(scanCpu, CpuSeconds(RUSAGE_SELF) - cpu);
    }
    tolvane::ScanCounterValues c = engine.Counters();
    std::printf("files scan: %.3f s (processor %.3f s), %d entries, %d files recognised\n", scan,
                scanCpu, c.objectsScanned, c.filesRecognised);
    std::printf(
        "find:       %.3f s (processor %.3f s) names only; %.3f s (processor %.3f s) "
        "with sizes\n",
        names.wall, names.cpu, sized.wall, sized.cpu);
    std::printf(
        "ratio files scan / find names only: %.2f (goal <= 1.1); processor time ratio %.2f\n",
        scan / names.wall, scanCpu / names.cpu);
    std::printf("ratio files scan / find with sizes: %.2f; processor time ratio %.2f\n",
                scan / sized.wall, scanCpu / sized.cpu);

    // 2. Stop latency.
    std::mt19937 random(42);
    std::uniform_int_distribution<int> delay(int(scan * 100), int(scan * 800));
    std::vector<double> latencies;
    for (int i = 0; i < options.stops; ++i) {
        engine.Start();
        std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
        auto start = Clock::now();
        engine.RequestStop();
        while (engine.WorkerRunning()) std::this_thread::sleep_for(std::chrono::microseconds(200));
        latencies.push_back(Seconds(Clock::now() - start) * 1000);
        engine.Wait();
    }
    std::printf("stop latency: median %.2f ms of %d stops, worst %.2f ms (goal < 100 ms)\n",
                Median(latencies), options.stops,
                *std::max_element(latencies.begin(), latencies.end()));

    // 3. Deep registry scan.
    std::unique_ptr<tolvane::Machine> wine;
    tolvane::Machine* registryMachine = machine.get();
    if (!options.winePrefix.empty()) {
        std::string error;
        wine = tolvane::OpenMachine(options.winePrefix, &error);
        if (!wine) {
            std::cerr << error << "\n";
            return 1;
        }
        registryMachine = wine.get();
    }
    ScanEngine deep(*registryMachine, database);
    deep.SetObserver(&observer);
    deep.SetRegistryKeyPause(std::chrono::milliseconds(0));
    {
        auto start = Clock::now();
        deep.DeepRegistryScan();
        double seconds = Seconds(Clock::now() - start);
        tolvane::ScanCounterValues d = deep.Counters();
        std::printf("deep registry scan (%s): %d keys and values in %.3f s, %.0f per second\n",
                    options.winePrefix.empty() ? "generated CLSID keys" : "Wine-made prefix",
                    d.objectsScanned, seconds, d.objectsScanned / seconds);
    }
    {
        auto start = Clock::now();
        deep.ScanRegistryKeys();
        deep.ScanRegistryValues();
        double work = Seconds(Clock::now() - start);
        double pause = database.definitions().size() * 0.010;
        std::printf(
            "registry keys and values without the pause: %.3f s; the pause adds %.1f s "
            "(work / pause %.3f)\n",
            work, pause, work / pause);
    }
    return 0;
}
