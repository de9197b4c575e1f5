// How fast the start-up entries of a machine are listed.
//
//   1. The tests' small Windows installation, its SOFTWARE hive grown to
//      --keys keys (default 250,000: bench/grown_software.h), 500 services
//      in SYSTEM (every fifth a svchost.exe DLL, every tenth a driver) and
//      300 scheduled tasks; every tenth file they start exists as a PE file
//      of 256 KB. Opening the installation and listing its entries with the
//      shipped definitions, against `hivexregedit --export` of the SOFTWARE
//      and SYSTEM hives (which walks every key and value) measured in the
//      same run. Goal: under 0.3x.
//   2. A fresh `wine wineboot -i` prefix (bench/wine_bench_prefix.h):
//      opening it and listing. Goal: under 200 ms. Without Wine it says so.
//
// Usage: startup_bench [--keys N] [--runs N] [--installation 0 (the prefix only)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

#include "bench/bench_timing.h"
#include "bench/grown_software.h"
#include "bench/wine_bench_prefix.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "discovery/open_machine.h"
#include "machine/machine.h"
#include "startup/command_line.h"
#include "startup/location_table.h"
#include "startup/startup_entries.h"
#include "testing/pe_builder.h"
#include "testing/regf_builder.h"
#include "testing/run_command.h"
#include "testing/temp_installation.h"

