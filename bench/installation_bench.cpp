// How fast an offline Windows installation with a big SOFTWARE hive opens
// and scans, against `hivexregedit --export` of the same hive (which walks
// every key and value), measured in the same run.
//
//   The installation is the tests' small one, its SOFTWARE hive grown to
//   --keys generated keys (default 250,000, about 60 MB) in the shape of a
//   real one: classes, interfaces, type libraries, file types and a wide,
//   deep tree of vendors' settings.
//   1. Opening the installation (every hive read), the deep registry scan
//      and the registry-key and registry-value phases (pause 0) with the
//      shipped definitions: each and their sum against the export.
//      Goal: the sum under 0.5x.
//   2. `tolvane-reg --machine DIR query` of one key end to end (the program
//      opens the whole installation for it), against the export.
//   3. One change saved (a key deleted: the hive is written whole, read back
//      and checked) against writing the hive's bytes and fsyncing them.
//   Peak memory (maximum resident set) is printed after each step.
//
// Usage: installation_bench [--keys N] [--runs N]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>

#include "bench/bench_timing.h"
#include "bench/grown_software.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "machine/machine.h"
#include "machine/registry.h"
#include "scan/scan_engine.h"
#include "testing/regf_builder.h"
#include "testing/temp_installation.h"

namespace {

using tolvane::bench::Best;
using tolvane::bench::Clock;
using tolvane::bench::GrowSoftware;
using tolvane::bench::Seconds;
using tolvane::testing::RegfTreeKey;

long PeakMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// Runs a command line through the shell; its output goes to /dev/null.
double TimeCommand(const std::string& command, int runs) {
    return Best(runs, [&] {
        if (std::system((command + " > /dev/null").c_str()) != 0)
            std::fprintf(stderr, "failed: %s\n", command.c_str());
    });
}

double TimeWriteBytes(const std::string& hive, const std::string& target, int runs) {
    std::ifstream in(hive, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    return Best(runs, [&] {
        int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
            std::fprintf(stderr, "cannot write %s\n", target.c_str());
        ::fsync(fd);
        ::close(fd);
    });
}

class NullObserver : public tolvane::ScanObserver {
  public:
    void OnScanProgress(tolvane::ScanProgress, tolvane::DetectedObject*) override {}
    void OnScanPhase(int) override {}
};

struct Options {
    long keys = 250000;
    int runs = 2;
};

Options ReadOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string_view name = argv[i];
        if (name == "--keys") options.keys = std::atol(argv[i + 1]);
        if (name == "--runs") options.runs = std::max(1, std::atoi(argv[i + 1]));
    }
    return options;
}

struct ScanTimes {
    double open = 1e9, deep = 1e9, phases = 1e9;
    int deepItems = 0;
};

ScanTimes TimeScans(const tolvane::testing::TempInstallation& installation,
                    const std::string& stored, int runs) {
    ScanTimes times;
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        std::unique_ptr<tolvane::Machine> machine = installation.Open();
        times.open = std::min(times.open, Seconds(Clock::now() - start));
        tolvane::ThreatDatabase database;
        if (!tolvane::LoadDefinitionsFromContainer(
                stored, tolvane::PlaceholderFolders::FromShell(machine->shell()), &database))
            std::fprintf(stderr, "the shipped definitions did not load\n");
        NullObserver observer;
        tolvane::ScanEngine engine(*machine, database);
        engine.SetObserver(&observer);
        engine.SetRegistryKeyPause(std::chrono::milliseconds(0));
        start = Clock::now();
        engine.DeepRegistryScan();
        times.deep = std::min(times.deep, Seconds(Clock::now() - start));
        times.deepItems = engine.Counters().objectsScanned;
        start = Clock::now();
        engine.ScanRegistryKeys();
        engine.ScanRegistryValues();
        times.phases = std::min(times.phases, Seconds(Clock::now() - start));
    }
    return times;
}

double TimeOneChange(const tolvane::testing::TempInstallation& installation, int runs) {
    std::unique_ptr<tolvane::Machine> machine = installation.Open();
    tolvane::Registry& registry = machine->registry();
    tolvane::RegKey vendor;
    registry.OpenKey(tolvane::Registry::Root(tolvane::RootKey::LocalMachine),
                     "SOFTWARE\\Vendors\\Vendor7", 0, &vendor);
    int product = 0;
    return Best(runs, [&] {
        std::string name = "Product" + std::to_string(product++);
        if (registry.DeleteKey(vendor, name + "\\Setting0") != 0)
            std::fprintf(stderr, "delete failed: %s\n", registry.LastErrorMessage().c_str());
    });
}

std::string ReadStored(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ReadOptions(argc, argv);
    tolvane::testing::TempInstallation installation;
    auto made = Clock::now();
    // Made in a child, so that the peak memory printed is the scan's alone.
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        RegfTreeKey software = tolvane::testing::ReadRegfTree(installation.Software());
        long added = GrowSoftware(software, options.keys);
        tolvane::testing::WriteRegfTree(installation.Software(), software);
        std::printf("SOFTWARE: %ld keys added, ", added);
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || status != 0) {
        std::fprintf(stderr, "the hive was not made\n");
        return 1;
    }
    double megabytes = std::filesystem::file_size(installation.Software()) / 1e6;
    std::printf("%.1f MB, made in %.1f s; peak memory before opening %ld MB\n", megabytes,
                Seconds(Clock::now() - made), PeakMegabytes());

    double exported =
        TimeCommand("hivexregedit --export '" + installation.Software() + "' '\\\\'", options.runs);
    std::printf("hivexregedit --export: %.3f s\n", exported);
    std::string stored = ReadStored(TOLVANE_SHIPPED_DATABASE);
    ScanTimes times = TimeScans(installation, stored, options.runs);
    double sum = times.open + times.deep + times.phases;
    std::printf("open installation: %.3f s (%.2fx)\n", times.open, times.open / exported);
    std::printf("deep registry scan: %.3f s, %d keys and values (%.2fx)\n", times.deep,
                times.deepItems, times.deep / exported);
    std::printf("registry keys and values, pause 0: %.3f s (%.2fx)\n", times.phases,
                times.phases / exported);
    std::printf("open + deep + registry phases / export: %.2f (goal < 0.5); peak memory %ld MB\n",
                sum / exported, PeakMegabytes());

    double query =
        TimeCommand(std::string(TOLVANE_REG_TOOL) + " --machine '" + installation.path() +
                        "' query 'HKLM\\SOFTWARE\\Vendors\\Vendor1'",
                    options.runs);
    std::printf("tolvane-reg query, end to end: %.3f s (%.2fx of the export)\n", query,
                query / exported);

    double change = TimeOneChange(installation, options.runs);
    double write =
        TimeWriteBytes(installation.Software(), installation.Host("written.bin"), options.runs);
    std::printf(
        "one change saved: %.3f s; writing the hive's bytes with fsync: %.3f s (%.2fx); "
        "peak memory %ld MB\n",
        change, write, change / write, PeakMegabytes());
    return 0;
}
