// Memory of a Files-mode scan that walks many files: the peak resident size
// a scan adds must grow with the objects it recognises, not with the files
// it walks. Three scans, each in a child process of its own (so that each
// starts from the same memory), print their peak growth:
//   1. 100,000 files, 100 recognised
//   2. 1,000,000 files, the same 100 recognised
//   3. 1,000,000 files, 10,100 recognised (one more file name known)
// 1 and 2 should be about equal; 3 is what recognised objects cost.
//
// The tree (10 blocks p0..p9 of 1,000 folders with 100 empty files each) is made
// once and kept: making a million files takes minutes.
//
// scan_memory_bench [--tree DIR]   (default /tmp/tolvane-bench-million)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "machine/machine.h"
#include "scan/scan_engine.h"
#include "settings/settings_store.h"
#include "testing/temp_prefix.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBlocks = 10;
constexpr int kFoldersPerBlock = 1000;
constexpr int kFilesPerFolder = 100;
constexpr int kPlanted = 100;  // spy files, all in block p0

std::string Numbered(const char* stem, int number, const char* tail = "") {
    std::string name = stem;
    name += std::to_string(number);
    name += tail;
    return name;
}

void MakeTree(const fs::path& root) {
    for (int p = 0; p < kBlocks; ++p) {
        for (int d = 0; d < kFoldersPerBlock; ++d) {
            fs::path folder = root / Numbered("p", p) / Numbered("d", d);
            fs::create_directories(folder);
            for (int f = 0; f < kFilesPerFolder; ++f) {
                std::ofstream(folder / Numbered("file", f, ".dat"));
            }
        }
    }
    for (int i = 0; i < kPlanted; ++i)
        std::ofstream(root / "p0" / Numbered("d", i * 7) / Numbered("spy", i, ".exe")) << "x";
}

// Known files: the planted spy files (on D: as block p0 or as the whole tree),
// and with `everyFolder` also one name that stands in every folder.
std::string Definitions(bool everyFolder) {
    std::string markup = "<NA VERSION=\"1\" DATE=\"bench\">";
    for (int i = 0; i < kPlanted; ++i) {
        markup += "<SW NAME=\"Threat " + std::to_string(i) +
                  "\"><CATEGORY NAME=\"Adware\"/><FILES><FILE NAME=\"D:\\d" +
                  std::to_string(i * 7) + "\\spy" + std::to_string(i) +
                  ".exe\"/><FILE NAME=\"D:\\p0\\d" + std::to_string(i * 7) + "\\spy" +
                  std::to_string(i) + ".exe\"/></FILES><DANGER NAME=\"Low\"/></SW>";
    }
    if (everyFolder) {
        markup +=
            "<SW NAME=\"Everywhere\"><CATEGORY NAME=\"Adware\"/><FILES><FILE "
            "NAME=\"*\\*\\*\\file7.dat\"/></FILES><DANGER NAME=\"Low\"/></SW>";
    }
    return markup + "</NA>";
}

long StatusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string wanted = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(wanted, 0) == 0) return std::atol(line.c_str() + wanted.size());
    return -1;
}

class NullObserver : public tolvane::ScanObserver {
  public:
    void OnScanProgress(tolvane::ScanProgress, tolvane::DetectedObject*) override {}
    void OnScanPhase(int) override {}
};

struct Outcome {
    long growthKb = 0;
    int scanned = 0;
    int recognised = 0;
    double seconds = 0;
};

// Runs a Files scan with drive D: = driveFolder in a child process.
Outcome ScanInChild(const fs::path& driveFolder, bool everyFolder) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) std::exit(1);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        Outcome outcome;
        {
            tolvane::testing::TempPrefix prefix;
            prefix.AddDrive('d', driveFolder.string());
            auto machine = prefix.Open();
            tolvane::ThreatDatabase database;
            if (!tolvane::LoadDefinitionsFromText(
                    Definitions(everyFolder),
                    tolvane::PlaceholderFolders::FromShell(machine->shell()), &database)) {
                std::fprintf(stderr, "scan_memory_bench: the definitions did not load\n");
                _exit(1);
            }
            tolvane::SettingsStore settings(machine->registry());
            settings.WriteInt(tolvane::setting::kLastScanMode,
                              static_cast<int>(tolvane::ScanMode::Files));
            NullObserver observer;
            tolvane::ScanEngine engine(*machine, database);
            engine.SetObserver(&observer);
            long before = StatusKilobytes("VmRSS");
            auto start = Clock::now();
            engine.RunScan();
            outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
            outcome.growthKb = StatusKilobytes("VmHWM") - before;
            tolvane::ScanCounterValues c = engine.Counters();
            outcome.scanned = c.objectsScanned;
            outcome.recognised = c.filesRecognised;
        }
        if (write(pipeFds[1], &outcome, sizeof outcome) != sizeof outcome) _exit(1);
        _exit(0);
    }
    close(pipeFds[1]);
    Outcome outcome;
    if (read(pipeFds[0], &outcome, sizeof outcome) != sizeof outcome) outcome.growthKb = -1;
    close(pipeFds[0]);
    waitpid(pid, nullptr, 0);
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path tree = "/tmp/tolvane-bench-million";
    if (argc == 3 && std::string(argv[1]) == "--tree") tree = argv[2];
    if (!fs::exists(tree / ".complete")) {
        std::printf("making %d files in %s (once) ...\n",
                    kBlocks * kFoldersPerBlock * kFilesPerFolder, tree.c_str());
        std::fflush(stdout);
        auto start = Clock::now();
        MakeTree(tree);
        std::ofstream(tree / ".complete");
        std::printf("made in %.0f s\n",
                    std::chrono::duration<double>(Clock::now() - start).count());
    }
    struct Run {
        const char* what;
        fs::path drive;
        bool everyFolder;
    } runs[] = {
        {"100k files", tree / "p0", false},
        {"1M files", tree, false},
        {"1M files, more known", tree, true},
    };
    Outcome outcomes[3];
    for (int i = 0; i < 3; ++i) {
        outcomes[i] = ScanInChild(runs[i].drive, runs[i].everyFolder);
        std::printf("%-22s %9d entries scanned, %6d recognised, peak RSS growth %7ld KiB, %.1f s\n",
                    runs[i].what, outcomes[i].scanned, outcomes[i].recognised, outcomes[i].growthKb,
                    outcomes[i].seconds);
        std::fflush(stdout);
    }
    std::printf("growth 1M / 100k files (same objects recognised): %.2f (flat: about 1)\n",
                double(outcomes[1].growthKb) / double(std::max(1L, outcomes[0].growthKb)));
    std::printf("growth per extra recognised object: %.2f KiB\n",
                double(outcomes[2].growthKb - outcomes[1].growthKb) /
                    double(std::max(1, outcomes[2].recognised - outcomes[1].recognised)));
    return 0;
}