namespace tolvane::bench {
namespace {

namespace fs = std::filesystem;

std::string ReadHost(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void WriteHost(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Dword(uint32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

// A program every tenth entry starts, as big as a small real one.
void MaybePlantProgram(const testing::TempInstallation& installation, int n,
                       const std::string& relative) {
    if (n % 10 != 0) return;
    std::string pe =
        testing::BuildPe({"Vendor " + std::to_string(n % 7), "Product", "Service", n % 20 == 0});
    pe.resize(256 * 1024, '\0');
    WriteHost(installation.Host(relative), pe);
}

void AddServices(const testing::TempInstallation& installation, int count) {
    RegfTreeKey system = testing::ReadRegfTree(installation.System());
    RegfTreeKey& services = system.Child("ControlSet001").Child("Services");
    for (int i = 0; i < count; ++i) {
        std::string name = "BenchSvc" + std::to_string(i);
        RegfTreeKey& key = services.Child(name);
        std::string image, relative;
        uint32_t type = 0x10;
        if (i % 10 == 1) {
            type = 1;
            image = "\\SystemRoot\\System32\\drivers\\" + name + ".sys";
            relative = "Windows/System32/drivers/" + name + ".sys";
        } else if (i % 5 == 0) {
            type = 0x20;
            image = "%SystemRoot%\\System32\\svchost.exe -k netsvcs -p";
            key.Child("Parameters")
                .values.push_back({"ServiceDll", kExpandSz,
                                   RegfString("%SystemRoot%\\System32\\" + name + ".dll")});
            relative = "Windows/System32/" + name + ".dll";
        } else {
            image = "\"C:\\Program Files\\Vendor" + std::to_string(i % 40) + "\\" + name +
                    ".exe\" -service";
            relative = "Program Files/Vendor" + std::to_string(i % 40) + "/" + name + ".exe";
        }
        key.values.push_back({"ImagePath", kExpandSz, RegfString(image)});
        key.values.push_back({"Type", kDword, Dword(type)});
        key.values.push_back({"Start", kDword, Dword(2)});
        key.values.push_back({"DisplayName", kSz, RegfString("Bench service " + name)});
        MaybePlantProgram(installation, i, relative);
    }
    testing::WriteRegfTree(installation.System(), system);
}

std::string Utf16(std::string_view text) {
    std::string out = "\xff\xfe";
    for (char c : text) out += std::string{c, '\0'};
    return out;
}

void AddTasks(const testing::TempInstallation& installation, int count) {
    for (int i = 0; i < count; ++i) {
        std::string program = "C:\\Program Files\\Tasks" + std::to_string(i % 30) + "\\task" +
                              std::to_string(i) + ".exe";
        std::string xml =
            "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<Task version=\"1.2\" "
            "xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\"><RegistrationInfo>"
            "<Author>Vendor</Author></RegistrationInfo><Triggers><LogonTrigger><Enabled>true"
            "</Enabled></LogonTrigger><CalendarTrigger><StartBoundary>2020-01-01T03:00:00"
            "</StartBoundary><ScheduleByDay><DaysInterval>1</DaysInterval></ScheduleByDay>"
            "</CalendarTrigger></Triggers><Settings><Enabled>true</Enabled></Settings>"
            "<Actions Context=\"Author\"><Exec><Command>" +
            program + "</Command><Arguments>/update /quiet</Arguments></Exec></Actions></Task>";
        std::string folder = "Windows/System32/Tasks/Vendor" + std::to_string(i % 12);
        WriteHost(installation.Host(folder + "/Task" + std::to_string(i)), Utf16(xml));
        MaybePlantProgram(
            installation, i,
            "Program Files/Tasks" + std::to_string(i % 30) + "/task" + std::to_string(i) + ".exe");
    }
}

struct Options {
    long keys = 250000;
    int runs = 3;
    bool installation = true;
};

Options ReadOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string_view name = argv[i];
        if (name == "--keys") options.keys = std::atol(argv[i + 1]);
        if (name == "--runs") options.runs = std::max(1, std::atoi(argv[i + 1]));
        if (name == "--installation") options.installation = std::atoi(argv[i + 1]) != 0;
    }
    return options;
}

StartupSources Sources() {
    StartupSources sources;
    std::string error;
    if (!ParseLocationTable(ReadHost(TOLVANE_SOURCE_ROOT "/data/startup-locations.json"),
                            &sources.table, &error))
        std::fprintf(stderr, "the location table did not load: %s\n", error.c_str());
    sources.wineStock =
        ParseWineStock(ReadHost(TOLVANE_SOURCE_ROOT "/data/wine-stock-startup.txt"));
    return sources;
}

// Opening the machine and listing: the best of runs; *listing gets the last.
double TimeListing(const std::function<std::unique_ptr<Machine>()>& open,
                   const StartupSources& sources, const std::string& stored, int runs,
                   double* listOnly, StartupListing* listing) {
    *listOnly = 1e9;
    return Best(runs, [&] {
        std::unique_ptr<Machine> machine = open();
        if (!machine) return;
        ThreatDatabase database;
        LoadDefinitionsFromContainer(stored, PlaceholderFolders::FromShell(machine->shell()),
                                     &database);
        StartupSources withDefinitions = sources;
        withDefinitions.definitions = &database;
        auto start = Clock::now();
        *listing = ListStartupEntries(*machine, withDefinitions);
        *listOnly = std::min(*listOnly, Seconds(Clock::now() - start));
    });
}

void MeasureInstallation(const Options& options, const StartupSources& sources,
                         const std::string& stored) {
    testing::TempInstallation installation;
    auto made = Clock::now();
    RegfTreeKey software = testing::ReadRegfTree(installation.Software());
    long added = GrowSoftware(software, options.keys);
    testing::WriteRegfTree(installation.Software(), software);
    AddServices(installation, 500);
    AddTasks(installation, 300);
    std::printf(
        "installation: SOFTWARE %ld keys added (%.1f MB), 500 services, 300 tasks; "
        "made in %.1f s\n",
        added, fs::file_size(installation.Software()) / 1e6, Seconds(Clock::now() - made));
    double exported = 0;
    if (testing::RunCommand("command -v hivexregedit >/dev/null") == 0) {
        exported = Best(options.runs, [&] {
            for (const std::string& hive : {installation.Software(), installation.System()})
                testing::RunCommand("hivexregedit --export " + testing::ShellQuote(hive) +
                                    " '\\\\' > /dev/null");
        });
        std::printf("hivexregedit --export SOFTWARE and SYSTEM: %.3f s\n", exported);
    } else {
        std::printf("hivexregedit is not installed (libwin-hivex-perl): no ratio\n");
    }
    StartupListing listing;
    double listOnly = 0;
    double total = TimeListing([&] { return installation.Open(); }, sources, stored, options.runs,
                               &listOnly, &listing);
    std::printf(
        "open, definitions loaded, list: %.3f s (the listing alone %.3f s), %zu entries, %zu "
        "notes\n",
        total, listOnly, listing.entries.size(), listing.notes.size());
    if (exported > 0) std::printf("that / export: %.2f (goal < 0.3)\n", total / exported);
}

void MeasureWinePrefix(const Options& options, const StartupSources& sources,
                       const std::string& stored) {
    if (testing::RunCommand("command -v wine >/dev/null") != 0) {
        std::printf("Wine is not installed: the prefix is not measured\n");
        return;
    }
    const std::string prefix = BenchWinePrefix();
    if (prefix.empty()) {
        std::printf("no wineboot -i prefix could be made: the prefix is not measured\n");
        return;
    }
    // As `startup` lists (Wine's builtin files read to their marker), then
    // as `startup --all` does (every file read whole).
    for (bool all : {false, true}) {
        StartupSources asked = sources;
        asked.readWineFiles = all;
        StartupListing listing;
        double listOnly = 0;
        std::string error;
        double total = TimeListing([&] { return OpenMachine(prefix, &error); }, asked, stored,
                                   options.runs, &listOnly, &listing);
        size_t shown = std::count_if(listing.entries.begin(), listing.entries.end(),
                                     [](const StartupEntry& entry) { return !entry.wines; });
        std::map<std::string, uint64_t> files;
        for (const StartupEntry& entry : listing.entries)
            if (entry.facts.exists) files[LowerAscii(entry.file)] = entry.facts.size;
        uint64_t bytes = 0;
        for (const auto& [file, size] : files) bytes += size;
        std::printf(
            "wineboot -i prefix%s: open, definitions loaded, list %.0f ms (the listing "
            "alone %.0f ms; goal < 200 ms), %zu entries, %zu not Wine's; %zu files of "
            "%.1f MB started\n",
            all ? ", --all" : "", total * 1000, listOnly * 1000, listing.entries.size(), shown,
            files.size(), bytes / 1e6);
    }
}

}  // namespace
}  // namespace tolvane::bench

int main(int argc, char** argv) {
    using namespace tolvane::bench;
    Options options = ReadOptions(argc, argv);
    tolvane::StartupSources sources = Sources();
    std::string stored = ReadHost(TOLVANE_SHIPPED_DATABASE);
    if (options.installation) MeasureInstallation(options, sources, stored);
    MeasureWinePrefix(options, sources, stored);
    return 0;
}
